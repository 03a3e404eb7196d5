#include "dispatch/BackgroundStore.h"

#include <QElapsedTimer>
#include <atomic>
#include <exception>

#include "core/DoneWait.h"
#include "core/Responsive.h"
#include "core/StopDeadline.h"
#include "core/WorkerQueue.h"

namespace korvane {

// What the database's thread and a cancel's share. The store is used, and destroyed, on the
// database's thread alone; a cancel reaches into it from its own.
struct BackgroundStore::Worker {
    std::unique_ptr<CancellableStore> store;
    WorkerQueue queue;
    bool cancelling = false;  // a cancel's thread is using the store (queue's lock)
    bool closing = false;     // the store is going: no cancel starts

    void run() {
        queue.run();
        // A cancel still reaching into the connection: it is left open rather than closed
        // under the cancel.
        if (queue.locked([this] {
                closing = true;
                return cancelling;
            })) {
            static_cast<void>(store.release());
            return;
        }
        store.reset();  // the connection closes on the thread that opened it
    }
};

BackgroundStore::BackgroundStore(std::unique_ptr<CancellableStore> store, const StopDeadline* stop,
                                 int lockTimeoutS, QElapsedTimer* waiting)
    : stop_(stop),
      lockTimeoutS_(lockTimeoutS),
      waiting_(waiting),
      worker_(std::make_shared<Worker>()) {
    worker_->store = std::move(store);
    thread_ = std::thread([worker = worker_] { worker->run(); });
}

BackgroundStore::~BackgroundStore() {
    worker_->queue.quit();
    if (givenUp_) {
        thread_.detach();  // it may never return
    } else {
        thread_.join();
    }
}

// At most one cancel at a time; one that never returns holds nobody but its own thread.
void BackgroundStore::cancelOnOwnThread() {
    const bool start = worker_->queue.locked([this] {
        if (worker_->cancelling || worker_->closing) {
            return false;
        }
        worker_->cancelling = true;
        return true;
    });
    if (!start) {
        return;
    }
    std::thread([worker = worker_] {
        worker->store->cancel();
        worker->queue.locked([&worker] { worker->cancelling = false; });
    }).detach();
}

// Hands the work to the database's thread and waits on the event loop until it is done.
// Cancels the statement once it outlasts its writes' lock timeouts, or when the program must
// end; gives the thread up when that cancel brings no answer in time.
QCoro::Task<> BackgroundStore::run(Work work, size_t writes) {
    if (givenUp_) {
        throw DatabaseUnanswered(ErrorNumber::ProviderError,
                                 QStringLiteral("The database has not answered."));
    }
    auto done = std::make_shared<std::atomic<bool>>(false);
    worker_->queue.post(
        [worker = worker_.get(), work = std::move(work), done, wake = eventLoopWaker()] {
            work(*worker->store);
            *done = true;
            wake();
        });
    const QDeadlineTimer cancelAt =
        writes > 0
            ? QDeadlineTimer(static_cast<qint64>(writes) * (lockTimeoutS_ * 1000 + lockGraceMs_))
            : QDeadlineTimer(QDeadlineTimer::Forever);
    std::function<bool()> answered = [done] { return done->load(); };
    co_await waitFor(std::move(answered), cancelAt);
}

// Waits on the event loop until done() holds, a deadline of its own passes, or the stop
// deadline moves.
QCoro::Task<> BackgroundStore::waitFor(std::function<bool()> done, QDeadlineTimer cancelAt) {
    QElapsedTimer took;
    took.start();
    if (waiting_ != nullptr) {
        *waiting_ = took;
    }
    bool cancelled = false;
    QDeadlineTimer giveUpAt(QDeadlineTimer::Forever);
    while (!done()) {
        const bool ending = stop_ != nullptr && stop_->passed();
        if (!cancelled && (ending || cancelAt.hasExpired())) {
            cancelOnOwnThread();
            cancelled = true;
        }
        if (ending && giveUpAt.isForever()) {
            giveUpAt = QDeadlineTimer(cancelGraceMs_);
        }
        if (giveUpAt.hasExpired()) {
            givenUp_ = true;
            if (waiting_ != nullptr) {
                waiting_->invalidate();
            }
            throw DatabaseUnanswered(
                ErrorNumber::ProviderError,
                QStringLiteral("The database has not answered for %1 s, not even to a cancel: "
                               "Korvane ends without it.")
                    .arg(took.elapsed() / 1000));
        }
        QDeadlineTimer until = ending      ? giveUpAt
                               : cancelled ? QDeadlineTimer(QDeadlineTimer::Forever)
                                           : cancelAt;
        if (stop_ != nullptr && !ending) {
            until = stop_->capped(until);
        }
        const quint64 changes = stop_ != nullptr ? stop_->changes() : 0;
        DoneWait turn([&] { return done() || (stop_ != nullptr && stop_->changes() != changes); },
                      until, life_);
        co_await std::move(turn);
    }
    if (waiting_ != nullptr) {
        waiting_->invalidate();
    }
}

}  // namespace korvane
