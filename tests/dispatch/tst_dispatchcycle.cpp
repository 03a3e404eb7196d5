#include <QDir>
#include <QSqlQuery>
#include <QTcpServer>
#include <QTemporaryDir>
#include <QTest>
#include <QThread>
#include <QTimer>

#include "app/ChannelAdapters.h"
#include "channels/CurlMailTransport.h"
#include "core/ActivityLog.h"
#include "core/RunConfiguration.h"
#include "dispatch/ProcessView.h"
#include "dispatch/ProcessingControl.h"
#include "support/ClosedPort.h"
#include "support/CycleWait.h"
#include "support/FakeClock.h"
#include "support/FakeWindow.h"
#include "support/Processing.h"
#include "support/ReceivedMessages.h"
#include "support/RecordingLogView.h"
#include "support/TempProfile.h"
#include "support/TestDatabase.h"
#include "support/TestEnvironment.h"

using namespace korvane;
using test::ReceivedMessages;
using test::TestDatabase;

namespace {

using test::FakeWindow;

// Everything one dispatch cycle needs, with the real channels and the databases the run
// started.
struct Rig {
    test::TempProfile profile;
    test::FakeClock clock{QDateTime(QDate(2026, 12, 6), QTime(9, 30, 0))};
    test::RecordingLogView view;
    ActivityLog log{profile.logsDir(), clock, &view};
    CurlMailTransport transport;
    SmsSender sms{SmppTimeouts{2000, 1500}};
    EmailSender email{transport};
    SmppChannel smsChannel{sms};
    SmtpChannel emailChannel{email};
    RunConfiguration config;
    FakeWindow window;
    test::Processing processing{config, log, window, smsChannel, emailChannel, clock};
    ProcessingControl& control = processing.control;

    explicit Rig(const TestDatabase& db) {
        config.dsnName = db.dsn();
        config.dsnDbUser = db.user();
        config.dsnDbPassword = db.password();
        config.dsnType = QStringLiteral("Sys");
        config.cellServer = QStringLiteral("127.0.0.1");
        config.cellPort = test::TestEnvironment::value("KORVANE_TEST_SMPP_PORT");
        config.cellUserName = QStringLiteral("guest");
        config.cellPassword = QStringLiteral("quill");
        config.smtpServer = QStringLiteral("127.0.0.1");
        config.smtpPort = test::TestEnvironment::value("KORVANE_TEST_SMTP_PORT");
        config.dontSendProcessedMsgs = 1;
    }
    QStringList logLines() const { return profile.logLines(QStringLiteral("Log_061226.log")); }
    // Lines written since the last call.
    QStringList newLines() {
        const QStringList all = logLines();
        const QStringList fresh = all.mid(seen_);
        seen_ = static_cast<int>(all.size());
        return fresh;
    }

private:
    int seen_ = 0;
};

QVariantMap sms(int id, const QVariant& text, const QVariant& number,
                const QString& type = QStringLiteral("SMS")) {
    return {{QStringLiteral("RecId"), id},
            {QStringLiteral("MessageType"), type},
            {QStringLiteral("MessageText"), text},
            {QStringLiteral("MobileNo"), number}};
}

QVariantMap mail(int id, const QString& to, const QString& from, const QString& extra = QString(),
                 const QString& attachment = QString()) {
    return {
        {QStringLiteral("RecId"), id},
        {QStringLiteral("MessageType"), QStringLiteral("Email")},
        {QStringLiteral("MessageText"), QStringLiteral("Body of %1").arg(id)},
        {QStringLiteral("EmailTo"), to},
        {QStringLiteral("EmailFrom"), from},
        {QStringLiteral("EmailSubject"), QStringLiteral("Subject %1").arg(id)},
        {QStringLiteral("EmailCC"), extra},
        {QStringLiteral("EmailBCC"), extra.isEmpty() ? QString() : QStringLiteral("bcc@x.test")},
        {QStringLiteral("EmailAttachment"), attachment}};
}

void expectOutcome(TestDatabase& db, int id, const QString& isSent, const char* status) {
    const QVariantMap row = db.outcome(id);
    QCOMPARE(row[QStringLiteral("issent")].toString(), isSent);
    QCOMPARE(row[QStringLiteral("processstatus")].toString(), QString::fromLatin1(status));
    QCOMPARE(row[QStringLiteral("processeddate")].toDateTime(),
             QDateTime(QDate(2026, 12, 6), QTime(9, 30, 0)));
}

void expectWaiting(TestDatabase& db, int id) {
    const QVariantMap row = db.outcome(id);
    QVERIFY(row[QStringLiteral("issent")].isNull() ||
            row[QStringLiteral("issent")].toString() == QStringLiteral("N"));
    QVERIFY(row[QStringLiteral("processstatus")].isNull());
    QVERIFY(row[QStringLiteral("processeddate")].isNull());
}

// What the SMS gateway received from a point on, by destination number.
struct SmsPeer {
    QString store = test::TestEnvironment::value("KORVANE_TEST_SMPP_STORE");
    qint64 mark = ReceivedMessages::smsMark(store);
    int count(const QString& number) const {
        int n = 0;
        for (const QJsonObject& entry : ReceivedMessages::sms(store, mark)) {
            n += entry[QStringLiteral("destination_addr")].toString() == number;
        }
        return n;
    }
    // The destination of the first message it received.
    QString firstNumber() const {
        const QList<QJsonObject> all = ReceivedMessages::sms(store, mark);
        return all.isEmpty() ? QString()
                             : all.front()[QStringLiteral("destination_addr")].toString();
    }
};

QString statusOf(TestDatabase& db, int id) {
    return db.outcome(id)[QStringLiteral("processstatus")].toString();
}

const QStringList kBlank = {QString(), QString()};
const QStringList kEnding =
    QStringList{QStringLiteral("Process Completed..."), QStringLiteral("Idle...")} + kBlank;

}  // namespace

