#include <QTest>

#include "support/CycleWait.h"
#include "support/GatewayRig.h"
#include "support/WaitFor.h"

using namespace korvane;
using Rig = test::GatewayRig;

class KeptSessionTest : public QObject {
    Q_OBJECT

private Q_SLOTS:
    // One bind serves cycle after cycle, kept alive between them by enquire_link; Stop between
    // cycles unbinds, and the next Start binds anew.
    void sessionKeptAcrossCycles() {
        Rig rig(10);
        rig.control.cmdStart_Click();  // the first cycle: nothing waits, no bind
        test::untilCycleEnds(rig.control);
        QCOMPARE(rig.gateway.binds(), 0);
        for (int cycle = 0; cycle < 3; ++cycle) {
            for (int id : rig.cycleWith(4)) {
                QCOMPARE(rig.table.status(id), QStringLiteral("Message Is Sent Via SMS."));
            }
            test::idleFor(25);  // idle between cycles: enquire_link keeps the session
        }
        QCOMPARE(rig.gateway.binds(), 1);
        QCOMPARE(rig.gateway.sessions(), 1);
        QVERIFY(rig.gateway.enquireLinks() >= 3);
        QCOMPARE(rig.sender.linkCounts().keepAlive.unanswered, 0u);

        rig.control.cmdStop_Click();
        QVERIFY(rig.control.isCycleRunning());  // the unbind holds Start and the end, as a cycle
        QVERIFY(!rig.window.configurationAvailable);
        test::untilCycleEnds(rig.control);
        QCOMPARE(rig.gateway.unbinds(), 1);
        rig.control.cmdStart_Click();
        test::untilCycleEnds(rig.control);
        rig.cycleWith(1);
        QCOMPARE(rig.gateway.binds(), 2);
    }

    // An enquire_link left unanswered drops the session; the next row binds again at once, with
    // no back-off, and goes out.
    void silentGatewayIsDropped() {
        Rig rig;
        rig.control.cmdStart_Click();
        test::untilCycleEnds(rig.control);
        rig.cycleWith(2);
        rig.gateway.setAnswerEnquireLink(false);
        QVERIFY(test::waitFor([&] { return rig.sender.linkCounts().keepAlive.unanswered == 1; }));
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
        test::untilCycleEnds(rig.control);
        const QList<int> first = rig.cycleWith(10);
        QCOMPARE(rig.gateway.binds(), 1);
        for (int id : first) {
            QCOMPARE(rig.table.status(id), QStringLiteral("Message Is Not Sent Via SMS."));
        }
        QCOMPARE(rig.lines().count(QString::fromLatin1(SmsSender::kLoginFailed)), 10);
        rig.cycleWith(3);  // within the back-off: no attempt
        QCOMPARE(rig.gateway.binds(), 1);
        test::idleFor(120);
        rig.cycleWith(3);  // past 100 ms: one attempt, refused, 200 ms now
        QCOMPARE(rig.gateway.binds(), 2);
        rig.cycleWith(3);
        QCOMPARE(rig.gateway.binds(), 2);
        rig.gateway.setBindStatus(0);
        rig.control.cmdStop_Click();
        rig.control.cmdStart_Click();  // Start forgets the back-off
        test::untilCycleEnds(rig.control);
        const QList<int> last = rig.cycleWith(2);
        QCOMPARE(rig.gateway.binds(), 3);
        QCOMPARE(rig.table.status(last.last()), QStringLiteral("Message Is Sent Via SMS."));
        QCOMPARE(rig.sender.linkCounts().bindFailures.at(QStringLiteral("ESME_RINVPASWD")), 2u);
    }

    // A long idle, 20 idle periods played in 4 ms steps: one bind, enquire_links only.
    void idleHourBindsOnce() {
        Rig rig(4);
        rig.control.cmdStart_Click();
        test::untilCycleEnds(rig.control);
        rig.cycleWith(1);
        QVERIFY(test::waitFor([&] { return rig.gateway.enquireLinks() >= 20; }, 20000));
        QCOMPARE(rig.gateway.binds(), 1);
        QCOMPARE(rig.sender.linkCounts().keepAlive.unanswered, 0u);
    }
};

QTEST_GUILESS_MAIN(KeptSessionTest)
#include "tst_keptsession.moc"
