#include <QSqlQuery>
#include <QTemporaryDir>
#include <QtTest>

#include "core/KorvaneError.h"
#include "dispatch/DatabaseConnection.h"
#include "dispatch/MessageSnapshot.h"
#include "dispatch/MessageTable.h"
#include "support/TestDatabase.h"
#include "support/TestEnvironment.h"

using namespace korvane;
using korvane::test::TestDatabase;
using Column = MessageTable::Column;

namespace {

QList<TestDatabase::Kind> bothDatabases() {
    return {TestDatabase::Kind::SQLite, TestDatabase::Kind::PostgreSQL};
}

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

qint32 errorNumberOf(const std::function<void()>& action, QString* description = nullptr) {
    try {
        action();
    } catch (const KorvaneError& error) {
        if (description != nullptr) {
            *description = error.description();
        }
        return error.number();
    }
    return 0;
}

}  // namespace

class MessageTableTest : public QObject {
    Q_OBJECT

private Q_SLOTS:
    void initTestCase() {
        KORVANE_REQUIRE_ENV("KORVANE_TEST_SQLITE_DSN");
        KORVANE_REQUIRE_ENV("KORVANE_TEST_PG_DSN");
    }

    void statementsAreExact() {
        QCOMPARE(MessageTable::selectionStatement(0),
                 QStringLiteral("Select * from tblMessages where (IsSent = 'N' OR IsSent IS NULL "
                                "OR IsSent = '') order by RecId"));
        const QString handledOnce = QStringLiteral(
            "SELECT *  FROM tblMessages WHERE (IsSent = 'N' OR IsSent IS NULL OR IsSent = '') AND "
            "(ProcessStatus IS NULL OR ProcessStatus = '') ORDER BY RecId");
        QCOMPARE(MessageTable::selectionStatement(1), handledOnce);
        QCOMPARE(MessageTable::selectionStatement(-5), handledOnce);
    }

    void bothStatementsSelectWaitingRowsInRecIdOrder() {
        for (auto kind : bothDatabases()) {
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
            QCOMPARE(selectedIds(db, 1), (QList<qint32>{2, 5, 9}));
            QCOMPARE(selectedIds(db, 0), (QList<qint32>{1, 2, 3, 5, 9}));
        }
    }

