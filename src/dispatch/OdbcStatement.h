#pragma once

#include <QSqlDatabase>
#include <QString>
#include <QVariantList>

namespace korvane {

// One statement with parameters, run through the ODBC API on an open QODBC connection (and
// inside its transaction, if one is open). QODBC binds a text parameter with its terminating
// NUL counted in the length; some drivers (MariaDB's) keep that NUL as data, so "Y" no longer
// fits a CHAR(1) and '' never equals the value sent. Here each text goes as UTF-16 with its
// exact length, which every driver reads alike.
class OdbcStatement {
public:
    // password: kept out of any error text.
    OdbcStatement(const QSqlDatabase& database, QString password);

    // Runs sql with its ? markers bound to params (Null, text, whole numbers, date and time) and
    // returns the rows it changed. Raises KorvaneError with the driver's diagnostics.
    qint64 execute(const QString& sql, const QVariantList& params) const;

private:
    QSqlDatabase database_;
    QString password_;
};

}  // namespace korvane
