#include <QFile>
#include <QTest>

#include "support/CycleRig.h"
#include "support/CycleWait.h"

using namespace korvane;
using test::FakeTable;
using Column = MessageTable::Column;
using Write = MessageStore::Write;

namespace {

using Rig = test::CycleRig;

QStringList list(std::initializer_list<const char*> texts) {
    QStringList result;
    for (const char* text : texts) {
        result << QString::fromUtf8(text);
    }
    return result;
}

const QString kInDoubtLine = QStringLiteral("Error Occurred: 1001 --> no answer");
const QString kRefusedLine = QStringLiteral("Message is not accepted by Telvoro Server.");

}  // namespace

class CycleTest : public QObject {
    Q_OBJECT

private Q_SLOTS:
    // Every kind of row: what goes out, the log lines it writes and what it ends as.
    void outcomeOfEachKindOfRow_data() {
        QTest::addColumn<QVariant>("row");  // FakeTable::Values
        QTest::addColumn<int>("delivery");  // what the channel answers
        QTest::addColumn<QString>("failure");
        QTest::addColumn<QString>("isSent");
        QTest::addColumn<QString>("status");
        QTest::addColumn<QStringList>("log");
        QTest::addColumn<int>("sent");
        auto row = [](const FakeTable::Values& values) { return QVariant::fromValue(values); };
        const QString smsTo = QStringLiteral("+447700900001");
        FakeTable::Values cc = FakeTable::email(1, QStringLiteral("to@x.test"));
        cc[size_t(Column::EmailCC)] = QStringLiteral("cc@x.test");
        cc[size_t(Column::EmailBCC)] = QStringLiteral("bcc@x.test");
        FakeTable::Values attached = FakeTable::email(1, QStringLiteral("to@x.test"));
        attached[size_t(Column::EmailAttachment)] = QStringLiteral("/nowhere/invoice.pdf");
        const QString sms = QStringLiteral("Message Type is SMS.");
        const QString sending = QStringLiteral("Sending message via SMS.");
        const QString mail = QStringLiteral("Message Type is Email.");
        const QString mailing = QStringLiteral("Sending message via Email.");

        QTest::newRow("empty text")
            << row(FakeTable::row(1, QStringLiteral("SMS"), QString())) << 0 << QString()
            << QStringLiteral("N") << QStringLiteral("Message Text Is Empty.")
            << QStringList{QStringLiteral("Message text is empty, so no message sent.")} << 0;
        QTest::newRow("undefined type")
            << row(FakeTable::row(1, QStringLiteral("Fax"), QStringLiteral("x"))) << 0 << QString()
            << QStringLiteral("N") << QStringLiteral("Message Type Is Not Defined.")
            << QStringList{QStringLiteral("Message Type is not defined, so no message sent.")} << 0;
        QTest::newRow("sms without number")
            << row(FakeTable::sms(1, QStringLiteral("  "))) << 0 << QString() << QStringLiteral("N")
            << QStringLiteral("Mobile No. Is Not Defined.")
            << QStringList{sms, QStringLiteral("Mobile No. is not defined, so no message sent.")}
            << 0;
        QTest::newRow("sms binary text")
            << row(FakeTable::sms(1, smsTo, QByteArray("\x01\x02", 2))) << 0 << QString()
            << QStringLiteral("N") << QStringLiteral("Message Is Not Sent Via SMS.")
            << QStringList{sms,
                           QStringLiteral("Error Occurred: 3002 --> MessageText is not text (a "
                                          "binary value), so no message sent."),
                           QStringLiteral("Message is not sent via SMS for Record Id: 1 on Mobile "
                                          "No.: +447700900001")}
            << 0;
        QTest::newRow("sms sent")
            << row(FakeTable::sms(1, smsTo)) << int(Delivery::Sent) << QString()
            << QStringLiteral("Y") << QStringLiteral("Message Is Sent Via SMS.")
            << QStringList{sms, sending,
                           QStringLiteral("Message is sent via SMS for Record Id: 1 on Mobile No.: "
                                          "+447700900001")}
            << 1;
        QTest::newRow("sms refused")
            << row(FakeTable::sms(1, smsTo)) << int(Delivery::Refused) << kRefusedLine
            << QStringLiteral("N") << QStringLiteral("Message Is Not Sent Via SMS.")
            << QStringList{sms, sending, kRefusedLine,
                           QStringLiteral("Message is not sent via SMS for Record Id: 1 on Mobile "
                                          "No.: +447700900001")}
            << 1;
        QTest::newRow("sms in doubt")
            << row(FakeTable::sms(1, smsTo)) << int(Delivery::InDoubt) << kInDoubtLine
            << QStringLiteral("N") << QStringLiteral("Message May Have Been Sent.")
            << QStringList{sms, sending, kInDoubtLine,
                           QStringLiteral("Message may have been sent via SMS for Record Id: 1 on "
                                          "Mobile No.: +447700900001, so it is not sent again.")}
            << 1;
        QTest::newRow("email without to")
            << row(FakeTable::email(1, QStringLiteral(" "), QString())) << 0 << QString()
            << QStringLiteral("N")
            << QStringLiteral("Reciever's Email Id (EmailTo) Is Not Defined.")
            << QStringList{mail, QStringLiteral("Reciever's email id (EmailTo) is not defined, so "
                                                "no message sent.")}
            << 0;
        QTest::newRow("email without from")
            << row(FakeTable::email(1, QStringLiteral("to@x.test"), QString())) << 0 << QString()
            << QStringLiteral("N")
            << QStringLiteral("Sender's Email Id (EmailFrom) Is Not Defined.")
            << QStringList{mail, QStringLiteral("Sender's email id (EmailFrom) is not defined, so "
                                                "no message sent.")}
            << 0;
        QTest::newRow("email attachment missing")
            << row(attached) << 0 << QString() << QStringLiteral("N")
            << QStringLiteral("Attachment File Does Not Exist Or Not Found.")
            << QStringList{mail, QStringLiteral("Attachment file '/nowhere/invoice.pdf' does not "
                                                "exist or not found.")}
            << 0;
        QTest::newRow("email sent")
            << row(cc) << int(Delivery::Sent) << QString() << QStringLiteral("Y")
            << QStringLiteral("Message Is Sent Via Email.")
            << QStringList{mail,
                           mailing,
                           QStringLiteral("Message is sent via Email to following Email Address "
                                          "for Record Id: 1"),
                           QStringLiteral("Email To: to@x.test"),
                           QStringLiteral("Email CC: cc@x.test"),
                           QStringLiteral("Email BCC: bcc@x.test")}
            << 1;
        QTest::newRow("email refused")
            << row(FakeTable::email(1, QStringLiteral("to@x.test"))) << int(Delivery::Refused)
            << QStringLiteral("Error Occurred: 2155 --> RCPT failed: 550") << QStringLiteral("N")
            << QStringLiteral("Message Is Not Sent Via Email.")
            << QStringList{mail, mailing,
                           QStringLiteral("Error Occurred: 2155 --> RCPT failed: 550"),
                           QStringLiteral("Message is not sent via Email for Record Id: 1 to email "
                                          "id : to@x.test")}
            << 1;
        QTest::newRow("email in doubt")
            << row(FakeTable::email(1, QStringLiteral("to@x.test"))) << int(Delivery::InDoubt)
            << kInDoubtLine << QStringLiteral("N") << QStringLiteral("Message May Have Been Sent.")
            << QStringList{mail, mailing, kInDoubtLine,
                           QStringLiteral("Message may have been sent via Email for Record Id: 1 "
                                          "to email id : to@x.test, so it is not sent again.")}
            << 1;
    }
    void outcomeOfEachKindOfRow() {
        QFETCH(QVariant, row);
        QFETCH(int, delivery);
        QFETCH(QString, failure);
        QFETCH(QString, isSent);
        QFETCH(QString, status);
        QFETCH(QStringList, log);
        QFETCH(int, sent);
        Rig rig;
        rig.table.rows.push_back(row.value<FakeTable::Values>());
        rig.sms.result = rig.email.result = SendResult{Delivery(delivery), failure};
        rig.cycle();
        QCOMPARE(rig.sms.sent.size() + rig.email.sent.size(), sent);
        QCOMPARE(rig.unclaimedSends, QStringList());
        QCOMPARE(rig.table.isSent(1), isSent);
        QCOMPARE(rig.table.status(1), status);
        QCOMPARE(rig.table.find(1)->at(size_t(Column::ProcessedDate)).toDateTime(),
                 rig.clock.now());
        QCOMPARE(rig.rowLines(1), log);
        // A row that went out was claimed first and saved on its claim; the others in one write.
        QCOMPARE(rig.table.writes,
                 sent ? (QStringList{QStringLiteral("claim 1"), QStringLiteral("finish 1")})
                      : QStringList{QStringLiteral("record 1")});
    }

