#include <QTcpServer>
#include <QTest>
#include <deque>
#include <set>

#include "channels/SmsSender.h"
#include "core/KorvaneError.h"
#include "core/Responsive.h"
#include "support/ClosedPort.h"
#include "support/ScriptedGateway.h"

using namespace korvane;
using test::ScriptedGateway;
using Step = ScriptedGateway::Step;

namespace {

constexpr quint32 kBindFailed = 0x0D;  // ESME_RBINDFAIL

SmppTimeouts shortTimeouts() {
    SmppTimeouts timeouts{2000, 3000};
    timeouts.firstBindRetryMs = 150;
    timeouts.longestBindRetryMs = 1000;
    return timeouts;
}

SmsGateway at(const QString& port, int sessions = 1) {
    SmsGateway gateway{QStringLiteral("127.0.0.1"), port, QStringLiteral("Korvane"),
                       QStringLiteral("secret")};
    gateway.sessions = sessions;
    return gateway;
}

using test::closedPort;

QString number(int i) {
    return QStringLiteral("+4477009%1").arg(i, 5, 10, QLatin1Char('0'));
}

// As the dispatch cycle drives it: messages handed over while there is room, outcomes taken
// in order.
std::vector<SendResult> sendAll(SmsSender& sender, const QList<SmsGateway>& gateways, int count,
                                int from = 0) {
    std::vector<SendResult> results;
    std::deque<int> out;
    for (int i = from; i < from + count; ++i) {
        while (!out.empty() && sender.room() <= 0) {
            results.push_back(waitInPlace(sender.outcome(out.front())));
            out.pop_front();
        }
        out.push_back(waitInPlace(sender.submit(gateways, number(i), QStringLiteral("lane test"))));
    }
    for (int ticket : out) {
        results.push_back(waitInPlace(sender.outcome(ticket)));
    }
    return results;
}

// Each destination the gateways were offered, and how often.
std::map<QByteArray, int> offered(const std::vector<const ScriptedGateway*>& gateways) {
    std::map<QByteArray, int> times;
    for (const ScriptedGateway* gateway : gateways) {
        for (const auto& submit : gateway->submits()) {
            ++times[submit.destination];
        }
    }
    return times;
}

int sent(const std::vector<SendResult>& results) {
    return int(std::count_if(results.begin(), results.end(), [](const SendResult& result) {
        return result.delivery == Delivery::Sent;
    }));
}

}  // namespace

class SmsLanesTest : public QObject {
    Q_OBJECT

private Q_SLOTS:
    // Four sessions share one backlog: every message once, every session used, none over
    // its window.
    void severalSessionsShareABacklog() {
        ScriptedGateway gateway([](int) { return Step::answer(smpp::Status::Ok, 10); });
        constexpr int kWindow = 4;
        SmsSender sender(shortTimeouts(), nullptr, kWindow);
        const std::vector<SendResult> results = sendAll(sender, {at(gateway.port(), 4)}, 80);
        QCOMPARE(sent(results), 80);
        QCOMPARE(gateway.sessions(), 4);
        const auto times = offered({&gateway});
        QCOMPARE(int(times.size()), 80);
        QVERIFY(std::all_of(times.begin(), times.end(), [](auto& t) { return t.second == 1; }));
        QCOMPARE(int(gateway.mostOutstanding().size()), 4);
        for (const auto& [session, most] : gateway.mostOutstanding()) {
            QVERIFY2(most <= kWindow, qPrintable(QString::number(most)));
        }
        QCOMPARE(sender.sessionsBound().at(at(gateway.port()).name()), 4);
    }

