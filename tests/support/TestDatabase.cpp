#include "support/TestDatabase.h"

#include <QFile>
#include <QSqlError>
#include <QSqlQuery>
#include <QSqlRecord>
#include <QStringList>

#include "core/KorvaneError.h"
#include "dispatch/OdbcStatement.h"
#include "support/TestEnvironment.h"

namespace korvane::test {

TestDatabase::TestDatabase(Kind kind) : kind_(kind) {
    if (kind == Kind::SQLite) {
        dsn_ = TestEnvironment::value("KORVANE_TEST_SQLITE_DSN");
    } else {
        // Both servers have the same account.
        dsn_ = TestEnvironment::value(kind == Kind::PostgreSQL ? "KORVANE_TEST_PG_DSN"
                                                               : "KORVANE_TEST_MARIA_DSN");
        user_ = TestEnvironment::value("KORVANE_TEST_PG_USER");
        password_ = TestEnvironment::value("KORVANE_TEST_PG_PASSWORD");
    }
    connection_ = std::make_unique<DatabaseConnection>();
    connection_->open(dsn_, user_, password_);
}

QString TestDatabase::nameOf(Kind kind) {
    switch (kind) {
        case Kind::SQLite:
            return QStringLiteral("sqlite");
        case Kind::PostgreSQL:
            return QStringLiteral("postgresql");
        case Kind::MariaDB:
            break;
    }
    return QStringLiteral("mariadb");
}

QString TestDatabase::ddlPath(Kind kind) {
    return QStringLiteral(KORVANE_SOURCE_DIR "/docs/tblMessages.") + nameOf(kind) +
           QStringLiteral(".sql");
}

void TestDatabase::recreate(const QString& ddl, const QStringList& optional) {
    exec(QStringLiteral("DROP TABLE IF EXISTS tblMessages"));
    exec(QStringLiteral("DROP TABLE IF EXISTS tblReceivedMessages"));
    QString text = ddl;
    if (text.isEmpty()) {
        QFile file(ddlPath(kind_));
        if (!file.open(QIODevice::ReadOnly)) {
            qFatal("cannot read %s", qPrintable(file.fileName()));
        }
        text = QString::fromUtf8(file.readAll());
    }
    // The optional blocks asked for, their statements uncommented as the script says: every
    // line of the block after its heading.
    QStringList lines;
    bool taken = false;
    for (const QString& line : text.split(QLatin1Char('\n'))) {
        if (line.startsWith(QStringLiteral("-- ")) && line.contains(QLatin1Char(':'))) {
            taken = optional.contains(line.mid(3).section(QLatin1Char(':'), 0, 0));
            continue;
        }
        if (line.trimmed().isEmpty() || line.trimmed() == QStringLiteral("--")) {
            taken = false;
        }
        if (!line.trimmed().startsWith(QStringLiteral("--"))) {
            lines << line;
        } else if (taken && line.startsWith(QStringLiteral("-- "))) {
            lines << line.mid(3);
        }
    }
    for (const QString& statement : lines.join(QLatin1Char('\n')).split(QLatin1Char(';'))) {
        if (!statement.trimmed().isEmpty()) {
            exec(statement);
        }
    }
}

void TestDatabase::exec(const QString& sql, const QVariantList& params) {
    if (!params.isEmpty()) {
        // Bound as Korvane binds them: QODBC's text binding corrupts them on MariaDB.
        try {
            OdbcStatement(connection_->database(), password_).execute(sql, params);
        } catch (const KorvaneError& error) {
            qFatal("exec failed: %s: %s", qPrintable(sql), error.what());
        }
        return;
    }
    QSqlQuery query(connection_->database());
    if (!query.prepare(sql)) {
        qFatal("prepare failed: %s: %s", qPrintable(sql), qPrintable(query.lastError().text()));
    }
    for (const QVariant& param : params) {
        query.addBindValue(param);
    }
    if (!query.exec()) {
        qFatal("exec failed: %s: %s", qPrintable(sql), qPrintable(query.lastError().text()));
    }
}

void TestDatabase::insert(const QVariantMap& columns) {
    QStringList names;
    QStringList marks;
    QVariantList values;
    for (auto it = columns.begin(); it != columns.end(); ++it) {
        names << it.key();
        if (it.value().isNull()) {
            marks << QStringLiteral("NULL");
        } else {
            marks << QStringLiteral("?");
            values << it.value();
        }
    }
    exec(QStringLiteral("INSERT INTO tblMessages (%1) VALUES (%2)")
             .arg(names.join(QStringLiteral(", ")), marks.join(QStringLiteral(", "))),
         values);
}

QVariantMap TestDatabase::outcome(int recId) {
    return read(recId, QStringLiteral("IsSent, ProcessStatus, ProcessedDate"));
}

QVariantMap TestDatabase::read(int recId, const QString& columns) {
    QSqlQuery query(connection_->database());
    query.prepare(QStringLiteral("SELECT %1 FROM tblMessages WHERE RecId = ?").arg(columns));
    query.addBindValue(recId);
    QVariantMap result;
    if (query.exec() && query.next()) {
        const QStringList names = columns.split(QLatin1Char(','));
        for (int i = 0; i < names.size(); ++i) {
            result[names[i].trimmed().toLower()] = query.value(i);
        }
    }
    return result;
}

QList<QVariantMap> TestDatabase::rows(const QString& table, const QString& columns) {
    QSqlQuery query(connection_->database());
    query.exec(QStringLiteral("SELECT %1 FROM %2 ORDER BY RecId").arg(columns, table));
    QList<QVariantMap> result;
    const QStringList names = columns.split(QLatin1Char(','));
    while (query.next()) {
        QVariantMap row;
        for (int i = 0; i < names.size(); ++i) {
            row[names[i].trimmed().toLower()] = query.value(i);
        }
        result << row;
    }
    return result;
}

int TestDatabase::count(const QString& where) {
    QSqlQuery query(connection_->database());
    query.exec(QStringLiteral("SELECT COUNT(*) FROM tblMessages") +
               (where.isEmpty() ? QString() : QStringLiteral(" WHERE ") + where));
    return query.next() ? query.value(0).toInt() : -1;
}

}  // namespace korvane::test