    // The claim finds the row changed or its RecId shared: nothing goes out, nothing is
    // written, and the next row is served.
    void claimThatFindsTheRowTaken_data() {
        QTest::addColumn<int>("answer");
        QTest::addColumn<QString>("line");
        QTest::newRow("changed") << int(Write::Changed)
                                 << QStringLiteral(
                                        "Record Id: 1 was changed or taken by another "
                                        "process since it was read, so it is left as "
                                        "it is.");
        QTest::newRow("shared") << int(Write::Shared)
                                << QStringLiteral(
                                       "Error Occurred: 3001 --> Record Id: 1 names "
                                       "more than one row of tblMessages, so it is "
                                       "left as it is.");
    }
    void claimThatFindsTheRowTaken() {
        QFETCH(int, answer);
        QFETCH(QString, line);
        Rig rig;
        rig.table.rows = {FakeTable::sms(1, QStringLiteral("+441")),
                          FakeTable::sms(2, QStringLiteral("+442"))};
        rig.table.claimAnswers[1] = Write(answer);
        rig.cycle();
        QCOMPARE(rig.sms.sent, QStringList{QStringLiteral("+442:hi")});
        QCOMPARE(rig.rowLines(1), (QStringList{QStringLiteral("Message Type is SMS."), line}));
        QCOMPARE(rig.table.status(1), QString());
        QCOMPARE(rig.table.status(2), QStringLiteral("Message Is Sent Via SMS."));
    }