class DispatchCycleTest : public QObject {
    Q_OBJECT

private Q_SLOTS:
    void initTestCase() {
        KORVANE_REQUIRE_ENV("KORVANE_TEST_SQLITE_DSN");
        KORVANE_REQUIRE_ENV("KORVANE_TEST_SMPP_PORT");
        KORVANE_REQUIRE_ENV("KORVANE_TEST_SMTP_PORT");
        KORVANE_REQUIRE_ENV("KORVANE_TEST_MARIA_DSN");
    }

    // Every kind of row on every database: what the drivers hand over (Null, spaces, case,
    // attachments) and what the peers received.
    void mixedTableOnBothDatabases() {
        for (auto kind : TestDatabase::kAll) {
            TestDatabase db(kind);
            db.recreate();
            QTemporaryDir files;
            const QString attachment = files.filePath(QStringLiteral("report.txt"));
            QFile file(attachment);
            QVERIFY(file.open(QIODevice::WriteOnly));
            file.write("attached bytes");
            file.close();
            db.insert(sms(1, QStringLiteral("Hello"), QStringLiteral("+447700900001")));
            db.insert(mail(2, QStringLiteral("to@x.test"), QStringLiteral("from@korvane.test"),
                           QStringLiteral("cc@x.test"),
                           QStringLiteral("  ") + attachment + QStringLiteral(" ")));
            db.insert(sms(3, QString(), QStringLiteral("1")));
            db.insert(sms(4, QVariant(), QStringLiteral("1")));
            db.insert(sms(6, QStringLiteral("   "), QStringLiteral(" 447700900002 "),
                          QStringLiteral(" sms ")));
            db.insert(sms(11, QStringLiteral("refused"), QStringLiteral("+1999")));
            db.insert(
                mail(12, QStringLiteral("reject@x.test"), QStringLiteral("from@korvane.test")));
            db.insert(mail(13, QStringLiteral("to@x.test"), QStringLiteral("from@korvane.test")));
            db.exec(QStringLiteral(
                "UPDATE tblMessages SET IsSent = 'Y', ProcessStatus = 'done' WHERE RecId = 13"));

            ReceivedMessages::clearMail(test::TestEnvironment::value("KORVANE_TEST_SMTP_STORE"));
            const QString smsStore = test::TestEnvironment::value("KORVANE_TEST_SMPP_STORE");
            const qint64 mark = ReceivedMessages::smsMark(smsStore);

            Rig rig(db);
            rig.control.cmdStart_Click();
            test::untilCycleEnds(rig.control);
            QVERIFY(rig.control.isTimer1On());
            QCOMPARE(rig.window.statuses,
                     (QStringList{QStringLiteral("Processing..."), QStringLiteral("Idle...")}));
            QCOMPARE(rig.window.controls, QList<bool>{true});

            expectOutcome(db, 1, QStringLiteral("Y"), "Message Is Sent Via SMS.");
            expectOutcome(db, 2, QStringLiteral("Y"), "Message Is Sent Via Email.");
            expectOutcome(db, 3, QStringLiteral("N"), "Message Text Is Empty.");
            expectOutcome(db, 4, QStringLiteral("N"), "Message Text Is Empty.");
            expectOutcome(db, 6, QStringLiteral("Y"), "Message Is Sent Via SMS.");
            expectOutcome(db, 11, QStringLiteral("N"), "Message Is Not Sent Via SMS.");
            expectOutcome(db, 12, QStringLiteral("N"), "Message Is Not Sent Via Email.");
            QCOMPARE(db.outcome(13)[QStringLiteral("processstatus")].toString(),
                     QStringLiteral("done"));

            const QList<QJsonObject> texts = ReceivedMessages::sms(smsStore, mark);
            QCOMPARE(texts.size(), 2);
            QCOMPARE(texts[1][QStringLiteral("message")].toString(), QStringLiteral("   "));
            QCOMPARE(texts[1][QStringLiteral("destination_addr")].toString(),
                     QStringLiteral("447700900002"));
            const QList<QJsonObject> mails =
                ReceivedMessages::mail(test::TestEnvironment::value("KORVANE_TEST_SMTP_STORE"));
            QCOMPARE(mails.size(), 1);
            QCOMPARE(mails[0][QStringLiteral("rcpt_tos")].toArray().size(), 3);
            QVERIFY(
                mails[0][QStringLiteral("data")].toString().contains(QStringLiteral("report.txt")));

            // The lines of each kind of row are the unit tests' concern; here, the failure
            // the real mail server gave ends its row's lines.
            const QStringList lines = rig.logLines();
            QVERIFY(lines.filter(QStringLiteral("Error Occurred: 2155 --> ")).size() == 1);
            QVERIFY(lines.contains(
                QStringLiteral("Message is not sent via Email for Record Id: 12 to email id : "
                               "reject@x.test")));
            QCOMPARE(lines.mid(lines.size() - kEnding.size()), kEnding);
        }
    }

