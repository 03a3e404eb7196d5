// Connect, select and 1,000 row saves on SQLite and PostgreSQL; rows per second per step.
#include <QDateTime>
#include <QSqlQuery>

#include "BenchSupport.h"
#include "dispatch/DatabaseConnection.h"
#include "dispatch/MessageSnapshot.h"
#include "dispatch/MessageTable.h"

using namespace korvane;

namespace {

void fill(DatabaseConnection& db, int rows) {
    QSqlQuery query(db.database());
    query.exec(QStringLiteral("DELETE FROM tblMessages"));
    db.database().transaction();
    query.prepare(QStringLiteral(
        "INSERT INTO tblMessages (RecId, MessageType, MessageText, MobileNo, IsSent) "
        "VALUES (?, 'SMS', 'Benchmark message text', '+447700900123', 'N')"));
    for (int id = 1; id <= rows; ++id) {
        query.addBindValue(id);
        query.exec();
    }
    db.database().commit();
}

void run(const char* name, const QString& dsn, const QString& user, const QString& password) {
    const int rows = 1000;
    const int connects = 50;
    {
        DatabaseConnection setup;
        setup.open(dsn, user, password);
        fill(setup, rows);
    }
    const double connectSeconds = bench::timed([&] {
        for (int i = 0; i < connects; ++i) {
            DatabaseConnection connection;
            connection.open(dsn, user, password);
        }
    });
    DatabaseConnection connection;
    connection.open(dsn, user, password);
    std::unique_ptr<MessageSnapshot> snapshot;
    const double selectSeconds = bench::timed([&] {
        snapshot =
            std::make_unique<MessageSnapshot>(connection, MessageTable::selectionStatement(1));
    });
    const QDateTime now = QDateTime::currentDateTime();
    const double saveSeconds = bench::timed([&] {
        for (int row = 0; row < snapshot->size(); ++row) {
            snapshot->save(row, QStringLiteral("Y"), QStringLiteral("Message Is Sent Via SMS."),
                           now);
        }
    });
    std::printf(
        "db_bench %-10s connect %.1f/s (%.2f ms each), select %d rows %.0f rows/s, save %.0f "
        "rows/s (%.2f ms each)\n",
        name, connects / connectSeconds, 1000 * connectSeconds / connects, snapshot->size(),
        snapshot->size() / selectSeconds, rows / saveSeconds, 1000 * saveSeconds / rows);
}

}  // namespace

int main(int argc, char** argv) {
    QCoreApplication app(argc, argv);
    run("SQLite", bench::env("KORVANE_TEST_SQLITE_DSN"), QString(), QString());
    run("PostgreSQL", bench::env("KORVANE_TEST_PG_DSN"), bench::env("KORVANE_TEST_PG_USER"),
        bench::env("KORVANE_TEST_PG_PASSWORD"));
    return 0;
}
