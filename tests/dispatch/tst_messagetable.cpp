#include <QSqlQuery>
#include <QTemporaryDir>
#include <QtTest>

#include "core/KorvaneError.h"
#include "dispatch/DatabaseConnection.h"
#include "dispatch/MessageSnapshot.h"
#include "dispatch/MessageTable.h"
#include "support/ErrorNumber.h"
#include "support/TestDatabase.h"
#include "support/TestEnvironment.h"

using namespace korvane;
using korvane::test::TestDatabase;
using test::errorNumberOf;
using Column = MessageTable::Column;

namespace {

QList<qint32> selectedIds(TestDatabase& db, qint32 dontSend) {
    DatabaseConnection connection;
    connection.open(db.dsn(), db.user(), db.password());
    MessageSnapshot snapshot(connection, MessageTable::selectionStatement(dontSend));
    QList<qint32> ids;
    for (int i = 0; i < snapshot.size(); ++i) {
        ids << snapshot.recordId(i);
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
            DatabaseConnection connection;
            connection.open(db.dsn(), db.user(), db.password());
            MessageSnapshot snapshot(connection, MessageTable::selectionStatement(1));
            QCOMPARE(snapshot.size(), 2);
            QCOMPARE(snapshot.text(0, Column::MessageText), QString());
            QCOMPARE(snapshot.text(0, Column::MessageType), QStringLiteral(" sms "));
            QCOMPARE(snapshot.text(0, Column::MobileNo), QStringLiteral(" +4470 "));
            QCOMPARE(snapshot.text(1, Column::EmailSubject), QStringLiteral("Grüße €"));
            QCOMPARE(snapshot.text(1, Column::EmailCC), QString());
        }
        // A number where text is expected is used in its text form (SQLite keeps the type).
        TestDatabase lite(TestDatabase::Kind::SQLite);
        lite.recreate();
        lite.exec(
            QStringLiteral("INSERT INTO tblMessages (RecId, MessageType, MobileNo) VALUES (1, "
                           "'SMS', 447700900123)"));
        DatabaseConnection connection;
        connection.open(lite.dsn(), lite.user(), lite.password());
        MessageSnapshot snapshot(connection, MessageTable::selectionStatement(1));
        QCOMPARE(snapshot.text(0, Column::MobileNo), QStringLiteral("447700900123"));
    }

    void recordIdConversionErrors() {
        // A real table whose RecId column takes anything.
        TestDatabase lite(TestDatabase::Kind::SQLite);
        lite.recreate(
            QStringLiteral("CREATE TABLE tblMessages (RecId, MessageText, MessageType, "
                           "IsSent, ProcessStatus, ProcessedDate)"));
        lite.exec(
            QStringLiteral("INSERT INTO tblMessages (RecId) VALUES (NULL), ('x1'), (99999999999)"));
        DatabaseConnection connection;
        connection.open(lite.dsn(), lite.user(), lite.password());
        MessageSnapshot snapshot(connection, MessageTable::selectionStatement(0));
        QCOMPARE(snapshot.size(), 3);
        QString description;
        QCOMPARE(errorNumberOf([&] { snapshot.recordId(0); }, &description), 94);
        QCOMPARE(description, QStringLiteral("Invalid use of Null"));
        QCOMPARE(errorNumberOf([&] { snapshot.recordId(1); }), 6);  // 99999999999 sorts first
        QCOMPARE(errorNumberOf([&] { snapshot.recordId(2); }, &description), 13);
        QCOMPARE(description, QStringLiteral("Type mismatch"));
        // A column the table lacks raises only when read.
        QCOMPARE(errorNumberOf([&] { snapshot.text(0, Column::MobileNo); }), 3265);
    }