    // Rows are logged and saved in row order; the row at the head logs as it goes, the ones
    // behind it only once it is done. A row with nothing to send waits its turn behind the SMS
    // rows before it. A row's place in the gateway's window goes to the next row as soon as
    // its answer is in, before its save.
    void windowKeepsRowOrder() {
        Rig rig;
        rig.control.setRowsOut(3);
        rig.sms.window = 3;
        rig.sms.settleAtOnce = false;
        rig.table.rows = {
            FakeTable::sms(1, QStringLiteral("+441")), FakeTable::sms(2, QStringLiteral("+442")),
            FakeTable::row(3, QStringLiteral("SMS"), QString()),
            FakeTable::sms(4, QStringLiteral("+444")), FakeTable::sms(5, QStringLiteral("+445"))};
        QStringList logAtSecondSend;
        rig.sms.onSend = [&](const QString& number) {
            if (number == QStringLiteral("+442")) {
                logAtSecondSend = rig.lines();
            }
        };
        rig.cycle();
        QVERIFY(logAtSecondSend.contains(QStringLiteral("Sending message via SMS.")));
        QVERIFY(!logAtSecondSend.contains(QStringLiteral("Processing message for Record Id: 2")));
        // Rows 4 and 5 are claimed while 1 and 2 are out: 4 takes the place that is free at
        // once, 5 the first that frees.
        QCOMPARE(rig.table.writes, list({"claim 1", "claim 2", "claim 4", "claim 5", "finish 1",
                                         "finish 2", "record 3", "finish 4", "finish 5"}));
        QCOMPARE(rig.table.transactions,
                 list({"claim 1 2", "claim 4 5", "save 1 2 3", "save 4 5"}));
        const QStringList lines = rig.lines();
        qsizetype last = -1;
        for (int id = 1; id <= 5; ++id) {
            const qsizetype at =
                lines.indexOf(QStringLiteral("Processing message for Record Id: %1").arg(id));
            QVERIFY(at > last);
            last = at;
        }
        QVERIFY(lines.indexOf(QStringLiteral("Message Text Is Empty.")) < 0);
        QCOMPARE(rig.rowLines(3),
                 QStringList{QStringLiteral("Message text is empty, so no message sent.")});
    }

