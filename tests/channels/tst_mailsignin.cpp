#include <QTcpServer>
#include <QTest>

#include "app/ChannelAdapters.h"
#include "channels/CurlTokenEndpoint.h"
#include "channels/EmailSender.h"
#include "core/ActivityLog.h"
#include "core/Responsive.h"
#include "core/RunConfiguration.h"
#include "dispatch/ProcessingControl.h"
#include "support/ClosedPort.h"
#include "support/CycleWait.h"
#include "support/FakeChannels.h"
#include "support/FakeClock.h"
#include "support/FakeTable.h"
#include "support/FakeWindow.h"
#include "support/InlineStore.h"
#include "support/Processing.h"
#include "support/RecordingLogView.h"
#include "support/ScriptedMailServer.h"
#include "support/ScriptedTokenEndpoint.h"
#include "support/TempProfile.h"
#include "support/WaitFor.h"

using namespace korvane;
using test::ScriptedMailServer;
using test::ScriptedTokenEndpoint;
using Phase = ScriptedMailServer::Phase;
using Step = ScriptedMailServer::Step;

namespace {

const QString kSecret = QStringLiteral("s3cret-never-logged");
const QString kMailbox = QStringLiteral("box@x.test");

ScriptedMailServer::Script accepting() {
    return ScriptedMailServer::perConnectionLimit(1000);
}

// A server that lets in only the bearer tokens allowed says.
std::function<QByteArray(const QByteArray&, const QByteArray&)> bearers(
    std::function<bool(const QByteArray&)> allowed) {
    return [allowed](const QByteArray& mechanism, const QByteArray& response) -> QByteArray {
        const QByteArray prefix = "user=" + kMailbox.toUtf8() +
                                  "\x01"
                                  "auth=Bearer ";
        if (mechanism != "XOAUTH2" || !response.startsWith(prefix) ||
            !response.endsWith("\x01\x01")) {
            return "504 5.7.4 Unrecognized authentication type";
        }
        const QByteArray token = response.mid(prefix.size(), response.size() - prefix.size() - 2);
        return allowed(token) ? "235 2.7.0 Accepted" : "535 5.7.3 Authentication unsuccessful";
    };
}

SmtpServer oauthServer(const ScriptedMailServer& server, const ScriptedTokenEndpoint& endpoint,
                       const QString& refreshToken = QString()) {
    SmtpServer account{QStringLiteral("127.0.0.1"), server.port(), kMailbox, QString()};
    account.auth = QStringLiteral("oauth2");
    account.tokenUrl = endpoint.url();
    account.clientId = QStringLiteral("client-1");
    account.clientSecret = kSecret;
    account.refreshToken = refreshToken;
    account.scope = QStringLiteral("https://outlook.office365.com/.default");
    return account;
}

MailMessage mail(int n) {
    MailMessage message;
    message.from = QStringLiteral("korvane@x.test");
    message.to = QStringLiteral("to%1@x.test").arg(n);
    message.subject = QStringLiteral("mail %1").arg(n);
    message.body = QStringLiteral("body");
    return message;
}

using test::closedPort;

// The sender on scripted peers, its clock and token endpoint its own.
struct Rig {
    test::FakeClock clock;
    CurlTokenEndpoint tokens;
    test::QuittingTransport first;
    test::QuittingTransport second;
    EmailSender sender{first, {&second, &tokens, &clock}};
    Rig() { sender.setTimeouts(2000, 50, 5000); }
    void later(qint64 ms) { clock.set(clock.now().addMSecs(ms)); }
    // Ends the kept connections, as each cycle does, so that the next mail signs in again.
    void endCycle() {
        sender.endSession();
        QVERIFY(test::waitFor([this] { return !first.connected() && !second.connected(); }));
    }
};

}  // namespace

