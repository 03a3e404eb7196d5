#pragma once

#include <memory>

#include "core/Responsive.h"
#include "dispatch/CycleStore.h"

namespace korvane::test {

// An awaited store called as a plain one, each call waited for in place: for the contract
// every store keeps, and for benches that time one call after another.
class WaitedStore : public MessageStore {
public:
    explicit WaitedStore(std::unique_ptr<CycleStore> store) : store_(std::move(store)) {}

    void open(const DataSourceSettings& source) override { waitInPlace(store_->open(source)); }
    bool isOpen() override { return waitInPlace(store_->isOpen()); }
    void select(qint32 dontSend, const QDateTime& now) override {
        waitInPlace(store_->select(dontSend, now));
    }
    qint64 countWaiting(qint32 dontSend) override {
        return waitInPlace(store_->countWaiting(dontSend));
    }
    std::vector<TableRow> nextPage(int limit) override {
        return waitInPlace(store_->nextPage(limit));
    }
    std::vector<Write> claim(const std::vector<TableRow>& rows, const QDateTime& at) override {
        Step step = waitInPlace(store_->saveAndClaim({}, rows, at));
        if (step.claimFailure) {
            throw *step.claimFailure;
        }
        return step.claimed;
    }
    std::vector<Saved> save(const std::vector<Outcome>& outcomes, const QDateTime& at) override {
        return waitInPlace(store_->saveAndClaim(outcomes, {}, at)).saved;
    }
    Step saveAndClaim(const std::vector<Outcome>& outcomes, const std::vector<TableRow>& rows,
                      const QDateTime& at) override {
        return waitInPlace(store_->saveAndClaim(outcomes, rows, at));
    }
    void release(const std::vector<TableRow>& rows) override { waitInPlace(store_->release(rows)); }
    QList<Claim> claimsBefore(const QDateTime& cutoff) override {
        return waitInPlace(store_->claimsBefore(cutoff));
    }
    TableFeatures features() override { return waitInPlace(store_->features()); }
    std::vector<TableRow> nextHigher(const QVariant& priority, int limit) override {
        return waitInPlace(store_->nextHigher(priority, limit));
    }
    std::vector<SentRow> findSent(const QStringList& ids, bool withinLists) override {
        return waitInPlace(store_->findSent(ids, withinLists));
    }
    void writeReceipts(const std::vector<ReceiptWrite>& writes) override {
        waitInPlace(store_->writeReceipts(writes));
    }
    std::vector<StoredReply> storeReplies(const std::vector<ReplyWrite>& replies) override {
        return waitInPlace(store_->storeReplies(replies));
    }

private:
    std::unique_ptr<CycleStore> store_;
};

}  // namespace korvane::test