    // With room in the window the SMS rows are claimed in one transaction, and outcomes known
    // at the same step saved in one; a row found taken is left out of both.
    void groupCommits() {
        Rig rig;
        for (int id = 1; id <= 6; ++id) {
            rig.table.rows.push_back(FakeTable::sms(id, QStringLiteral("+44%1").arg(id)));
        }
        rig.table.claimAnswers[4] = Write::Changed;
        rig.table.failingSaves = {2};
        rig.cycle();
        QCOMPARE(rig.table.transactions, list({"claim 1 2 3 4 5 6", "save 1 2 3 5 6"}));
        QCOMPARE(rig.sms.sent.size(), 5);
        QCOMPARE(rig.table.status(1), QStringLiteral("Message Is Sent Via SMS."));
        QCOMPARE(rig.table.status(2), QStringLiteral("Message Is Being Sent."));
        QCOMPARE(rig.table.status(4), QString());
        QCOMPARE(rig.table.status(6), QStringLiteral("Message Is Sent Via SMS."));
        const Counters& counters = rig.control.counters();
        QCOMPARE(counters.claimAttempts, quint64(6));
        QCOMPARE(counters.messages[Counters::Sms][Counters::Sent], quint64(5));
        QCOMPARE(counters.messages[Counters::Sms][Counters::Skipped], quint64(1));
        QCOMPARE(counters.cycleErrors, quint64(1));
        QCOMPARE(counters.waitingRows, qint64(6));
        // Every row's lines went out before the batch was saved; then the error path.
        const QStringList lines = rig.lines();
        QVERIFY(
            lines.indexOf(QStringLiteral("Error Occurred: -2147217864 --> Row cannot be saved.")) >
            lines.indexOf(
                QStringLiteral("Message is sent via SMS for Record Id: 6 on Mobile No.: +446")));
    }

    // A save fails in the step that claims the next rows: the rows claimed ahead and not handed
    // over yet are given back, the failed row stays claimed, and the rows already out are
    // saved.
    void saveFailingInAStepWithClaims() {
        Rig rig;
        rig.control.setRowsOut(2);
        rig.sms.window = 2;
        rig.sms.settleAtOnce = false;
        for (int id = 1; id <= 6; ++id) {
            rig.table.rows.push_back(FakeTable::sms(id, QStringLiteral("+44%1").arg(id)));
        }
        rig.table.failingSaves = {1};
        rig.cycle();
        QCOMPARE(rig.sms.sent, list({"+441:hi", "+442:hi", "+443:hi"}));
        QCOMPARE(rig.table.transactions, list({"claim 1 2", "claim 3 4", "save 1", "claim 5",
                                               "release 4", "release 5", "save 2 3"}));
        QCOMPARE(rig.table.status(1), QStringLiteral("Message Is Being Sent."));
        QCOMPARE(rig.table.status(2), QStringLiteral("Message Is Sent Via SMS."));
        QCOMPARE(rig.table.status(3), QStringLiteral("Message Is Sent Via SMS."));
        for (int id = 4; id <= 6; ++id) {
            QCOMPARE(rig.table.status(id), QString());
        }
        QVERIFY(rig.lines().contains(
            QStringLiteral("Error Occurred: -2147217864 --> Row cannot be saved.")));
    }

