#include <QDir>
#include <QSqlQuery>
#include <QTemporaryDir>
#include <QtTest>

#include "channels/EmailSender.h"
#include "channels/SmppTelvoroClient.h"
#include "channels/SmsSender.h"
#include "core/ActivityLog.h"
#include "core/RunConfiguration.h"
#include "dispatch/ProcessWindow.h"
#include "dispatch/ProcessingControl.h"
#include "support/FakeClock.h"
#include "support/ReceivedMessages.h"
#include "support/RecordingLogView.h"
#include "support/TempProfile.h"
#include "support/TestDatabase.h"
#include "support/TestEnvironment.h"

using namespace korvane;
using test::ReceivedMessages;
using test::TestDatabase;

namespace {

class FakeWindow : public ProcessWindow {
public:
    void setStatusText(const QString& text) override { statuses << text; }
    void setProcessingControls(bool processing) override {
        controls << processing;
        configurationAvailable = !processing;
    }
    void setConfigurationAvailable(bool available) override { configurationAvailable = available; }
    bool configurationAvailable = true;
    void showConfigurationModal() override {
        ++configurationShown;
        if (onConfiguration)
            onConfiguration();
    }
    QStringList statuses;
    QList<bool> controls;
    int configurationShown = 0;
    std::function<void()> onConfiguration;
};

// Everything one dispatch cycle needs, with the real channels and the databases the run
// started.
struct Rig {
    test::TempProfile profile;
    test::FakeClock clock{QDateTime(QDate(2026, 12, 6), QTime(9, 30, 0))};
    test::RecordingLogView view;
    ActivityLog log{profile.logsDir(), clock, &view};
    CurlMailTransport transport;
    SmsSender sms{log, SmppTelvoroClient::factory()};
    EmailSender email{log, transport};
    RunConfiguration config;
    FakeWindow window;
    ProcessingControl control{config, log, window, sms, email, clock};

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

const QStringList kBlank = {QString(), QString()};
const QStringList kEnding =
    QStringList{QStringLiteral("Process Completed..."), QStringLiteral("Idle...")} + kBlank;

QStringList rowStart(int id) {
    return kBlank + QStringList{QStringLiteral("Processing message for Record Id: %1").arg(id)};
}

}  // namespace

class DispatchCycleTest : public QObject {
    Q_OBJECT

private Q_SLOTS:
    void initTestCase() {
        KORVANE_REQUIRE_ENV("KORVANE_TEST_SQLITE_DSN");
        KORVANE_REQUIRE_ENV("KORVANE_TEST_SMPP_PORT");
        KORVANE_REQUIRE_ENV("KORVANE_TEST_SMTP_PORT");
    }

