#include <QSqlQuery>
#include <QTemporaryDir>
#include <QtTest>

#include "core/KorvaneError.h"
#include "dispatch/BackgroundStore.h"
#include "dispatch/DatabaseConnection.h"
#include "dispatch/MessageTable.h"
#include "support/ErrorNumber.h"
#include "support/TestDatabase.h"
#include "support/TestEnvironment.h"

using namespace korvane;
using korvane::test::TestDatabase;
using test::errorNumberOf;
using Column = MessageTable::Column;

namespace {

using Write = MessageStore::Write;

// The table as the cycle sees it: through ODBC on the store's own thread.
std::unique_ptr<BackgroundStore> opened(const QString& dsn, const QString& user,
                                        const QString& password, const QString& file = QString(),
                                        int lockTimeoutS = OdbcStatement::kQueryTimeoutS) {
    auto store = std::make_unique<BackgroundStore>(nullptr, lockTimeoutS);
    store->open(DataSourceSettings{dsn, user, password, file});
    return store;
}
std::unique_ptr<BackgroundStore> opened(TestDatabase& db) {
    return opened(db.dsn(), db.user(), db.password());
}

// Every row the selection returns.
std::vector<TableRow> selected(MessageStore& store, qint32 dontSend) {
    store.select(dontSend, QDateTime::currentDateTime());
    std::vector<TableRow> rows;
    for (auto page = store.nextPage(3); !page.empty(); page = store.nextPage(3)) {
        rows.insert(rows.end(), page.begin(), page.end());
    }
    return rows;
}

QList<qint32> selectedIds(TestDatabase& db, qint32 dontSend) {
    QList<qint32> ids;
    for (const TableRow& row : selected(*opened(db), dontSend)) {
        ids << row.recordId();
    }
    return ids;
}

}  // namespace

class MessageTableTest : public QObject {
    Q_OBJECT

private Q_SLOTS:
    void initTestCase() {
        KORVANE_REQUIRE_ENV("KORVANE_TEST_SQLITE_DSN");
        KORVANE_REQUIRE_ENV("KORVANE_TEST_PG_DSN");
        KORVANE_REQUIRE_ENV("KORVANE_TEST_MARIA_DSN");
    }

    void bothStatementsSelectWaitingRowsInRecIdOrder() {
        for (auto kind : TestDatabase::kAll) {
            TestDatabase db(kind);
            db.recreate();
            auto add = [&](int id, const QVariant& isSent, const QVariant& status) {
                db.insert({{QStringLiteral("RecId"), id},
                           {QStringLiteral("MessageType"), QStringLiteral("SMS")},
                           {QStringLiteral("IsSent"), isSent},
                           {QStringLiteral("ProcessStatus"), status}});
            };
            const QVariant null;
            add(9, QStringLiteral("N"), null);
            add(2, null, null);
            add(5, QString(), QString());
            add(7, QStringLiteral("Y"), null);
            add(3, QStringLiteral("N"), QStringLiteral("Mobile No. Is Not Defined."));
            add(4, QStringLiteral("Y"), QStringLiteral("Message Is Sent Via SMS."));
            add(1, null, QStringLiteral("Message Text Is Empty."));
            // Being sent, or perhaps sent: never selected again, whatever the statement.
            add(6, QStringLiteral("N"), QStringLiteral("Message Is Being Sent."));
            add(8, null, QStringLiteral(" Message May Have Been Sent."));
            QCOMPARE(selectedIds(db, 1), (QList<qint32>{2, 5, 9}));
            QCOMPARE(selectedIds(db, 0), (QList<qint32>{1, 2, 3, 5, 9}));
        }
    }

