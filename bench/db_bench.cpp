// Connect, select and 1,000 row saves on SQLite and PostgreSQL; rows per second per step.
#include <QDateTime>
#include <QSqlQuery>

#include "BenchSupport.h"
#include "dispatch/BackgroundStore.h"
#include "dispatch/DatabaseConnection.h"
#include "dispatch/MessageTable.h"

using namespace korvane;

namespace {

void fill(DatabaseConnection& db, int rows) {
    QSqlQuery query(db.database());
    query.exec(QStringLiteral("DELETE FROM tblMessages"));
    db.database().transaction();
    // Texts of a typical size: a 120-character message and e-mail columns filled in.
    query.prepare(QStringLiteral(
        "INSERT INTO tblMessages (RecId, MessageType, MessageText, MobileNo, EmailTo, EmailFrom, "
        "EmailSubject, IsSent) VALUES (?, 'SMS', ?, '+447700900123', 'customer@example.com', "
        "'shop@example.com', 'Your order has shipped', 'N')"));
    const QString text = QString(120, QLatin1Char('x'));
    for (int id = 1; id <= rows; ++id) {
        query.addBindValue(id);
        query.addBindValue(text);
        query.exec();
    }
    db.database().commit();
}

// The snapshot of 100,000 waiting rows and what it costs in memory.
void memory(const char* name, const QString& dsn, const QString& user, const QString& password) {
    const int rows = 100000;
    {
        DatabaseConnection connection;
        connection.open(dsn, user, password);
        fill(connection, rows);
    }
    bench::resetPeak();
    const double before = bench::peakMegabytes();
    int selected = 0;
    BackgroundStore store;
    store.open(DataSourceSettings{dsn, user, password, QString()});
    const double seconds = bench::timed([&] {
        store.select(MessageTable::selectionStatement(1));
        for (auto page = store.nextPage(500); !page.empty(); page = store.nextPage(500)) {
            selected += static_cast<int>(page.size());
        }
    });
    std::printf("db_bench %-10s snapshot of %d rows in %.2f s, peak RSS %.1f MB (%.1f MB before)\n",
                name, selected, seconds, bench::peakMegabytes(), before);
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
    BackgroundStore store;
    store.open(DataSourceSettings{dsn, user, password, QString()});
    std::vector<TableRow> selected;
    const double selectSeconds = bench::timed([&] {
        store.select(MessageTable::selectionStatement(1));
        selected = store.nextPage(rows);
    });
    const int count = static_cast<int>(selected.size());
    const QDateTime now = QDateTime::currentDateTime();
    // Half the rows take one write (nothing to send), half a claim and a save (a send).
    const int half = count / 2;
    const double recordSeconds = bench::timed([&] {
        for (int row = 0; row < half; ++row) {
            store.record({selected[size_t(row)], QStringLiteral("N"),
                          QStringLiteral("Message Text Is Empty.")},
                         now);
        }
    });
    const double claimSeconds = bench::timed([&] {
        for (int row = half; row < count; ++row) {
            store.claim({selected[size_t(row)]}, now);
            store.finish({{selected[size_t(row)], QStringLiteral("Y"),
                           QStringLiteral("Message Is Sent Via SMS.")}},
                         now);
        }
    });
    std::printf(
        "db_bench %-10s connect %.1f/s (%.2f ms each), select %d rows %.0f rows/s, one write "
        "%.2f ms, claim and save %.2f ms\n",
        name, connects / connectSeconds, 1000 * connectSeconds / connects, count,
        count / selectSeconds, 1000 * recordSeconds / half, 1000 * claimSeconds / (count - half));
}

}  // namespace

int main(int argc, char** argv) {
    QCoreApplication app(argc, argv);
    memory("SQLite", bench::env("KORVANE_TEST_SQLITE_DSN"), QString(), QString());
    memory("PostgreSQL", bench::env("KORVANE_TEST_PG_DSN"), bench::env("KORVANE_TEST_PG_USER"),
           bench::env("KORVANE_TEST_PG_PASSWORD"));
    run("SQLite", bench::env("KORVANE_TEST_SQLITE_DSN"), QString(), QString());
    run("PostgreSQL", bench::env("KORVANE_TEST_PG_DSN"), bench::env("KORVANE_TEST_PG_USER"),
        bench::env("KORVANE_TEST_PG_PASSWORD"));
    return 0;
}
