#include <QtTest>

#include "app/ChannelAdapters.h"
#include "channels/SmsSender.h"
#include "core/ActivityLog.h"
#include "core/RunConfiguration.h"
#include "dispatch/ProcessingControl.h"
#include "support/FakeChannels.h"
#include "support/FakeClock.h"
#include "support/FakeTable.h"
#include "support/FakeWindow.h"
#include "support/RecordingLogView.h"
#include "support/ScriptedGateway.h"
#include "support/TempProfile.h"

using namespace korvane;
using test::FakeTable;
using test::ScriptedGateway;
using Step = ScriptedGateway::Step;

namespace {

// Timeouts a test can wait out: an enquire_link after 40 ms idle, a drop 100 ms later, a
// failed bind not tried again for 150 ms (then 300 ms).
SmppTimeouts shortTimeouts(int idleMs = 40) {
    SmppTimeouts timeouts{2000, 1500};
    timeouts.idleMs = idleMs;
    timeouts.linkAnswerMs = 100;
    timeouts.firstBindRetryMs = 150;
    timeouts.longestBindRetryMs = 1000;
    return timeouts;
}

// Cycles over an in-memory table, with the real SMS engine and a scripted gateway.
struct Rig {
    ScriptedGateway gateway{[](int) { return Step::answer(); }};
    test::TempProfile profile;
    test::FakeClock clock{QDateTime(QDate(2026, 12, 6), QTime(9, 30, 0))};
    test::RecordingLogView view;
    ActivityLog log{profile.logsDir(), clock, &view};
    SmsSender sender;
    SmppChannel sms{sender};
    test::FakeEmail email;
    RunConfiguration config;
    test::FakeWindow window;
    FakeTable table;
    ProcessingControl control{config, log, window, sms, email, clock};
    int nextId = 1;

    explicit Rig(int idleMs = 40) : sender(shortTimeouts(idleMs)) {
        config.dsnName = QStringLiteral("Orders");
        config.cellServer = QStringLiteral("127.0.0.1");
        config.cellPort = gateway.port();
        config.cellUserName = QStringLiteral("Shop");
        config.smtpServer = QStringLiteral("mail");
        config.smtpPort = QStringLiteral("25");
        config.dontSendProcessedMsgs = 1;
        control.setStoreFactory([this] { return std::make_unique<test::FakeStore>(table); });
    }
    // Adds rows and runs a cycle; returns the new rows' ids.
    QList<int> cycleWith(int rows) {
        QList<int> ids;
        for (int i = 0; i < rows; ++i) {
            ids << nextId;
            table.rows.push_back(FakeTable::sms(nextId, QStringLiteral("+44207%1").arg(nextId)));
            ++nextId;
        }
        control.Timer1_Timer();
        return ids;
    }
    QStringList lines() const { return profile.logLines(QStringLiteral("Log_061226.log")); }
};

}  // namespace

class KeptSessionTest : public QObject {
    Q_OBJECT

private Q_SLOTS:
    // One bind serves cycle after cycle, kept alive between them by enquire_link; Stop between
    // cycles unbinds, and the next Start binds anew.
    void sessionKeptAcrossCycles() {
        Rig rig;
        rig.control.cmdStart_Click();  // the first cycle: nothing waits, no bind
        QCOMPARE(rig.gateway.binds(), 0);
        for (int cycle = 0; cycle < 3; ++cycle) {
            for (int id : rig.cycleWith(4)) {
                QCOMPARE(rig.table.status(id), QStringLiteral("Message Is Sent Via SMS."));
            }
            QTest::qWait(100);  // idle between cycles: enquire_link keeps the session
        }
        QCOMPARE(rig.gateway.binds(), 1);
        QCOMPARE(rig.gateway.sessions(), 1);
        QVERIFY(rig.gateway.enquireLinks() >= 3);
        QCOMPARE(rig.sender.linkCounts().keepAlive.unanswered, 0u);

        rig.control.cmdStop_Click();
        QCOMPARE(rig.gateway.unbinds(), 1);
        rig.control.cmdStart_Click();
        rig.cycleWith(1);
        QCOMPARE(rig.gateway.binds(), 2);
    }

    // An enquire_link left unanswered drops the session; the next row binds again at once, with
    // no back-off, and goes out.
    void silentGatewayIsDropped() {
        Rig rig;
        rig.control.cmdStart_Click();
        rig.cycleWith(2);
        rig.gateway.setAnswerEnquireLink(false);
        QTRY_VERIFY_WITH_TIMEOUT(rig.sender.linkCounts().keepAlive.unanswered == 1, 2000);
        rig.gateway.setAnswerEnquireLink(true);
        const QList<int> ids = rig.cycleWith(2);
        QCOMPARE(rig.table.status(ids.last()), QStringLiteral("Message Is Sent Via SMS."));
        QCOMPARE(rig.gateway.binds(), 2);
        QCOMPARE(rig.sender.linkCounts().drops, 1u);
    }

    // A refused bind is tried once per back-off step, not once per row: the rows meanwhile end
    // as a refused bind always made them end, with its line; Start tries again at once.
    void refusedBindBacksOff() {
        Rig rig;
        rig.gateway.setBindStatus(smpp::Status::InvalidPassword);
        rig.control.cmdStart_Click();
        const QList<int> first = rig.cycleWith(10);
        QCOMPARE(rig.gateway.binds(), 1);
        for (int id : first) {
            QCOMPARE(rig.table.status(id), QStringLiteral("Message Is Not Sent Via SMS."));
        }
        QCOMPARE(rig.lines().count(QString::fromLatin1(SmsSender::kLoginFailed)), 10);
        rig.cycleWith(3);  // within the back-off: no attempt
        QCOMPARE(rig.gateway.binds(), 1);
        QTest::qWait(200);
        rig.cycleWith(3);  // past 150 ms: one attempt, refused, 300 ms now
        QCOMPARE(rig.gateway.binds(), 2);
        rig.cycleWith(3);
        QCOMPARE(rig.gateway.binds(), 2);
        rig.gateway.setBindStatus(0);
        rig.control.cmdStop_Click();
        rig.control.cmdStart_Click();  // Start forgets the back-off
        const QList<int> last = rig.cycleWith(2);
        QCOMPARE(rig.gateway.binds(), 3);
        QCOMPARE(rig.table.status(last.last()), QStringLiteral("Message Is Sent Via SMS."));
        QCOMPARE(rig.sender.linkCounts().bindFailures.at(QStringLiteral("ESME_RINVPASWD")), 2u);
    }

    // An idle hour, its 120 idle periods played in 5 ms steps: one bind, enquire_links only.
    void idleHourBindsOnce() {
        Rig rig(5);
        rig.control.cmdStart_Click();
        rig.cycleWith(1);
        QTRY_VERIFY_WITH_TIMEOUT(rig.gateway.enquireLinks() >= 120, 20000);
        QCOMPARE(rig.gateway.binds(), 1);
        QCOMPARE(rig.sender.linkCounts().keepAlive.unanswered, 0u);
    }
};

QTEST_GUILESS_MAIN(KeptSessionTest)
#include "tst_keptsession.moc"
