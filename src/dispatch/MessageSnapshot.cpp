#include "dispatch/MessageSnapshot.h"

#include <QSqlDriver>
#include <QSqlError>
#include <QSqlQuery>
#include <QSqlRecord>

#include "core/KorvaneError.h"
#include "dispatch/DatabaseConnection.h"
#include "dispatch/OdbcStatement.h"

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
    const int status = static_cast<int>(Column::ProcessStatus);
    while (query.next()) {
        if (index[status] >= 0 && MessageTable::isHeld(query.value(index[status]).toString())) {
            continue;
        }
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

MessageSnapshot::Write MessageSnapshot::update(int row, const QString& assignments,
                                               QVariantList values, bool onClaim) {
    QString sql = QStringLiteral("UPDATE tblMessages SET ") + assignments +
                  QStringLiteral(" WHERE RecId = ?");
    values << value(row, Column::RecId);
    const Column guarded[] = {Column::IsSent, Column::ProcessStatus};
    for (Column column : guarded) {
        if (onClaim && column == Column::IsSent) {
            continue;
        }
        const QVariant& original =
            onClaim ? QVariant(QString::fromLatin1(MessageTable::Outcome::kBeingSent))
                    : value(row, column);
        // Null is tested in the text: "? IS NULL" with a Null parameter fails on some drivers.
        sql += QStringLiteral(" AND ") + MessageTable::columnName(column) +
               (original.isNull() ? QStringLiteral(" IS NULL") : QStringLiteral(" = ?"));
        if (!original.isNull()) {
            values << original;
        }
    }

    QSqlDatabase db = connection_.database();
    const bool transactional = db.driver()->hasFeature(QSqlDriver::Transactions);
    if (transactional && !db.transaction()) {
        throw sqlFailure(db.lastError(), connection_);
    }
    auto rollback = [&] {
        // The connection may be what failed: the first failure is the one worth reporting.
        if (transactional && !db.rollback()) {
            connection_.close();
        }
    };
    qint64 changed = 0;
    try {
        changed = OdbcStatement(db, connection_.password()).execute(sql, values);
    } catch (const KorvaneError&) {
        rollback();
        throw;
    }
    if (changed != 1) {
        rollback();
        return changed == 0 ? Write::Changed : Write::Shared;
    }
    if (transactional && !db.commit()) {
        const KorvaneError failure = sqlFailure(db.lastError(), connection_);
        rollback();
        throw failure;
    }
    return Write::Done;
}

namespace {
// Whole seconds: what every date column keeps.
QDateTime wholeSeconds(const QDateTime& at) {
    return QDateTime(at.date(), QTime(at.time().hour(), at.time().minute(), at.time().second()));
}
}  // namespace

MessageSnapshot::Write MessageSnapshot::claim(int row, const QDateTime& at) {
    const Write result =
        update(row, QStringLiteral("ProcessStatus = ?, ProcessedDate = ?"),
               {QString::fromLatin1(MessageTable::Outcome::kBeingSent), wholeSeconds(at)}, false);
    if (result == Write::Done) {
        rows_[static_cast<size_t>(row)][static_cast<int>(Column::ProcessStatus)] =
            QString::fromLatin1(MessageTable::Outcome::kBeingSent);
    }
    return result;
}

MessageSnapshot::Write MessageSnapshot::record(int row, const QString& isSent,
                                               const QString& status, const QDateTime& at) {
    return update(row, QStringLiteral("IsSent = ?, ProcessStatus = ?, ProcessedDate = ?"),
                  {isSent, status, wholeSeconds(at)}, false);
}

void MessageSnapshot::finish(int row, const QString& isSent, const QString& status,
                             const QDateTime& at) {
    const Write result =
        update(row, QStringLiteral("IsSent = ?, ProcessStatus = ?, ProcessedDate = ?"),
               {isSent, status, wholeSeconds(at)}, true);
    if (result != Write::Done) {
        throw KorvaneError(
            ErrorNumber::RowNotLocated,
            QStringLiteral("Row cannot be saved: RecId %1 no longer holds exactly one row marked "
                           "'%2'.")
                .arg(MessageTable::toText(value(row, Column::RecId)),
                     QString::fromLatin1(MessageTable::Outcome::kBeingSent)));
    }
}

QList<MessageSnapshot::Claim> MessageSnapshot::claimsBefore(DatabaseConnection& connection,
                                                            const QDateTime& cutoff) {
    QSqlQuery query(connection.database());
    query.setForwardOnly(true);
    // The claim text is a constant of ours: in the statement text rather than bound.
    if (!query.exec(QStringLiteral("SELECT RecId, ProcessedDate FROM tblMessages WHERE "
                                   "ProcessStatus = '%1' ORDER BY RecId")
                        .arg(QLatin1String(MessageTable::Outcome::kBeingSent)))) {
        throw sqlFailure(query.lastError(), connection, &query);
    }
    QList<Claim> claims;
    while (query.next()) {
        const QVariant stored = query.value(1);
        QDateTime since = stored.toDateTime();
        if (!since.isValid() && !stored.isNull()) {
            // Text dates (SQLite): "yyyy-MM-dd hh:mm:ss", perhaps with a fraction.
            since = QDateTime::fromString(stored.toString().left(19),
                                          QStringLiteral("yyyy-MM-dd hh:mm:ss"));
        }
        if (!since.isValid() || since < cutoff) {
            claims.append(Claim{query.value(0), since});
        }
    }
    return claims;
}

}  // namespace korvane