    // Pages by RecId: each waiting row once and in order, rows changed or added by another
    // connection meanwhile taken as they are when their page is read, and a row without a
    // RecId where the database's order puts it.
    void pagesFollowTheKey() {
        for (auto kind : TestDatabase::kAll) {
            TestDatabase db(kind);
            // A key that may be Null: no primary key.
            db.recreate(QStringLiteral("CREATE TABLE tblMessages (RecId INTEGER, IsSent CHAR(1), "
                                       "ProcessStatus VARCHAR(50), ProcessedDate %1)")
                            .arg(kind == TestDatabase::Kind::MariaDB
                                     ? QStringLiteral("DATETIME")
                                     : QStringLiteral("TIMESTAMP")));
            for (int id : {1, 2, 3, 4, 5, 6, 7}) {
                db.insert({{QStringLiteral("RecId"), id}});
            }
            db.insert({{QStringLiteral("RecId"), QVariant()}});
            const auto store = opened(db);
            store->select(1, QDateTime::currentDateTime());
            QList<QVariant> ids;
            auto read = [&] {
                const std::vector<TableRow> page = store->nextPage(3);
                for (const TableRow& row : page) {
                    ids << row.asRead(Column::RecId);
                }
                return !page.empty();
            };
            QVERIFY(read());
            db.exec(
                QStringLiteral("UPDATE tblMessages SET ProcessStatus = 'Message Is Being "
                               "Sent.' WHERE RecId = 5"));
            db.insert({{QStringLiteral("RecId"), 9}});
            while (read()) {
            }
            QStringList seen;
            for (const QVariant& id : ids) {
                seen << (id.isNull() ? QStringLiteral("null") : id.toString());
            }
            const bool nullsFirst = kind != TestDatabase::Kind::PostgreSQL;
            QCOMPARE(seen.join(QLatin1Char(' ')), nullsFirst
                                                      ? QStringLiteral("null 1 2 3 4 6 7 9")
                                                      : QStringLiteral("1 2 3 4 6 7 9 null"));
        }
    }

    void valuesReadAsTextWithNullEmpty() {
        for (auto kind : TestDatabase::kAll) {
            TestDatabase db(kind);
            db.recreate();
            db.exec(QStringLiteral("ALTER TABLE tblMessages ADD COLUMN Extra INTEGER"));
            db.insert({{QStringLiteral("RecId"), 1},
                       {QStringLiteral("MessageText"), QVariant()},
                       {QStringLiteral("MessageType"), QStringLiteral(" sms ")},
                       {QStringLiteral("MobileNo"), QStringLiteral(" +4470 ")}});
            db.insert({{QStringLiteral("RecId"), 2},
                       {QStringLiteral("MessageText"), QStringLiteral("body")},
                       {QStringLiteral("MessageType"), QStringLiteral("eMail")},
                       {QStringLiteral("EmailSubject"), QStringLiteral("Grüße €")}});
            const std::vector<TableRow> rows = selected(*opened(db), 1);
            QCOMPARE(rows.size(), size_t(2));
            QCOMPARE(rows[0].text(Column::MessageText), QString());
            QCOMPARE(rows[0].text(Column::MessageType), QStringLiteral(" sms "));
            QCOMPARE(rows[0].text(Column::MobileNo), QStringLiteral(" +4470 "));
            QCOMPARE(rows[1].text(Column::EmailSubject), QStringLiteral("Grüße €"));
            QCOMPARE(rows[1].text(Column::EmailCC), QString());
        }
        // A number where text is expected is used in its text form (SQLite keeps the type).
        TestDatabase lite(TestDatabase::Kind::SQLite);
        lite.recreate();
        lite.exec(
            QStringLiteral("INSERT INTO tblMessages (RecId, MessageType, MobileNo) VALUES (1, "
                           "'SMS', 447700900123)"));
        QCOMPARE(selected(*opened(lite), 1).at(0).text(Column::MobileNo),
                 QStringLiteral("447700900123"));
    }

    void recordIdConversionErrors() {
        // A real table whose RecId column takes anything.
        TestDatabase lite(TestDatabase::Kind::SQLite);
        lite.recreate(
            QStringLiteral("CREATE TABLE tblMessages (RecId, MessageText, MessageType, "
                           "IsSent, ProcessStatus, ProcessedDate)"));
        lite.exec(
            QStringLiteral("INSERT INTO tblMessages (RecId) VALUES (NULL), ('x1'), (99999999999)"));
        const std::vector<TableRow> rows = selected(*opened(lite), 0);
        QCOMPARE(rows.size(), size_t(3));
        QString description;
        QCOMPARE(errorNumberOf([&] { rows[0].recordId(); }, &description), 94);
        QCOMPARE(description, QStringLiteral("Invalid use of Null"));
        QCOMPARE(errorNumberOf([&] { rows[1].recordId(); }), 6);  // 99999999999 sorts first
        QCOMPARE(errorNumberOf([&] { rows[2].recordId(); }, &description), 13);
        QCOMPARE(description, QStringLiteral("Type mismatch"));
        // A column the table lacks raises only when read.
        QCOMPARE(errorNumberOf([&] { rows[0].text(Column::MobileNo); }), 3265);
    }

