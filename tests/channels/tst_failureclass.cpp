#include <QTest>

#include "channels/CurlMailTransport.h"
#include "channels/EmailSender.h"
#include "channels/SmsSender.h"
#include "core/Responsive.h"
#include "support/ClosedPort.h"
#include "support/DeliveryNames.h"
#include "support/ScriptedGateway.h"
#include "support/ScriptedMailServer.h"

using namespace korvane;
using test::ScriptedGateway;
using test::ScriptedMailServer;

namespace {

using test::closedPort;

SendResult sendOne(EmailSender& sender, const QString& port) {
    return waitInPlace(sender.sendEmail(MailMessage{QStringLiteral("a@x.test"),
                                                    QStringLiteral("b@x.test"),
                                                    {},
                                                    {},
                                                    {},
                                                    QStringLiteral("subject"),
                                                    QStringLiteral("body"),
                                                    QDateTime()},
                                        SmtpServer{QStringLiteral("127.0.0.1"), port, {}, {}}));
}

}  // namespace

// Every answer a server can give, as the outcome a channel makes of it: refused for good,
// passing (nothing of the message left with the server: worth another attempt later), or
// unreachable (the server could not be had at all); a message that may have gone out is none
// of these.
class FailureClassTest : public QObject {
    Q_OBJECT

private Q_SLOTS:
    // Each bind and submit answer as the outcome, the failure line and the line that names
    // the gateway's status.
    void smpp_data() {
        QTest::addColumn<quint32>("bindStatus");  // 0: bound
        QTest::addColumn<bool>("nack");           // the submit answered by a generic_nack
        QTest::addColumn<quint32>("submitStatus");
        QTest::addColumn<QString>("number");  // "": nothing listening
        QTest::addColumn<Delivery>("delivery");
        QTest::addColumn<QString>("failure");
        QTest::addColumn<QString>("note");
        const QString ok = QStringLiteral("+447700900001");
        const QString refused = QString::fromLatin1(SmsSender::kSendRefused);
        const QString login = QString::fromLatin1(SmsSender::kLoginFailed);
        const auto answered = [](const char* status) {
            return QStringLiteral("Telvoro Server answered %1.").arg(QLatin1String(status));
        };
        const auto row = [&](const char* name, quint32 bind, bool nack, quint32 submit,
                             Delivery delivery, const QString& failure, const QString& note) {
            QTest::newRow(name) << bind << nack << submit << ok << delivery << failure << note;
        };
        row("taken", 0, false, 0x00, Delivery::Sent, {}, {});
        row("ESME_RSYSERR", 0, false, 0x08, Delivery::Passing, refused,
            answered("ESME_RSYSERR (0x08)"));
        row("ESME_RINVDSTADR", 0, false, 0x0B, Delivery::Refused, refused,
            answered("ESME_RINVDSTADR (0x0B)"));
        row("ESME_RINVSRCADR", 0, false, 0x0A, Delivery::Refused, refused,
            answered("ESME_RINVSRCADR (0x0A)"));
        row("ESME_RSUBMITFAIL", 0, false, 0x45, Delivery::Refused, refused,
            answered("ESME_RSUBMITFAIL (0x45)"));
        row("ESME_RINVMSGLEN", 0, false, 0x01, Delivery::Refused, refused,
            answered("ESME_RINVMSGLEN (0x01)"));
        row("ESME_RX_R_APPN", 0, false, 0x66, Delivery::Refused, refused,
            answered("ESME_RX_R_APPN (0x66)"));
        row("unnamed status", 0, false, 0x400, Delivery::Refused, refused,
            answered("status 0x00000400"));
        row("generic_nack", 0, true, 0x03, Delivery::Refused, refused,
            answered("generic_nack ESME_RINVCMDID (0x03)"));
        row("bind: ESME_RINVPASWD", 0x0E, false, 0, Delivery::Unreachable, login, {});
        row("bind: ESME_RINVSYSID", 0x0F, false, 0, Delivery::Unreachable, login, {});
        row("bind: ESME_RBINDFAIL", 0x0D, false, 0, Delivery::Unreachable,
            QStringLiteral("Error Occurred: 1006 --> Telvoro Server refused the bind: "
                           "ESME_RBINDFAIL (0x0D)."),
            {});
        row("bind: ESME_RSYSERR", 0x08, false, 0, Delivery::Unreachable,
            QStringLiteral("Error Occurred: 1006 --> Telvoro Server refused the bind: "
                           "ESME_RSYSERR (0x08)."),
            {});
        QTest::newRow("nothing listening")
            << 0u << false << 0x00u << QString() << Delivery::Unreachable
            << QString::fromLatin1(SmsSender::kConnectFailed) << QString();
    }
    void smpp() {
        QFETCH(quint32, bindStatus);
        QFETCH(bool, nack);
        QFETCH(quint32, submitStatus);
        QFETCH(QString, number);
        ScriptedGateway gateway([&](int) {
            return nack ? ScriptedGateway::Step::nack(submitStatus)
                        : ScriptedGateway::Step::answer(submitStatus);
        });
        gateway.setBindStatus(bindStatus);
        SmsSender sender;
        const SendResult result = waitInPlace(sender.send(
            SmsGateway{QStringLiteral("127.0.0.1"),
                       number.isEmpty() ? closedPort() : gateway.port(), QStringLiteral("Korvane"),
                       QStringLiteral("secret")},
            number.isEmpty() ? QStringLiteral("+447700900001") : number, QStringLiteral("hello")));
        QTEST(result.delivery, "delivery");
        QTEST(result.failure, "failure");
        QTEST(result.note, "note");
        // A refused bind offers nothing; a refused submit was offered once.
        const bool offered = !number.isEmpty() && bindStatus == 0;
        QCOMPARE(gateway.submits().size(), size_t(offered ? 1 : 0));
    }