    void mixedTableOnBothDatabases() {
        for (auto kind : {TestDatabase::Kind::SQLite, TestDatabase::Kind::PostgreSQL}) {
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
            db.insert(sms(5, QStringLiteral("fax me"), QStringLiteral("1"), QStringLiteral("FAX")));
            db.insert(sms(6, QStringLiteral("   "), QStringLiteral(" 447700900002 "),
                          QStringLiteral(" sms ")));
            db.insert(sms(7, QStringLiteral("no number"), QStringLiteral("   ")));
            db.insert(mail(8, QStringLiteral(" "), QString()));
            db.insert(mail(9, QStringLiteral("to@x.test"), QStringLiteral(" ")));
            db.insert(mail(10, QStringLiteral("to@x.test"), QStringLiteral("from@korvane.test"),
                           QString(), files.filePath(QStringLiteral("missing.pdf"))));
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
            QVERIFY(rig.control.isTimer1On());
            QCOMPARE(rig.window.statuses,
                     (QStringList{QStringLiteral("Processing..."), QStringLiteral("Idle...")}));
            QCOMPARE(rig.window.controls, QList<bool>{true});

            expectOutcome(db, 1, QStringLiteral("Y"), "Message Is Sent Via SMS.");
            expectOutcome(db, 2, QStringLiteral("Y"), "Message Is Sent Via Email.");
            expectOutcome(db, 3, QStringLiteral("N"), "Message Text Is Empty.");
            expectOutcome(db, 4, QStringLiteral("N"), "Message Text Is Empty.");
            expectOutcome(db, 5, QStringLiteral("N"), "Message Type Is Not Defined.");
            expectOutcome(db, 6, QStringLiteral("Y"), "Message Is Sent Via SMS.");
            expectOutcome(db, 7, QStringLiteral("N"), "Mobile No. Is Not Defined.");
            expectOutcome(db, 8, QStringLiteral("N"),
                          "Reciever's Email Id (EmailTo) Is Not Defined.");
            expectOutcome(db, 9, QStringLiteral("N"),
                          "Sender's Email Id (EmailFrom) Is Not Defined.");
            expectOutcome(db, 10, QStringLiteral("N"),
                          "Attachment File Does Not Exist Or Not Found.");
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

            const QString missing = files.filePath(QStringLiteral("missing.pdf"));
            const QStringList expected =
                QStringList{QStringLiteral("Starting Process..."),
                            QStringLiteral("Process Started.")} +
                rowStart(1) +
                QStringList{
                    QStringLiteral("Message Type is SMS."),
                    QStringLiteral("Sending message via SMS."),
                    QStringLiteral(
                        "Message is sent via SMS for Record Id: 1 on Mobile No.: +447700900001")} +
                rowStart(2) +
                QStringList{
                    QStringLiteral("Message Type is Email."),
                    QStringLiteral("Sending message via Email."),
                    QStringLiteral(
                        "Message is sent via Email to following Email Address for Record Id: 2"),
                    QStringLiteral("Email To: to@x.test"),
                    QStringLiteral("Email CC: cc@x.test"),
                    QStringLiteral("Email BCC: bcc@x.test"),
                    QStringLiteral("File Attached: report.txt")} +
                rowStart(3) +
                QStringList{QStringLiteral("Message text is empty, so no message sent.")} +
                rowStart(4) +
                QStringList{QStringLiteral("Message text is empty, so no message sent.")} +
                rowStart(5) +
                QStringList{QStringLiteral("Message Type is not defined, so no message sent.")} +
                rowStart(6) +
                QStringList{
                    QStringLiteral("Message Type is SMS."),
                    QStringLiteral("Sending message via SMS."),
                    QStringLiteral(
                        "Message is sent via SMS for Record Id: 6 on Mobile No.:  447700900002 ")} +
                rowStart(7) +
                QStringList{QStringLiteral("Message Type is SMS."),
                            QStringLiteral("Mobile No. is not defined, so no message sent.")} +
                rowStart(8) +
                QStringList{
                    QStringLiteral("Message Type is Email."),
                    QStringLiteral(
                        "Reciever's email id (EmailTo) is not defined, so no message sent.")} +
                rowStart(9) +
                QStringList{
                    QStringLiteral("Message Type is Email."),
                    QStringLiteral(
                        "Sender's email id (EmailFrom) is not defined, so no message sent.")} +
                rowStart(10) +
                QStringList{QStringLiteral("Message Type is Email."),
                            QStringLiteral("Attachment file '") + missing +
                                QStringLiteral("' does not exist or not found.")} +
                rowStart(11) +
                QStringList{
                    QStringLiteral("Message Type is SMS."),
                    QStringLiteral("Sending message via SMS."),
                    QStringLiteral("Message is not accepted by Telvoro Server."),
                    QStringLiteral(
                        "Message is not sent via SMS for Record Id: 11 on Mobile No.: +1999")} +
                rowStart(12) +
                QStringList{QStringLiteral("Message Type is Email."),
                            QStringLiteral("Sending message via Email.")};
            const QStringList lines = rig.logLines();
            QCOMPARE(lines.mid(0, expected.size()), expected);
            QVERIFY2(lines[expected.size()].startsWith(QStringLiteral("Error Occurred: 55 --> ")),
                     qPrintable(lines[expected.size()]));
            QCOMPARE(lines.mid(expected.size() + 1),
                     QStringList{QStringLiteral("Message is not sent via Email for Record Id: 12 "
                                                "to email id : reject@x.test")} +
                         kEnding);
        }
    }

    void gatewayRefusingTheLogin() {
        TestDatabase db(TestDatabase::Kind::SQLite);
        db.recreate();
        db.insert(sms(1, QStringLiteral("x"), QStringLiteral("1")));
        Rig rig(db);
        rig.config.cellUserName = QStringLiteral("refuse");
        rig.control.Timer1_Timer();
        expectOutcome(db, 1, QStringLiteral("N"), "Message Is Not Sent Via SMS.");
        QVERIFY(rig.logLines().contains(QString::fromLatin1(SmsSender::kLoginFailed)));
    }

    void rowsInRecIdOrderAndRetriesByOption() {
        TestDatabase db(TestDatabase::Kind::PostgreSQL);
        db.recreate();
        db.insert(sms(7, QStringLiteral("seven"), QString()));
        db.insert(sms(3, QStringLiteral("three"), QString()));
        db.insert(sms(5, QStringLiteral("five"), QString()));
        Rig rig(db);
        rig.control.Timer1_Timer();
        QStringList order;
        for (const QString& line : rig.newLines()) {
            if (line.startsWith(QStringLiteral("Processing message")))
                order << line.right(1);
        }
        QCOMPARE(order,
                 (QStringList{QStringLiteral("3"), QStringLiteral("5"), QStringLiteral("7")}));

        // Handled once and not sent: left alone with the option on, tried again with it off.
        rig.control.Timer1_Timer();
        const QStringList idle = QStringList{QStringLiteral("Process Started."),
                                             QStringLiteral("No message exists to be sent.")} +
                                 kEnding;
        QCOMPARE(rig.newLines(), idle);
        rig.config.dontSendProcessedMsgs = 0;
        rig.clock.set(QDateTime(QDate(2026, 12, 6), QTime(9, 31, 0)));
        rig.control.Timer1_Timer();
        QCOMPARE(rig.newLines().filter(QStringLiteral("Processing message")).size(), 3);
        QCOMPARE(db.outcome(3)[QStringLiteral("processeddate")].toDateTime().time(),
                 QTime(9, 31, 0));
    }

