#pragma once

#include <QMap>
#include <QString>

class QSqlDatabase;

namespace korvane {

// tblMessages' columns as the ODBC catalog names them (SQLColumns): upper-cased names and
// their sizes. The catalog is read, not the table: a table without optional columns sees no
// statement for it. Empty when the driver's catalog cannot tell.
QMap<QString, int> tableColumns(const QSqlDatabase& database);

}  // namespace korvane
