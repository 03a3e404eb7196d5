#pragma once

#include "dispatch/CancellableStore.h"
#include "dispatch/DatabaseConnection.h"
#include "dispatch/GuardedWrites.h"
#include "dispatch/OdbcStatement.h"
#include "dispatch/WaitingRows.h"

namespace korvane {

// tblMessages through QODBC on the calling thread. The waiting rows are read a page at a time
// (WaitingRows); each batch of writes is one transaction of guarded UPDATEs (GuardedWrites).
// Lock waits end after OdbcStatement::kQueryTimeoutS where the driver allows.
class OdbcMessageStore : public CancellableStore {
public:
    explicit OdbcMessageStore(int lockTimeoutS = OdbcStatement::kQueryTimeoutS)
        : lockTimeoutS_(lockTimeoutS), writes_(connection_, cancel_, lockTimeoutS) {}

    void open(const DataSourceSettings& source) override;
    bool isOpen() override { return connection_.isOpen(); }
    void select(qint32 dontSendProcessedMsgs, const QDateTime& now) override;
    qint64 countWaiting(qint32 dontSendProcessedMsgs) override {
        return rows_.countWaiting(dontSendProcessedMsgs);
    }
    std::vector<TableRow> nextPage(int limit) override { return rows_.nextPage(limit); }
    std::vector<TableRow> nextHigher(const QVariant& priority, int limit) override {
        return rows_.nextHigher(priority, limit);
    }
    std::vector<Write> claim(const std::vector<TableRow>& rows, const QDateTime& at) override;
    std::vector<Saved> save(const std::vector<Outcome>& outcomes, const QDateTime& at) override;
    Step saveAndClaim(const std::vector<Outcome>& outcomes, const std::vector<TableRow>& rows,
                      const QDateTime& at) override;
    void release(const std::vector<TableRow>& rows) override;
    QList<Claim> claimsBefore(const QDateTime& cutoff) override;
    TableFeatures features() override { return features_; }
    std::vector<SentRow> findSent(const QStringList& ids, bool withinLists) override;
    void writeReceipts(const std::vector<ReceiptWrite>& writes) override;
    std::vector<StoredReply> storeReplies(const std::vector<ReplyWrite>& replies) override;

    // Cancels the statement running now; safe from any thread, a no-op on SQLite.
    void cancel() override { cancel_.cancel(); }

private:
    Step writeBatch(const std::vector<Outcome>& outcomes, const std::vector<TableRow>& rows,
                    const QDateTime& at);
    bool holdsAlready(const Outcome& outcome);
    static Write writeOf(const GuardedWrites::Done& done);
    static Saved savedAs(const Outcome& outcome, const GuardedWrites::Done& done);
    static GuardedWrites::Update guarded(const TableRow& row, const QString& assignments,
                                         QVariantList values, bool onClaim);
    void boundLockWaits();
    void learnFeatures();

    DatabaseConnection connection_;
    CancelPoint cancel_;
    int lockTimeoutS_;
    GuardedWrites writes_;
    QString dbms_;
    TableFeatures features_;
    WaitingRows rows_{connection_, cancel_};
};

}  // namespace korvane
