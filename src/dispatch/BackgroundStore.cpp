#include "dispatch/BackgroundStore.h"

#include <QElapsedTimer>
#include <atomic>
#include <exception>

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

// Hands the job to the database's thread and waits on the event loop until done() holds.
// Cancels the statement at cancelAt, or when the program must end; gives the thread up when
// that cancel brings no answer in time.
void BackgroundStore::runOnThread(std::function<void(CancellableStore&)> job,
                                  QDeadlineTimer cancelAt, const std::function<bool()>& done) {
    if (givenUp_) {
        throw DatabaseUnanswered(ErrorNumber::ProviderError,
                                 QStringLiteral("The database has not answered."));
    }
    worker_->queue.post([worker = worker_.get(), job = std::move(job), wake = eventLoopWaker()] {
        job(*worker->store);
        wake();
    });
    waitFor(done, cancelAt);
}

// Waits on the event loop until done() holds, doing the waiting work whenever it turns.
void BackgroundStore::waitFor(const std::function<bool()>& done, QDeadlineTimer cancelAt) {
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
        waitTurning(done, until);
    }
    if (waiting_ != nullptr) {
        waiting_->invalidate();
    }
}

// One wait: until done(), the deadline, or a change of the stop deadline.
void BackgroundStore::waitTurning(const std::function<bool()>& done, QDeadlineTimer until) {
    const quint64 changes = stop_ != nullptr ? stop_->changes() : 0;
    waitResponsively(
        [&] {
            if (whileWaiting_ && !working_ && !done()) {
                working_ = true;
                whileWaiting_();
                working_ = false;
            }
            return done() || (stop_ != nullptr && stop_->changes() != changes);
        },
        until);
}

template <typename Result>
Result BackgroundStore::call(std::function<Result(CancellableStore&)> job, size_t writes) {
    struct Answer {
        std::optional<Result> result;
        std::exception_ptr failure;
        std::atomic<bool> done{false};
    };
    auto answer = std::make_shared<Answer>();
    runOnThread(
        [answer, job = std::move(job)](CancellableStore& store) {
            try {
                answer->result = job(store);
            } catch (...) {
                answer->failure = std::current_exception();
            }
            answer->done = true;
        },
        writes > 0
            ? QDeadlineTimer(static_cast<qint64>(writes) * (lockTimeoutS_ * 1000 + lockGraceMs_))
            : QDeadlineTimer(QDeadlineTimer::Forever),
        [&answer] { return answer->done.load(); });
    if (answer->failure) {
        std::rethrow_exception(answer->failure);
    }
    return std::move(*answer->result);
}

void BackgroundStore::open(const DataSourceSettings& source) {
    call<bool>([source](CancellableStore& store) {
        store.open(source);
        return true;
    });
}

bool BackgroundStore::isOpen() {
    return call<bool>([](CancellableStore& store) { return store.isOpen(); });
}

void BackgroundStore::select(qint32 dontSendProcessedMsgs, const QDateTime& now) {
    call<bool>([dontSendProcessedMsgs, now](CancellableStore& store) {
        store.select(dontSendProcessedMsgs, now);
        return true;
    });
}

qint64 BackgroundStore::countWaiting(qint32 dontSendProcessedMsgs) {
    return call<qint64>([dontSendProcessedMsgs](CancellableStore& store) {
        return store.countWaiting(dontSendProcessedMsgs);
    });
}

std::vector<TableRow> BackgroundStore::nextPage(int limit) {
    return call<std::vector<TableRow>>(
        [limit](CancellableStore& store) { return store.nextPage(limit); });
}

std::vector<MessageStore::Write> BackgroundStore::claim(const std::vector<TableRow>& rows,
                                                        const QDateTime& at) {
    return call<std::vector<Write>>(
        [rows, at](CancellableStore& store) { return store.claim(rows, at); }, rows.size());
}

std::vector<MessageStore::Saved> BackgroundStore::save(const std::vector<Outcome>& outcomes,
                                                       const QDateTime& at) {
    return call<std::vector<Saved>>(
        [outcomes, at](CancellableStore& store) { return store.save(outcomes, at); },
        outcomes.size());
}

MessageStore::Step BackgroundStore::saveAndClaim(const std::vector<Outcome>& outcomes,
                                                 const std::vector<TableRow>& rows,
                                                 const QDateTime& at) {
    return call<Step>(
        [outcomes, rows, at](CancellableStore& store) {
            return store.saveAndClaim(outcomes, rows, at);
        },
        outcomes.size() + rows.size());
}

void BackgroundStore::release(const std::vector<TableRow>& rows) {
    call<bool>(
        [rows](CancellableStore& store) {
            store.release(rows);
            return true;
        },
        rows.size());
}

QList<MessageStore::Claim> BackgroundStore::claimsBefore(const QDateTime& cutoff) {
    return call<QList<Claim>>(
        [cutoff](CancellableStore& store) { return store.claimsBefore(cutoff); });
}

MessageStore::TableFeatures BackgroundStore::features() {
    return call<TableFeatures>([](CancellableStore& store) { return store.features(); });
}

std::vector<TableRow> BackgroundStore::nextHigher(const QVariant& priority, int limit) {
    return call<std::vector<TableRow>>(
        [priority, limit](CancellableStore& store) { return store.nextHigher(priority, limit); });
}

std::vector<MessageStore::SentRow> BackgroundStore::findSent(const QStringList& ids,
                                                             bool withinLists) {
    return call<std::vector<SentRow>>(
        [ids, withinLists](CancellableStore& store) { return store.findSent(ids, withinLists); });
}

void BackgroundStore::writeReceipts(const std::vector<ReceiptWrite>& writes) {
    call<bool>(
        [writes](CancellableStore& store) {
            store.writeReceipts(writes);
            return true;
        },
        writes.size());
}

std::vector<MessageStore::StoredReply> BackgroundStore::storeReplies(
    const std::vector<ReplyWrite>& replies) {
    return call<std::vector<StoredReply>>(
        [replies](CancellableStore& store) { return store.storeReplies(replies); }, replies.size());
}

}  // namespace korvane
