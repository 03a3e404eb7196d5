#include "dispatch/CycleStore.h"

namespace korvane {

// The answer lives apart from the awaiting frame: a call given up on ends while its statement
// may still run and write it. (The work is built before the co_await: gcc 12 destroys a
// lambda made inside a co_await's operands twice.)
template <typename Result>
QCoro::Task<Result> CycleStore::call(std::function<Result(MessageStore&)> job, size_t writes) {
    struct Answer {
        std::optional<Result> result;
        std::exception_ptr failure;
    };
    auto answer = std::make_shared<Answer>();
    Work work = [answer, job = std::move(job)](MessageStore& store) {
        try {
            answer->result = job(store);
        } catch (...) {
            answer->failure = std::current_exception();
        }
    };
    co_await run(std::move(work), writes);
    if (answer->failure) {
        std::rethrow_exception(answer->failure);
    }
    co_return std::move(*answer->result);
}

QCoro::Task<> CycleStore::open(DataSourceSettings source) {
    std::function<bool(MessageStore&)> job = [source](MessageStore& store) {
        store.open(source);
        return true;
    };
    co_await call<bool>(std::move(job));
}

QCoro::Task<bool> CycleStore::isOpen() {
    return call<bool>([](MessageStore& store) { return store.isOpen(); });
}

QCoro::Task<> CycleStore::select(qint32 dontSendProcessedMsgs, QDateTime now) {
    std::function<bool(MessageStore&)> job = [dontSendProcessedMsgs, now](MessageStore& store) {
        store.select(dontSendProcessedMsgs, now);
        return true;
    };
    co_await call<bool>(std::move(job));
}

QCoro::Task<qint64> CycleStore::countWaiting(qint32 dontSendProcessedMsgs) {
    return call<qint64>([dontSendProcessedMsgs](MessageStore& store) {
        return store.countWaiting(dontSendProcessedMsgs);
    });
}

QCoro::Task<std::vector<TableRow>> CycleStore::nextPage(int limit) {
    return call<std::vector<TableRow>>(
        [limit](MessageStore& store) { return store.nextPage(limit); });
}

QCoro::Task<CycleStore::Step> CycleStore::saveAndClaim(std::vector<Outcome> outcomes,
                                                       std::vector<TableRow> rows, QDateTime at) {
    const size_t writes = outcomes.size() + rows.size();
    return call<Step>([outcomes = std::move(outcomes), rows = std::move(rows),
                       at](MessageStore& store) { return store.saveAndClaim(outcomes, rows, at); },
                      writes);
}

QCoro::Task<> CycleStore::release(std::vector<TableRow> rows) {
    const size_t writes = rows.size();
    std::function<bool(MessageStore&)> job = [rows = std::move(rows)](MessageStore& store) {
        store.release(rows);
        return true;
    };
    co_await call<bool>(std::move(job), writes);
}

QCoro::Task<QList<CycleStore::Claim>> CycleStore::claimsBefore(QDateTime cutoff) {
    return call<QList<Claim>>([cutoff](MessageStore& store) { return store.claimsBefore(cutoff); });
}

QCoro::Task<CycleStore::TableFeatures> CycleStore::features() {
    return call<TableFeatures>([](MessageStore& store) { return store.features(); });
}

QCoro::Task<std::vector<TableRow>> CycleStore::nextHigher(QVariant priority, int limit) {
    return call<std::vector<TableRow>>(
        [priority, limit](MessageStore& store) { return store.nextHigher(priority, limit); });
}

QCoro::Task<std::vector<CycleStore::SentRow>> CycleStore::findSent(QStringList ids,
                                                                   bool withinLists) {
    return call<std::vector<SentRow>>(
        [ids, withinLists](MessageStore& store) { return store.findSent(ids, withinLists); });
}

QCoro::Task<> CycleStore::writeReceipts(std::vector<ReceiptWrite> writes) {
    const size_t count = writes.size();
    std::function<bool(MessageStore&)> job = [writes = std::move(writes)](MessageStore& store) {
        store.writeReceipts(writes);
        return true;
    };
    co_await call<bool>(std::move(job), count);
}

QCoro::Task<std::vector<CycleStore::StoredReply>> CycleStore::storeReplies(
    std::vector<ReplyWrite> replies) {
    const size_t count = replies.size();
    return call<std::vector<StoredReply>>(
        [replies = std::move(replies)](MessageStore& store) { return store.storeReplies(replies); },
        count);
}

}  // namespace korvane
