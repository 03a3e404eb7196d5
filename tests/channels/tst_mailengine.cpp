#include <QBuffer>
#include <QTest>
#include <QTimer>
#include <functional>

#include "app/ChannelAdapters.h"
#include "channels/CurlMailTransport.h"
#include "core/ActivityLog.h"
#include "core/KorvaneError.h"
#include "core/Messages.h"
#include "core/Responsive.h"
#include "core/RunConfiguration.h"
#include "core/StopDeadline.h"
#include "dispatch/ProcessingControl.h"
#include "support/CycleWait.h"
#include "support/FakeChannels.h"
#include "support/FakeClock.h"
#include "support/FakeTable.h"
#include "support/FakeWindow.h"
#include "support/InlineStore.h"
#include "support/Processing.h"
#include "support/RecordingLogView.h"
#include "support/ScriptedMailServer.h"
#include "support/TempProfile.h"

using namespace korvane;
using test::ScriptedMailServer;
using Phase = ScriptedMailServer::Phase;
using Step = ScriptedMailServer::Step;

namespace {

QByteArray message(int n, int bodySize = 0) {
    return QStringLiteral("Subject: mail %1\r\n\r\nBody %1\r\n").arg(n).toLatin1() +
           QByteArray(bodySize, 'x') + "\r\n";
}

// What became of one message handed to the transport.
struct Attempt {
    Delivery delivery = Delivery::Sent;
    QString failure;
    QString note;
};

Attempt send(CurlMailTransport& transport, const ScriptedMailServer& server, int n,
             long responseMs = 60000, long totalMs = 300000, int bodySize = 0) {
    SmtpSettings settings;
    settings.server = QStringLiteral("127.0.0.1");
    settings.port = server.port();
    settings.responseTimeoutMs = responseMs;
    settings.totalTimeoutMs = totalMs;
    QByteArray bytes = message(n, bodySize);
    QBuffer data(&bytes);
    data.open(QIODevice::ReadOnly);
    try {
        return Attempt{Delivery::Sent, QString(),
                       waitInPlace(transport.send(settings, "korvane@example.org",
                                                  {"someone@example.org"}, data))};
    } catch (const DeliveryInDoubt& error) {
        return Attempt{Delivery::InDoubt, errorLine(error), QString()};
    } catch (const KorvaneError& error) {
        return Attempt{Delivery::Refused, errorLine(error), QString()};
    }
}

// Counts turns of the event loop's timers while a send runs: the window's thread is free.
struct Heartbeat {
    QTimer timer;
    int beats = 0;
    Heartbeat() {
        QObject::connect(&timer, &QTimer::timeout, [this] { ++beats; });
        timer.start(10);
    }
};

}  // namespace

class MailEngineTest : public QObject {
    Q_OBJECT

private Q_SLOTS:
    // The third MAIL on a connection is refused with 421: nothing of that message left, so it
    // goes once more over a new connection, says so, and every message arrives once.
    void perConnectionLimitOpensANewConnection() {
        ScriptedMailServer server(ScriptedMailServer::perConnectionLimit(2));
        test::QuittingTransport transport;
        for (int n = 1; n <= 5; ++n) {
            const Attempt attempt = send(transport, server, n);
            QVERIFY2(attempt.delivery == Delivery::Sent, qPrintable(attempt.failure));
            QCOMPARE(attempt.note.isEmpty(), n != 3 && n != 5);  // 421 at the third MAIL
            if (n == 3) {
                QVERIFY2(attempt.note.startsWith(QStringLiteral(
                             "The SMTP server closed the kept connection before taking the "
                             "message (it said: \"421")),
                         qPrintable(attempt.note));
                QVERIFY(attempt.note.endsWith(
                    QStringLiteral("\"), so it goes again over a new connection.")));
            }
        }
        QCOMPARE(server.received().size(), size_t(5));
        for (int n = 1; n <= 5; ++n) {
            QVERIFY(server.received()[size_t(n - 1)].data.contains(message(n).mid(0, 16)));
        }
        QCOMPARE(server.connections(), 3);
        QCOMPARE(transport.connections(), 3ul);
    }

    // A refusal after the data is final: no second connection, no second copy.
    void refusalAfterTheDataIsNotRetried() {
        ScriptedMailServer server([](int, int, Phase phase) {
            return Step::reply(phase == Phase::Mail ? "250 OK" : "554 5.7.1 Rejected");
        });
        test::QuittingTransport transport;
        const Attempt attempt = send(transport, server, 1);
        QCOMPARE(int(attempt.delivery), int(Delivery::Refused));
        QCOMPARE(attempt.failure, QStringLiteral("Error Occurred: 2108 --> The server refused the "
                                                 "message. The server said: \"554 5.7.1 "
                                                 "Rejected\"."));
        QCOMPARE(server.received().size(), size_t(1));
        QCOMPARE(server.connections(), 1);
    }

