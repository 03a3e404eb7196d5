#pragma once

#include <QDateTime>
#include <QString>
#include <QVariant>
#include <array>
#include <deque>

#include "dispatch/MessageTable.h"

namespace korvane {

class DatabaseConnection;

// The rows a selection statement returned, read at once (a static snapshot) and holding only
// the columns Korvane uses; rows being sent or in doubt are left out. Every write is one
// guarded UPDATE keyed by RecId in its own transaction, so that a row another instance has
// taken, or a RecId shared by several rows, is never written over.
class MessageSnapshot {
public:
    using Row = std::array<QVariant, MessageTable::kColumnCount>;
    enum class Write {
        Done,
        Changed,  // the row is no longer as read: another instance has it, or a producer
        Shared,   // RecId names several rows; nothing was written
    };
    struct Claim {
        QVariant recId;
        QDateTime since;  // invalid when the stored date cannot be read
    };

    // Raises KorvaneError when the statement fails (missing table, bad SQL).
    MessageSnapshot(DatabaseConnection& connection, const QString& statement);

    int size() const { return static_cast<int>(rows_.size()); }
    bool isEmpty() const { return rows_.empty(); }

    // Raise 3265 when the column is not in the table.
    const QVariant& value(int row, MessageTable::Column column) const;
    QString text(int row, MessageTable::Column column) const;
    qint32 recordId(int row) const;

    // Marks a waiting row as being sent, guarded on IsSent and ProcessStatus as read.
    Write claim(int row, const QDateTime& at);
    // Writes the outcome of a row that was not claimed (nothing was sent), guarded as claim().
    Write record(int row, const QString& isSent, const QString& status, const QDateTime& at);
    // Writes the outcome of a claimed row, guarded on the claim alone, so that whatever the
    // producer's ProcessedDate holds the save finds it. Raises when it cannot: the row then
    // stays claimed.
    void finish(int row, const QString& isSent, const QString& status, const QDateTime& at);

    // Rows claimed before cutoff: an instance stopped between a send and its save.
    static QList<Claim> claimsBefore(DatabaseConnection& connection, const QDateTime& cutoff);

private:
    void requireColumn(MessageTable::Column column) const;
    Write update(int row, const QString& assignments, QVariantList values, bool onClaim);

    DatabaseConnection& connection_;
    std::array<bool, MessageTable::kColumnCount> present_{};
    std::deque<Row> rows_;  // no regrowth copies for large snapshots
};

}  // namespace korvane