    // Receipts from the npm gateway on the same session, their ids spelt in turn as given,
    // zero-padded, in upper-case hexadecimal and in the TLVs only: every row's DeliveryStatus
    // right on every database, a long SMS DELIVRD once all its parts are, and every receipt
    // answered OK once written.
    void receiptsOnEveryDatabase() {
        for (auto kind : TestDatabase::kAll) {
            TestDatabase db(kind);
            db.recreate(QString(), {QStringLiteral("Delivery receipts")});
            const QString store = test::TestEnvironment::value("KORVANE_TEST_SMPP_STORE");
            const qint64 mark = ReceivedMessages::smsMark(store);
            for (int id = 1; id <= 8; ++id) {
                db.insert(sms(id, id == 8 ? QString(400, QLatin1Char('r')) : QStringLiteral("r"),
                              id == 5 ? QStringLiteral("+44555000") : QStringLiteral("+4477009")));
            }
            Rig rig(db);
            rig.control.cmdStart_Click();
            test::untilCycleEnds(rig.control);
            const QString columns = QStringLiteral("SmscMessageId, DeliveryStatus, DeliveredDate");
            if (!QTest::qWaitFor(
                    [&] { return db.count(QStringLiteral("DeliveryStatus IS NULL")) == 0; },
                    15000)) {
                const QByteArray why =
                    (db.name() + QLatin1Char('\n') + rig.logLines().join(QLatin1Char('\n')))
                        .toUtf8();
                QFAIL(why.constData());
            }
            for (int id = 1; id <= 8; ++id) {
                const QVariantMap row = db.read(id, columns);
                QCOMPARE(row[QStringLiteral("deliverystatus")].toString(),
                         id == 5 ? QStringLiteral("UNDELIV") : QStringLiteral("DELIVRD"));
                QCOMPARE(row[QStringLiteral("smscmessageid")].toString().count(QLatin1Char(' ')),
                         id == 8 ? 2 : 0);
                // The receipt's done date; a receipt in TLVs only has none: its arrival.
                const QDateTime at = row[QStringLiteral("delivereddate")].toDateTime();
                QVERIFY(at == QDateTime(QDate(2026, 12, 7), QTime(10, 15)) ||
                        at == rig.clock.now());
            }
            QList<QJsonObject> receipts;
            QTRY_VERIFY((receipts = ReceivedMessages::sms(store, mark)).size() >= 10 + 2 * 10);
            int answered = 0;
            for (const QJsonObject& entry : receipts) {
                if (entry.contains(QStringLiteral("answered"))) {
                    QCOMPARE(entry[QStringLiteral("answered")].toInt(), 0);
                    ++answered;
                }
            }
            QCOMPARE(answered, 10);
            QVERIFY(rig.logLines().contains(QStringLiteral(
                "Delivery receipts are on: tblMessages has SmscMessageId, DeliveryStatus and "
                "DeliveredDate.")));
            rig.control.cmdStop_Click();
        }
    }

