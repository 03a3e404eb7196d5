#include "dispatch/OdbcMessageStore.h"

#include <sql.h>
#include <sqlext.h>

#include <QSqlDriver>
#include <QSqlError>
#include <QSqlQuery>
#include <QSqlRecord>
#include <QSqlResult>

#include "core/KorvaneError.h"

namespace korvane {

using MessageTable::Column;

namespace {
KorvaneError sqlFailure(const QSqlError& error, const DatabaseConnection& connection,
                        const QSqlQuery* query = nullptr) {
    return KorvaneError(
        ErrorNumber::ProviderError,
        describeSqlError(error, connection.password(), query ? sqlState(*query) : QString()));
}

// Whole seconds: what every date column keeps.
QDateTime wholeSeconds(const QDateTime& at) {
    return QDateTime(at.date(), QTime(at.time().hour(), at.time().minute(), at.time().second()));
}

void* statementHandle(const QSqlQuery& query) {
    const QVariant handle = query.result() != nullptr ? query.result()->handle() : QVariant();
    return handle.metaType() == QMetaType::fromType<SQLHANDLE>()
               ? *static_cast<const SQLHANDLE*>(handle.constData())
               : nullptr;
}
}  // namespace

void OdbcMessageStore::open(const DataSourceSettings& source) {
    connection_.open(source.dsnName, source.user, source.password, source.fileDsnPath);
    boundLockWaits();
}

// How long a statement waits for a lock held by another transaction: SQLite as long as the
// data source says (100 s by default), MariaDB and MySQL their server's setting (50 s); the
// others take the statements' query timeout. The SQLite driver waits for a busy database
// twice over (measured: twice the busy timeout and some 4 s more), hence half of it there.
void OdbcMessageStore::boundLockWaits() {
    QSqlDatabase db = connection_.database();
    const QVariant handle = db.driver() != nullptr ? db.driver()->handle() : QVariant();
    if (handle.metaType() != QMetaType::fromType<SQLHANDLE>()) {
        return;
    }
    SQLWCHAR name[128] = {0};
    SQLSMALLINT length = 0;
    SQLGetInfoW(*static_cast<const SQLHANDLE*>(handle.constData()), SQL_DRIVER_NAME, name,
                sizeof(name), &length);
    const QString driver = QString::fromUtf16(reinterpret_cast<const char16_t*>(name));
    QSqlQuery query(db);
    if (driver.contains(QStringLiteral("sqlite"), Qt::CaseInsensitive)) {
        query.exec(QStringLiteral("PRAGMA busy_timeout = %1").arg(lockTimeoutS_ * 500));
    } else if (driver.contains(QStringLiteral("maodbc"), Qt::CaseInsensitive) ||
               driver.contains(QStringLiteral("myodbc"), Qt::CaseInsensitive)) {
        query.exec(QStringLiteral("SET SESSION innodb_lock_wait_timeout = %1").arg(lockTimeoutS_));
    }
}

void OdbcMessageStore::select(const QString& statement) {
    rows_.clear();
    QSqlQuery query(connection_.database());
    query.setForwardOnly(true);
    if (!query.prepare(statement)) {
        throw sqlFailure(query.lastError(), connection_, &query);
    }
    cancel_.enter(statementHandle(query));
    const bool ran = query.exec();
    cancel_.leave();
    if (!ran) {
        throw sqlFailure(query.lastError(), connection_, &query);
    }

    // Columns by name, whatever case the database folds them to.
    std::array<int, MessageTable::kColumnCount> index{};
    TableRow::Present present{};
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
        present[c] = index[c] >= 0;
    }
    // Only what each row's type will read is kept: e-mail columns of SMS rows and the other
    // way round are never looked at, and 100,000 waiting rows must stay small.
    const int type = static_cast<int>(Column::MessageType);
    const int status = static_cast<int>(Column::ProcessStatus);
    while (query.next()) {
        if (index[status] >= 0 && MessageTable::isHeld(query.value(index[status]).toString())) {
            continue;
        }
        TableRow::Values row;
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
        rows_.emplace_back(std::move(row), present);
    }
    if (query.lastError().isValid()) {
        throw sqlFailure(query.lastError(), connection_, &query);
    }
}