class MailSignInTest : public QObject {
    Q_OBJECT

private Q_SLOTS:
    // Either grant: one token request serves every mail, and the form names the grant.
    void oneTokenServesManyMails_data() {
        QTest::addColumn<QString>("refreshToken");
        QTest::addColumn<QByteArray>("grant");
        QTest::newRow("client credentials")
            << QString() << QByteArray("grant_type=client_credentials");
        QTest::newRow("refresh token")
            << QStringLiteral("refresh+1/x")
            << QByteArray("grant_type=refresh_token&refresh_token=refresh%2B1%2Fx");
    }
    void oneTokenServesManyMails() {
        QFETCH(QString, refreshToken);
        QFETCH(QByteArray, grant);
        ScriptedTokenEndpoint endpoint(ScriptedTokenEndpoint::issuing());
        ScriptedMailServer server(accepting());
        server.requireSignIn(bearers([](const QByteArray& token) { return token == "token-1"; }));
        Rig rig;
        for (int n = 1; n <= 6; ++n) {
            const SendResult result = waitInPlace(
                rig.sender.sendEmail(mail(n), oauthServer(server, endpoint, refreshToken)));
            QVERIFY2(result.delivery == Delivery::Sent, qPrintable(result.failure));
            if (n == 3) {
                rig.endCycle();
            }
        }
        QCOMPARE(server.received().size(), size_t(6));
        QCOMPARE(server.signIns(), 2);
        QCOMPARE(endpoint.forms().size(), 1);
        QVERIFY2(endpoint.forms()[0].startsWith(grant), endpoint.forms()[0].constData());
        QVERIFY(endpoint.forms()[0].contains("client_id=client-1"));
        QVERIFY(
            endpoint.forms()[0].contains("scope=https%3A%2F%2Foutlook.office365.com%2F.default"));
    }

    // A token is not used in its last minute; one the server refuses before then is replaced
    // once, and the mail goes out on the new one.
    void expiredOrRefusedTokenIsReplacedOnce() {
        ScriptedTokenEndpoint endpoint(ScriptedTokenEndpoint::issuing(600));
        ScriptedMailServer server(accepting());
        QByteArray revoked;
        server.requireSignIn(bearers([&](const QByteArray& token) { return token != revoked; }));
        Rig rig;
        const SmtpServer account = oauthServer(server, endpoint);
        QCOMPARE(int(waitInPlace(rig.sender.sendEmail(mail(1), account)).delivery),
                 int(Delivery::Sent));
        rig.endCycle();
        rig.later(539 * 1000);  // 61 s left: still good
        QCOMPARE(int(waitInPlace(rig.sender.sendEmail(mail(2), account)).delivery),
                 int(Delivery::Sent));
        QCOMPARE(endpoint.forms().size(), 1);
        rig.endCycle();
        rig.later(2 * 1000);  // 59 s left
        QCOMPARE(int(waitInPlace(rig.sender.sendEmail(mail(3), account)).delivery),
                 int(Delivery::Sent));
        QCOMPARE(endpoint.forms().size(), 2);
        rig.endCycle();
        revoked = "token-2";
        const SendResult replaced = waitInPlace(rig.sender.sendEmail(mail(4), account));
        QVERIFY2(replaced.delivery == Delivery::Sent, qPrintable(replaced.failure));
        QCOMPARE(endpoint.forms().size(), 3);
        QCOMPARE(server.received().size(), size_t(4));
    }