    // Replies from the npm gateway's phones, one in UCS-2 and one in three parts sent last
    // first, with no receipt columns: stored whole on every database, read back through its
    // driver, and answered OK once stored.
    void repliesOnEveryDatabase() {
        for (auto kind : TestDatabase::kAll) {
            TestDatabase db(kind);
            db.recreate(QString(), {QStringLiteral("Messages from phones")});
            const QString store = test::TestEnvironment::value("KORVANE_TEST_SMPP_STORE");
            const qint64 mark = ReceivedMessages::smsMark(store);
            db.insert(sms(1, QStringLiteral("Coming?"), QStringLiteral("+447700900444")));
            db.insert(sms(2, QStringLiteral("Tell me more"), QStringLiteral("+447700904443")));
            Rig rig(db);
            rig.control.cmdStart_Click();
            test::untilCycleEnds(rig.control);
            const QString table = QStringLiteral("tblReceivedMessages");
            const QString columns = QStringLiteral(
                "MobileNo, Recipient, MessageText, Parts, ReceivedDate, ProcessStatus");
            if (!QTest::qWaitFor([&] { return db.rows(table, columns).size() == 2; }, 15000)) {
                QFAIL(qPrintable(db.name() + QLatin1Char('\n') +
                                 rig.logLines().join(QLatin1Char('\n'))));
            }
            QList<QVariantMap> rows = db.rows(table, columns);
            std::sort(rows.begin(), rows.end(), [](const QVariantMap& a, const QVariantMap& b) {
                return a[QStringLiteral("parts")].toInt() < b[QStringLiteral("parts")].toInt();
            });
            QCOMPARE(rows[0][QStringLiteral("mobileno")].toString(),
                     QStringLiteral("+447700900444"));
            QCOMPARE(rows[0][QStringLiteral("messagetext")].toString(),
                     QStringLiteral("Yes \U0001F600"));
            QCOMPARE(rows[1][QStringLiteral("messagetext")].toString(),
                     QStringLiteral("Part one of the answer, part two, and part three."));
            QCOMPARE(rows[1][QStringLiteral("parts")].toInt(), 3);
            QCOMPARE(rows[1][QStringLiteral("recipient")].toString(), rig.config.cellUserName);
            QVERIFY(rows[1][QStringLiteral("receiveddate")].toDateTime().isValid());
            QVERIFY(rows[1][QStringLiteral("processstatus")].isNull());
            const auto answers = [&] {
                QList<int> statuses;
                for (const QJsonObject& entry : ReceivedMessages::sms(store, mark)) {
                    if (entry.contains(QStringLiteral("reply")) &&
                        entry.contains(QStringLiteral("answered"))) {
                        statuses << entry[QStringLiteral("answered")].toInt();
                    }
                }
                return statuses;
            };
            QTRY_COMPARE(answers(), (QList<int>{0, 0, 0, 0}));
            rig.control.cmdStop_Click();
        }
    }