std::vector<TableRow> OdbcMessageStore::nextPage(int limit) {
    std::vector<TableRow> page;
    while (!rows_.empty() && static_cast<int>(page.size()) < limit) {
        page.push_back(std::move(rows_.front()));
        rows_.pop_front();
    }
    return page;
}

MessageStore::Write OdbcMessageStore::update(const TableRow& row, const QString& assignments,
                                             QVariantList values, bool onClaim) {
    QString sql = QStringLiteral("UPDATE tblMessages SET ") + assignments +
                  QStringLiteral(" WHERE RecId = ?");
    values << row.value(Column::RecId);
    const Column guarded[] = {Column::IsSent, Column::ProcessStatus};
    for (Column column : guarded) {
        if (onClaim && column == Column::IsSent) {
            continue;
        }
        const QVariant original =
            onClaim ? QVariant(QString::fromLatin1(MessageTable::Outcome::kBeingSent))
                    : row.value(column);
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
        changed =
            OdbcStatement(db, connection_.password(), &cancel_, lockTimeoutS_).execute(sql, values);
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

std::vector<MessageStore::Write> OdbcMessageStore::claim(const std::vector<TableRow>& rows,
                                                         const QDateTime& at) {
    std::vector<Write> results;
    for (const TableRow& row : rows) {
        try {
            results.push_back(update(
                row, QStringLiteral("ProcessStatus = ?, ProcessedDate = ?"),
                {QString::fromLatin1(MessageTable::Outcome::kBeingSent), wholeSeconds(at)}, false));
        } catch (const LockTimeout&) {
            // Another transaction holds the row: as good as taken, and nothing was sent.
            results.push_back(Write::Changed);
        }
    }
    return results;
}

MessageStore::Write OdbcMessageStore::record(const Outcome& outcome, const QDateTime& at) {
    return update(outcome.row, QStringLiteral("IsSent = ?, ProcessStatus = ?, ProcessedDate = ?"),
                  {outcome.isSent, outcome.status, wholeSeconds(at)}, false);
}

std::vector<std::optional<KorvaneError>> OdbcMessageStore::finish(
    const std::vector<Outcome>& outcomes, const QDateTime& at) {
    std::vector<std::optional<KorvaneError>> results;
    for (const Outcome& outcome : outcomes) {
        try {
            const Write result = update(
                outcome.row, QStringLiteral("IsSent = ?, ProcessStatus = ?, ProcessedDate = ?"),
                {outcome.isSent, outcome.status, wholeSeconds(at)}, true);
            if (result == Write::Done) {
                results.emplace_back();
                continue;
            }
            results.emplace_back(KorvaneError(
                ErrorNumber::RowNotLocated,
                QStringLiteral("Row cannot be saved: RecId %1 no longer holds exactly one row "
                               "marked '%2'.")
                    .arg(MessageTable::toText(outcome.row.asRead(Column::RecId)),
                         QString::fromLatin1(MessageTable::Outcome::kBeingSent))));
        } catch (const KorvaneError& error) {
            results.emplace_back(error);
        }
    }
    return results;
}

QList<MessageStore::Claim> OdbcMessageStore::claimsBefore(const QDateTime& cutoff) {
    QSqlQuery query(connection_.database());
    query.setForwardOnly(true);
    // The claim text is a constant of ours: in the statement text rather than bound.
    if (!query.exec(QStringLiteral("SELECT RecId, ProcessedDate FROM tblMessages WHERE "
                                   "ProcessStatus = '%1' ORDER BY RecId")
                        .arg(QLatin1String(MessageTable::Outcome::kBeingSent)))) {
        throw sqlFailure(query.lastError(), connection_, &query);
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
