#pragma once

#include <chrono>
#include <condition_variable>
#include <deque>
#include <functional>
#include <mutex>

namespace korvane {

// The jobs of one worker thread (the database's, curl's): handed over from the window's
// thread and run on the worker in order, each outside the lock, so that a job that waits on
// the network never holds up the one handing over the next. What else the two sides share
// is guarded by the same lock (locked()).
class WorkerQueue {
public:
    using Job = std::function<void()>;

    void post(Job job) {
        {
            const std::lock_guard<std::mutex> lock(mutex_);
            jobs_.push_back(std::move(job));
        }
        wake_.notify_all();
    }
    // Ends run() once the jobs queued are done; dropQueued: after the one running now.
    void quit(bool dropQueued = false) {
        {
            const std::lock_guard<std::mutex> lock(mutex_);
            quit_ = true;
            if (dropQueued) {
                jobs_.clear();
            }
        }
        wake_.notify_all();
    }
    // The worker's loop: runs the jobs as they come until quit().
    void run() {
        for (;;) {
            Job job;
            {
                std::unique_lock<std::mutex> lock(mutex_);
                wake_.wait(lock, [this] { return quit_ || !jobs_.empty(); });
                if (jobs_.empty()) {
                    return;
                }
                job = std::move(jobs_.front());
                jobs_.pop_front();
            }
            job();
        }
    }
    // Runs f under the lock.
    template <typename F>
    auto locked(F&& f) {
        const std::lock_guard<std::mutex> lock(mutex_);
        return f();
    }
    // Sets shared state under the lock and wakes whoever waits for it.
    template <typename F>
    void change(F&& f) {
        {
            const std::lock_guard<std::mutex> lock(mutex_);
            f();
        }
        wake_.notify_all();
    }
    // Waits until done() holds (checked under the lock, after each change()) or patience
    // runs out; false then.
    template <typename Done>
    bool waitFor(std::chrono::milliseconds patience, Done&& done) {
        std::unique_lock<std::mutex> lock(mutex_);
        return wake_.wait_for(lock, patience, std::forward<Done>(done));
    }

private:
    std::mutex mutex_;
    std::condition_variable wake_;
    std::deque<Job> jobs_;
    bool quit_ = false;
};

}  // namespace korvane