    // The schedule's columns on every database, found by the catalog and in every statement:
    // a row not due yet or put off is left, an expired one is not sent, the higher Priority
    // goes first, a row put off whose time came goes again, and a passing failure (no
    // gateway at the address) writes Attempts and NextAttemptAt through the driver.
    // A row's own sender is the sender the gateway receives; one that cannot be sent fails
    // that row for good, and a row without one keeps the account's.
    void senderPerRowOnEveryDatabase() {
        for (auto kind : TestDatabase::kAll) {
            TestDatabase db(kind);
            db.recreate(QString(), {QStringLiteral("A sender per row")});
            const QString store = test::TestEnvironment::value("KORVANE_TEST_SMPP_STORE");
            const qint64 mark = ReceivedMessages::smsMark(store);
            const QStringList senders{QString(), QStringLiteral("Shop & Co"),
                                      QStringLiteral("+447700900777"),
                                      QStringLiteral("A brand far too long")};
            for (int id = 1; id <= int(senders.size()); ++id) {
                QVariantMap row =
                    sms(id, QStringLiteral("s"), QStringLiteral("+44770090%1").arg(id));
                if (!senders[id - 1].isEmpty()) {
                    row.insert(QStringLiteral("SmsSender"), senders[id - 1]);
                }
                db.insert(row);
            }
            Rig rig(db);
            rig.control.cmdStart_Click();
            test::untilCycleEnds(rig.control);
            for (int id = 1; id <= 3; ++id) {
                expectOutcome(db, id, QStringLiteral("Y"), "Message Is Sent Via SMS.");
            }
            expectOutcome(db, 4, QStringLiteral("N"), "Message Is Not Sent Via SMS.");
            QVERIFY(rig.logLines()
                        .join(QLatin1Char('\n'))
                        .contains(QStringLiteral(
                            "The row's sender \"A brand far too long\" cannot be sent")));
            const QList<QJsonObject> got = ReceivedMessages::sms(store, mark);
            QCOMPARE(got.size(), 3);
            std::map<QString, QString> from;
            for (const QJsonObject& entry : got) {
                from[entry[QStringLiteral("destination_addr")].toString()] =
                    entry[QStringLiteral("source_addr")].toString();
            }
            QCOMPARE(from[QStringLiteral("447700901")], QStringLiteral("guest"));
            QCOMPARE(from[QStringLiteral("447700902")], QStringLiteral("Shop & Co"));
            QCOMPARE(from[QStringLiteral("447700903")], QStringLiteral("447700900777"));
        }
    }

    void scheduleOnEveryDatabase() {
        for (auto kind : TestDatabase::kAll) {
            TestDatabase db(kind);
            db.recreate(QString(), {QStringLiteral("Scheduling and retries")});
            Rig rig(db);
            const QDateTime now = rig.clock.now();
            const QString later = QStringLiteral("Message Will Be Sent Again Later.");
            auto row = [](int id, const QString& number, const QVariantMap& more) {
                QVariantMap columns = sms(id, QStringLiteral("r"), number);
                columns.insert(more);
                return columns;
            };
            db.insert(
                row(1, QStringLiteral("+4401"), {{QStringLiteral("SendAfter"), now.addSecs(60)}}));
            db.insert(
                row(2, QStringLiteral("+4402"), {{QStringLiteral("SendAfter"), now.addSecs(-60)}}));
            db.insert(
                row(3, QStringLiteral("+4403"), {{QStringLiteral("ExpiresAt"), now.addSecs(-60)}}));
            db.insert(row(4, QStringLiteral("+4404"), {{QStringLiteral("Priority"), 9}}));
            db.insert(row(5, QStringLiteral("+4405"),
                          {{QStringLiteral("ProcessStatus"), later},
                           {QStringLiteral("NextAttemptAt"), now.addSecs(60)},
                           {QStringLiteral("Attempts"), 1}}));
            db.insert(row(6, QStringLiteral("+4406"),
                          {{QStringLiteral("ProcessStatus"), later},
                           {QStringLiteral("NextAttemptAt"), now.addSecs(-60)},
                           {QStringLiteral("Attempts"), 1}}));
            SmsPeer peer;
            rig.control.cmdStart_Click();
            test::untilCycleEnds(rig.control);
            QCOMPARE(db.outcome(1)[QStringLiteral("processstatus")].toString(), QString());
            expectOutcome(db, 2, QStringLiteral("Y"), "Message Is Sent Via SMS.");
            expectOutcome(db, 3, QStringLiteral("N"), "Message Expired Before Sending.");
            expectOutcome(db, 4, QStringLiteral("Y"), "Message Is Sent Via SMS.");
            QCOMPARE(db.outcome(5)[QStringLiteral("processstatus")].toString(), later);
            expectOutcome(db, 6, QStringLiteral("Y"), "Message Is Sent Via SMS.");
            QCOMPARE(db.read(6, QStringLiteral("Attempts"))[QStringLiteral("attempts")].toInt(), 2);
            QCOMPARE(peer.count(QStringLiteral("4404")) + peer.count(QStringLiteral("4402")) +
                         peer.count(QStringLiteral("4406")),
                     3);
            QCOMPARE(peer.firstNumber(), QStringLiteral("4404"));
            rig.control.cmdStop_Click();

            db.insert(row(7, QStringLiteral("+4407"), {}));
            rig.config.cellPort = test::closedPort();
            rig.control.cmdStart_Click();
            test::untilCycleEnds(rig.control);
            const QVariantMap put =
                db.read(7, QStringLiteral("ProcessStatus, Attempts, NextAttemptAt"));
            QCOMPARE(put[QStringLiteral("processstatus")].toString(), later);
            QCOMPARE(put[QStringLiteral("attempts")].toInt(), 1);
            const QDateTime next = put[QStringLiteral("nextattemptat")].toDateTime();
            QVERIFY2(next > now.addSecs(40) && next <= now.addSecs(60),
                     qPrintable(next.toString()));
            rig.control.cmdStop_Click();
        }
    }