    // What the engine refuses before anything is offered, with the line it gives.
    void smppRefusedBeforeSending_data() {
        QTest::addColumn<QString>("user");
        QTest::addColumn<QString>("number");
        QTest::addColumn<QString>("text");
        QTest::addColumn<QString>("port");  // "": the gateway's
        QTest::addColumn<QString>("failure");
        const auto row = [](const char* name, const char* user, const char* number,
                            const char* text, const char* port, const char* failure) {
            QTest::newRow(name) << QString::fromLatin1(user) << QString::fromLatin1(number)
                                << QString::fromLatin1(text) << QString::fromLatin1(port)
                                << QString::fromLatin1(failure);
        };
        row("account name no sender", "not a sender!", "1", "x", "", SmsSender::kSenderRefused);
        row("letters in the number", "Korvane", "12a", "x", "", SmsSender::kNumberRefused);
        row("blank number", "Korvane", "   ", "x", "", SmsSender::kNumberRefused);
        row("empty text", "Korvane", "1", "", "", SmsSender::kMessageRefused);
        row("port no number", "Korvane", "1", "x", "70x", "Error Occurred: 13 --> Type mismatch");
        row("port out of range", "Korvane", "1", "x", "99999999999",
            "Error Occurred: 6 --> Overflow");
    }
    void smppRefusedBeforeSending() {
        QFETCH(QString, user);
        QFETCH(QString, number);
        QFETCH(QString, text);
        QFETCH(QString, port);
        ScriptedGateway gateway([](int) { return ScriptedGateway::Step::answer(); });
        SmsSender sender;
        const SendResult result = waitInPlace(sender.send(
            SmsGateway{QStringLiteral("127.0.0.1"), port.isEmpty() ? gateway.port() : port, user,
                       QStringLiteral("secret")},
            number, text));
        QVERIFY(result.notSent());
        QTEST(result.failure, "failure");
        QVERIFY(gateway.submits().empty());
    }

    // Each SMTP reply class, at MAIL FROM and after the final dot; an empty atMail: nothing
    // listening.
    void smtp_data() {
        QTest::addColumn<QByteArray>("atMail");
        QTest::addColumn<QByteArray>("atEnd");
        QTest::addColumn<Delivery>("delivery");
        const auto row = [](const char* name, const char* atMail, const char* atEnd,
                            Delivery delivery) {
            QTest::newRow(name) << QByteArray(atMail) << QByteArray(atEnd) << delivery;
        };
        row("taken", "250 OK", "250 Queued", Delivery::Sent);
        row("421 at MAIL", "421 4.3.2 Shutting down", "", Delivery::Unreachable);
        row("450 at MAIL", "450 4.2.1 Try later", "", Delivery::Passing);
        row("451 at MAIL", "451 4.3.0 Local error", "", Delivery::Passing);
        row("452 at MAIL", "452 4.3.1 Storage", "", Delivery::Passing);
        row("550 at MAIL", "550 5.7.1 Denied", "", Delivery::Refused);
        row("553 at MAIL", "553 5.1.8 Bad sender", "", Delivery::Refused);
        row("451 after the dot", "250 OK", "451 4.3.0 Later", Delivery::Passing);
        row("554 after the dot", "250 OK", "554 5.6.0 Spam", Delivery::Refused);
        row("nothing listening", "", "", Delivery::Unreachable);
    }
    void smtp() {
        QFETCH(QByteArray, atMail);
        QFETCH(QByteArray, atEnd);
        ScriptedMailServer server([&](int, int, ScriptedMailServer::Phase phase) {
            return ScriptedMailServer::Step::reply(
                phase == ScriptedMailServer::Phase::Mail ? atMail : atEnd);
        });
        test::QuittingTransport transport;
        EmailSender sender(transport);
        const SendResult result = sendOne(sender, atMail.isEmpty() ? closedPort() : server.port());
        QTEST(result.delivery, "delivery");
    }
};

QTEST_GUILESS_MAIN(FailureClassTest)
#include "tst_failureclass.moc"
