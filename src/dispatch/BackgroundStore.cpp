#include "dispatch/BackgroundStore.h"

#include <atomic>
#include <exception>

#include "core/Responsive.h"
#include "core/StopDeadline.h"
#include "dispatch/OdbcMessageStore.h"

namespace korvane {

BackgroundStore::BackgroundStore(const StopDeadline* stop, int lockTimeoutS)
    : stop_(stop),
      lockTimeoutS_(lockTimeoutS),
      store_(std::make_unique<OdbcMessageStore>(lockTimeoutS)),
      thread_([this] { run(); }) {}

BackgroundStore::~BackgroundStore() {
    {
        const std::lock_guard<std::mutex> lock(mutex_);
        quit_ = true;
    }
    wake_.notify_all();
    thread_.join();
}

void BackgroundStore::run() {
    for (;;) {
        std::function<void()> job;
        {
            std::unique_lock<std::mutex> lock(mutex_);
            wake_.wait(lock, [this] { return quit_ || job_; });
            if (!job_) {
                break;
            }
            job.swap(job_);
        }
        job();
    }
    store_.reset();  // the connection closes on the thread that opened it
}

namespace {
// What the drivers' own lock timeouts get before the statement is cancelled from here.
constexpr int kCancelGraceMs = 2000;
}  // namespace

// Hands the job to the thread and waits on the event loop until it has run; cancels the
// statement running when the program must end, or at cancelAt.
void BackgroundStore::runOnThread(const std::function<void()>& job, QDeadlineTimer cancelAt) {
    std::atomic<bool> done{false};
    {
        const std::lock_guard<std::mutex> lock(mutex_);
        job_ = [&] {
            job();
            done = true;
            QMetaObject::invokeMethod(
                &waker_, [] {}, Qt::QueuedConnection);
        };
    }
    wake_.notify_all();
    bool cancelled = false;
    while (!done) {
        if (!cancelled && (cancelAt.hasExpired() || (stop_ != nullptr && stop_->passed()))) {
            store_->cancel();
            cancelled = true;
        }
        const quint64 changes = stop_ != nullptr ? stop_->changes() : 0;
        QDeadlineTimer until(QDeadlineTimer::Forever);
        if (!cancelled) {
            until = stop_ != nullptr ? stop_->capped(cancelAt) : cancelAt;
        }
        waitResponsively([&] { return done || (stop_ != nullptr && stop_->changes() != changes); },
                         until);
    }
}

template <typename Result>
Result BackgroundStore::call(const std::function<Result(OdbcMessageStore&)>& job, size_t writes) {
    std::optional<Result> result;
    std::exception_ptr failure;
    runOnThread(
        [&] {
            try {
                result = job(*store_);
            } catch (...) {
                failure = std::current_exception();
            }
        },
        writes > 0
            ? QDeadlineTimer(static_cast<qint64>(writes) * (lockTimeoutS_ * 1000 + kCancelGraceMs))
            : QDeadlineTimer(QDeadlineTimer::Forever));
    if (failure) {
        std::rethrow_exception(failure);
    }
    return std::move(*result);
}

void BackgroundStore::open(const DataSourceSettings& source) {
    call<bool>([&](OdbcMessageStore& store) {
        store.open(source);
        return true;
    });
}

bool BackgroundStore::isOpen() {
    return call<bool>([](OdbcMessageStore& store) { return store.isOpen(); });
}

void BackgroundStore::select(qint32 dontSendProcessedMsgs) {
    call<bool>([&](OdbcMessageStore& store) {
        store.select(dontSendProcessedMsgs);
        return true;
    });
}

qint64 BackgroundStore::countWaiting(qint32 dontSendProcessedMsgs) {
    return call<qint64>(
        [&](OdbcMessageStore& store) { return store.countWaiting(dontSendProcessedMsgs); });
}

std::vector<TableRow> BackgroundStore::nextPage(int limit) {
    return call<std::vector<TableRow>>(
        [&](OdbcMessageStore& store) { return store.nextPage(limit); });
}

std::vector<MessageStore::Write> BackgroundStore::claim(const std::vector<TableRow>& rows,
                                                        const QDateTime& at) {
    return call<std::vector<Write>>([&](OdbcMessageStore& store) { return store.claim(rows, at); },
                                    rows.size());
}

std::vector<MessageStore::Saved> BackgroundStore::save(const std::vector<Outcome>& outcomes,
                                                       const QDateTime& at) {
    return call<std::vector<Saved>>(
        [&](OdbcMessageStore& store) { return store.save(outcomes, at); }, outcomes.size());
}

MessageStore::Step BackgroundStore::saveAndClaim(const std::vector<Outcome>& outcomes,
                                                 const std::vector<TableRow>& rows,
                                                 const QDateTime& at) {
    return call<Step>(
        [&](OdbcMessageStore& store) { return store.saveAndClaim(outcomes, rows, at); },
        outcomes.size() + rows.size());
}

void BackgroundStore::release(const std::vector<TableRow>& rows) {
    call<bool>(
        [&](OdbcMessageStore& store) {
            store.release(rows);
            return true;
        },
        rows.size());
}

QList<MessageStore::Claim> BackgroundStore::claimsBefore(const QDateTime& cutoff) {
    return call<QList<Claim>>([&](OdbcMessageStore& store) { return store.claimsBefore(cutoff); });
}

}  // namespace korvane