    void stopDuringTheSecondOfFiveRows() {
        TestDatabase db(TestDatabase::Kind::SQLite);
        db.recreate();
        for (int id = 1; id <= 5; ++id)
            db.insert(
                sms(id, QStringLiteral("m%1").arg(id), QStringLiteral("+4470090000%1").arg(id)));
        Rig rig(db);
        bool stopped = false;
        rig.view.onYield = [&] {
            if (!stopped && rig.view.pane.contains(
                                QStringLiteral("Message is sent via SMS for Record Id: 2"))) {
                stopped = true;
                rig.control.cmdStop_Click();
            }
        };
        rig.control.cmdStart_Click();
        QVERIFY(stopped);
        expectOutcome(db, 1, QStringLiteral("Y"), "Message Is Sent Via SMS.");
        expectOutcome(db, 2, QStringLiteral("Y"), "Message Is Sent Via SMS.");
        for (int id = 3; id <= 5; ++id) expectWaiting(db, id);
        QVERIFY(!rig.control.isTimer1On());
        QCOMPARE(rig.window.controls, (QList<bool>{true, false}));
        const QStringList lines = rig.logLines();
        QCOMPARE(lines.mid(lines.indexOf(QStringLiteral(
                     "Message is sent via SMS for Record Id: 2 on Mobile No.: +44700900002"))),
                 (QStringList{
                      QStringLiteral(
                          "Message is sent via SMS for Record Id: 2 on Mobile No.: +44700900002"),
                      QStringLiteral("Process Stopped..."), QStringLiteral("Idle...")} +
                  kEnding));
    }

    void startDuringAStoppedCycleDoesNotNest() {
        TestDatabase db(TestDatabase::Kind::SQLite);
        db.recreate();
        for (int id = 1; id <= 3; ++id)
            db.insert(sms(id, QStringLiteral("m"), QStringLiteral("1")));
        Rig rig(db);
        bool done = false;
        rig.view.onYield = [&] {
            if (!done && rig.view.pane.contains(QStringLiteral("Record Id: 1"))) {
                done = true;
                rig.control.cmdStop_Click();
                rig.control.cmdStart_Click();  // Start enabled again at once
            }
        };
        rig.control.cmdStart_Click();
        const QStringList lines = rig.logLines();
        QCOMPARE(lines.count(QStringLiteral("Process Started.")), 1);
        QCOMPARE(lines.filter(QStringLiteral("Processing message")).size(), 3);
        QVERIFY(rig.control.isTimer1On());
        QVERIFY(rig.control.isStarted());
        QVERIFY(!rig.control.isCycleRunning());
    }

    void incompleteConfigurationStopsAndOpensTheWindow() {
        TestDatabase db(TestDatabase::Kind::SQLite);
        struct Case {
            std::function<void(RunConfiguration&)> spoil;
            QString message;
        };
        const QList<Case> cases = {
            {[](RunConfiguration& c) {
                 c.dsnName.clear();
                 c.smtpServer.clear();
             },
             QStringLiteral("DSN Name is empty.")},
            {[](RunConfiguration& c) { c.cellPort.clear(); },
             QStringLiteral("Telvoro Server Address/Server Port is empty.")},
            {[](RunConfiguration& c) { c.cellServer.clear(); },
             QStringLiteral("Telvoro Server Address/Server Port is empty.")},
            {[](RunConfiguration& c) { c.cellUserName.clear(); },
             QStringLiteral("Telvoro User Name is empty.")},
            {[](RunConfiguration& c) { c.smtpPort.clear(); },
             QStringLiteral("SMTP Server Address/Server Port is empty.")},
        };
        for (const Case& c : cases) {
            Rig rig(db);
            c.spoil(rig.config);
            bool timerOffWhileOpen = false;
            rig.window.onConfiguration = [&] { timerOffWhileOpen = !rig.control.isTimer1On(); };
            rig.control.cmdStart_Click();
            QCOMPARE(rig.logLines(), (QStringList{QStringLiteral("Starting Process..."),
                                                  QStringLiteral("Process Started."), c.message,
                                                  QStringLiteral("Process Stopped..."),
                                                  QStringLiteral("Idle...")}));
            QCOMPARE(rig.window.configurationShown, 1);
            QVERIFY(timerOffWhileOpen);
            QVERIFY(!rig.control.isTimer1On());
            QVERIFY(rig.window.statuses.isEmpty());
            QVERIFY(!rig.control.isStarted());
        }
        // One space is not empty: the connection attempt decides.
        Rig spaced(db);
        spaced.config.dsnName = QStringLiteral(" ");
        QVERIFY(spaced.control.ValidateConfiguration());
    }