    // Claim, record and finish on every database: guarded on what was read, never on a date,
    // and never writing over a row that changed or a RecId that names several rows.
    void writesAreGuarded() {
        using Write = MessageSnapshot::Write;
        for (auto kind : TestDatabase::kAll) {
            TestDatabase db(kind);
            db.recreate();
            for (int id = 1; id <= 5; ++id) {
                db.insert({{QStringLiteral("RecId"), id},
                           {QStringLiteral("MessageText"), QStringLiteral("m")}});
            }
            // A producer's date with a fraction of a second, Null IsSent, '' status.
            db.exec(QStringLiteral("UPDATE tblMessages SET ProcessedDate = ? WHERE RecId = 1"),
                    {QDateTime(QDate(2026, 1, 2), QTime(3, 4, 5, 678))});
            db.exec(QStringLiteral(
                "UPDATE tblMessages SET IsSent = NULL, ProcessStatus = '' WHERE RecId = 2"));
            DatabaseConnection connection;
            connection.open(db.dsn(), db.user(), db.password());
            MessageSnapshot snapshot(connection, MessageTable::selectionStatement(1));
            QCOMPARE(snapshot.size(), 5);
            const QDateTime at(QDate(2026, 12, 6), QTime(10, 11, 12, 345));

            QCOMPARE(snapshot.claim(0, at), Write::Done);
            QVariantMap row = db.outcome(1);
            QCOMPARE(row[QStringLiteral("issent")].toString(), QStringLiteral("N"));
            QCOMPARE(row[QStringLiteral("processstatus")].toString(),
                     QStringLiteral("Message Is Being Sent."));
            QCOMPARE(row[QStringLiteral("processeddate")].toDateTime(),
                     QDateTime(QDate(2026, 12, 6), QTime(10, 11, 12)));
            snapshot.finish(0, QStringLiteral("Y"), QStringLiteral("Message Is Sent Via SMS."),
                            at.addSecs(1));
            row = db.outcome(1);
            QCOMPARE(row[QStringLiteral("issent")].toString(), QStringLiteral("Y"));
            QCOMPARE(row[QStringLiteral("processstatus")].toString(),
                     QStringLiteral("Message Is Sent Via SMS."));

            QCOMPARE(snapshot.claim(1, at), Write::Done);
            snapshot.finish(1, QStringLiteral("N"), QStringLiteral("Message May Have Been Sent."),
                            at);
            QCOMPARE(db.outcome(2)[QStringLiteral("processstatus")].toString(),
                     QStringLiteral("Message May Have Been Sent."));

            // Another instance claimed row 3 after this snapshot was read.
            db.exec(QStringLiteral(
                "UPDATE tblMessages SET ProcessStatus = 'Message Is Being Sent.' WHERE RecId = 3"));
            QCOMPARE(snapshot.claim(2, at), Write::Changed);
            QCOMPARE(snapshot.record(2, QStringLiteral("N"), QStringLiteral("x"), at),
                     Write::Changed);
            QCOMPARE(db.outcome(3)[QStringLiteral("processstatus")].toString(),
                     QStringLiteral("Message Is Being Sent."));

            // A claim taken away before the save: the save raises and changes nothing.
            QCOMPARE(snapshot.claim(3, at), Write::Done);
            db.exec(QStringLiteral("UPDATE tblMessages SET ProcessStatus = '' WHERE RecId = 4"));
            QCOMPARE(errorNumberOf(
                         [&] { snapshot.finish(3, QStringLiteral("Y"), QStringLiteral("x"), at); }),
                     ErrorNumber::RowNotLocated);
            QCOMPARE(db.outcome(4)[QStringLiteral("processstatus")].toString(), QString());

            // A value too long for its column (SQLite keeps any length): raised with its
            // SQLSTATE, the row left as it was, the connection still usable.
            if (kind != TestDatabase::Kind::SQLite) {
                QString description;
                QCOMPARE(
                    errorNumberOf(
                        [&] { snapshot.record(4, QStringLiteral("N"), QString(60, u'x'), at); },
                        &description),
                    ErrorNumber::ProviderError);
                QVERIFY2(description.contains(QStringLiteral("22001")), qPrintable(description));
            }
            QCOMPARE(snapshot.record(4, QStringLiteral("N"),
                                     QStringLiteral("Message Text Is Empty."), at),
                     Write::Done);
        }

        // A RecId that names two rows: nothing is written, by a claim or a record.
        TestDatabase lite(TestDatabase::Kind::SQLite);
        lite.recreate(QStringLiteral(
            "CREATE TABLE tblMessages (RecId INTEGER, MessageText TEXT, IsSent CHAR(1), "
            "ProcessStatus VARCHAR(50), ProcessedDate TIMESTAMP)"));
        lite.exec(QStringLiteral(
            "INSERT INTO tblMessages (RecId, MessageText) VALUES (1, 'a'), (1, 'b')"));
        DatabaseConnection connection;
        connection.open(lite.dsn(), lite.user(), lite.password());
        MessageSnapshot snapshot(connection, MessageTable::selectionStatement(1));
        const QDateTime now = QDateTime::currentDateTime();
        QCOMPARE(snapshot.claim(0, now), Write::Shared);
        QCOMPARE(snapshot.record(1, QStringLiteral("N"), QStringLiteral("x"), now), Write::Shared);
        QCOMPARE(lite.count(QStringLiteral("ProcessStatus IS NULL")), 2);
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
            DatabaseConnection connection;
            connection.open(db.dsn(), db.user(), db.password());
            const QList<MessageSnapshot::Claim> claims =
                MessageSnapshot::claimsBefore(connection, now.addSecs(-900));
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
        DatabaseConnection c;
        c.open(QStringLiteral("Orders"), QString(), QString(), path);
        MessageSnapshot snapshot(c, MessageTable::selectionStatement(1));
        QCOMPARE(snapshot.size(), 1);
        QCOMPARE(snapshot.recordId(0), 4);
    }

    void missingTableFailsTheStatement() {
        TestDatabase pg(TestDatabase::Kind::PostgreSQL);
        pg.exec(QStringLiteral("DROP TABLE IF EXISTS tblMessages"));
        DatabaseConnection c;
        c.open(pg.dsn(), pg.user(), pg.password());
        QString description;
        QCOMPARE(errorNumberOf([&] { MessageSnapshot s(c, MessageTable::selectionStatement(1)); },
                               &description),
                 ErrorNumber::ProviderError);
        QVERIFY2(description.contains(QStringLiteral("tblmessages")) &&
                     description.endsWith(QStringLiteral("(SQLSTATE 42P01)")),
                 qPrintable(description));
    }
};

QTEST_GUILESS_MAIN(MessageTableTest)
#include "tst_messagetable.moc"
