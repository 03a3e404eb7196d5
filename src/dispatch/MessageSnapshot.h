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
// the columns Korvane uses. Each row is saved by one optimistic UPDATE keyed by RecId.
class MessageSnapshot {
public:
    using Row = std::array<QVariant, MessageTable::kColumnCount>;

    // Raises KorvaneError when the statement fails (missing table, bad SQL).
    MessageSnapshot(DatabaseConnection& connection, const QString& statement);

    int size() const { return static_cast<int>(rows_.size()); }
    bool isEmpty() const { return rows_.empty(); }

    // Raise 3265 when the column is not in the table.
    const QVariant& value(int row, MessageTable::Column column) const;
    QString text(int row, MessageTable::Column column) const;
    qint32 recordId(int row) const;

    // Writes the outcome in one transaction; raises when the row changed since it was read
    // (or RecId matches more than one row), leaving the table as it was.
    void save(int row, const QString& isSent, const QString& status, const QDateTime& at);

private:
    void requireColumn(MessageTable::Column column) const;

    DatabaseConnection& connection_;
    std::array<bool, MessageTable::kColumnCount> present_{};
    std::deque<Row> rows_;  // no regrowth copies for large snapshots
};

}  // namespace korvane
