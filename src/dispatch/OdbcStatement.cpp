#include "dispatch/OdbcStatement.h"

#include <sql.h>
#include <sqlext.h>

#include <QDateTime>
#include <QSqlDriver>
#include <QSqlError>
#include <algorithm>
#include <deque>
#include <memory>

#include "core/KorvaneError.h"
#include "dispatch/DatabaseConnection.h"

namespace korvane {

namespace {

static_assert(sizeof(SQLWCHAR) == sizeof(char16_t), "ODBC wide characters are UTF-16 here");

struct StatementHandle {
    SQLHSTMT handle = SQL_NULL_HSTMT;
    ~StatementHandle() {
        if (handle != SQL_NULL_HSTMT) {
            SQLFreeHandle(SQL_HANDLE_STMT, handle);
        }
    }
};

// Done with the statement, however the call ends: a cancel still using it frees it.
struct LeaveCancelPoint {
    CancelPoint* point;
    StatementHandle& statement;
    ~LeaveCancelPoint() {
        if (point != nullptr && point->leaveAndHandOver()) {
            statement.handle = SQL_NULL_HSTMT;
        }
    }
};

// Every diagnostic record of the handle, with the first SQLSTATE.
QString diagnostics(SQLSMALLINT type, SQLHANDLE handle, QString& state) {
    QStringList messages;
    for (SQLSMALLINT record = 1;; ++record) {
        SQLWCHAR sqlState[SQL_SQLSTATE_SIZE + 1] = {0};
        SQLWCHAR message[SQL_MAX_MESSAGE_LENGTH + 1] = {0};
        SQLINTEGER native = 0;
        SQLSMALLINT length = 0;
        const SQLRETURN r = SQLGetDiagRecW(type, handle, record, sqlState, &native, message,
                                           SQL_MAX_MESSAGE_LENGTH, &length);
        if (!SQL_SUCCEEDED(r)) {
            break;
        }
        if (state.isEmpty()) {
            state = QString::fromUtf16(reinterpret_cast<const char16_t*>(sqlState));
        }
        messages << QString::fromUtf16(reinterpret_cast<const char16_t*>(message));
    }
    return messages.join(QLatin1Char(' '));
}

// The bound buffers must stay where they are until the statement has run.
struct Bound {
    std::deque<QString> texts;
    std::deque<SQLBIGINT> numbers;
    std::deque<SQL_TIMESTAMP_STRUCT> stamps;
    std::deque<SQLLEN> indicators;
};

SQLRETURN bind(SQLHSTMT statement, SQLUSMALLINT number, const QVariant& value, Bound& bound) {
    SQLLEN& indicator = bound.indicators.emplace_back();
    switch (value.isNull() ? QMetaType::UnknownType : value.userType()) {
        case QMetaType::UnknownType:
            indicator = SQL_NULL_DATA;
            return SQLBindParameter(statement, number, SQL_PARAM_INPUT, SQL_C_WCHAR, SQL_WVARCHAR,
                                    1, 0, nullptr, 0, &indicator);
        case QMetaType::Int:
        case QMetaType::UInt:
        case QMetaType::LongLong:
        case QMetaType::Short:
        case QMetaType::UShort:
            bound.numbers.push_back(value.toLongLong());
            indicator = 0;
            return SQLBindParameter(statement, number, SQL_PARAM_INPUT, SQL_C_SBIGINT, SQL_BIGINT,
                                    0, 0, &bound.numbers.back(), 0, &indicator);
        case QMetaType::QDateTime: {
            const QDateTime at = value.toDateTime();
            bound.stamps.push_back(
                SQL_TIMESTAMP_STRUCT{static_cast<SQLSMALLINT>(at.date().year()),
                                     static_cast<SQLUSMALLINT>(at.date().month()),
                                     static_cast<SQLUSMALLINT>(at.date().day()),
                                     static_cast<SQLUSMALLINT>(at.time().hour()),
                                     static_cast<SQLUSMALLINT>(at.time().minute()),
                                     static_cast<SQLUSMALLINT>(at.time().second()), 0});
            indicator = sizeof(SQL_TIMESTAMP_STRUCT);
            return SQLBindParameter(statement, number, SQL_PARAM_INPUT, SQL_C_TYPE_TIMESTAMP,
                                    SQL_TYPE_TIMESTAMP, 19, 0, &bound.stamps.back(), 0, &indicator);
        }
        default: {
            // Any other value in its text form (a RecId stored as text, say).
            bound.texts.push_back(value.toString());
            QString& text = bound.texts.back();
            const auto bytes = static_cast<SQLLEN>(text.size() * 2);
            indicator = bytes;
            const auto columnSize = static_cast<SQLULEN>(std::max<qsizetype>(1, text.size()));
            return SQLBindParameter(statement, number, SQL_PARAM_INPUT, SQL_C_WCHAR, SQL_WVARCHAR,
                                    columnSize, 0, const_cast<ushort*>(text.utf16()), bytes,
                                    &indicator);
        }
    }
}

// The text of every column of every result row, row by row (Null as ""); false when a call
// fails.
bool fetchColumns(SQLHSTMT statement, QStringList& values) {
    SQLSMALLINT columns = 0;
    if (!SQL_SUCCEEDED(SQLNumResultCols(statement, &columns))) {
        return false;
    }
    SQLRETURN fetched = SQL_SUCCESS;
    while (SQL_SUCCEEDED(fetched = SQLFetch(statement))) {
        for (SQLUSMALLINT column = 1; column <= SQLUSMALLINT(columns); ++column) {
            SQLWCHAR value[512] = {0};
            SQLLEN length = 0;
            if (!SQL_SUCCEEDED(SQLGetData(statement, column, SQL_C_WCHAR, value,
                                          sizeof(value) - sizeof(SQLWCHAR), &length))) {
                return false;
            }
            values << (length == SQL_NULL_DATA
                           ? QString()
                           : QString::fromUtf16(reinterpret_cast<const char16_t*>(value)));
        }
    }
    return fetched == SQL_NO_DATA;
}

}  // namespace

void CancelPoint::enter(void* statement) {
    const std::lock_guard<std::mutex> lock(mutex_);
    statement_ = statement;
}

bool CancelPoint::leaveAndHandOver() {
    const std::lock_guard<std::mutex> lock(mutex_);
    statement_ = nullptr;
    handedOver_ = cancelling_ != nullptr;
    return handedOver_;
}

void CancelPoint::leave() {
    std::unique_lock<std::mutex> lock(mutex_);
    statement_ = nullptr;
    cancelled_.wait(lock, [this] { return cancelling_ == nullptr; });
}

void CancelPoint::setEnabled(bool enabled) {
    const std::lock_guard<std::mutex> lock(mutex_);
    enabled_ = enabled;
}

void CancelPoint::cancel() {
    void* statement = nullptr;
    {
        const std::lock_guard<std::mutex> lock(mutex_);
        if (!enabled_ || statement_ == nullptr || cancelling_ != nullptr) {
            return;
        }
        statement = cancelling_ = statement_;
        handedOver_ = false;
    }
    // Unlocked: the database's thread goes on while the driver reaches the server.
    SQLCancel(static_cast<SQLHSTMT>(statement));
    bool free = false;
    {
        const std::lock_guard<std::mutex> lock(mutex_);
        free = handedOver_;
        cancelling_ = nullptr;
        handedOver_ = false;
    }
    cancelled_.notify_all();
    if (free) {
        SQLFreeHandle(SQL_HANDLE_STMT, static_cast<SQLHSTMT>(statement));
    }
}

bool LockTimeout::matches(const QString& state, const QString& text) {
    // Timeout expired, cancelled, statement or lock timeout (PostgreSQL), interrupted
    // (MariaDB's max_statement_time), and SQLite's busy or interrupted database.
    static const QStringList states = {QStringLiteral("HYT00"), QStringLiteral("HYT01"),
                                       QStringLiteral("HY008"), QStringLiteral("57014"),
                                       QStringLiteral("55P03"), QStringLiteral("70100")};
    static const QStringList texts = {
        QStringLiteral("database is locked"), QStringLiteral("Lock wait timeout"),
        QStringLiteral("max_statement_time"), QStringLiteral("interrupted")};
    return states.contains(state) ||
           std::any_of(texts.begin(), texts.end(), [&text](const QString& known) {
               return text.contains(known, Qt::CaseInsensitive);
           });
}

OdbcStatement::OdbcStatement(const QSqlDatabase& database, QString password, CancelPoint* cancel,
                             int timeoutS)
    : database_(database), password_(std::move(password)), cancel_(cancel), timeoutS_(timeoutS) {}

qint64 OdbcStatement::execute(const QString& sql, const QVariantList& params,
                              QStringList* returned) const {
    const QVariant driverHandle =
        database_.driver() != nullptr ? database_.driver()->handle() : QVariant();
    if (!database_.isOpen() || driverHandle.metaType() != QMetaType::fromType<SQLHANDLE>()) {
        throw KorvaneError(ErrorNumber::ProviderError,
                           QStringLiteral("The connection to the data source is not open."));
    }
    SQLHDBC connection = *static_cast<const SQLHANDLE*>(driverHandle.constData());
    StatementHandle statement;
    auto raise = [&](SQLSMALLINT type, SQLHANDLE handle) {
        QString state;
        const QString text = diagnostics(type, handle, state);
        const QString description = describeSqlError(QSqlError(QString(), text), password_, state);
        if (LockTimeout::matches(state, text)) {
            throw LockTimeout(ErrorNumber::ProviderError, description);
        }
        throw KorvaneError(ErrorNumber::ProviderError, description);
    };
    if (!SQL_SUCCEEDED(SQLAllocHandle(SQL_HANDLE_STMT, connection, &statement.handle))) {
        raise(SQL_HANDLE_DBC, connection);
    }

    Bound bound;
    for (qsizetype i = 0; i < params.size(); ++i) {
        if (!SQL_SUCCEEDED(
                bind(statement.handle, static_cast<SQLUSMALLINT>(i + 1), params[i], bound))) {
            raise(SQL_HANDLE_STMT, statement.handle);
        }
    }

    // Where the driver has no query timeout the call fails harmlessly; it runs without one.
    SQLSetStmtAttr(statement.handle, SQL_ATTR_QUERY_TIMEOUT,
                   reinterpret_cast<SQLPOINTER>(static_cast<SQLULEN>(timeoutS_)), 0);
    std::u16string command = sql.toStdU16String();
    if (cancel_ != nullptr) {
        cancel_->enter(statement.handle);
    }
    const LeaveCancelPoint leave{cancel_, statement};
    const SQLRETURN r =
        SQLExecDirectW(statement.handle, reinterpret_cast<SQLWCHAR*>(command.data()),
                       static_cast<SQLINTEGER>(command.size()));
    if (r == SQL_NO_DATA) {
        return 0;  // a searched UPDATE that matched nothing
    }
    if (!SQL_SUCCEEDED(r)) {
        raise(SQL_HANDLE_STMT, statement.handle);
    }
    SQLLEN changed = 0;
    if (!SQL_SUCCEEDED(SQLRowCount(statement.handle, &changed))) {
        raise(SQL_HANDLE_STMT, statement.handle);
    }
    if (returned != nullptr && !fetchColumns(statement.handle, *returned)) {
        raise(SQL_HANDLE_STMT, statement.handle);
    }
    return static_cast<qint64>(changed);
}

}  // namespace korvane
