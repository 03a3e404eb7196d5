#include "dispatch/TableColumns.h"

#include <sql.h>
#include <sqlext.h>

#include <QSqlDatabase>
#include <QSqlDriver>
#include <QVariant>
#include <string>

#include "dispatch/DatabaseConnection.h"

namespace korvane {

QString catalogTableName(void* connection, const QString& table) {
    SQLUSMALLINT folding = SQL_IC_MIXED;
    SQLGetInfoW(connection, SQL_IDENTIFIER_CASE, &folding, sizeof(folding), nullptr);
    return folding == SQL_IC_UPPER   ? table.toUpper()
           : folding == SQL_IC_LOWER ? table.toLower()
                                     : table;
}

QMap<QString, int> tableColumns(const QSqlDatabase& database, const QString& tableName) {
    QMap<QString, int> columns;
    SQLHDBC connection =
        odbcHandle(database.driver() != nullptr ? database.driver()->handle() : QVariant());
    if (connection == nullptr) {
        return columns;
    }
    const QString table = catalogTableName(connection, tableName);
    SQLHSTMT statement = SQL_NULL_HSTMT;
    if (!SQL_SUCCEEDED(SQLAllocHandle(SQL_HANDLE_STMT, connection, &statement))) {
        return columns;
    }
    std::u16string name = table.toStdU16String();
    const SQLRETURN r =
        SQLColumnsW(statement, nullptr, 0, nullptr, 0, reinterpret_cast<SQLWCHAR*>(name.data()),
                    static_cast<SQLSMALLINT>(name.size()), nullptr, 0);
    // Columns: 4 COLUMN_NAME, 7 COLUMN_SIZE.
    while (SQL_SUCCEEDED(r) && SQL_SUCCEEDED(SQLFetch(statement))) {
        SQLWCHAR column[256] = {0};
        SQLLEN got = 0;
        SQLINTEGER size = 0;
        SQLLEN sizeGot = 0;
        SQLGetData(statement, 4, SQL_C_WCHAR, column, sizeof(column) - 2, &got);
        SQLGetData(statement, 7, SQL_C_SLONG, &size, 0, &sizeGot);
        columns[QString::fromUtf16(reinterpret_cast<const char16_t*>(column)).toUpper()] =
            sizeGot == SQL_NULL_DATA ? 0 : int(size);
    }
    SQLFreeHandle(SQL_HANDLE_STMT, statement);
    return columns;
}

}  // namespace korvane
