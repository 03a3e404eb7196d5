#pragma once

#include <deque>

#include "dispatch/DatabaseConnection.h"
#include "dispatch/MessageStore.h"
#include "dispatch/OdbcStatement.h"

namespace korvane {

// tblMessages through QODBC on the calling thread. The selection is read at once (a static
// snapshot) holding only the columns Korvane uses; every write is one guarded UPDATE in its
// own transaction. Lock waits end after OdbcStatement::kQueryTimeoutS where the driver allows.
class OdbcMessageStore : public MessageStore {
public:
    explicit OdbcMessageStore(int lockTimeoutS = OdbcStatement::kQueryTimeoutS)
        : lockTimeoutS_(lockTimeoutS) {}

    void open(const DataSourceSettings& source) override;
    bool isOpen() override { return connection_.isOpen(); }
    void select(const QString& statement) override;
    std::vector<TableRow> nextPage(int limit) override;
    std::vector<Write> claim(const std::vector<TableRow>& rows, const QDateTime& at) override;
    Write record(const Outcome& outcome, const QDateTime& at) override;
    std::vector<std::optional<KorvaneError>> finish(const std::vector<Outcome>& outcomes,
                                                    const QDateTime& at) override;
    QList<Claim> claimsBefore(const QDateTime& cutoff) override;

    // Cancels the statement running now; safe from any thread.
    void cancel() { cancel_.cancel(); }

private:
    Write update(const TableRow& row, const QString& assignments, QVariantList values,
                 bool onClaim);
    void boundLockWaits();

    DatabaseConnection connection_;
    CancelPoint cancel_;
    int lockTimeoutS_;
    std::deque<TableRow> rows_;  // no regrowth copies for large snapshots
};

}  // namespace korvane
