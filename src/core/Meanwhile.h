#pragma once

#include <QMetaObject>
#include <functional>

namespace korvane {

// Runs work after each turn of the event loop for as long as it lives: what a coroutine does
// beside the call it awaits. work never waits.
class Meanwhile {
public:
    explicit Meanwhile(std::function<void()> work);
    ~Meanwhile();
    Meanwhile(const Meanwhile&) = delete;
    Meanwhile& operator=(const Meanwhile&) = delete;

private:
    QMetaObject::Connection turns_;
};

}  // namespace korvane
