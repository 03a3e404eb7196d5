#pragma once

#include <QStringList>

namespace korvane {

// The ODBC data sources the driver manager knows, user ones first (SQLDataSources: QODBC
// has no call for it).
struct DataSourceList {
    QStringList user;
    QStringList system;
};
DataSourceList listDataSources();

}  // namespace korvane
