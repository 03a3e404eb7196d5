#pragma once

#include <QDeadlineTimer>
#include <atomic>
#include <functional>
#include <memory>
#include <optional>
#include <thread>

class QAbstractEventDispatcher;

namespace korvane {

// Waits for done() while the thread's event loop runs: sockets deliver, timers fire, and the
// window repaints and answers its controls. True when done() held before the deadline.
bool waitResponsively(const std::function<bool()>& done, QDeadlineTimer deadline);

// Wakes the calling thread's event loop from another thread; safe to copy anywhere.
std::function<void()> eventLoopWaker();

// Runs job on a thread of its own and waits for its result on the event loop, so that a job
// that waits on the network never freezes the window. The thread is detached and owns what
// the job needs: should the program end first, nothing waits for it.
template <typename Result>
Result onOwnThread(std::function<Result()> job) {
    struct Answer {
        std::optional<Result> result;
        std::atomic<bool> done{false};
    };
    auto answer = std::make_shared<Answer>();
    std::thread([answer, job = std::move(job), wake = eventLoopWaker()] {
        answer->result = job();
        answer->done = true;
        wake();
    }).detach();
    waitResponsively([&answer] { return answer->done.load(); },
                     QDeadlineTimer(QDeadlineTimer::Forever));
    return std::move(*answer->result);
}

}  // namespace korvane
