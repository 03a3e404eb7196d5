// Connect, select and 1,000 row saves on SQLite and PostgreSQL; rows per second per step.
#include <QDateTime>
#include <QSqlQuery>

#include "BenchSupport.h"
#include "dispatch/BackgroundStore.h"
#include "dispatch/DatabaseConnection.h"
#include "dispatch/MessageTable.h"
#include "dispatch/OdbcMessageStore.h"
#include "support/WaitedStore.h"

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
    // KORVANE_BENCH_BACKLOG=1000000 for the large case.
    const int rows = qEnvironmentVariableIsSet("KORVANE_BENCH_BACKLOG")
                         ? qEnvironmentVariableIntValue("KORVANE_BENCH_BACKLOG")
                         : 100000;
    {
        DatabaseConnection connection;
        connection.open(dsn, user, password);
        fill(connection, rows);
    }
    bench::resetPeak();
    const double before = bench::peakMegabytes();
    int selected = 0;
    double firstPage = 0;
    test::WaitedStore store(
        std::make_unique<BackgroundStore>(std::make_unique<OdbcMessageStore>()));
    store.open(DataSourceSettings{dsn, user, password, QString()});
    QElapsedTimer clock;
    clock.start();
    store.select(1, QDateTime::currentDateTime());
    store.countWaiting(1);  // as each cycle does
    for (auto page = store.nextPage(500); !page.empty(); page = store.nextPage(500)) {
        if (selected == 0) {
            firstPage = static_cast<double>(clock.elapsed()) / 1000.0;
        }
        selected += static_cast<int>(page.size());
    }
    const double seconds = static_cast<double>(clock.elapsed()) / 1000.0;
    std::printf(
        "db_bench %-10s paged read of %d waiting rows in %.2f s (first page after %.3f s), "
        "peak RSS %.1f MB (%.1f MB before)\n",
        name, selected, seconds, firstPage, bench::peakMegabytes(), before);
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
    test::WaitedStore store(
        std::make_unique<BackgroundStore>(std::make_unique<OdbcMessageStore>()));
    store.open(DataSourceSettings{dsn, user, password, QString()});
    std::vector<TableRow> selected;
    const double selectSeconds = bench::timed([&] {
        store.select(1, QDateTime::currentDateTime());
        for (auto page = store.nextPage(500); !page.empty(); page = store.nextPage(500)) {
            selected.insert(selected.end(), page.begin(), page.end());
        }
    });
    const int count = static_cast<int>(selected.size());
    const QDateTime now = QDateTime::currentDateTime();
    const QString sent = QStringLiteral("Message Is Sent Via SMS.");
    // A third of the rows take one write (nothing to send), a third a claim and a save each,
    // a third claims and saves ten at a time (the SMS window's group commits).
    const int third = count / 3;
    const double recordSeconds = bench::timed([&] {
        for (int row = 0; row < third; ++row) {
            store.save({{selected[size_t(row)], QStringLiteral("N"),
                         QStringLiteral("Message Text Is Empty."), false}},
                       now);
        }
    });
    const double claimSeconds = bench::timed([&] {
        for (int row = third; row < 2 * third; ++row) {
            store.claim({selected[size_t(row)]}, now);
            store.save({{selected[size_t(row)], QStringLiteral("Y"), sent}}, now);
        }
    });
    const double batchSeconds = bench::timed([&] {
        for (int row = 2 * third; row + 10 <= 3 * third; row += 10) {
            std::vector<TableRow> batch(selected.begin() + row, selected.begin() + row + 10);
            store.claim(batch, now);
            std::vector<MessageStore::Outcome> outcomes;
            for (const TableRow& one : batch) {
                outcomes.push_back({one, QStringLiteral("Y"), sent});
            }
            store.save(outcomes, now);
        }
    });
    std::printf(
        "db_bench %-10s connect %.1f/s (%.2f ms each), select %d rows %.0f rows/s, one write "
        "%.2f ms, claim and save %.2f ms a row, in batches of 10 %.2f ms a row\n",
        name, connects / connectSeconds, 1000 * connectSeconds / connects, count,
        count / selectSeconds, 1000 * recordSeconds / third, 1000 * claimSeconds / third,
        1000 * batchSeconds / (third / 10 * 10));
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
