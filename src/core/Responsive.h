#pragma once

#include <QCoro/QCoroTask>
#include <QDeadlineTimer>
#include <atomic>
#include <exception>
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

namespace detail {
template <typename T>
QCoro::Task<> settleInto(QCoro::Task<T>& task, std::optional<T>& result,
                         std::exception_ptr& failure, bool& done) {
    try {
        result.emplace(co_await task);
    } catch (...) {
        failure = std::current_exception();
    }
    done = true;
}
inline QCoro::Task<> settleInto(QCoro::Task<>& task, std::exception_ptr& failure, bool& done) {
    try {
        co_await task;
    } catch (...) {
        failure = std::current_exception();
    }
    done = true;
}
}  // namespace detail

// Waits in place for a coroutine's result, or its exception, while the event loop runs: for
// a test button, whose window is modal meanwhile, and for tests.
template <typename T>
T waitInPlace(QCoro::Task<T> task) {
    std::optional<T> result;
    std::exception_ptr failure;
    bool done = false;
    detail::settleInto(task, result, failure, done);
    waitResponsively([&done] { return done; }, QDeadlineTimer(QDeadlineTimer::Forever));
    if (failure) {
        std::rethrow_exception(failure);
    }
    return std::move(*result);
}

inline void waitInPlace(QCoro::Task<> task) {
    std::exception_ptr failure;
    bool done = false;
    detail::settleInto(task, failure, done);
    waitResponsively([&done] { return done; }, QDeadlineTimer(QDeadlineTimer::Forever));
    if (failure) {
        std::rethrow_exception(failure);
    }
}

}  // namespace korvane