    void valuesReadAsTextWithNullEmpty() {
        for (auto kind : bothDatabases()) {
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
        QCOMPARE(MessageTable::toRecordId(QVariant(42)), 42);
        QCOMPARE(MessageTable::toRecordId(QVariant(QStringLiteral(" 17 "))), 17);
        QCOMPARE(MessageTable::toRecordId(QVariant(2.5)), 2);
        QCOMPARE(MessageTable::toRecordId(QVariant(-2147483648LL)), -2147483647 - 1);
        QCOMPARE(errorNumberOf([] { MessageTable::toRecordId(QVariant()); }), 94);
        QCOMPARE(errorNumberOf([] { MessageTable::toRecordId(QVariant(QStringLiteral("abc"))); }),
                 13);
        QCOMPARE(errorNumberOf([] { MessageTable::toRecordId(QVariant(QString())); }), 13);
        QCOMPARE(errorNumberOf([] { MessageTable::toRecordId(QVariant(2147483648LL)); }), 6);
        QCOMPARE(errorNumberOf([] { MessageTable::toRecordId(QVariant(1e12)); }), 6);

        // The same through a real table whose RecId column takes anything.
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

    void saveWritesOneRowAndDetectsConflicts() {
        for (auto kind : bothDatabases()) {
            TestDatabase db(kind);
            db.recreate();
            db.insert({{QStringLiteral("RecId"), 1},
                       {QStringLiteral("MessageText"), QStringLiteral("a")}});
            db.insert({{QStringLiteral("RecId"), 2},
                       {QStringLiteral("MessageText"), QStringLiteral("b")}});
            db.insert({{QStringLiteral("RecId"), 3},
                       {QStringLiteral("MessageText"), QStringLiteral("c")},
                       {QStringLiteral("IsSent"), QVariant()}});
            DatabaseConnection connection;
            connection.open(db.dsn(), db.user(), db.password());
            MessageSnapshot snapshot(connection, MessageTable::selectionStatement(0));
            QCOMPARE(snapshot.size(), 3);
            const QDateTime at(QDate(2026, 12, 6), QTime(10, 11, 12, 345));
            snapshot.save(0, QStringLiteral("Y"), QStringLiteral("Message Is Sent Via SMS."), at);
            QVariantMap row = db.outcome(1);
            QCOMPARE(row[QStringLiteral("issent")].toString(), QStringLiteral("Y"));
            QCOMPARE(row[QStringLiteral("processstatus")].toString(),
                     QStringLiteral("Message Is Sent Via SMS."));
            QCOMPARE(row[QStringLiteral("processeddate")].toDateTime(),
                     QDateTime(QDate(2026, 12, 6), QTime(10, 11, 12)));

            // Another writer changed row 2 after the snapshot was read.
            db.exec(
                QStringLiteral("UPDATE tblMessages SET ProcessStatus = 'taken' WHERE RecId = 2"));
            QString description;
            QCOMPARE(errorNumberOf(
                         [&] { snapshot.save(1, QStringLiteral("Y"), QStringLiteral("x"), at); },
                         &description),
                     ErrorNumber::RowNotLocated);
            QCOMPARE(description, QStringLiteral("Row cannot be located for updating. Some values "
                                                 "may have been changed since it was last read."));
            QCOMPARE(db.outcome(2)[QStringLiteral("issent")].toString(), QStringLiteral("N"));
            QCOMPARE(db.outcome(2)[QStringLiteral("processstatus")].toString(),
                     QStringLiteral("taken"));

            // Null IsSent is matched with IS NULL; the same row can be saved again later.
            snapshot.save(2, QStringLiteral("N"), QStringLiteral("Message Type Is Not Defined."),
                          at);
            snapshot.save(2, QStringLiteral("N"), QStringLiteral("Message Type Is Not Defined."),
                          at.addSecs(10));
            QCOMPARE(db.outcome(3)[QStringLiteral("processstatus")].toString(),
                     QStringLiteral("Message Type Is Not Defined."));
        }
        // A row handled before (ProcessedDate set) is saved again with the retry statement.
        for (auto kind : bothDatabases()) {
            TestDatabase db(kind);
            db.recreate();
            db.insert({{QStringLiteral("RecId"), 1},
                       {QStringLiteral("MessageText"), QStringLiteral("a")}});
            for (int attempt = 0; attempt < 2; ++attempt) {
                DatabaseConnection connection;
                connection.open(db.dsn(), db.user(), db.password());
                MessageSnapshot snapshot(connection, MessageTable::selectionStatement(0));
                QCOMPARE(snapshot.size(), 1);
                snapshot.save(0, QStringLiteral("N"),
                              QStringLiteral("Message Is Not Sent Via SMS."),
                              QDateTime::currentDateTime().addSecs(attempt));
            }
        }
    }

    void duplicateRecIdSavesNothing() {
        TestDatabase lite(TestDatabase::Kind::SQLite);
        lite.recreate(
            QStringLiteral("CREATE TABLE tblMessages (RecId INTEGER, MessageText TEXT, "
                           "IsSent CHAR(1), ProcessStatus VARCHAR(50), ProcessedDate TIMESTAMP)"));
        lite.exec(QStringLiteral(
            "INSERT INTO tblMessages (RecId, MessageText) VALUES (1, 'a'), (1, 'b')"));
        DatabaseConnection connection;
        connection.open(lite.dsn(), lite.user(), lite.password());
        MessageSnapshot snapshot(connection, MessageTable::selectionStatement(1));
        QCOMPARE(errorNumberOf([&] {
                     snapshot.save(0, QStringLiteral("Y"), QStringLiteral("x"),
                                   QDateTime::currentDateTime());
                 }),
                 ErrorNumber::RowNotLocated);
        QCOMPARE(lite.count(QStringLiteral("ProcessStatus IS NULL")), 2);
    }

    void tooLongValueRaisesAndLeavesTheRow() {
        TestDatabase pg(TestDatabase::Kind::PostgreSQL);
        pg.recreate();
        pg.exec(
            QStringLiteral("ALTER TABLE tblMessages ALTER COLUMN ProcessStatus TYPE VARCHAR(10)"));
        pg.insert(
            {{QStringLiteral("RecId"), 1}, {QStringLiteral("MessageText"), QStringLiteral("a")}});
        DatabaseConnection connection;
        connection.open(pg.dsn(), pg.user(), pg.password());
        MessageSnapshot snapshot(connection, MessageTable::selectionStatement(1));
        QString description;
        QCOMPARE(errorNumberOf(
                     [&] {
                         snapshot.save(0, QStringLiteral("Y"),
                                       QStringLiteral("Message Is Sent Via SMS."),
                                       QDateTime::currentDateTime());
                     },
                     &description),
                 ErrorNumber::ProviderError);
        QVERIFY2(description.contains(QStringLiteral("too long")), qPrintable(description));
        QVERIFY2(description.endsWith(QStringLiteral("(SQLSTATE 22001)")), qPrintable(description));
        QVariantMap row = pg.outcome(1);
        QCOMPARE(row[QStringLiteral("issent")].toString(), QStringLiteral("N"));
        QVERIFY(row[QStringLiteral("processstatus")].isNull());
        // The connection is still usable after the rolled-back save.
        snapshot.save(0, QStringLiteral("N"), QStringLiteral("short"),
                      QDateTime::currentDateTime());
        QCOMPARE(pg.outcome(1)[QStringLiteral("processstatus")].toString(),
                 QStringLiteral("short"));
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

    void passwordWithSeparatorsLogsIn() {
        const QString password = test::TestEnvironment::value("KORVANE_TEST_PG_PASSWORD");
        QVERIFY(password.contains(QLatin1Char(';')) && password.contains(QLatin1Char('}')));
        DatabaseConnection c;
        c.open(test::TestEnvironment::value("KORVANE_TEST_PG_DSN"),
               test::TestEnvironment::value("KORVANE_TEST_PG_USER"), password);
        QVERIFY(c.isOpen());
        c.close();
        QVERIFY(!c.isOpen());
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

    void attachmentPathPreparation() {
        QCOMPARE(MessageTable::prepareAttachmentPath(QStringLiteral("  C:\\\\Data\\\\report.pdf ")),
                 QStringLiteral("C:\\Data\\report.pdf"));
        QCOMPARE(MessageTable::prepareAttachmentPath(QStringLiteral("\\\\server\\share")),
                 QStringLiteral("\\server\\share"));
        QCOMPARE(MessageTable::prepareAttachmentPath(QStringLiteral("a\\\\\\b")),
                 QStringLiteral("a\\\\b"));
        QCOMPARE(MessageTable::prepareAttachmentPath(QStringLiteral("/tmp/x y.pdf")),
                 QStringLiteral("/tmp/x y.pdf"));
    }
};

QTEST_GUILESS_MAIN(MessageTableTest)
#include "tst_messagetable.moc"