    // A session dropped with submits unanswered: those stay in doubt and are never offered
    // again; the other session's messages are sent, and later ones go out once.
    void droppedSessionKeepsItsMessagesInDoubt() {
        ScriptedGateway gateway([](int) { return Step::answer(smpp::Status::Ok, 50); });
        constexpr int kWindow = 5;
        SmsSender sender(shortTimeouts(), nullptr, kWindow);
        const QList<SmsGateway> gateways{at(gateway.port(), 2)};
        std::vector<int> tickets;
        for (int i = 0; i < 2 * kWindow; ++i) {
            tickets.push_back(waitInPlace(sender.submit(gateways, number(i), QStringLiteral("x"))));
        }
        gateway.dropSession();  // the session bound last, with its window full
        std::vector<SendResult> results;
        for (int ticket : tickets) {
            results.push_back(waitInPlace(sender.outcome(ticket)));
        }
        const auto inDoubt = std::count_if(results.begin(), results.end(), [](auto& result) {
            return result.delivery == Delivery::InDoubt;
        });
        QCOMPARE(int(inDoubt), kWindow);
        QCOMPARE(sent(results), kWindow);
        const std::vector<SendResult> later = sendAll(sender, gateways, 10, 100);
        QCOMPARE(sent(later), 10);
        // What the dropped session had not read yet is in doubt too, and never offered again.
        const auto times = offered({&gateway});
        QVERIFY(std::all_of(times.begin(), times.end(), [](auto& t) { return t.second == 1; }));
        for (int i = 100; i < 110; ++i) {
            QVERIFY(times.count(number(i).mid(1).toLatin1()) == 1);
        }
    }

    // The first gateway cannot be had: every message goes once through the second, and the
    // log names it.
    void secondGatewayWhileTheFirstIsAway_data() {
        QTest::addColumn<bool>("connects");
        QTest::newRow("binds refused") << true;
        QTest::newRow("connections refused") << false;
    }
    void secondGatewayWhileTheFirstIsAway() {
        QFETCH(bool, connects);
        ScriptedGateway first([](int) { return Step::answer(); });
        first.setBindStatus(kBindFailed);
        ScriptedGateway second([](int) { return Step::answer(smpp::Status::Ok, 5); });
        SmsSender sender(shortTimeouts());
        const QList<SmsGateway> gateways{at(connects ? first.port() : closedPort()),
                                         at(second.port())};
        const std::vector<SendResult> results = sendAll(sender, gateways, 30);
        QCOMPARE(sent(results), 30);
        QVERIFY(first.submits().empty());
        QCOMPARE(int(offered({&second}).size()), 30);
        QCOMPARE(results.front().note,
                 QStringLiteral("The message went through Telvoro Server 127.0.0.1:%1.")
                     .arg(second.port()));
        QVERIFY(!sender.unreachable());
        QCOMPARE(first.binds(), connects ? 1 : 0);  // once per back-off step, not per message
    }

    void firstGatewayComingBackTakesItsShare() {
        ScriptedGateway first([](int) { return Step::answer(smpp::Status::Ok, 5); });
        first.setBindStatus(kBindFailed);
        ScriptedGateway second([](int) { return Step::answer(smpp::Status::Ok, 5); });
        SmsSender sender(shortTimeouts(), nullptr, 2);
        const QList<SmsGateway> gateways{at(first.port()), at(second.port())};
        QCOMPARE(sent(sendAll(sender, gateways, 10)), 10);
        first.setBindStatus(0);
        sender.retryNow();
        QCOMPARE(sent(sendAll(sender, gateways, 40, 10)), 40);
        QVERIFY(!first.submits().empty());
        QVERIFY(!second.submits().empty());
        QCOMPARE(int(offered({&first, &second}).size()), 50);
        const auto bySever = sender.submitsByServer();
        QCOMPARE(bySever.at(gateways[0].name()) + bySever.at(gateways[1].name()), quint64(50));
        // Sessions made anew for other settings: the counts by gateway never go back.
        QCOMPARE(
            int(waitInPlace(sender.send(gateways[1], number(99), QStringLiteral("x"))).delivery),
            int(Delivery::Sent));
        QCOMPARE(sender.submitsByServer().at(gateways[0].name()), bySever.at(gateways[0].name()));
        QCOMPARE(sender.submitsByServer().at(gateways[1].name()),
                 bySever.at(gateways[1].name()) + 1);
    }