    // Claim, record and finish one row at a time on every database: guarded on what was read,
    // never on a date, and never writing a RecId that names several rows. (Rows changed
    // meanwhile: batchesTellEachRowApart.)
    void writesAreGuarded() {
        for (auto kind : TestDatabase::kAll) {
            TestDatabase db(kind);
            db.recreate();
            for (int id = 1; id <= 3; ++id) {
                db.insert({{QStringLiteral("RecId"), id},
                           {QStringLiteral("MessageText"), QStringLiteral("m")}});
            }
            // A producer's date with a fraction of a second, Null IsSent, '' status.
            db.exec(QStringLiteral("UPDATE tblMessages SET ProcessedDate = ? WHERE RecId = 1"),
                    {QDateTime(QDate(2026, 1, 2), QTime(3, 4, 5, 678))});
            db.exec(QStringLiteral(
                "UPDATE tblMessages SET IsSent = NULL, ProcessStatus = '' WHERE RecId = 2"));
            const QDateTime at(QDate(2026, 12, 6), QTime(10, 11, 12, 345));
            const auto store = opened(db);
            const std::vector<TableRow> rows = selected(*store, 1);
            QCOMPARE(rows.size(), size_t(3));
            auto claim = [&](int row) { return store->claim({rows[size_t(row)]}, at).at(0); };
            auto record = [&](int row, const QString& status) {
                const MessageStore::Saved saved =
                    store->save({{rows[size_t(row)], QStringLiteral("N"), status, false}}, at)
                        .at(0);
                if (saved.error) {
                    throw *saved.error;
                }
                return saved.write;
            };
            auto finish = [&](int row, const QString& isSent, const QString& status,
                              const QDateTime& when) {
                if (auto failed =
                        store->save({{rows[size_t(row)], isSent, status}}, when).at(0).error) {
                    throw *failed;
                }
            };
            QCOMPARE(claim(0), Write::Done);
            QVariantMap row = db.outcome(1);
            QCOMPARE(row[QStringLiteral("issent")].toString(), QStringLiteral("N"));
            QCOMPARE(row[QStringLiteral("processstatus")].toString(),
                     QStringLiteral("Message Is Being Sent."));
            QCOMPARE(row[QStringLiteral("processeddate")].toDateTime(),
                     QDateTime(QDate(2026, 12, 6), QTime(10, 11, 12)));
            finish(0, QStringLiteral("Y"), QStringLiteral("Message Is Sent Via SMS."),
                   at.addSecs(1));
            row = db.outcome(1);
            QCOMPARE(row[QStringLiteral("issent")].toString(), QStringLiteral("Y"));
            QCOMPARE(row[QStringLiteral("processstatus")].toString(),
                     QStringLiteral("Message Is Sent Via SMS."));

            QCOMPARE(claim(1), Write::Done);
            finish(1, QStringLiteral("N"), QStringLiteral("Message May Have Been Sent."), at);
            QCOMPARE(db.outcome(2)[QStringLiteral("processstatus")].toString(),
                     QStringLiteral("Message May Have Been Sent."));

            // A value too long for its column (SQLite keeps any length): raised with its
            // SQLSTATE, the row left as it was, the connection still usable.
            if (kind != TestDatabase::Kind::SQLite) {
                QString description;
                QCOMPARE(errorNumberOf([&] { record(2, QString(60, u'x')); }, &description),
                         ErrorNumber::ProviderError);
                QVERIFY2(description.contains(QStringLiteral("22001")), qPrintable(description));
            }
            QCOMPARE(record(2, QStringLiteral("Message Text Is Empty.")), Write::Done);
        }

        // A RecId that names two rows: nothing is written, by a claim or a record.
        TestDatabase lite(TestDatabase::Kind::SQLite);
        lite.recreate(QStringLiteral(
            "CREATE TABLE tblMessages (RecId INTEGER, MessageText TEXT, IsSent CHAR(1), "
            "ProcessStatus VARCHAR(50), ProcessedDate TIMESTAMP)"));
        lite.exec(QStringLiteral(
            "INSERT INTO tblMessages (RecId, MessageText) VALUES (1, 'a'), (1, 'b')"));
        const auto store = opened(lite);
        const std::vector<TableRow> rows = selected(*store, 1);
        const QDateTime now = QDateTime::currentDateTime();
        QCOMPARE(store->claim({rows[0]}, now).at(0), Write::Shared);
        QCOMPARE(store->save({{rows[1], QStringLiteral("N"), QStringLiteral("x"), false}}, now)
                     .at(0)
                     .write,
                 Write::Shared);
        QCOMPARE(lite.count(QStringLiteral("ProcessStatus IS NULL")), 2);
    }