    // A refused sign-in, the server's or the endpoint's, costs one attempt per back-off step
    // (1 s, 2 s, 4 s ... 60 s on the clock), whatever the mails meanwhile; their line quotes
    // the refusal and never the secret. Test Email's retryNow tries at once.
    void refusedSignInBacksOff_data() {
        QTest::addColumn<bool>("byEndpoint");
        QTest::addColumn<QString>("line");
        QTest::newRow("server")
            << false
            << QStringLiteral(
                   "Error Occurred: 2167 --> The server refused the sign-in (user name "
                   "and password). The server said: \"535 5.7.139 Authentication "
                   "unsuccessful, SmtpClientAuthentication is disabled for the "
                   "Tenant\".");
        QTest::newRow("token endpoint")
            << true
            << QStringLiteral(
                   "Error Occurred: 2004 --> The sign-in service refused Korvane's "
                   "request: invalid_client (AADSTS7000215: Invalid client secret "
                   "provided.)");
    }
    void refusedSignInBacksOff() {
        QFETCH(bool, byEndpoint);
        QFETCH(QString, line);
        ScriptedTokenEndpoint endpoint([](int, const QByteArray&) {
            return std::make_pair(
                401, QByteArray(R"({"error":"invalid_client","error_description":)"
                                R"("AADSTS7000215: Invalid client secret provided."})"));
        });
        ScriptedMailServer server(accepting());
        server.requireSignIn([](const QByteArray&, const QByteArray&) -> QByteArray {
            return "535 5.7.139 Authentication unsuccessful, SmtpClientAuthentication is disabled "
                   "for the Tenant";
        });
        Rig rig;
        SmtpServer account =
            byEndpoint ? oauthServer(server, endpoint)
                       : SmtpServer{QStringLiteral("127.0.0.1"), server.port(), kMailbox, kSecret};
        const auto attempts = [&] {
            return byEndpoint ? int(endpoint.forms().size()) : server.signIns();
        };
        const auto refusedAsBefore = [&](const SendResult& result) {
            // The endpoint's refusal is for good; a server's may pass (a password fixed).
            QCOMPARE(int(result.delivery),
                     int(byEndpoint ? Delivery::AccountRefused : Delivery::Unreachable));
            QCOMPARE(result.failure, line);
            QVERIFY(!result.failure.contains(kSecret));
        };
        refusedAsBefore(waitInPlace(rig.sender.sendEmail(mail(1), account)));
        int expected = 1;
        QCOMPARE(attempts(), expected);
        for (const qint64 stepMs : {1000, 2000, 4000, 8000, 16000, 32000, 60000, 60000}) {
            rig.endCycle();
            rig.later(stepMs - 1);
            refusedAsBefore(
                waitInPlace(rig.sender.sendEmail(mail(2), account)));  // no attempt of its own
            QCOMPARE(attempts(), expected);
            rig.later(1);
            refusedAsBefore(waitInPlace(rig.sender.sendEmail(mail(3), account)));
            QCOMPARE(attempts(), ++expected);
        }
        rig.sender.retryNow();
        refusedAsBefore(waitInPlace(rig.sender.sendEmail(mail(4), account)));
        QCOMPARE(attempts(), ++expected);
        QVERIFY(server.received().empty());
    }

    // The second server gets a mail only when the first certainly has nothing of it, and
    // the log's note names both.
    void secondServerOnlyWhenTheFirstTookNothing_data() {
        QTest::addColumn<QString>("first");  // how the first server fails
        QTest::addColumn<bool>("second");
        QTest::addColumn<int>("delivery");
        QTest::newRow("no connection") << "closed" << true << int(Delivery::Sent);
        QTest::newRow("421 at MAIL") << "421" << true << int(Delivery::Sent);
        QTest::newRow("timeout at MAIL") << "stall at MAIL" << true << int(Delivery::Sent);
        QTest::newRow("refused sign-in") << "535" << true << int(Delivery::Sent);
        QTest::newRow("token endpoint away") << "no endpoint" << true << int(Delivery::Sent);
        QTest::newRow("refused after DATA") << "554 after data" << false << int(Delivery::Refused);
        QTest::newRow("silent after the dot")
            << "stall after data" << false << int(Delivery::InDoubt);
        QTest::newRow("mailbox busy at MAIL") << "450" << false << int(Delivery::Passing);
    }
    void secondServerOnlyWhenTheFirstTookNothing() {
        QFETCH(QString, first);
        QFETCH(bool, second);
        QFETCH(int, delivery);
        ScriptedMailServer one([first](int, int, Phase phase) {
            if (phase == Phase::Mail && first == QLatin1String("421")) {
                return Step::reply("421 4.3.2 Service shutting down");
            }
            if (phase == Phase::Mail && first == QLatin1String("450")) {
                return Step::reply("450 4.2.1 Mailbox busy");
            }
            if (first == QLatin1String("stall at MAIL") && phase == Phase::Mail) {
                return Step::stall();
            }
            if (phase == Phase::EndOfData && first == QLatin1String("554 after data")) {
                return Step::reply("554 5.7.1 Rejected");
            }
            if (phase == Phase::EndOfData && first == QLatin1String("stall after data")) {
                return Step::stall();
            }
            return Step::reply("250 OK");
        });
        if (first == QLatin1String("535")) {
            one.requireSignIn([](const QByteArray&, const QByteArray&) -> QByteArray {
                return "535 5.7.8 Bad credentials";
            });
        }
        ScriptedMailServer two(accepting());
        Rig rig;
        SmtpServer primary{QStringLiteral("127.0.0.1"),
                           first == QLatin1String("closed") ? closedPort() : one.port(),
                           first == QLatin1String("535") ? kMailbox : QString(), kSecret};
        if (first == QLatin1String("no endpoint")) {
            primary.userName = kMailbox;
            primary.auth = QStringLiteral("oauth2");
            primary.clientId = QStringLiteral("client-1");
            primary.tokenUrl = QStringLiteral("http://127.0.0.1:%1/token").arg(closedPort());
        }
        const SmtpServer backup{QStringLiteral("127.0.0.1"), two.port(), QString(), QString()};
        const SendResult result = waitInPlace(rig.sender.sendEmail(mail(1), {primary, backup}));
        QCOMPARE(int(result.delivery), delivery);
        QCOMPARE(two.received().size(), size_t(second ? 1 : 0));
        if (second) {
            QCOMPARE(result.server, backup.name());
            QVERIFY2(
                result.note.contains(
                    QStringLiteral("Mail server %1 took nothing of the mail").arg(primary.name())),
                qPrintable(result.note));
            QVERIFY(result.note.endsWith(
                QStringLiteral("The mail went through mail server %1.").arg(backup.name())));
            QVERIFY(!result.note.contains(kSecret));
        }
        if (first == QLatin1String("554 after data") ||
            first == QLatin1String("stall after data")) {
            QCOMPARE(one.received().size(), size_t(1));
        }
    }