    // Silence after the final dot, then the program must end: in doubt once the stop
    // deadline passes, with the window's thread turning all along; the next message goes
    // over a new connection and is not confused by the old one's late answer.
    void stallAfterTheDotEndsAtTheStopDeadline() {
        StopDeadline stop;
        ScriptedMailServer server([&stop](int connection, int, Phase phase) {
            if (connection == 1 && phase == Phase::EndOfData) {
                stop.set(QDeadlineTimer(60));  // the end comes while the reply is awaited
                return Step::stall();
            }
            return Step::reply("250 OK");
        });
        test::QuittingTransport transport(&stop);
        Heartbeat heartbeat;
        const Attempt stalled = send(transport, server, 1);
        QCOMPARE(int(stalled.delivery), int(Delivery::InDoubt));
        QVERIFY2(stalled.failure.contains(QStringLiteral("Korvane is ending")),
                 qPrintable(stalled.failure));
        QVERIFY(heartbeat.beats >= 3);

        stop.set(QDeadlineTimer(QDeadlineTimer::Forever));
        const Attempt next = send(transport, server, 2);
        QVERIFY2(next.delivery == Delivery::Sent, qPrintable(next.failure));
        QCOMPARE(server.received().back().connection, 2);
    }

    // Replies slower than the limit: the mail whose final dot went unanswered is in doubt,
    // one stuck before its data is not sent; the connection is never used again.
    void timedOutExchangesCloseTheConnection_data() {
        QTest::addColumn<int>("phase");
        QTest::addColumn<int>("delivery");
        QTest::addColumn<int>("receivedBefore");
        QTest::newRow("after the dot") << int(Phase::EndOfData) << int(Delivery::InDoubt) << 1;
        QTest::newRow("at MAIL") << int(Phase::Mail) << int(Delivery::Refused) << 0;
    }
    void timedOutExchangesCloseTheConnection() {
        QFETCH(int, phase);
        QFETCH(int, delivery);
        QFETCH(int, receivedBefore);
        ScriptedMailServer server([phase](int connection, int, Phase now) {
            if (connection == 1 && int(now) == phase) {
                return Step::reply("250 OK", 150);  // late: after the 50 ms limit
            }
            return Step::reply("250 OK");
        });
        test::QuittingTransport transport;
        const Attempt slow = send(transport, server, 1, 50, 10000);
        QCOMPARE(int(slow.delivery), delivery);
        // Sentences: libcurl's words and Korvane's each end with their own full stop.
        QVERIFY2(QRegularExpression(
                     QStringLiteral("^Error Occurred: \\d+ --> [A-Z](?:[^.]|\\.\\d)+\\.( The "
                                    "message may have been sent\\.)?$"))
                     .match(slow.failure)
                     .hasMatch(),
                 qPrintable(slow.failure));
        QCOMPARE(int(server.received().size()), receivedBefore);
        const Attempt next = send(transport, server, 2, 2000, 10000);
        QVERIFY2(next.delivery == Delivery::Sent, qPrintable(next.failure));
        QCOMPARE(server.received().back().connection, 2);
        QVERIFY(server.received().back().data.contains("mail 2"));
    }

    // Stop pressed while a mail stalls after its final dot: the controls switch and "Process
    // Stopped..." is logged at once, while the row still waits for its own limit and ends in
    // doubt; the next row is not touched.
    void stopDuringAStalledMail() {
        std::function<void()> stopNow;
        ScriptedMailServer server([&stopNow](int, int, Phase phase) {
            if (phase != Phase::EndOfData) {
                return Step::reply("250 OK");
            }
            QTimer::singleShot(0, stopNow);  // pressed while the mail waits for its reply
            return Step::stall();
        });
        test::TempProfile profile;
        test::FakeClock clock;
        test::RecordingLogView view;
        ActivityLog log(profile.logsDir(), clock, &view);
        test::QuittingTransport transport;
        EmailSender sender(transport);
        sender.setTimeouts(5000, 60, 10000);
        SmtpChannel email(sender);
        test::FakeSms sms;
        test::FakeWindow window;
        RunConfiguration config;
        config.dsnName = config.cellServer = config.cellPort = config.cellUserName =
            QStringLiteral("x");
        config.smtpServer = QStringLiteral("127.0.0.1");
        config.smtpPort = server.port();
        test::FakeTable table;
        table.rows = {test::FakeTable::email(1, QStringLiteral("one@example.org")),
                      test::FakeTable::email(2, QStringLiteral("two@example.org"))};
        test::Processing processing(config, log, window, sms, email, clock);
        ProcessingControl& control = processing.control;
        control.setStoreFactory([&table] { return test::inlineStore<test::FakeStore>(table); });
        QStringList paneWhenStopped;
        stopNow = [&] {
            control.cmdStop_Click();
            paneWhenStopped = view.pane.split(QStringLiteral("\r\n"));
        };
        control.cmdStart_Click();
        test::untilCycleEnds(control);
        QVERIFY(paneWhenStopped.contains(QStringLiteral("Process Stopped...")));
        QVERIFY(!paneWhenStopped.join(QLatin1Char(' ')).contains(QStringLiteral("may have been")));
        QCOMPARE(window.controls.last(), false);
        QCOMPARE(table.status(1), QStringLiteral("Message May Have Been Sent."));
        QCOMPARE(table.status(2), QString());
        QCOMPARE(server.received().size(), size_t(1));
    }

    // An upload that stalls part-way and runs out of time never sent its final dot: the
    // server cannot deliver it, so it is not sent rather than in doubt.
    void uploadCutMidBodyIsNotSent() {
        ScriptedMailServer server(ScriptedMailServer::perConnectionLimit(10));
        test::QuittingTransport transport;
        server.stallUploads();
        const Attempt cut = send(transport, server, 1, 50, 60, 16 * 1024 * 1024);
        QCOMPARE(int(cut.delivery), int(Delivery::Refused));
        QVERIFY(server.received().empty());
    }
};

QTEST_GUILESS_MAIN(MailEngineTest)
#include "tst_mailengine.moc"
