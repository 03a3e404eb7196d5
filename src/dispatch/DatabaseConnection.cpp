#include "dispatch/DatabaseConnection.h"

#include <sql.h>
#include <sqlext.h>

#include <QAtomicInt>
#include <QFile>
#include <QFileInfo>
#include <QRegularExpression>
#include <QSqlDriver>
#include <QSqlError>
#include <QSqlQuery>
#include <QSqlResult>
#include <QTextStream>

#include "core/KorvaneError.h"

namespace korvane {

namespace {
QAtomicInt connectionCounter;
}  // namespace

DatabaseConnection::DatabaseConnection()
    : name_(QStringLiteral("korvane-%1").arg(connectionCounter.fetchAndAddRelaxed(1))) {}

DatabaseConnection::~DatabaseConnection() {
    close();
}

QString DatabaseConnection::quoteValue(const QString& value) {
    static const QRegularExpression special(QStringLiteral("[;{}=\\[\\]]|^\\s|\\s$"));
    if (!value.contains(special)) {
        return value;
    }
    QString escaped = value;
    escaped.replace(QLatin1Char('}'), QStringLiteral("}}"));
    return QLatin1Char('{') + escaped + QLatin1Char('}');
}

QString DatabaseConnection::fileDsnConnectionString(const QString& path, const QString& dsnName) {
    const QFileInfo info(path);
    if (!info.isFile() || !path.endsWith(QStringLiteral("dsn")) ||
        info.completeBaseName() != dsnName) {
        return QString();
    }
    QFile file(path);
    if (!file.open(QIODevice::ReadOnly | QIODevice::Text)) {
        return QString();
    }
    QStringList parts;
    bool inOdbcSection = false;
    QTextStream in(&file);
    while (!in.atEnd()) {
        const QString line = in.readLine().trimmed();
        if (line.startsWith(QLatin1Char('['))) {
            inOdbcSection = line.compare(QStringLiteral("[ODBC]"), Qt::CaseInsensitive) == 0;
            continue;
        }
        const qsizetype equals = line.indexOf(QLatin1Char('='));
        if (!inOdbcSection || equals <= 0 || line.startsWith(QLatin1Char(';'))) {
            continue;
        }
        const QString key = line.left(equals).trimmed();
        const QString value = line.mid(equals + 1).trimmed();
        // The driver name always goes in braces; DRIVER must come first.
        if (key.compare(QStringLiteral("DRIVER"), Qt::CaseInsensitive) == 0) {
            QString driver = value;
            if (driver.startsWith(QLatin1Char('{')) && driver.endsWith(QLatin1Char('}'))) {
                driver = driver.mid(1, driver.size() - 2);
            }
            parts.prepend(QStringLiteral("DRIVER={") + driver + QLatin1Char('}'));
        } else {
            parts.append(key + QLatin1Char('=') + quoteValue(value));
        }
    }
    if (parts.isEmpty() || !parts.first().startsWith(QStringLiteral("DRIVER="))) {
        return QString();
    }
    return parts.join(QLatin1Char(';'));
}

void DatabaseConnection::open(const QString& dsnName, const QString& user, const QString& password,
                              const QString& fileDsnPath) {
    close();
    password_ = password;
    QString failure;
    {
        QSqlDatabase db = QSqlDatabase::addDatabase(QStringLiteral("QODBC"), name_);
        if (!db.isValid()) {
            failure = QStringLiteral("The QODBC driver is not available: ") + db.lastError().text();
        } else {
            db.setConnectOptions(
                QStringLiteral("SQL_ATTR_ODBC_VERSION=SQL_OV_ODBC3;SQL_ATTR_LOGIN_TIMEOUT=15"));
            // QODBC writes "DSN=<name>;UID=<user>;PWD=<password>" without quoting: values that
            // hold ';' or '}' are braced here so that they reach the driver whole.
            const QString fromFile =
                fileDsnPath.isEmpty() ? QString() : fileDsnConnectionString(fileDsnPath, dsnName);
            db.setDatabaseName(fromFile.isEmpty() ? quoteValue(dsnName) : fromFile);
            db.setUserName(quoteValue(user));
            db.setPassword(quoteValue(password));
            if (!db.open()) {
                failure = describeSqlError(db.lastError(), password);
            }
        }
    }
    if (!failure.isNull()) {
        close();
        throw KorvaneError(ErrorNumber::ProviderError, failure);
    }
}

bool DatabaseConnection::isOpen() const {
    return QSqlDatabase::contains(name_) && QSqlDatabase::database(name_, false).isOpen();
}

QSqlDatabase DatabaseConnection::database() const {
    return QSqlDatabase::database(name_, false);
}

void DatabaseConnection::inTransaction(const std::function<void()>& work) {
    QSqlDatabase db = database();
    const bool transactions = db.driver()->hasFeature(QSqlDriver::Transactions);
    const auto failure = [this] {
        return KorvaneError(ErrorNumber::ProviderError,
                            describeSqlError(database().lastError(), password_));
    };
    if (transactions && !db.transaction()) {
        throw failure();
    }
    try {
        work();
    } catch (const KorvaneError&) {
        if (transactions) {
            db.rollback();
        }
        throw;
    }
    if (transactions && !db.commit()) {
        const KorvaneError error = failure();
        db.rollback();
        throw error;
    }
}

void DatabaseConnection::close() {
    if (!QSqlDatabase::contains(name_)) {
        return;
    }
    {
        QSqlDatabase db = QSqlDatabase::database(name_, false);
        if (db.isOpen()) {
            db.close();
        }
    }
    QSqlDatabase::removeDatabase(name_);
}

QString sqlState(const QSqlQuery& query) {
    // QODBC reports only the driver's message; its statement handle still holds the SQLSTATE.
    const QVariant handle = query.result() != nullptr ? query.result()->handle() : QVariant();
    if (!handle.isValid() || handle.metaType() != QMetaType::fromType<SQLHANDLE>()) {
        return QString();
    }
    SQLHANDLE statement = *static_cast<const SQLHANDLE*>(handle.constData());
    if (statement == nullptr) {
        return QString();
    }
    SQLCHAR state[SQL_SQLSTATE_SIZE + 1] = {0};
    SQLINTEGER native = 0;
    SQLSMALLINT length = 0;
    if (!SQL_SUCCEEDED(
            SQLGetDiagRecA(SQL_HANDLE_STMT, statement, 1, state, &native, nullptr, 0, &length))) {
        return QString();
    }
    return QString::fromLatin1(reinterpret_cast<const char*>(state));
}

QString describeSqlError(const QSqlError& error, const QString& password, const QString& state) {
    QString text = error.databaseText().trimmed();
    if (text.isEmpty()) {
        text = error.driverText().trimmed();
    }
    // One log line per entry: the driver's own line breaks are folded.
    text.replace(QStringLiteral("\r\n"), QStringLiteral(" "))
        .replace(QLatin1Char('\n'), QLatin1Char(' '));
    if (!state.isEmpty() && !text.contains(state)) {
        text += QStringLiteral(" (SQLSTATE ") + state + QLatin1Char(')');
    }
    // Some drivers echo the connection string; a password must never reach a log line.
    static const QRegularExpression pwd(
        QStringLiteral("(PWD|PASSWORD)=(\\{([^}]|\\}\\})*\\}|[^;]*)"),
        QRegularExpression::CaseInsensitiveOption);
    text.replace(pwd, QStringLiteral("\\1=***"));
    if (password.size() >= 3) {
        text.replace(password, QStringLiteral("***"));
    }
    return text;
}

KorvaneError sqlFailure(const QSqlError& error, const DatabaseConnection& connection,
                        const QSqlQuery* query) {
    return KorvaneError(
        ErrorNumber::ProviderError,
        describeSqlError(error, connection.password(), query ? sqlState(*query) : QString()));
}

void* odbcHandle(const QVariant& handle) {
    return handle.metaType() == QMetaType::fromType<void*>()
               ? *static_cast<void* const*>(handle.constData())
               : nullptr;
}

}  // namespace korvane
