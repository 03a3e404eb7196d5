#include "dispatch/TableRow.h"

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

}  // namespace korvane
