#include "dispatch/GuardedWrites.h"

#include <sql.h>
#include <sqlext.h>

#include <QMap>
#include <QSqlDriver>
#include <QSqlError>
#include <algorithm>

#include "dispatch/DatabaseConnection.h"
#include "dispatch/OdbcStatement.h"
#include "dispatch/TableColumns.h"

namespace korvane {

namespace {

// Null is tested in the text: "? IS NULL" with a Null parameter fails on some drivers.
QString guardText(const std::vector<std::pair<QString, QVariant>>& guards, QVariantList& values) {
    QString sql;
    for (const auto& [column, original] : guards) {
        sql += QStringLiteral(" AND ") + column +
               (original.isNull() ? QStringLiteral(" IS NULL") : QStringLiteral(" = ?"));
        if (!original.isNull()) {
            values << original;
        }
    }
    return sql;
}

// A key as read against one the database returned as text: as numbers where both are (a
// NUMERIC key may come back as "7.00"), else as text.
bool sameKey(const QVariant& read, const QString& returned) {
    bool readIsNumber = false;
    bool returnedIsNumber = false;
    const double a = read.toDouble(&readIsNumber);
    const double b = returned.toDouble(&returnedIsNumber);
    return readIsNumber && returnedIsNumber ? a == b : read.toString() == returned;
}

bool sameChange(const GuardedWrites::Update& a, const GuardedWrites::Update& b) {
    const auto columns = [](const GuardedWrites::Update& update) {
        QStringList names;
        for (const auto& [column, value] : update.rowValues) {
            names << column;
        }
        return names;
    };
    return a.assignments == b.assignments && a.values == b.values && a.guards == b.guards &&
           columns(a) == columns(b);
}

// Rows that change alike, in the order their first row comes.
std::vector<std::vector<const GuardedWrites::Update*>> groups(
    const std::vector<GuardedWrites::Update>& updates) {
    std::vector<std::vector<const GuardedWrites::Update*>> result;
    for (const GuardedWrites::Update& update : updates) {
        auto group = std::find_if(result.begin(), result.end(), [&](const auto& members) {
            return sameChange(*members.front(), update);
        });
        if (group == result.end()) {
            result.push_back({&update});
        } else {
            group->push_back(&update);
        }
    }
    return result;
}

// One UPDATE for rows that change alike, by RecId IN (...), its values into values.
QString groupedStatement(const std::vector<const GuardedWrites::Update*>& members, bool returning,
                         QVariantList& values) {
    const GuardedWrites::Update& first = *members.front();
    values = first.values;
    QString assignments = first.assignments;
    for (size_t c = 0; c < first.rowValues.size(); ++c) {
        assignments +=
            QStringLiteral(", ") + first.rowValues[c].first + QStringLiteral(" = CASE RecId");
        for (const GuardedWrites::Update* member : members) {
            assignments += QStringLiteral(" WHEN ? THEN ?");
            values << member->recId << member->rowValues[c].second;
        }
        assignments += QStringLiteral(" END");
    }
    QStringList markers;
    for (const GuardedWrites::Update* member : members) {
        values << member->recId;
        markers << QStringLiteral("?");
    }
    return QStringLiteral("UPDATE tblMessages SET ") + assignments +
           QStringLiteral(" WHERE RecId IN (") + markers.join(QStringLiteral(", ")) +
           QLatin1Char(')') + guardText(first.guards, values) +
           (returning ? QStringLiteral(" RETURNING RecId") : QString());
}

KorvaneError transactionFailure(const DatabaseConnection& connection) {
    return KorvaneError(ErrorNumber::ProviderError,
                        describeSqlError(connection.database().lastError(), connection.password()));
}

// The key columns SQLPrimaryKeys (unique: false) or SQLStatistics (unique: true, each
// unique index) names for the table, upper-cased; index names keep several columns apart.
QMap<QString, QStringList> keyColumns(SQLHDBC connection, const QString& table, bool unique) {
    QMap<QString, QStringList> keys;
    SQLHSTMT statement = SQL_NULL_HSTMT;
    if (!SQL_SUCCEEDED(SQLAllocHandle(SQL_HANDLE_STMT, connection, &statement))) {
        return keys;
    }
    std::u16string name = table.toStdU16String();
    auto* text = reinterpret_cast<SQLWCHAR*>(name.data());
    const auto length = static_cast<SQLSMALLINT>(name.size());
    const SQLRETURN r = unique ? SQLStatisticsW(statement, nullptr, 0, nullptr, 0, text, length,
                                                SQL_INDEX_UNIQUE, SQL_QUICK)
                               : SQLPrimaryKeysW(statement, nullptr, 0, nullptr, 0, text, length);
    // Columns: 4 COLUMN_NAME and 6 PK_NAME; 9 COLUMN_NAME and 6 INDEX_NAME.
    const SQLUSMALLINT column = unique ? 9 : 4;
    while (SQL_SUCCEEDED(r) && SQL_SUCCEEDED(SQLFetch(statement))) {
        SQLWCHAR value[256] = {0};
        SQLWCHAR index[256] = {0};
        SQLLEN got = 0;
        SQLGetData(statement, column, SQL_C_WCHAR, value, sizeof(value) - 2, &got);
        if (got == SQL_NULL_DATA) {
            continue;  // SQLStatistics' table statistics row
        }
        SQLGetData(statement, 6, SQL_C_WCHAR, index, sizeof(index) - 2, &got);
        keys[QString::fromUtf16(reinterpret_cast<const char16_t*>(index))]
            << QString::fromUtf16(reinterpret_cast<const char16_t*>(value)).toUpper();
    }
    SQLFreeHandle(SQL_HANDLE_STMT, statement);
    return keys;
}

}  // namespace

void GuardedWrites::learn(const QString& dbms) {
    keyUnique_ = false;
    returning_ = dbms.contains(QStringLiteral("PostgreSQL"), Qt::CaseInsensitive);
    const QSqlDatabase db = connection_.database();
    SQLHDBC connection = odbcHandle(db.driver() != nullptr ? db.driver()->handle() : QVariant());
    if (connection == nullptr) {
        return;
    }
    const QString table = catalogTableName(connection);
    for (bool unique : {false, true}) {
        for (const QStringList& columns : keyColumns(connection, table, unique)) {
            if (columns == QStringList{QStringLiteral("RECID")}) {
                keyUnique_ = true;
                return;
            }
        }
    }
}

std::vector<GuardedWrites::Done> GuardedWrites::run(const std::vector<Update>& updates) {
    if (keyUnique_ && (returning_ || updates.size() > 1)) {
        if (std::optional<std::vector<Done>> done = runGrouped(updates)) {
            return *done;
        }
    }
    return runEach(updates);
}

// Each group as one UPDATE ... WHERE RecId IN (...). With RecId unique, a group that changes
// as many rows as it names has changed each of them once; where the database names the rows
// it changed (RETURNING), each row's result is known whatever the count. Anything else is
// rolled back and left to the row-by-row run, which tells the rows apart.
std::optional<std::vector<GuardedWrites::Done>> GuardedWrites::runGrouped(
    const std::vector<Update>& updates) {
    const auto all = groups(updates);
    // One statement is a transaction of its own: no round trips for BEGIN and COMMIT.
    const bool ownTransaction = !(returning_ && all.size() == 1);
    if (ownTransaction) {
        begin();
    }
    std::vector<Done> results(updates.size());
    try {
        for (const auto& members : all) {
            QVariantList values;
            const QString sql = groupedStatement(members, returning_, values);
            QStringList changed;
            if (execute(sql, values, returning_ ? &changed : nullptr) != qint64(members.size()) &&
                !returning_) {
                rollback();
                return std::nullopt;
            }
            for (const Update* member : members) {
                results[size_t(member - updates.data())].changed =
                    returning_ ? std::count_if(changed.begin(), changed.end(),
                                               [&](const QString& key) {
                                                   return sameKey(member->recId, key);
                                               })
                               : 1;
            }
        }
    } catch (const KorvaneError&) {
        if (ownTransaction) {
            rollback();
        }
        return std::nullopt;
    }
    if (ownTransaction) {
        commit();
    }
    return results;
}

std::vector<GuardedWrites::Done> GuardedWrites::runEach(const std::vector<Update>& updates) {
    std::vector<Done> results(updates.size());
    std::vector<bool> takenOut(updates.size(), false);
    for (;;) {
        begin();
        std::optional<size_t> failed;
        for (size_t i = 0; i < updates.size() && !failed; ++i) {
            if (takenOut[i]) {
                continue;
            }
            const Update& update = updates[i];
            QVariantList values = update.values;
            QString assignments = update.assignments;
            for (const auto& [column, value] : update.rowValues) {
                assignments += QStringLiteral(", ") + column + QStringLiteral(" = ?");
                values << value;
            }
            values << update.recId;
            const QString sql = QStringLiteral("UPDATE tblMessages SET ") + assignments +
                                QStringLiteral(" WHERE RecId = ?") +
                                guardText(update.guards, values);
            Done& done = results[i];
            done = Done{};
            try {
                done.changed = execute(sql, values);
            } catch (const LockTimeout& error) {
                done.error = error;
                done.timedOut = true;
            } catch (const KorvaneError& error) {
                if (update.raises) {
                    rollback();
                    throw;
                }
                done.error = error;
            }
            if (done.error || done.changed > 1) {
                failed = i;
            }
        }
        if (!failed) {
            commit();
            return results;
        }
        takenOut[*failed] = true;
        rollback();
    }
}

qint64 GuardedWrites::execute(const QString& sql, const QVariantList& values,
                              QStringList* returned) {
    return OdbcStatement(connection_.database(), connection_.password(), &cancel_, lockTimeoutS_)
        .execute(sql, values, returned);
}

void GuardedWrites::begin() {
    QSqlDatabase db = connection_.database();
    if (db.driver()->hasFeature(QSqlDriver::Transactions) && !db.transaction()) {
        throw transactionFailure(connection_);
    }
}

void GuardedWrites::commit() {
    QSqlDatabase db = connection_.database();
    if (db.driver()->hasFeature(QSqlDriver::Transactions) && !db.commit()) {
        const KorvaneError failure = transactionFailure(connection_);
        rollback();
        throw failure;
    }
}

void GuardedWrites::rollback() {
    QSqlDatabase db = connection_.database();
    // The connection may be what failed: the first failure is the one worth reporting.
    if (db.driver()->hasFeature(QSqlDriver::Transactions) && !db.rollback()) {
        connection_.close();
    }
}

}  // namespace korvane
