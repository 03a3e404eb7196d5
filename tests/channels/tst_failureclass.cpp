#include <QtTest>

#include "channels/CurlMailTransport.h"
#include "channels/EmailSender.h"
#include "channels/SmsSender.h"
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
    return sender.sendEmail(MailMessage{QStringLiteral("a@x.test"),
                                        QStringLiteral("b@x.test"),
                                        {},
                                        {},
                                        {},
                                        QStringLiteral("subject"),
                                        QStringLiteral("body"),
                                        QDateTime()},
                            SmtpServer{QStringLiteral("127.0.0.1"), port, {}, {}});
}

}  // namespace

// Every answer a server can give, as the outcome a channel makes of it: refused for good,
// passing (nothing of the message left with the server: worth another attempt later), or
// unreachable (the server could not be had at all); a message that may have gone out is none
// of these.
class FailureClassTest : public QObject {
    Q_OBJECT

private Q_SLOTS:
    void smpp_data() {
        QTest::addColumn<quint32>("bindStatus");  // 0: bound
        QTest::addColumn<quint32>("submitStatus");
        QTest::addColumn<QString>("number");
        QTest::addColumn<bool>("listening");
        QTest::addColumn<Delivery>("delivery");
        const QString ok = QStringLiteral("+447700900001");
        const auto row = [&](const char* name, quint32 bind, quint32 submit, Delivery delivery) {
            QTest::newRow(name) << bind << submit << ok << true << delivery;
        };
        row("taken", 0, 0x00, Delivery::Sent);
        row("ESME_RSYSERR", 0, 0x08, Delivery::Passing);
        row("ESME_RINVDSTADR", 0, 0x0B, Delivery::Refused);
        row("ESME_RINVSRCADR", 0, 0x0A, Delivery::Refused);
        row("ESME_RSUBMITFAIL", 0, 0x45, Delivery::Refused);
        row("ESME_RINVMSGLEN", 0, 0x01, Delivery::Refused);
        row("ESME_RX_R_APPN", 0, 0x66, Delivery::Refused);
        row("bind: ESME_RINVPASWD", 0x0E, 0x00, Delivery::Unreachable);
        row("bind: ESME_RBINDFAIL", 0x0D, 0x00, Delivery::Unreachable);
        row("bind: ESME_RSYSERR", 0x08, 0x00, Delivery::Unreachable);
        QTest::newRow("invalid number")
            << 0u << 0x00u << QStringLiteral("12ab") << true << Delivery::Refused;
        QTest::newRow("nothing listening") << 0u << 0x00u << ok << false << Delivery::Unreachable;
    }
    void smpp() {
        QFETCH(quint32, bindStatus);
        QFETCH(quint32, submitStatus);
        QFETCH(QString, number);
        QFETCH(bool, listening);
        ScriptedGateway gateway(
            [submitStatus](int) { return ScriptedGateway::Step::answer(submitStatus); });
        gateway.setBindStatus(bindStatus);
        SmsSender sender;
        const SendResult result = sender.send(
            SmsGateway{QStringLiteral("127.0.0.1"), listening ? gateway.port() : closedPort(),
                       QStringLiteral("Korvane"), QStringLiteral("secret")},
            number, QStringLiteral("hello"));
        QTEST(result.delivery, "delivery");
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
