#include "dispatch/DataSources.h"

#include <sql.h>
#include <sqlext.h>

namespace korvane {

namespace {
QStringList fetch(SQLHENV env, SQLUSMALLINT first) {
    QStringList names;
    SQLCHAR name[SQL_MAX_DSN_LENGTH + 1];
    SQLCHAR description[512];
    SQLSMALLINT nameLength = 0;
    SQLSMALLINT descriptionLength = 0;
    SQLUSMALLINT direction = first;
    while (SQL_SUCCEEDED(SQLDataSources(env, direction, name, sizeof(name), &nameLength,
                                        description, sizeof(description), &descriptionLength))) {
        names << QString::fromLocal8Bit(reinterpret_cast<const char*>(name));
        direction = SQL_FETCH_NEXT;
    }
    return names;
}
}  // namespace

DataSourceList listDataSources() {
    DataSourceList list;
    SQLHENV env = SQL_NULL_HENV;
    if (!SQL_SUCCEEDED(SQLAllocHandle(SQL_HANDLE_ENV, SQL_NULL_HANDLE, &env))) {
        return list;
    }
    SQLSetEnvAttr(env, SQL_ATTR_ODBC_VERSION, reinterpret_cast<SQLPOINTER>(SQL_OV_ODBC3), 0);
    list.user = fetch(env, SQL_FETCH_FIRST_USER);
    list.system = fetch(env, SQL_FETCH_FIRST_SYSTEM);
    SQLFreeHandle(SQL_HANDLE_ENV, env);
    return list;
}

}  // namespace korvane