    void unreachableSourceIsTriedAgainNextCycle() {
        TestDatabase db(TestDatabase::Kind::SQLite);
        db.recreate();
        db.insert(sms(1, QStringLiteral("x"), QString()));
        Rig rig(db);
        rig.config.dsnName = QStringLiteral("NoSuchSource");
        rig.control.cmdStart_Click();
        QStringList lines = rig.newLines();
        QCOMPARE(lines.size(), 4);
        QVERIFY2(lines[2].startsWith(QStringLiteral("Error Occurred: -2147467259 --> ")) &&
                     lines[2].contains(QStringLiteral("Data source name not found")),
                 qPrintable(lines[2]));
        QCOMPARE(lines[3], QStringLiteral("Idle..."));
        QCOMPARE(rig.window.statuses.last(), QStringLiteral("Idle..."));
        QVERIFY(rig.control.isTimer1On());

        rig.config.dsnName = db.dsn();
        rig.control.Timer1_Timer();
        QVERIFY(rig.newLines().contains(QStringLiteral("Processing message for Record Id: 1")));
        expectOutcome(db, 1, QStringLiteral("N"), "Mobile No. Is Not Defined.");
    }

    void connectionLostMidCycleResumesNextCycle() {
        TestDatabase db(TestDatabase::Kind::PostgreSQL);
        db.recreate();
        for (int id = 1; id <= 3; ++id) db.insert(sms(id, QStringLiteral("m"), QString()));
        Rig rig(db);
        bool cut = false;
        rig.view.onYield = [&] {
            if (!cut && rig.view.pane.contains(QStringLiteral("Record Id: 2"))) {
                cut = true;  // the server drops the cycle's session before row 2 is saved
                db.exec(
                    QStringLiteral("SELECT pg_terminate_backend(pid) FROM pg_stat_activity "
                                   "WHERE usename = current_user AND pid <> pg_backend_pid()"));
            }
        };
        rig.control.Timer1_Timer();
        QVERIFY(cut);
        const QStringList lines = rig.newLines();
        QVERIFY2(
            lines[lines.size() - 2].startsWith(QStringLiteral("Error Occurred: -2147467259 --> ")),
            qPrintable(lines.join(QLatin1Char('\n'))));
        QCOMPARE(lines.last(), QStringLiteral("Idle..."));
        expectOutcome(db, 1, QStringLiteral("N"), "Mobile No. Is Not Defined.");
        expectWaiting(db, 2);
        expectWaiting(db, 3);
        QVERIFY(rig.control.isTimer1On());

        rig.view.onYield = nullptr;
        rig.control.Timer1_Timer();
        expectOutcome(db, 2, QStringLiteral("N"), "Mobile No. Is Not Defined.");
        expectOutcome(db, 3, QStringLiteral("N"), "Mobile No. Is Not Defined.");
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
            const QStringList lines = rig.newLines();
            QCOMPARE(lines,
                     (QStringList{QStringLiteral("Process Started."),
                                  QStringLiteral("Error Occurred: 94 --> Invalid use of Null"),
                                  QStringLiteral("Idle...")}));
        }
        expectWaiting(db, 1);
        expectWaiting(db, 2);
    }

    void unwritableLogStillEndsIdle() {
        TestDatabase db(TestDatabase::Kind::SQLite);
        db.recreate();
        db.insert(sms(1, QStringLiteral("m"), QString()));
        db.insert(sms(2, QStringLiteral("m"), QString()));
        Rig rig(db);
        const QString logs = rig.profile.logsDir();
        bool broken = false;
        rig.view.onYield = [&] {
            if (!broken && rig.view.pane.contains(QStringLiteral("Mobile No. is not defined"))) {
                broken = true;  // Logs turns into a file: every later entry fails
                QDir(logs).removeRecursively();
                QFile blocker(logs);
                blocker.open(QIODevice::WriteOnly);
            }
        };
        rig.control.Timer1_Timer();
        QVERIFY(broken);
        QCOMPARE(rig.window.statuses.last(), QStringLiteral("Idle..."));
        QVERIFY(rig.control.isTimer1On());
        expectOutcome(db, 1, QStringLiteral("N"), "Mobile No. Is Not Defined.");
        expectWaiting(db, 2);
    }
};

QTEST_GUILESS_MAIN(DispatchCycleTest)
#include "tst_dispatchcycle.moc"