    // Whatever fails after a message went out, it never goes out again, and the rows after it
    // are still served.
    void failuresAfterASendNeverSendItAgain() {
        using Kind = TestDatabase::Kind;
        const QString sent = QStringLiteral("Message Is Sent Via SMS.");
        const QString claimed = QStringLiteral("Message Is Being Sent.");
        auto twoRows = [](TestDatabase& db, const QString& first, const QString& second) {
            db.insert(sms(1, QStringLiteral("first"), first));
            db.insert(sms(2, QStringLiteral("second"), second));
        };
        auto cycles = [](Rig& rig, int count) {
            for (int i = 0; i < count; ++i) {
                rig.control.Timer1_Timer();
                test::untilCycleEnds(rig.control);
            }
        };

        {  // The save is refused (a producer's constraint).
            TestDatabase db(Kind::PostgreSQL);
            db.recreate();
            db.exec(
                QStringLiteral("ALTER TABLE tblMessages ADD CONSTRAINT no_y CHECK "
                               "(RecId <> 1 OR IsSent <> 'Y')"));
            twoRows(db, QStringLiteral("4411001"), QStringLiteral("4411002"));
            SmsPeer peer;
            Rig rig(db);
            cycles(rig, 3);
            QCOMPARE(peer.count(QStringLiteral("4411001")), 1);
            QCOMPARE(peer.count(QStringLiteral("4411002")), 1);
            QCOMPARE(statusOf(db, 1), claimed);
            QCOMPARE(statusOf(db, 2), sent);
            QVERIFY(rig.logLines().filter(QStringLiteral("Error Occurred")).size() == 1);
        }
        {  // The log cannot be written while the row is at the gateway.
            TestDatabase db(Kind::SQLite);
            db.recreate();
            twoRows(db, QStringLiteral("4413001"), QStringLiteral("4413002"));
            SmsPeer peer;
            Rig rig(db);
            const QString logs = rig.profile.logsDir();
            bool broken = false;
            rig.view.onAppend = [&] {
                if (!broken && rig.view.pane.contains(QStringLiteral("Sending message via SMS."))) {
                    broken = true;  // Logs turns into a file: every later entry fails
                    QDir(logs).removeRecursively();
                    QFile blocker(logs);
                    blocker.open(QIODevice::WriteOnly);
                }
            };
            rig.control.Timer1_Timer();
            test::untilCycleEnds(rig.control);
            QVERIFY(broken);
            QCOMPARE(statusOf(db, 1), sent);  // saved although its log lines were lost
            QCOMPARE(statusOf(db, 2), sent);  // it was out too: finished on the error path
            QCOMPARE(rig.window.statuses.last(), QStringLiteral("Idle..."));
            QVERIFY(rig.control.isTimer1On());
            QFile::remove(logs);
            cycles(rig, 2);
            QCOMPARE(peer.count(QStringLiteral("4413001")), 1);
            QCOMPARE(peer.count(QStringLiteral("4413002")), 1);
        }
        {  // The database goes away while the row is at the gateway.
            TestDatabase db(Kind::PostgreSQL);
            db.recreate();
            twoRows(db, QStringLiteral("4414001"), QStringLiteral("4414002"));
            SmsPeer peer;
            Rig rig(db);
            bool cut = false;
            rig.view.onAppend = [&] {
                // Row 1 answered, row 2 still at the gateway.
                if (!cut && rig.view.pane.contains(
                                QStringLiteral("Message is sent via SMS for Record Id: 1"))) {
                    cut = true;
                    db.exec(
                        QStringLiteral("SELECT pg_terminate_backend(pid) FROM pg_stat_activity "
                                       "WHERE usename = current_user AND pid <> pg_backend_pid()"));
                }
            };
            rig.control.Timer1_Timer();
            test::untilCycleEnds(rig.control);
            QVERIFY(cut);
            QVERIFY(rig.newLines().filter(QStringLiteral("Error Occurred: -2147467259")).size() >=
                    1);
            QCOMPARE(statusOf(db, 1), claimed);
            rig.view.onAppend = nullptr;
            cycles(rig, 2);
            // Row 2 was at the gateway too when the database went: sent once, left claimed.
            QCOMPARE(peer.count(QStringLiteral("4414001")), 1);
            QCOMPARE(peer.count(QStringLiteral("4414002")), 1);
            QCOMPARE(statusOf(db, 1), claimed);
            QCOMPARE(statusOf(db, 2), claimed);
        }
        // Dates with fractions of a second, as producers' defaults store them.
        for (const auto& [kind, type] :
             {std::pair{Kind::PostgreSQL, QStringLiteral("ALTER COLUMN ProcessedDate TYPE "
                                                         "TIMESTAMP(6)")},
              std::pair{Kind::MariaDB, QStringLiteral("MODIFY ProcessedDate DATETIME(6)")}}) {
            TestDatabase db(kind);
            db.recreate();
            db.exec(QStringLiteral("ALTER TABLE tblMessages ") + type);
            twoRows(db, QStringLiteral("4415001"), QStringLiteral("4415002"));
            db.exec(QStringLiteral("UPDATE tblMessages SET ProcessedDate = ?"),
                    {QDateTime(QDate(2026, 12, 5), QTime(8, 0, 0, 123))});
            SmsPeer peer;
            Rig rig(db);
            cycles(rig, 3);
            QCOMPARE(peer.count(QStringLiteral("4415001")), 1);
            QCOMPARE(peer.count(QStringLiteral("4415002")), 1);
            expectOutcome(db, 1, QStringLiteral("Y"), "Message Is Sent Via SMS.");
            expectOutcome(db, 2, QStringLiteral("Y"), "Message Is Sent Via SMS.");
        }
        {  // No answer to a submit, or the connection lost after part 1 of 3, with every
           // failed row tried again at each cycle.
            TestDatabase db(Kind::MariaDB);
            db.recreate();
            db.insert(sms(1, QStringLiteral("unanswered"), QStringLiteral("4416777")));
            db.insert(sms(2, QString(400, u'x'), QStringLiteral("4416778")));
            db.insert(sms(3, QStringLiteral("fine"), QStringLiteral("4416003")));
            SmsPeer peer;
            Rig rig(db);
            rig.config.dontSendProcessedMsgs = 0;
            // One row out at a time: a session that drops takes with it whatever was out.
            rig.control.setRowsOut(1);
            cycles(rig, 3);
            QCOMPARE(peer.count(QStringLiteral("4416777")), 1);
            QCOMPARE(peer.count(QStringLiteral("4416778")), 1);
            QCOMPARE(peer.count(QStringLiteral("4416003")), 1);
            expectOutcome(db, 1, QStringLiteral("N"), "Message May Have Been Sent.");
            expectOutcome(db, 2, QStringLiteral("N"), "Message May Have Been Sent.");
            expectOutcome(db, 3, QStringLiteral("Y"), "Message Is Sent Via SMS.");
            const QStringList lines = rig.logLines();
            QVERIFY(lines.contains(QStringLiteral(
                "Message may have been sent via SMS for Record Id: 1 on Mobile No.: 4416777, so "
                "it is not sent again.")));
            QCOMPARE(lines.filter(QStringLiteral("Processing message for Record Id: 1")).size(), 1);
        }
    }

