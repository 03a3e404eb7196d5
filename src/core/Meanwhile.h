#pragma once

#include <QMetaObject>
#include <functional>
#include <memory>

namespace korvane {

// Runs work after each turn of the event loop for as long as it lives: what a coroutine does
// beside the call it awaits. work never waits, and never runs once owner (what work belongs
// to) is gone, though a coroutine left waiting keeps its Meanwhile.
class Meanwhile {
public:
    Meanwhile(std::weak_ptr<const void> owner, std::function<void()> work);
    ~Meanwhile();
    Meanwhile(const Meanwhile&) = delete;
    Meanwhile& operator=(const Meanwhile&) = delete;

private:
    QMetaObject::Connection turns_;
};

}  // namespace korvane