    // Stop while rows are out: they finish and are saved; the rows claimed with them or ahead
    // of them (waiting for their place at the gateway) are given back as they were read;
    // nothing more is claimed, and the timer stays off.
    void stopWithRowsOut_data() {
        QTest::addColumn<int>("rowsOut");
        QTest::addColumn<int>("gatewayWindow");
        QTest::addColumn<QString>("stopAt");
        QTest::addColumn<QStringList>("transactions");
        QTest::newRow("claimed with them") << 3 << 1000 << QStringLiteral("+442")
                                           << list({"claim 1 2 3", "release 3", "save 1 2"});
        QTest::newRow("claimed ahead")
            << 2 << 2 << QStringLiteral("+443")
            << list({"claim 1 2", "claim 3 4", "release 4", "save 1 2 3"});
    }
    void stopWithRowsOut() {
        QFETCH(int, rowsOut);
        QFETCH(int, gatewayWindow);
        QFETCH(QString, stopAt);
        QFETCH(QStringList, transactions);
        Rig rig;
        rig.control.setRowsOut(rowsOut);
        rig.sms.window = gatewayWindow;
        rig.sms.settleAtOnce = gatewayWindow > rowsOut;
        for (int id = 1; id <= 8; ++id) {
            rig.table.rows.push_back(FakeTable::sms(id, QStringLiteral("+44%1").arg(id)));
        }
        rig.sms.onSend = [&](const QString& number) {
            if (number == stopAt) {
                rig.control.cmdStop_Click();
            }
        };
        rig.control.cmdStart_Click();
        test::untilCycleEnds(rig.control);
        const int sent = stopAt.right(1).toInt();
        QCOMPARE(rig.sms.sent.size(), sent);
        QCOMPARE(rig.table.transactions, transactions);
        const int given = sent + 1;
        QVERIFY(rig.rowLines(given).contains(
            QStringLiteral("Record Id: %1 waits for the next cycle: processing stopped before "
                           "its message went out.")
                .arg(given)));
        for (int id = 1; id <= 8; ++id) {
            QCOMPARE(rig.table.status(id),
                     id <= sent ? QStringLiteral("Message Is Sent Via SMS.") : QString());
        }
        QVERIFY(!rig.control.isTimer1On());
        QVERIFY(rig.window.configurationAvailable);
        const QStringList lines = rig.lines();
        QCOMPARE(lines.mid(lines.size() - 4), list({"Process Completed...", "Idle...", "", ""}));
    }

    // The database goes away while rows are out: the cycle takes the error path and ends,
    // the rows sent stay claimed (they cannot be saved), and nothing more goes out.
    void databaseLostWithRowsOut() {
        Rig rig;
        rig.control.setRowsOut(3);
        for (int id = 1; id <= 6; ++id) {
            rig.table.rows.push_back(FakeTable::sms(id, QStringLiteral("+44%1").arg(id)));
        }
        rig.sms.onSend = [&](const QString& number) {
            if (number == QStringLiteral("+443")) {
                rig.table.lost = true;
            }
        };
        rig.cycle();
        QCOMPARE(rig.sms.sent, list({"+441:hi", "+442:hi", "+443:hi"}));
        for (int id = 1; id <= 3; ++id) {
            QCOMPARE(rig.table.status(id), QStringLiteral("Message Is Being Sent."));
        }
        QCOMPARE(rig.table.status(4), QString());
        QVERIFY(rig.lines().contains(
            QStringLiteral("Error Occurred: -2147467259 --> [FakeDriver] Connection lost.")));
        QCOMPARE(rig.window.statuses.last(), QStringLiteral("Idle..."));
    }

    // A save that fails after a send: the row stays claimed and is never sent again, the
    // rows out with it are still saved, the cycle takes the error path, and the claim is
    // reported once when it is old.
    void saveFailingAfterASend() {
        Rig rig;
        rig.control.setRowsOut(3);
        for (int id = 1; id <= 3; ++id) {
            rig.table.rows.push_back(FakeTable::sms(id, QStringLiteral("+44%1").arg(id)));
        }
        rig.table.failingSaves = {1};
        rig.cycle();
        QCOMPARE(rig.table.status(1), QStringLiteral("Message Is Being Sent."));
        QCOMPARE(rig.table.status(2), QStringLiteral("Message Is Sent Via SMS."));
        QCOMPARE(rig.table.status(3), QStringLiteral("Message Is Sent Via SMS."));
        QStringList lines = rig.lines();
        QVERIFY(
            lines.contains(QStringLiteral("Error Occurred: -2147217864 --> Row cannot be saved.")));
        QVERIFY(!lines.contains(QStringLiteral("Process Completed...")));
        QCOMPARE(rig.window.statuses.last(), QStringLiteral("Idle..."));
        QVERIFY(rig.control.isTimer1On());

        rig.table.failingSaves.clear();
        rig.clock.set(rig.clock.now().addSecs(16 * 60));
        rig.cycle();
        rig.cycle();
        QCOMPARE(rig.sms.sent.size(), 3);
        const QString report = QStringLiteral(
            "Record Id: 1 is marked 'Message Is Being Sent.' since 06-12-2026 09:30:00 and its "
            "message may have gone out. To send it again, empty its ProcessStatus.");
        QCOMPARE(rig.lines().count(report), 1);
    }

