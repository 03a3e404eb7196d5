#include <QElapsedTimer>
#include <QTest>
#include <QTimer>

#include "channels/SmsSender.h"
#include "core/Responsive.h"
#include "core/StopDeadline.h"
#include "support/ScriptedGateway.h"
#include "support/SmppBytes.h"
#include "support/WaitFor.h"

using namespace korvane;
using test::ScriptedGateway;
using Step = ScriptedGateway::Step;

namespace {

constexpr quint32 kSubmitFail = 0x45;  // ESME_RSUBMITFAIL

SmsGateway gatewayAt(const ScriptedGateway& gateway) {
    return SmsGateway{QStringLiteral("127.0.0.1"), gateway.port(), QStringLiteral("Korvane"),
                      QStringLiteral("secret")};
}

QString number(int i) {
    return QStringLiteral("+4477009%1").arg(i, 5, 10, QLatin1Char('0'));
}

// As the dispatch cycle drives it: up to a window of messages handed over, outcomes taken in
// order.
std::vector<SendResult> sendAll(SmsSender& sender, const SmsGateway& gateway,
                                const QStringList& texts, int window) {
    std::vector<SendResult> results;
    std::deque<int> out;
    for (int i = 0; i < texts.size(); ++i) {
        out.push_back(waitInPlace(sender.submit(gateway, number(i), texts[i])));
        if (static_cast<int>(out.size()) >= window) {
            results.push_back(waitInPlace(sender.outcome(out.front())));
            out.pop_front();
        }
    }
    for (int ticket : out) {
        results.push_back(waitInPlace(sender.outcome(ticket)));
    }
    return results;
}

int acceptedFor(const ScriptedGateway& gateway, const QString& destination) {
    int count = 0;
    for (const auto& submit : gateway.submits()) {
        count += submit.answered == smpp::Status::Ok &&
                 submit.destination == destination.mid(1).toLatin1();
    }
    return count;
}

}  // namespace

class SmsEngineTest : public QObject {
    Q_OBJECT

private Q_SLOTS:
    // More messages than the quota allows in its window: each goes out once, all are sent,
    // and the throttle pauses are slept through, not spun through.
    void quotaBurstSendsEveryMessageOnce() {
        ScriptedGateway gateway(ScriptedGateway::quota(8, 5, 25));
        SmsSender sender(SmppTimeouts(), nullptr, SmsSender::kDefaultWindow);
        QStringList texts;
        for (int i = 0; i < 12; ++i) {
            texts << QStringLiteral("quota %1").arg(i);
        }
        const auto results = sendAll(sender, gatewayAt(gateway), texts, SmsSender::kDefaultWindow);
        for (int i = 0; i < texts.size(); ++i) {
            QCOMPARE(int(results[size_t(i)].delivery), int(Delivery::Sent));
            QCOMPARE(acceptedFor(gateway, number(i)), 1);
        }
        QVERIFY(gateway.answered(smpp::Status::Throttled) > 0);
        QCOMPARE(sender.throttleAnswers(), quint64(gateway.answered(smpp::Status::Throttled)));
        QCOMPARE(gateway.sessions(), 1);
        // One wait per answer or deadline at most: a spin would count in the thousands.
        QVERIFY2(sender.waits() <= 2 * gateway.submits().size() + 10,
                 qPrintable(QString::number(sender.waits())));
    }

    // A gateway that throttles everything for 50 ms: the pace slows, doubling towards a submit
    // a second, and the engine wakes only for the answers and the paced slots.
    void throttleEverythingSlowsThePace() {
        QElapsedTimer since;
        since.start();
        ScriptedGateway gateway([&since](int) {
            return Step::answer(since.elapsed() < 50 ? smpp::Status::Throttled : smpp::Status::Ok);
        });
        SmsSender sender;
        const SendResult result =
            waitInPlace(sender.send(gatewayAt(gateway), number(1), QStringLiteral("patience")));
        QCOMPARE(int(result.delivery), int(Delivery::Sent));
        QCOMPARE(gateway.answered(smpp::Status::Ok), 1);
        // 1, 2, 4, ... 32 ms apart: ten offers at most, not one a millisecond.
        QVERIFY2(gateway.submits().size() <= 10,
                 qPrintable(QString::number(gateway.submits().size())));
        QVERIFY2(sender.waits() <= 2 * gateway.submits().size() + 2,
                 qPrintable(QString::number(sender.waits())));
    }