    // A producer holds a row in an open transaction: the claim gives up on it after the lock
    // timeout as if another process had the row, the rest of its batch is claimed where the
    // database locks rows, and the window's thread turns all along.
    void rowLockedByAProducerIsLeftAlone() {
        for (auto kind : TestDatabase::kAll) {
            TestDatabase db(kind);
            db.recreate();
            db.insert({{QStringLiteral("RecId"), 1},
                       {QStringLiteral("MessageText"), QStringLiteral("m")}});
            db.insert({{QStringLiteral("RecId"), 2},
                       {QStringLiteral("MessageText"), QStringLiteral("m")}});
            const auto store = opened(db.dsn(), db.user(), db.password(), QString(), 1);
            const std::vector<TableRow> rows = selected(*store, 1);
            DatabaseConnection producer;
            producer.open(db.dsn(), db.user(), db.password());
            QVERIFY(producer.database().transaction());
            QSqlQuery hold(producer.database());
            QVERIFY(
                hold.exec(QStringLiteral("UPDATE tblMessages SET MobileNo = '1' WHERE RecId = 1")));
            int beats = 0;
            QTimer heartbeat;
            QObject::connect(&heartbeat, &QTimer::timeout, [&beats] { ++beats; });
            heartbeat.start(100);
            const QDateTime now = QDateTime::currentDateTime();
            const std::vector<Write> claims = store->claim(rows, now);
            QVERIFY(producer.database().rollback());
            // SQLite locks the whole file for the producer's transaction.
            const bool wholeFile = kind == TestDatabase::Kind::SQLite;
            QCOMPARE(claims, (std::vector<Write>{Write::Changed,
                                                 wholeFile ? Write::Changed : Write::Done}));
            QVERIFY2(beats >= 3, qPrintable(QString::number(beats)));
            QCOMPARE(db.outcome(1)[QStringLiteral("processstatus")].toString(), QString());
            QCOMPARE(db.outcome(2)[QStringLiteral("processstatus")].toString(),
                     wholeFile ? QString() : QStringLiteral("Message Is Being Sent."));
        }
    }

