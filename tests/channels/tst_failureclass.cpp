#include <QtTest>

#include "channels/CurlMailTransport.h"
#include "channels/EmailSender.h"
#include "channels/SmsSender.h"
#include "support/ClosedPort.h"
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

// Every failure is one that may pass (nothing of the message left with the server: worth
// another attempt later) or one for good (the message itself refused), and "unreachable" when
// the server could not be had at all; a message that may have gone out is neither.
class FailureClassTest : public QObject {
    Q_OBJECT

private Q_SLOTS:
    void smpp_data() {
        QTest::addColumn<quint32>("bindStatus");  // 0: bound
        QTest::addColumn<quint32>("submitStatus");
        QTest::addColumn<QString>("number");
        QTest::addColumn<int>("delivery");
        QTest::addColumn<bool>("passing");
        QTest::addColumn<bool>("unreachable");
        const auto sent = int(Delivery::Sent);
        const auto notSent = int(Delivery::NotSent);
        const QString ok = QStringLiteral("+447700900001");
        QTest::newRow("taken") << 0u << 0x00u << ok << sent << false << false;
        QTest::newRow("ESME_RSYSERR") << 0u << 0x08u << ok << notSent << true << false;
        QTest::newRow("ESME_RINVDSTADR") << 0u << 0x0Bu << ok << notSent << false << false;
        QTest::newRow("ESME_RINVSRCADR") << 0u << 0x0Au << ok << notSent << false << false;
        QTest::newRow("ESME_RSUBMITFAIL") << 0u << 0x45u << ok << notSent << false << false;
        QTest::newRow("ESME_RINVMSGLEN") << 0u << 0x01u << ok << notSent << false << false;
        QTest::newRow("ESME_RX_R_APPN") << 0u << 0x66u << ok << notSent << false << false;
        QTest::newRow("invalid number")
            << 0u << 0x00u << QStringLiteral("12ab") << notSent << false << false;
        QTest::newRow("bind: ESME_RINVPASWD") << 0x0Eu << 0x00u << ok << notSent << true << true;
        QTest::newRow("bind: ESME_RBINDFAIL") << 0x0Du << 0x00u << ok << notSent << true << true;
        QTest::newRow("bind: ESME_RSYSERR") << 0x08u << 0x00u << ok << notSent << true << true;
    }
    void smpp() {
        QFETCH(quint32, bindStatus);
        QFETCH(quint32, submitStatus);
        QFETCH(QString, number);
        ScriptedGateway gateway(
            [submitStatus](int) { return ScriptedGateway::Step::answer(submitStatus); });
        gateway.setBindStatus(bindStatus);
        SmsSender sender;
        const SendResult result =
            sender.send(SmsGateway{QStringLiteral("127.0.0.1"), gateway.port(),
                                   QStringLiteral("Korvane"), QStringLiteral("secret")},
                        number, QStringLiteral("hello"));
        QTEST(int(result.delivery), "delivery");
        QTEST(result.passing, "passing");
        QTEST(result.unreachable, "unreachable");
    }

    // No gateway at the address: may pass, and unreachable.
    void smppNothingListening() {
        SmsSender sender;
        const SendResult result =
            sender.send(SmsGateway{QStringLiteral("127.0.0.1"), closedPort(),
                                   QStringLiteral("Korvane"), QStringLiteral("secret")},
                        QStringLiteral("+447700900001"), QStringLiteral("hello"));
        QCOMPARE(result.delivery, Delivery::NotSent);
        QVERIFY(result.passing && result.unreachable);
    }

    // Each SMTP reply class, at MAIL FROM and after the final dot.
    void smtp_data() {
        QTest::addColumn<QByteArray>("atMail");
        QTest::addColumn<QByteArray>("atEnd");
        QTest::addColumn<int>("delivery");
        QTest::addColumn<bool>("passing");
        QTest::addColumn<bool>("unreachable");
        const auto notSent = int(Delivery::NotSent);
        QTest::newRow("taken") << QByteArray("250 OK") << QByteArray("250 Queued")
                               << int(Delivery::Sent) << false << false;
        QTest::newRow("421 at MAIL")
            << QByteArray("421 4.3.2 Shutting down") << QByteArray() << notSent << true << true;
        QTest::newRow("450 at MAIL")
            << QByteArray("450 4.2.1 Try later") << QByteArray() << notSent << true << false;
        QTest::newRow("451 at MAIL")
            << QByteArray("451 4.3.0 Local error") << QByteArray() << notSent << true << false;
        QTest::newRow("452 at MAIL")
            << QByteArray("452 4.3.1 Storage") << QByteArray() << notSent << true << false;
        QTest::newRow("550 at MAIL")
            << QByteArray("550 5.7.1 Denied") << QByteArray() << notSent << false << false;
        QTest::newRow("553 at MAIL")
            << QByteArray("553 5.1.8 Bad sender") << QByteArray() << notSent << false << false;
        QTest::newRow("451 after the dot")
            << QByteArray("250 OK") << QByteArray("451 4.3.0 Later") << notSent << true << false;
        QTest::newRow("554 after the dot")
            << QByteArray("250 OK") << QByteArray("554 5.6.0 Spam") << notSent << false << false;
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
        const SendResult result = sendOne(sender, server.port());
        QTEST(int(result.delivery), "delivery");
        QTEST(result.passing, "passing");
        QTEST(result.unreachable, "unreachable");
    }

    void smtpNothingListening() {
        test::QuittingTransport transport;
        EmailSender sender(transport);
        const SendResult result = sendOne(sender, closedPort());
        QCOMPARE(result.delivery, Delivery::NotSent);
        QVERIFY(result.passing && result.unreachable);
    }
};

QTEST_GUILESS_MAIN(FailureClassTest)
#include "tst_failureclass.moc"
