#pragma once

#include <QDeadlineTimer>
#include <QMetaObject>
#include <QTimer>
#include <coroutine>
#include <functional>
#include <memory>

namespace korvane {

// co_await DoneWait(done, deadline) suspends the calling coroutine, not the thread: the event
// loop goes on, and done() is looked at each time it wakes to handle what came (a socket's bytes,
// another thread's wake-up, a timer). Resumes from a timer of its own once done() holds or
// the deadline has passed, never from inside someone else's signal; true when done() held.
//
// owner: what the waiting coroutine belongs to. Once it is gone the wait never resumes (nor
// looks at done() again), so that a coroutine left waiting by an object destroyed meanwhile
// never runs on into it; its frame is left behind.
class DoneWait {
public:
    DoneWait(std::function<bool()> done, QDeadlineTimer deadline,
             std::weak_ptr<const void> owner = {});
    ~DoneWait();
    DoneWait(DoneWait&&) = default;  // before it waits: the coroutine may take it by value
    DoneWait& operator=(DoneWait&&) = delete;

    bool await_ready() { return over(); }
    void await_suspend(std::coroutine_handle<> waiting);
    bool await_resume() const { return done_(); }

private:
    bool over() const { return done_() || deadline_.hasExpired(); }
    bool abandoned() const { return owned_ && owner_.expired(); }
    void look();
    void armDeadline();
    void letGo();

    std::function<bool()> done_;
    QDeadlineTimer deadline_;
    std::weak_ptr<const void> owner_;
    bool owned_;
    std::coroutine_handle<> waiting_;
    std::unique_ptr<QTimer> timer_;
    QMetaObject::Connection looking_;
};

}  // namespace korvane