    // A provider's minimum gap: the submits are spaced to it rather than burst and throttled;
    // every message goes out once, the throttles are the few of the search, and the waits are
    // one per paced slot or answer, never a spin.
    void pacedToAMinimumGap() {
        ScriptedGateway gateway(ScriptedGateway::minimumGap(200, 2));
        SmsSender sender;
        QStringList texts;
        for (int i = 0; i < 40; ++i) {
            texts << QStringLiteral("paced %1").arg(i);
        }
        const auto results = sendAll(sender, gatewayAt(gateway), texts, SmsSender::kDefaultWindow);
        for (int i = 0; i < texts.size(); ++i) {
            QCOMPARE(int(results[size_t(i)].delivery), int(Delivery::Sent));
            QCOMPARE(acceptedFor(gateway, number(i)), 1);
        }
        QVERIFY2(gateway.answered(smpp::Status::Throttled) <= 25,
                 qPrintable(QString::number(gateway.answered(smpp::Status::Throttled))));
        QVERIFY(sender.pacedWaits() > 0);
        QVERIFY2(sender.pacedRate() > 100 && sender.pacedRate() < 260,
                 qPrintable(QString::number(sender.pacedRate())));
        QVERIFY2(sender.waits() <= 3 * gateway.submits().size(),
                 qPrintable(QString::number(sender.waits())));
    }

    // A kept session the gateway closed since the last message, before anything read the
    // close: the next message binds again and goes out, instead of into the closed session
    // and into doubt.
    void closeSinceTheLastMessageIsSeenFirst() {
        ScriptedGateway gateway([](int) { return Step::answer(); });
        SmsSender sender(SmppTimeouts{2000, 1500});
        QCOMPARE(
            waitInPlace(sender.send(gatewayAt(gateway), number(1), QStringLiteral("a"))).delivery,
            Delivery::Sent);
        gateway.dropSession();
        QCOMPARE(
            waitInPlace(sender.send(gatewayAt(gateway), number(2), QStringLiteral("b"))).delivery,
            Delivery::Sent);
        QCOMPARE(gateway.binds(), 2);
        QCOMPARE(int(gateway.submits().size()), 2);
    }

    // Two messages handed over at once while the session is still to be bound: the second
    // waits for the first one's bind rather than binding (and closing that session) again.
    void messagesDuringABindShareIt() {
        ScriptedGateway gateway([](int) { return Step::answer(); });
        SmsSender sender;
        QCoro::Task<SendResult> first =
            sender.send(gatewayAt(gateway), number(1), QStringLiteral("a"));
        QCoro::Task<SendResult> second =
            sender.send(gatewayAt(gateway), number(2), QStringLiteral("b"));
        QCOMPARE(int(waitInPlace(std::move(first)).delivery), int(Delivery::Sent));
        QCOMPARE(int(waitInPlace(std::move(second)).delivery), int(Delivery::Sent));
        QCOMPARE(gateway.binds(), 1);
        QCOMPARE(gateway.sessions(), 1);
    }

