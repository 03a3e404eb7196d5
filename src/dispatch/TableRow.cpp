#include "dispatch/TableRow.h"

#include <QSqlQuery>
#include <QSqlRecord>

#include "core/KorvaneError.h"

namespace korvane {

const QVariant& TableRow::value(MessageTable::Column column) const {
    if (!present_[static_cast<size_t>(column)]) {
        throw KorvaneError(ErrorNumber::ItemNotFound,
                           QStringLiteral("Item cannot be found in the collection corresponding "
                                          "to the requested name or ordinal. (") +
                               MessageTable::columnName(column) + QLatin1Char(')'));
    }
    return values_[static_cast<size_t>(column)];
}

QString TableRow::text(MessageTable::Column column) const {
    return MessageTable::toText(value(column));
}

qint32 TableRow::recordId() const {
    return MessageTable::toRecordId(value(MessageTable::Column::RecId));
}

// Columns by name, whatever case the database folds them to; -1 where the table has none.
TableRow::Indexes TableRow::columnsOf(const QSqlRecord& record, Present& present) {
    Indexes index{};
    for (size_t c = 0; c < index.size(); ++c) {
        index[c] = record.indexOf(MessageTable::columnName(static_cast<MessageTable::Column>(c)));
        present[c] = index[c] >= 0;
    }
    return index;
}

// Only what the row's type will read is kept: e-mail columns of SMS rows and the other way
// round are never looked at, and a page of waiting rows must stay small.
TableRow::Values TableRow::valuesOf(const QSqlQuery& query, const Indexes& index) {
    using MessageTable::Column;
    const auto type = static_cast<size_t>(Column::MessageType);
    Values row;
    for (size_t c = 0; c < row.size(); ++c) {
        if (index[c] >= 0) {
            row[c] = query.value(index[c]);
        }
    }
    const QString kind = MessageTable::toText(row[type]).trimmed().toUpper();
    for (auto c = static_cast<size_t>(Column::MobileNo);
         c <= static_cast<size_t>(Column::EmailAttachment); ++c) {
        if (c == static_cast<size_t>(Column::MobileNo) ? kind != QStringLiteral("SMS")
                                                       : kind != QStringLiteral("EMAIL")) {
            row[c] = QVariant();
        }
    }
    return row;
}

}  // namespace korvane