    // Several instances on one table, each with its own connection and gateway session: the
    // database decides who sends which row, and every row goes out once.
    void threeInstancesShareOneTable() {
        TestDatabase db(TestDatabase::Kind::PostgreSQL);
        db.recreate();
        constexpr int kRows = 300;
        auto number = [](int id) {
            return QStringLiteral("4419%1").arg(id, 4, 10, QLatin1Char('0'));
        };
        for (int id = 1; id <= kRows; ++id)
            db.insert(sms(id, QStringLiteral("m%1").arg(id), number(id)));
        SmsPeer peer;
        QList<int> handled(3);
        QList<QThread*> instances;
        for (int i = 0; i < 3; ++i) {
            instances << QThread::create([&db, &handled, i] {
                Rig rig(db);
                rig.control.Timer1_Timer();
                test::untilCycleEnds(rig.control);
                handled[i] = static_cast<int>(
                    rig.logLines().filter(QStringLiteral("Message is sent via SMS")).size());
            });
        }
        for (QThread* instance : instances) instance->start();
        for (QThread* instance : instances) {
            QVERIFY(instance->wait(120000));
            delete instance;
        }
        qInfo("rows sent by each instance: %d, %d, %d", handled[0], handled[1], handled[2]);
        // An instance that jumps ahead past rows others are claiming leaves some for the next
        // cycle, which serves them.
        Rig next(db);
        next.control.Timer1_Timer();
        test::untilCycleEnds(next.control);
        const int later = static_cast<int>(
            next.logLines().filter(QStringLiteral("Message is sent via SMS")).size());
        QCOMPARE(handled[0] + handled[1] + handled[2] + later, kRows);
        for (int id = 1; id <= kRows; ++id) QCOMPARE(peer.count(number(id)), 1);
        QCOMPARE(db.count(QStringLiteral("IsSent = 'Y' AND ProcessStatus = 'Message Is Sent Via "
                                         "SMS.'")),
                 kRows);
    }