    // A broken gateway never hangs a bind: garbage, a length that lies, generic_nacks (with
    // and without the bind's sequence), a hang-up, and silence past the answer timeout.
    void brokenBindsNeverHang_data() {
        using test::header;
        QTest::addColumn<bool>("silent");
        QTest::addColumn<QByteArray>("answer");  // then the connection closes
        QTest::addColumn<QString>("failure");
        const QString closed =
            QStringLiteral("Error Occurred: 1002 --> Telvoro Server closed the connection.");
        const QString nacked = QStringLiteral(
            "Error Occurred: 1003 --> Telvoro Server refused the request (generic_nack, "
            "ESME_RINVCMDID (0x03)).");
        QTest::newRow("garbage") << false << QByteArray::fromHex("ffffffff00000000")
                                 << QStringLiteral(
                                        "Error Occurred: 1003 --> Telvoro Server sent "
                                        "a malformed reply.");
        QTest::newRow("length that lies")
            << false << header(64, smpp::Command::BindTransmitterResp, 0, 1) + "short" << closed;
        QTest::newRow("generic_nack")
            << false << header(16, smpp::Command::GenericNack, 3, 1) << nacked;
        QTest::newRow("generic_nack without the sequence")
            << false << header(16, smpp::Command::GenericNack, 3, 0) << nacked;
        QTest::newRow("hang-up") << false << QByteArray("") << closed;
        QTest::newRow("silence") << true << QByteArray()
                                 << QStringLiteral(
                                        "Error Occurred: 1001 --> Telvoro Server did "
                                        "not answer within 0.05 seconds.");
    }
    void brokenBindsNeverHang() {
        QFETCH(bool, silent);
        QFETCH(QByteArray, answer);
        ScriptedGateway gateway([](int) { return Step::answer(); });
        if (silent) {
            gateway.neverAnswerBinds();
        } else {
            gateway.answerBindsWith(answer);
        }
        SmsSender sender(SmppTimeouts{15000, 50});
        const SendResult result =
            waitInPlace(sender.send(gatewayAt(gateway), number(1), QStringLiteral("x")));
        QCOMPARE(result.delivery, Delivery::Unreachable);
        QTEST(result.failure, "failure");
        QVERIFY(gateway.submits().empty());
    }

    // A throttle status is a throttle whether it comes in a submit_sm_resp or a generic_nack:
    // the part is offered again and the message goes out once, not refused.
    void throttleInAGenericNack() {
        ScriptedGateway gateway([](int n) {
            return n == 0   ? Step::nack(smpp::Status::Throttled)
                   : n == 1 ? Step::nack(smpp::Status::MessageQueueFull)
                            : Step::answer();
        });
        SmsSender sender;
        const SendResult result =
            waitInPlace(sender.send(gatewayAt(gateway), number(1), QStringLiteral("nacked")));
        QVERIFY2(result.delivery == Delivery::Sent, qPrintable(result.failure));
        QCOMPARE(int(gateway.submits().size()), 3);
        QCOMPARE(acceptedFor(gateway, number(1)), 1);
        QCOMPARE(sender.throttleAnswers(), 2u);
    }

    // The session drops with messages out: those written and unanswered are in doubt; the
    // next message binds a new session, and the gateway's refusal there is not sent.
    void dropInFlightThenRefusal() {
        ScriptedGateway gateway([](int n) {
            switch (n) {
                case 0:
                case 1:
                    return Step::answer();
                case 2:
                    return Step::stall();
                case 3:
                    return Step::close();
                default:
                    return Step::answer(kSubmitFail);
            }
        });
        SmsSender sender;
        const SmsGateway to = gatewayAt(gateway);
        const auto first = sendAll(
            sender, to,
            {QStringLiteral("a"), QStringLiteral("b"), QStringLiteral("c"), QStringLiteral("d")},
            10);
        QCOMPARE(int(first[0].delivery), int(Delivery::Sent));
        QCOMPARE(int(first[1].delivery), int(Delivery::Sent));
        QCOMPARE(int(first[2].delivery), int(Delivery::InDoubt));
        QCOMPARE(int(first[3].delivery), int(Delivery::InDoubt));
        QVERIFY(first[3].failure.contains(QStringLiteral("closed the connection")));

        const SendResult refused = waitInPlace(sender.send(to, number(9), QStringLiteral("e")));
        QCOMPARE(int(refused.delivery), int(Delivery::Refused));
        QCOMPARE(refused.failure, QString::fromLatin1(SmsSender::kSendRefused));
        QCOMPARE(gateway.sessions(), 2);
        QCOMPARE(gateway.submits().back().session, 2);
        QCOMPARE(gateway.answered(kSubmitFail), 1);
    }

