#pragma once

#include <QDateTime>
#include <QStringList>
#include <QVariantMap>
#include <memory>

#include "dispatch/DatabaseConnection.h"

namespace korvane::test {

// One of the databases scripts/test started, reached through its ODBC data source, with
// helpers to lay out tblMessages and read rows back.
class TestDatabase {
public:
    enum class Kind { SQLite, PostgreSQL, MariaDB };
    static constexpr Kind kAll[] = {Kind::SQLite, Kind::PostgreSQL, Kind::MariaDB};
    explicit TestDatabase(Kind kind);

    Kind kind() const { return kind_; }
    QString name() const { return nameOf(kind_); }
    static QString nameOf(Kind kind);
    const QString& dsn() const { return dsn_; }
    const QString& user() const { return user_; }
    const QString& password() const { return password_; }

    // Drops tblMessages and creates it from the DDL shipped in docs/ (or the given text), with
    // the optional blocks named ("Delivery receipts").
    void recreate(const QString& ddl = QString(), const QStringList& optional = {});
    void exec(const QString& sql, const QVariantList& params = {});
    // Inserts one row; columns not named stay at their defaults (IsSent 'N').
    void insert(const QVariantMap& columns);
    // IsSent, ProcessStatus and ProcessedDate of the row, lower-case keys.
    QVariantMap outcome(int recId);
    // The columns named ("A, B"), lower-case keys.
    QVariantMap read(int recId, const QString& columns);
    int count(const QString& where = QString());
    // Every row of a table in RecId order, the columns named, lower-case keys.
    QList<QVariantMap> rows(const QString& table, const QString& columns);

    static QString ddlPath(Kind kind);

private:
    Kind kind_;
    QString dsn_;
    QString user_;
    QString password_;
    std::unique_ptr<DatabaseConnection> connection_;
};

}  // namespace korvane::test
