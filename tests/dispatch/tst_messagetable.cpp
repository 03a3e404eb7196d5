#include <QSqlQuery>
#include <QTemporaryDir>
#include <QTest>
#include <QTimer>

#include "core/KorvaneError.h"
#include "dispatch/BackgroundStore.h"
#include "dispatch/DatabaseConnection.h"
#include "dispatch/MessageTable.h"
#include "dispatch/OdbcMessageStore.h"
#include "support/ErrorNumber.h"
#include "support/EveryWaitingRow.h"
#include "support/TestDatabase.h"
#include "support/TestEnvironment.h"
#include "support/WaitedStore.h"

using namespace korvane;
using korvane::test::TestDatabase;
using test::errorNumberOf;
using Column = MessageTable::Column;

namespace {

using Write = MessageStore::Write;

// The table as the cycle sees it: through ODBC on the store's own thread.
std::unique_ptr<MessageStore> opened(const QString& dsn, const QString& user,
                                     const QString& password, const QString& file = QString(),
                                     int lockTimeoutS = OdbcStatement::kQueryTimeoutS) {
    auto store = std::make_unique<test::WaitedStore>(std::make_unique<BackgroundStore>(
        std::make_unique<OdbcMessageStore>(lockTimeoutS), nullptr, lockTimeoutS));
    store->open(DataSourceSettings{dsn, user, password, file});
    return store;
}
std::unique_ptr<MessageStore> opened(TestDatabase& db) {
    return opened(db.dsn(), db.user(), db.password());
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
            const std::vector<TableRow> rows = test::everyWaitingRow(*opened(db), 1);
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
        QCOMPARE(test::everyWaitingRow(*opened(lite), 1).at(0).text(Column::MobileNo),
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
        const std::vector<TableRow> rows = test::everyWaitingRow(*opened(lite), 0);
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

    // A value too long for its column (SQLite keeps any length): raised with its SQLSTATE,
    // the row left as it was, the connection still usable.
    void valueTooLongIsRaisedWithItsState() {
        for (auto kind : {TestDatabase::Kind::PostgreSQL, TestDatabase::Kind::MariaDB}) {
            TestDatabase db(kind);
            db.recreate();
            db.insert({{QStringLiteral("RecId"), 1},
                       {QStringLiteral("MessageText"), QStringLiteral("m")}});
            const auto store = opened(db);
            const std::vector<TableRow> rows = test::everyWaitingRow(*store, 1);
            auto record = [&](const QString& status) {
                const MessageStore::Saved saved =
                    store
                        ->save({{rows[0], QStringLiteral("N"), status, false}},
                               QDateTime::currentDateTime())
                        .at(0);
                if (saved.error) {
                    throw *saved.error;
                }
                return saved.write;
            };
            QString description;
            QCOMPARE(errorNumberOf([&] { record(QString(60, u'x')); }, &description),
                     ErrorNumber::ProviderError);
            QVERIFY2(description.contains(QStringLiteral("22001")), qPrintable(description));
            QCOMPARE(db.outcome(1)[QStringLiteral("processstatus")].toString(), QString());
            QCOMPARE(record(QStringLiteral("Message Text Is Empty.")), Write::Done);
        }
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
            const std::vector<TableRow> rows = test::everyWaitingRow(*store, 1);
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
        const std::vector<TableRow> rows = test::everyWaitingRow(*store, 1);
        QCOMPARE(store->claim(rows, QDateTime::currentDateTime()),
                 (std::vector<Write>{Write::Done, Write::Done}));
        QCOMPARE(pg.count(QStringLiteral("ProcessStatus = 'Message Is Being Sent.'")), 2);
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
        const auto rows = test::everyWaitingRow(*opened(QStringLiteral("Orders"), {}, {}, path), 1);
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
