#include "dispatch/MessageSnapshot.h"

#include <QSqlDriver>
#include <QSqlError>
#include <QSqlQuery>
#include <QSqlRecord>

#include "core/KorvaneError.h"
#include "dispatch/DatabaseConnection.h"

namespace korvane {

using MessageTable::Column;

namespace {
KorvaneError sqlFailure(const QSqlError& error, const DatabaseConnection& connection,
                        const QSqlQuery* query = nullptr) {
    return KorvaneError(
        ErrorNumber::ProviderError,
        describeSqlError(error, connection.password(), query ? sqlState(*query) : QString()));
}
}  // namespace

MessageSnapshot::MessageSnapshot(DatabaseConnection& connection, const QString& statement)
    : connection_(connection) {
    QSqlQuery query(connection.database());
    query.setForwardOnly(true);
    if (!query.exec(statement)) {
        throw sqlFailure(query.lastError(), connection, &query);
    }
    // Columns by name, whatever case the database folds them to.
    std::array<int, MessageTable::kColumnCount> index{};
    const QSqlRecord record = query.record();
    for (int c = 0; c < MessageTable::kColumnCount; ++c) {
        index[c] = -1;
        const QString wanted = MessageTable::columnName(static_cast<Column>(c));
        for (int f = 0; f < record.count(); ++f) {
            if (record.fieldName(f).compare(wanted, Qt::CaseInsensitive) == 0) {
                index[c] = f;
                break;
            }
        }
        present_[c] = index[c] >= 0;
    }
    // Only what each row's type will read is kept: e-mail columns of SMS rows and the other
    // way round are never looked at, and 100,000 waiting rows must stay small.
    const int type = static_cast<int>(Column::MessageType);
    while (query.next()) {
        Row& row = rows_.emplace_back();
        for (int c = 0; c < MessageTable::kColumnCount; ++c) {
            if (index[c] >= 0 && c != type) {
                row[c] = query.value(index[c]);
            }
        }
        if (index[type] >= 0) {
            row[type] = query.value(index[type]);
            const QString kind = MessageTable::toText(row[type]).trimmed().toUpper();
            const bool sms = kind == QStringLiteral("SMS");
            const bool email = kind == QStringLiteral("EMAIL");
            for (int c = static_cast<int>(Column::MobileNo);
                 c <= static_cast<int>(Column::EmailAttachment); ++c) {
                if (c == static_cast<int>(Column::MobileNo) ? !sms : !email) {
                    row[c] = QVariant();
                }
            }
        }
    }
    if (query.lastError().isValid()) {
        throw sqlFailure(query.lastError(), connection, &query);
    }
}

void MessageSnapshot::requireColumn(Column column) const {
    if (!present_[static_cast<int>(column)]) {
        throw KorvaneError(ErrorNumber::ItemNotFound,
                           QStringLiteral("Item cannot be found in the collection corresponding "
                                          "to the requested name or ordinal. (") +
                               MessageTable::columnName(column) + QLatin1Char(')'));
    }
}

const QVariant& MessageSnapshot::value(int row, Column column) const {
    requireColumn(column);
    return rows_.at(static_cast<size_t>(row))[static_cast<int>(column)];
}

QString MessageSnapshot::text(int row, Column column) const {
    return MessageTable::toText(value(row, column));
}

qint32 MessageSnapshot::recordId(int row) const {
    return MessageTable::toRecordId(value(row, Column::RecId));
}

void MessageSnapshot::save(int row, const QString& isSent, const QString& status,
                           const QDateTime& at) {
    const QVariant& recId = value(row, Column::RecId);
    const Column guarded[] = {Column::IsSent, Column::ProcessStatus, Column::ProcessedDate};
    QString sql = QStringLiteral(
        "UPDATE tblMessages SET IsSent = ?, ProcessStatus = ?, ProcessedDate = ? WHERE RecId = ?");
    QVariantList guards;
    for (Column column : guarded) {
        const QVariant& original = value(row, column);
        // A Null parameter in "? IS NULL" fails on some drivers: Null is tested in the text.
        sql += QStringLiteral(" AND ") + MessageTable::columnName(column) +
               (original.isNull() ? QStringLiteral(" IS NULL") : QStringLiteral(" = ?"));
        if (!original.isNull()) {
            guards << original;
        }
    }

    // Whole seconds: every database keeps them, so the value compares equal when read back.
    const QDateTime savedAt(at.date(),
                            QTime(at.time().hour(), at.time().minute(), at.time().second()));
    QSqlDatabase db = connection_.database();
    const bool transactional = db.driver()->hasFeature(QSqlDriver::Transactions);
    if (transactional && !db.transaction()) {
        throw sqlFailure(db.lastError(), connection_);
    }
    QSqlQuery query(db);
    bool ok = query.prepare(sql);
    if (ok) {
        query.addBindValue(isSent);
        query.addBindValue(status);
        query.addBindValue(savedAt);
        query.addBindValue(recId);
        for (const QVariant& guard : guards) {
            query.addBindValue(guard);
        }
        ok = query.exec();
    }
    if (!ok) {
        const KorvaneError failure = sqlFailure(query.lastError(), connection_, &query);
        if (transactional) {
            db.rollback();
        }
        throw failure;
    }
    const int changed = query.numRowsAffected();
    query.finish();
    if (changed != 1) {
        if (transactional) {
            db.rollback();
        }
        throw KorvaneError(
            ErrorNumber::RowNotLocated,
            changed == 0
                ? QStringLiteral("Row cannot be located for updating. Some values may have been "
                                 "changed since it was last read.")
                : QStringLiteral("Row cannot be saved: RecId %1 names %2 rows of tblMessages.")
                      .arg(MessageTable::toText(recId))
                      .arg(changed));
    }
    if (transactional && !db.commit()) {
        const KorvaneError failure = sqlFailure(db.lastError(), connection_);
        db.rollback();
        throw failure;
    }
    Row& saved = rows_[static_cast<size_t>(row)];
    saved[static_cast<int>(Column::IsSent)] = isSent;
    saved[static_cast<int>(Column::ProcessStatus)] = status;
    saved[static_cast<int>(Column::ProcessedDate)] = savedAt;
}

}  // namespace korvane
