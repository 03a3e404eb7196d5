#pragma once

#include <QMap>
#include <QString>

class QSqlDatabase;

namespace korvane {

// A table's columns as the ODBC catalog names them (SQLColumns): upper-cased names and
// their sizes. The catalog is read, not the table: a table without optional columns sees no
// statement for it. Empty when the driver's catalog cannot tell, or there is no such table.
QMap<QString, int> tableColumns(const QSqlDatabase& database,
                                const QString& table = QStringLiteral("tblMessages"));

// A table's name as the catalog of the ODBC connection holds it: folded the way the database
// folds the statements' unquoted name.
QString catalogTableName(void* connection, const QString& table = QStringLiteral("tblMessages"));

}  // namespace korvane