    // A binary MessageText is not guessed into text and sent.
    void binaryTextIsNotSent() {
        TestDatabase db(TestDatabase::Kind::MariaDB);
        db.recreate();
        db.exec(QStringLiteral("ALTER TABLE tblMessages MODIFY MessageText BLOB"));
        db.exec(
            QStringLiteral("INSERT INTO tblMessages (RecId, MessageType, MessageText, "
                           "MobileNo) VALUES (1, 'SMS', X'48690074686572', '4418001')"));
        SmsPeer peer;
        Rig rig(db);
        rig.control.Timer1_Timer();
        test::untilCycleEnds(rig.control);
        QCOMPARE(peer.count(QStringLiteral("4418001")), 0);
        expectOutcome(db, 1, QStringLiteral("N"), "Message Is Not Sent Via SMS.");
        QVERIFY(rig.logLines().contains(
            QStringLiteral("Error Occurred: 3002 --> MessageText is not text (a binary value), so "
                           "no message sent.")));
    }

    void nullRecIdHoldsBackLaterRows() {
        TestDatabase db(TestDatabase::Kind::SQLite);
        db.recreate(QStringLiteral(
            "CREATE TABLE tblMessages (RecId INTEGER, MessageType TEXT, MessageText TEXT, "
            "MobileNo TEXT, IsSent CHAR(1), ProcessStatus VARCHAR(50), ProcessedDate TIMESTAMP)"));
        db.insert(sms(1, QStringLiteral("m"), QString()));
        db.exec(QStringLiteral(
            "INSERT INTO tblMessages (RecId, MessageType, MessageText) VALUES (NULL, 'SMS', 'x')"));
        db.insert(sms(2, QStringLiteral("m"), QString()));
        Rig rig(db);
        for (int cycle = 0; cycle < 2; ++cycle) {
            rig.control.Timer1_Timer();
            test::untilCycleEnds(rig.control);
            const QStringList lines = rig.newLines();
            QCOMPARE(lines,
                     (QStringList{QStringLiteral("Process Started."),
                                  QStringLiteral("Error Occurred: 94 --> Invalid use of Null"),
                                  QStringLiteral("Idle...")}));
        }
        expectWaiting(db, 1);
        expectWaiting(db, 2);
    }
};

QTEST_GUILESS_MAIN(DispatchCycleTest)
#include "tst_dispatchcycle.moc"