    // A batch of claims, then a step of saves and claims, each row of which another process
    // may have changed meanwhile: every row gets its own answer, and only the rows still as
    // expected are written.
    void batchesTellEachRowApart() {
        for (auto kind : TestDatabase::kAll) {
            TestDatabase db(kind);
            db.recreate();
            for (int id = 1; id <= 8; ++id) {
                db.insert({{QStringLiteral("RecId"), id},
                           {QStringLiteral("MessageText"), QStringLiteral("m")}});
            }
            const auto store = opened(db);
            const std::vector<TableRow> rows = selected(*store, 1);
            const QDateTime at(QDate(2026, 12, 6), QTime(10, 11, 12));
            auto status = [&](int id) {
                return db.outcome(id)[QStringLiteral("processstatus")].toString();
            };
            const QString claimed = QStringLiteral("Message Is Being Sent.");
            const QString elsewhere = QStringLiteral("Taken elsewhere");
            db.exec(QStringLiteral("UPDATE tblMessages SET ProcessStatus = ? WHERE RecId = 3"),
                    {elsewhere});
            QCOMPARE(store->claim({rows[0], rows[1], rows[2], rows[3]}, at),
                     (std::vector<Write>{Write::Done, Write::Done, Write::Changed, Write::Done}));
            QCOMPARE(status(3), elsewhere);
            QCOMPARE(status(4), claimed);

            // Row 2's claim is taken away, and rows 6 and 8 changed, before the step.
            db.exec(QStringLiteral("UPDATE tblMessages SET ProcessStatus = '' WHERE RecId = 2"));
            db.exec(QStringLiteral(
                        "UPDATE tblMessages SET ProcessStatus = ? WHERE RecId = 6 OR RecId = 8"),
                    {elsewhere});
            const QString y = QStringLiteral("Y");
            const QString n = QStringLiteral("N");
            const QString sent = QStringLiteral("Message Is Sent Via SMS.");
            const MessageStore::Step step =
                store->saveAndClaim({{rows[0], y, sent},
                                     {rows[1], y, sent},
                                     {rows[3], n, QStringLiteral("Message Is Not Sent Via SMS.")},
                                     {rows[4], n, QStringLiteral("Message Text Is Empty."), false},
                                     {rows[5], n, QStringLiteral("Message Text Is Empty."), false}},
                                    {rows[6], rows[7]}, at);
            QVERIFY(!step.claimFailure);
            QCOMPARE(step.claimed, (std::vector<Write>{Write::Done, Write::Changed}));
            const std::vector<MessageStore::Saved>& saved = step.saved;
            QVERIFY(!saved[0].error && !saved[2].error && !saved[3].error && !saved[4].error);
            QVERIFY(saved[1].error);
            QCOMPARE(saved[1].error->number(), ErrorNumber::RowNotLocated);
            QCOMPARE(saved[3].write, Write::Done);
            QCOMPARE(saved[4].write, Write::Changed);
            QCOMPARE(status(1), sent);
            QCOMPARE(db.outcome(1)[QStringLiteral("issent")].toString(), y);
            QCOMPARE(status(2), QString());
            QCOMPARE(status(4), QStringLiteral("Message Is Not Sent Via SMS."));
            QCOMPARE(status(5), QStringLiteral("Message Text Is Empty."));
            QCOMPARE(status(6), elsewhere);
            QCOMPARE(status(7), claimed);
            QCOMPARE(status(8), elsewhere);
            QCOMPARE(db.count(QStringLiteral("ProcessStatus = 'Message Is Being Sent.'")), 1);
        }
    }

    // A key PostgreSQL returns in another form than it was read ("7.00" for 7): each row of
    // the batch is still known as claimed.
    void numericKeyIsClaimedInABatch() {
        TestDatabase pg(TestDatabase::Kind::PostgreSQL);
        pg.recreate(QStringLiteral(
            "CREATE TABLE tblMessages (RecId NUMERIC(10, 2) PRIMARY KEY, MessageText TEXT, "
            "IsSent CHAR(1), ProcessStatus VARCHAR(50), ProcessedDate TIMESTAMP)"));
        pg.exec(
            QStringLiteral("INSERT INTO tblMessages (RecId, MessageText, IsSent) VALUES "
                           "(7, 'a', 'N'), (8, 'b', 'N')"));
        const auto store = opened(pg);
        const std::vector<TableRow> rows = selected(*store, 1);
        QCOMPARE(store->claim(rows, QDateTime::currentDateTime()),
                 (std::vector<Write>{Write::Done, Write::Done}));
        QCOMPARE(pg.count(QStringLiteral("ProcessStatus = 'Message Is Being Sent.'")), 2);
    }

    void oldClaimsAreFound() {
        for (auto kind : TestDatabase::kAll) {
            TestDatabase db(kind);
            db.recreate();
            const QDateTime now(QDate(2026, 12, 6), QTime(12, 0, 0));
            auto add = [&](int id, const QString& status, const QDateTime& at) {
                db.insert({{QStringLiteral("RecId"), id},
                           {QStringLiteral("ProcessStatus"), status},
                           {QStringLiteral("ProcessedDate"), at}});
            };
            add(1, QStringLiteral("Message Is Being Sent."), now.addSecs(-3600));
            add(2, QStringLiteral("Message Is Being Sent."), now.addSecs(-60));
            add(3, QStringLiteral("Message May Have Been Sent."), now.addSecs(-3600));
            const QList<MessageStore::Claim> claims = opened(db)->claimsBefore(now.addSecs(-900));
            QCOMPARE(claims.size(), 1);
            QCOMPARE(claims[0].recId.toInt(), 1);
            QCOMPARE(claims[0].since, now.addSecs(-3600));
        }
    }

