#pragma once

#include <QCoro/QCoroTask>
#include <exception>
#include <functional>
#include <memory>
#include <optional>

#include "dispatch/MessageStore.h"

namespace korvane {

// tblMessages as the dispatch cycle and the desks use it: each call is awaited while the event
// loop goes on, and answers as the MessageStore underneath does (BackgroundStore runs it on a
// database thread of its own). The calls' arguments are copied into the work, since a call
// given up on may end while its statement still runs.
class CycleStore {
public:
    using Outcome = MessageStore::Outcome;
    using Step = MessageStore::Step;
    using Claim = MessageStore::Claim;
    using TableFeatures = MessageStore::TableFeatures;
    using SentRow = MessageStore::SentRow;
    using ReceiptWrite = MessageStore::ReceiptWrite;
    using ReplyWrite = MessageStore::ReplyWrite;
    using StoredReply = MessageStore::StoredReply;
    using Work = std::function<void(MessageStore&)>;

    virtual ~CycleStore() = default;

    QCoro::Task<> open(DataSourceSettings source);
    QCoro::Task<bool> isOpen();
    QCoro::Task<> select(qint32 dontSendProcessedMsgs, QDateTime now);
    QCoro::Task<qint64> countWaiting(qint32 dontSendProcessedMsgs);
    QCoro::Task<std::vector<TableRow>> nextPage(int limit);
    QCoro::Task<Step> saveAndClaim(std::vector<Outcome> outcomes, std::vector<TableRow> rows,
                                   QDateTime at);
    QCoro::Task<> release(std::vector<TableRow> rows);
    QCoro::Task<QList<Claim>> claimsBefore(QDateTime cutoff);
    QCoro::Task<TableFeatures> features();
    QCoro::Task<std::vector<TableRow>> nextHigher(QVariant priority, int limit);
    QCoro::Task<std::vector<SentRow>> findSent(QStringList ids, bool withinLists);
    QCoro::Task<> writeReceipts(std::vector<ReceiptWrite> writes);
    QCoro::Task<std::vector<StoredReply>> storeReplies(std::vector<ReplyWrite> replies);

protected:
    // Runs work on the store and ends once it has. writes: how many guarded writes it makes
    // (each may wait for a lock); 0: none.
    virtual QCoro::Task<> run(Work work, size_t writes) = 0;

private:
    template <typename Result>
    QCoro::Task<Result> call(std::function<Result(MessageStore&)> job, size_t writes = 0);
};

}  // namespace korvane