    // A throttled message has nothing at the gateway: it may go out on the other one.
    void throttledMessageMovesOnce() {
        ScriptedGateway first([](int) { return Step::answer(smpp::Status::Throttled, 5); });
        ScriptedGateway second([](int) { return Step::answer(smpp::Status::Ok, 5); });
        SmsSender sender(shortTimeouts());
        const std::vector<SendResult> results =
            sendAll(sender, {at(first.port()), at(second.port())}, 10);
        QCOMPARE(sent(results), 10);
        QCOMPARE(int(offered({&second}).size()), 10);
        for (const auto& [destination, times] : offered({&second})) {
            QCOMPARE(times, 1);
        }
    }

    // ESME_RSYSERR took nothing: the message goes whole to the other gateway, once; where
    // both answer it, it is not sent, for a cause that may pass.
    void gatewayInTroubleHandsOver_data() {
        QTest::addColumn<bool>("secondInTrouble");
        QTest::newRow("the other takes it") << false;
        QTest::newRow("both in trouble") << true;
    }
    void gatewayInTroubleHandsOver() {
        QFETCH(bool, secondInTrouble);
        constexpr quint32 kSystemError = 0x08;
        ScriptedGateway first([](int) { return Step::answer(kSystemError, 5); });
        ScriptedGateway second([=](int) {
            return Step::answer(secondInTrouble ? kSystemError : smpp::Status::Ok, 5);
        });
        SmsSender sender(shortTimeouts());
        const std::vector<SendResult> results =
            sendAll(sender, {at(first.port()), at(second.port())}, 10);
        QCOMPARE(sent(results), secondInTrouble ? 0 : 10);
        for (const SendResult& result : results) {
            QCOMPARE(result.passing(), secondInTrouble);
        }
        // Each message offered at most once to each gateway.
        for (const ScriptedGateway* gateway : {&first, &second}) {
            for (const auto& [destination, times] : offered({gateway})) {
                QCOMPARE(times, 1);
            }
        }
        QCOMPARE(int(offered({&second}).size()), 10);
        if (secondInTrouble) {
            QCOMPARE(int(offered({&first}).size()), 10);  // tried on both, then given up
        }
        if (!secondInTrouble) {
            const auto moved = std::find_if(results.begin(), results.end(), [](auto& result) {
                return result.note.contains(QStringLiteral("the message goes to another"));
            });
            QVERIFY(moved != results.end());
        }
    }

    // A row's own sender goes as its source address, by the account name's rules.
    void senderPerRow_data() {
        QTest::addColumn<QString>("sender");
        QTest::addColumn<QByteArray>("source");
        QTest::addColumn<int>("ton");
        QTest::addColumn<int>("npi");
        QTest::newRow("none: the account") << QString() << QByteArray("Korvane") << 5 << 0;
        QTest::newRow("a brand") << "Shop & Co" << QByteArray("Shop & Co") << 5 << 0;
        QTest::newRow("international number")
            << "+447700900009" << QByteArray("447700900009") << 1 << 1;
        QTest::newRow("too long a name") << "A brand far too long" << QByteArray() << 0 << 0;
    }
    void senderPerRow() {
        QFETCH(QString, sender);
        QFETCH(QByteArray, source);
        QFETCH(int, ton);
        QFETCH(int, npi);
        ScriptedGateway gateway([](int) { return Step::answer(); });
        SmsSender engine(shortTimeouts());
        const SendResult result = waitInPlace(engine.outcome(waitInPlace(engine.submit(
            {at(gateway.port())}, number(1), QStringLiteral("x"), QDateTime(), sender))));
        if (source.isEmpty()) {
            QCOMPARE(result.failure,
                     QStringLiteral("Error Occurred: 1008 --> The row's sender \"%1\" cannot be "
                                    "sent: a sender is a number of up to 20 digits, or up to 11 "
                                    "letters, digits, spaces and . _ & -.")
                         .arg(sender));
            QVERIFY(!result.passing());
            QVERIFY(gateway.submits().empty());
            return;
        }
        QVERIFY2(result.delivery == Delivery::Sent, qPrintable(result.failure));
        QCOMPARE(gateway.submits().at(0).source, source);
        QCOMPARE(int(gateway.submits().at(0).sourceTon), ton);
        QCOMPARE(int(gateway.submits().at(0).sourceNpi), npi);
    }
};

QTEST_GUILESS_MAIN(SmsLanesTest)
#include "tst_smslanes.moc"