    // Twenty mails waiting and the server refusing the sign-in: one sign-in in the cycle.
    // Without the retry columns every row ends as the one that met the refusal; with them
    // that row is put off and the other nineteen are left as they are.
    void refusedSignInWithTwentyRowsWaiting_data() {
        QTest::addColumn<bool>("retries");
        QTest::newRow("plain table") << false;
        QTest::newRow("retry columns") << true;
    }
    void refusedSignInWithTwentyRowsWaiting() {
        QFETCH(bool, retries);
        ScriptedMailServer server(accepting());
        server.requireSignIn([](const QByteArray&, const QByteArray&) -> QByteArray {
            return "535 5.7.8 Bad credentials";
        });
        test::TempProfile profile;
        test::FakeClock clock;
        test::RecordingLogView view;
        ActivityLog log(profile.logsDir(), clock, &view);
        CurlTokenEndpoint tokens;
        test::QuittingTransport first;
        test::QuittingTransport second;
        EmailSender sender(first, {&second, &tokens, &clock});
        SmtpChannel email(sender);
        test::FakeSms sms;
        test::FakeWindow window;
        RunConfiguration config;
        config.dsnName = config.cellServer = config.cellPort = config.cellUserName =
            QStringLiteral("x");
        config.smtpServer = QStringLiteral("127.0.0.1");
        config.smtpPort = server.port();
        config.smtpUserName = kMailbox;
        config.smtpPassword = kSecret;
        test::FakeTable table;
        table.optional.retries = retries;
        for (int id = 1; id <= 20; ++id) {
            table.rows.push_back(test::FakeTable::email(id, QStringLiteral("r%1@x.test").arg(id)));
        }
        test::Processing processing(config, log, window, sms, email, clock);
        ProcessingControl& control = processing.control;
        control.setStoreFactory([&table] { return test::inlineStore<test::FakeStore>(table); });
        control.cmdStart_Click();
        test::untilCycleEnds(control);
        control.cmdStop_Click();
        QCOMPARE(server.signIns(), 1);
        QCOMPARE(table.status(1), retries ? QStringLiteral("Message Will Be Sent Again Later.")
                                          : QStringLiteral("Message Is Not Sent Via Email."));
        for (int id = 2; id <= 20; ++id) {
            QCOMPARE(table.status(id),
                     retries ? QString() : QStringLiteral("Message Is Not Sent Via Email."));
        }
        QVERIFY(
            view.pane.contains(QStringLiteral("The server said: \"535 5.7.8 Bad credentials\"")));
        QVERIFY(!view.pane.contains(kSecret));
        QVERIFY(server.received().empty());
    }
};

QTEST_GUILESS_MAIN(MailSignInTest)
#include "tst_mailsignin.moc"