    void connectionFailuresCarryTheDriverText() {
        QString description;
        QCOMPARE(errorNumberOf(
                     [&] {
                         DatabaseConnection c;
                         c.open(QStringLiteral("NoSuchSource"), QString(), QString());
                     },
                     &description),
                 ErrorNumber::ProviderError);
        QVERIFY2(description.contains(QStringLiteral("Data source name not found")),
                 qPrintable(description));

        const QString pgDsn = test::TestEnvironment::value("KORVANE_TEST_PG_DSN");
        QCOMPARE(errorNumberOf(
                     [&] {
                         DatabaseConnection c;
                         c.open(pgDsn, QStringLiteral("korvane"),
                                QStringLiteral("not;the}password"));
                     },
                     &description),
                 ErrorNumber::ProviderError);
        QVERIFY2(description.contains(QStringLiteral("password authentication failed")),
                 qPrintable(description));
        QVERIFY(!description.contains(QStringLiteral("not;the}password")));

        // The DSN name is passed untrimmed: a trailing space names another source.
        QVERIFY(errorNumberOf([&] {
                    DatabaseConnection c;
                    c.open(
                        test::TestEnvironment::value("KORVANE_TEST_SQLITE_DSN") + QLatin1Char(' '),
                        {}, {});
                }) != 0);
    }

    void serverDownGivesTheDriverText() {
        QTemporaryDir dir;
        const QString path = dir.filePath(QStringLiteral("Down.dsn"));
        QFile file(path);
        QVERIFY(file.open(QIODevice::WriteOnly));
        file.write(
            "[ODBC]\nDRIVER=PostgreSQL Unicode\nServername=127.0.0.1\nPort=1\nDatabase=korvane\n");
        file.close();
        QString description;
        QCOMPARE(errorNumberOf(
                     [&] {
                         DatabaseConnection c;
                         c.open(QStringLiteral("Down"), QStringLiteral("korvane"),
                                QStringLiteral("secret"), path);
                     },
                     &description),
                 ErrorNumber::ProviderError);
        QVERIFY2(description.contains(QStringLiteral("connect"), Qt::CaseInsensitive),
                 qPrintable(description));
    }

    void fileDataSourceOpensThroughItsFile() {
        QTemporaryDir dir;
        const QString path = dir.filePath(QStringLiteral("Orders.dsn"));
        QFile file(path);
        QVERIFY(file.open(QIODevice::WriteOnly));
        file.write(QStringLiteral("[ODBC]\nDRIVER=SQLite3\nDatabase=%1\n")
                       .arg(test::TestEnvironment::value("KORVANE_TEST_SQLITE_DB"))
                       .toUtf8());
        file.close();
        QCOMPARE(DatabaseConnection::fileDsnConnectionString(path, QStringLiteral("Orders")),
                 QStringLiteral("DRIVER={SQLite3};Database=") +
                     test::TestEnvironment::value("KORVANE_TEST_SQLITE_DB"));
        QVERIFY(
            DatabaseConnection::fileDsnConnectionString(path, QStringLiteral("Other")).isEmpty());

        TestDatabase lite(TestDatabase::Kind::SQLite);
        lite.recreate();
        lite.insert({{QStringLiteral("RecId"), 4}});
        const auto rows = selected(*opened(QStringLiteral("Orders"), {}, {}, path), 1);
        QCOMPARE(rows.size(), size_t(1));
        QCOMPARE(rows[0].recordId(), 4);
    }

    void missingTableFailsTheStatement() {
        TestDatabase pg(TestDatabase::Kind::PostgreSQL);
        pg.exec(QStringLiteral("DROP TABLE IF EXISTS tblMessages"));
        const auto store = opened(pg);
        QString description;
        QCOMPARE(errorNumberOf(
                     [&] {
                         store->select(1, QDateTime::currentDateTime());
                         store->nextPage(10);
                     },
                     &description),
                 ErrorNumber::ProviderError);
        QVERIFY2(description.contains(QStringLiteral("tblmessages")) &&
                     description.endsWith(QStringLiteral("(SQLSTATE 42P01)")),
                 qPrintable(description));
    }
};

QTEST_GUILESS_MAIN(MessageTableTest)
#include "tst_messagetable.moc"