    // A save whose outcome an earlier attempt wrote after all (its answer lost to a cancel or
    // a cut connection) counts as saved: no error, the row's usual lines, the cycle completes.
    void saveFindingItsOutcomeAlreadyWritten() {
        Rig rig;
        rig.table.rows.push_back(FakeTable::sms(1, QStringLiteral("+441")));
        rig.table.savedByLostAttempt = {1};
        rig.cycle();
        QCOMPARE(rig.sms.sent.size(), 1);
        QCOMPARE(rig.table.status(1), QStringLiteral("Message Is Sent Via SMS."));
        QCOMPARE(rig.table.isSent(1), QStringLiteral("Y"));
        QCOMPARE(rig.rowLines(1).last(),
                 QStringLiteral("Message is sent via SMS for Record Id: 1 on Mobile No.: +441"));
        QVERIFY(rig.lines().contains(QStringLiteral("Process Completed...")));
        QVERIFY(rig.lines().filter(QStringLiteral("Error Occurred")).isEmpty());
    }

    // The table is read a page at a time; every row is served once, in order.
    void manyRowsArePaged() {
        Rig rig;
        const int rows = 2 * DispatchCycle::kPageRows + 3;
        for (int id = rows; id >= 1; --id) {
            rig.table.rows.push_back(FakeTable::row(id, QStringLiteral("SMS"), QString()));
        }
        rig.cycle();
        QCOMPARE(rig.table.writes.size(), rows);
        QCOMPARE(rig.table.writes.first(), QStringLiteral("record 1"));
        QCOMPARE(rig.table.writes.last(), QStringLiteral("record %1").arg(rows));
        QCOMPARE(rig.table.pagesRead, 4);
    }

    // The data source does not open: the error line, the idle state, and another try at the
    // next tick; one that says it is closed takes the short ending.
    void dataSourceThatDoesNotOpen() {
        Rig rig;
        rig.table.openError =
            KorvaneError(ErrorNumber::ProviderError, QStringLiteral("Data source name not found"));
        rig.cycle();
        QCOMPARE(rig.lines().mid(1),
                 list({"Error Occurred: -2147467259 --> Data source name not found", "Idle..."}));
        QVERIFY(rig.control.isTimer1On());
        rig.table.openError.reset();
        rig.table.opens = false;
        rig.cycle();
        QCOMPARE(rig.lines().mid(3), list({"Process Started.",
                                           "Connection is not opened, Please verify DSN "
                                           "Name.",
                                           "Idle..."}));
    }

    void startDuringAStoppedCycleDoesNotNest() {
        Rig rig;
        for (int id = 1; id <= 3; ++id) {
            rig.table.rows.push_back(FakeTable::sms(id, QStringLiteral("+44%1").arg(id)));
        }
        bool done = false;
        const auto checkClaimed = rig.sms.onSend;
        rig.sms.onSend = [&, checkClaimed](const QString& number) {
            checkClaimed(number);
            if (!done) {  // while the first row is at the gateway
                done = true;
                rig.control.cmdStop_Click();
                rig.control.cmdStart_Click();  // Start enabled again at once
            }
        };
        rig.control.cmdStart_Click();
        test::untilCycleEnds(rig.control);
        const QStringList lines = rig.lines();
        QCOMPARE(lines.count(QStringLiteral("Process Started.")), 1);
        QCOMPARE(lines.filter(QStringLiteral("Processing message")).size(), 3);
        QVERIFY(rig.control.isTimer1On());
        QVERIFY(rig.control.isStarted());
        QVERIFY(!rig.control.isCycleRunning());
    }

    void incompleteConfigurationStopsAndOpensTheWindow() {
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
            Rig rig;
            c.spoil(rig.config);
            bool timerOffWhileOpen = false;
            rig.window.onConfiguration = [&] { timerOffWhileOpen = !rig.control.isTimer1On(); };
            rig.control.cmdStart_Click();
            test::untilCycleEnds(rig.control);
            QCOMPARE(rig.lines(), (QStringList{QStringLiteral("Starting Process..."),
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
        Rig spaced;
        spaced.config.dsnName = QStringLiteral(" ");
        QVERIFY(spaced.control.ValidateConfiguration());
    }
};

QTEST_GUILESS_MAIN(CycleTest)
#include "tst_cycle.moc"
