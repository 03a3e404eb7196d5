#pragma once

#include <QString>
#include <QVariant>
#include <array>

class QSqlQuery;
class QSqlRecord;

#include "dispatch/MessageTable.h"

namespace korvane {

// One waiting row as the selection returned it: the columns Korvane uses, and which of them
// the table has. Reading a column the table lacks raises 3265, as the record set did.
class TableRow {
public:
    using Values = std::array<QVariant, MessageTable::kColumnCount>;
    using Present = std::array<bool, MessageTable::kColumnCount>;
    using Indexes = std::array<int, MessageTable::kColumnCount>;

    // The columns of a result by name, whatever case the database folds them to; -1 where
    // the table has none.
    static Indexes columnsOf(const QSqlRecord& record, Present& present);
    // The current row of a query: only what the row's type will read.
    static Values valuesOf(const QSqlQuery& query, const Indexes& index);

    TableRow() { present_.fill(true); }
    TableRow(Values values, const Present& present)
        : values_(std::move(values)), present_(present) {}

    const QVariant& value(MessageTable::Column column) const;
    QString text(MessageTable::Column column) const;
    // Raises as MessageTable::toRecordId does.
    qint32 recordId() const;
    // As read, whether or not the table has the column (Null then).
    const QVariant& asRead(MessageTable::Column column) const {
        return values_[static_cast<size_t>(column)];
    }
    void set(MessageTable::Column column, QVariant value) {
        values_[static_cast<size_t>(column)] = std::move(value);
    }

private:
    Values values_;
    Present present_{};
};

}  // namespace korvane
