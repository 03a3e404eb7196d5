#pragma once

#include <QSqlDatabase>
#include <QString>
#include <QVariant>
#include <functional>

#include "core/KorvaneError.h"

namespace korvane {

// One ODBC connection for one use (a dispatch cycle or a connection test), opened by data
// source name with a user and a password, and closed and removed on every path.
class DatabaseConnection {
public:
    DatabaseConnection();
    ~DatabaseConnection();
    DatabaseConnection(const DatabaseConnection&) = delete;
    DatabaseConnection& operator=(const DatabaseConnection&) = delete;

    // Raises KorvaneError with the driver's own text when the data source cannot be opened.
    // fileDsnPath: a .dsn file to open instead, used only when its base name is dsnName.
    void open(const QString& dsnName, const QString& user, const QString& password,
              const QString& fileDsnPath = QString());
    bool isOpen() const;
    void close();
    QSqlDatabase database() const;
    const QString& password() const { return password_; }
    // Runs work in one transaction (where the driver has them): committed when it returns,
    // rolled back when it raises, which is raised on; a failed commit raises as well.
    void inTransaction(const std::function<void()>& work);

    // The ODBC connection string for a .dsn file's [ODBC] section, or "" when unusable.
    static QString fileDsnConnectionString(const QString& path, const QString& dsnName);
    // Braces a connection-string value that ODBC would otherwise split or trim.
    static QString quoteValue(const QString& value);

private:
    QString name_;
    QString password_;
};

// The description of a failed ODBC call: the driver's diagnostics with the SQLSTATE where
// known, and never a password.
QString describeSqlError(const class QSqlError& error, const QString& password,
                         const QString& state = QString());
// The SQLSTATE of a failed statement, or "".
QString sqlState(const class QSqlQuery& query);

// A failed call on the connection as Korvane reports it (the password kept out).
KorvaneError sqlFailure(const class QSqlError& error, const DatabaseConnection& connection,
                        const class QSqlQuery* query = nullptr);
// The ODBC handle a Qt SQL handle() holds; null when it holds none.
void* odbcHandle(const QVariant& handle);

}  // namespace korvane