    // A long message whose second part the gateway drops the connection on is in doubt; the
    // refusal of the next message is never recorded as sent.
    void droppedLongMessageThenRefusalIsNotSent() {
        ScriptedGateway gateway([](int n) {
            return n == 0 ? Step::answer() : n == 1 ? Step::close() : Step::answer(kSubmitFail);
        });
        SmsSender sender;
        const SmsGateway to = gatewayAt(gateway);
        const int longMessage =
            waitInPlace(sender.submit(to, number(1), QString(200, QLatin1Char('L'))));
        const int next = waitInPlace(sender.submit(to, number(2), QStringLiteral("short")));
        const SendResult first = waitInPlace(sender.outcome(longMessage));
        QCOMPARE(int(first.delivery), int(Delivery::InDoubt));
        QVERIFY2(first.failure.contains(QStringLiteral("1 of 2 parts accepted")),
                 qPrintable(first.failure));
        const SendResult second = waitInPlace(sender.outcome(next));
        QVERIFY2(second.delivery != Delivery::Sent, qPrintable(second.failure));
        QCOMPARE(gateway.answered(smpp::Status::Ok), 1);
    }

    // Messages still waiting for room when the session drops were never offered: they go
    // out whole, once, on the next session.
    void unwrittenMessagesGoOutOnTheNextSession() {
        ScriptedGateway gateway([](int n) { return n == 0 ? Step::close() : Step::answer(); });
        SmsSender sender(SmppTimeouts(), nullptr, 1);
        const SmsGateway to = gatewayAt(gateway);
        const int lost = waitInPlace(sender.submit(to, number(1), QStringLiteral("first")));
        const int waiting = waitInPlace(sender.submit(to, number(2), QStringLiteral("second")));
        QCOMPARE(int(waitInPlace(sender.outcome(lost)).delivery), int(Delivery::InDoubt));
        QCOMPARE(int(waitInPlace(sender.outcome(waiting)).delivery), int(Delivery::Sent));
        QCOMPARE(gateway.submits().size(), size_t(2));
        QCOMPARE(gateway.submits()[1].session, 2);
        QCOMPARE(acceptedFor(gateway, number(2)), 1);
    }

    // The program must end while the gateway stalls: the unanswered message is in doubt at
    // the deadline, after a few waits, and what was not offered yet is not sent.
    void stopDeadlineEndsAStall() {
        ScriptedGateway gateway([](int) { return Step::stall(); });
        StopDeadline stop;
        SmsSender sender(SmppTimeouts(), &stop, 1);
        const SmsGateway to = gatewayAt(gateway);
        const int stalled = waitInPlace(sender.submit(to, number(1), QStringLiteral("stalled")));
        QTimer::singleShot(15, [&stop] { stop.set(QDeadlineTimer(30)); });
        const int behind = waitInPlace(sender.submit(to, number(2), QStringLiteral("behind")));
        const SendResult first = waitInPlace(sender.outcome(stalled));
        QCOMPARE(int(first.delivery), int(Delivery::InDoubt));
        QVERIFY(first.failure.contains(QStringLiteral("Korvane is ending")));
        QVERIFY(waitInPlace(sender.outcome(behind)).passing());
        QCOMPARE(gateway.submits().size(), size_t(1));
        QVERIFY2(sender.waits() <= 6, qPrintable(QString::number(sender.waits())));
    }

    // The engine destroyed while a bind waits for its answer (the program ending): the wait
    // never runs on into what is gone, past the bind's limit included.
    void engineGoneWhileABindWaits() {
        ScriptedGateway gateway([](int) { return Step::answer(); });
        gateway.neverAnswerBinds();
        auto sender = std::make_unique<SmsSender>(SmppTimeouts{15000, 30});
        const QCoro::Task<SendResult> sending =
            sender->send(gatewayAt(gateway), number(1), QStringLiteral("x"));
        QVERIFY(test::waitFor([&] { return !gateway.received().isEmpty(); }));
        sender.reset();
        test::idleFor(60);
        QVERIFY(!sending.isReady());
        QVERIFY(gateway.submits().empty());
    }
};

QTEST_GUILESS_MAIN(SmsEngineTest)
#include "tst_smsengine.moc"
