#include <QJsonArray>
#include <QTest>

#include "channels/SmsEncoding.h"
#include "channels/SmsSender.h"
#include "core/Responsive.h"
#include "support/ReceivedMessages.h"
#include "support/TestEnvironment.h"

using namespace korvane;
using test::ReceivedMessages;

class SmsTest : public QObject {
    Q_OBJECT

    QString port_;
    QString store_;

    SendResult send(const QString& user, const QString& number, const QString& text,
                    const QString& password = QStringLiteral("quill"), int responseMs = 30000) {
        SmppTimeouts timeouts;
        timeouts.responseMs = responseMs;
        SmsSender sender(timeouts);
        return waitInPlace(sender.send(
            SmsGateway{QStringLiteral("127.0.0.1"), port_, user, password}, number, text));
    }

private Q_SLOTS:
    void initTestCase() {
        KORVANE_REQUIRE_ENV("KORVANE_TEST_SMPP_PORT");
        port_ = test::TestEnvironment::value("KORVANE_TEST_SMPP_PORT");
        store_ = test::TestEnvironment::value("KORVANE_TEST_SMPP_STORE");
    }

    void gatewayReceivesWhatWasSent() {
        const qint64 mark = ReceivedMessages::smsMark(store_);
        auto sent = [](const SendResult& r) { return r.delivery == Delivery::Sent; };
        QVERIFY(sent(send(QStringLiteral("guest"), QStringLiteral("+447700900123"),
                          QStringLiteral("Hello {world} €5"))));
        QVERIFY(sent(send(QStringLiteral("guest"), QStringLiteral(" 07700900123 "),
                          QStringLiteral("Привет, мир"))));
        const QString longText = QString(170, QLatin1Char('L'));
        QVERIFY(sent(send(QStringLiteral("12345"), QStringLiteral("447700900124"), longText)));

        const QList<QJsonObject> got = ReceivedMessages::sms(store_, mark);
        QCOMPARE(got.size(), 4);
        QCOMPARE(got[0][QStringLiteral("message")].toString(), QStringLiteral("Hello {world} €5"));
        QCOMPARE(got[0][QStringLiteral("data_coding")].toInt(), 0);
        QCOMPARE(got[0][QStringLiteral("source_addr")].toString(), QStringLiteral("guest"));
        QCOMPARE(got[0][QStringLiteral("source_addr_ton")].toInt(), 5);
        QCOMPARE(got[0][QStringLiteral("destination_addr")].toString(),
                 QStringLiteral("447700900123"));
        QCOMPARE(got[0][QStringLiteral("dest_addr_ton")].toInt(), 1);
        QCOMPARE(got[1][QStringLiteral("message")].toString(), QStringLiteral("Привет, мир"));
        QCOMPARE(got[1][QStringLiteral("data_coding")].toInt(), 8);
        QCOMPARE(got[1][QStringLiteral("destination_addr")].toString(),
                 QStringLiteral("07700900123"));
        QCOMPARE(got[2][QStringLiteral("source_addr")].toString(), QStringLiteral("12345"));
        QCOMPARE(got[2][QStringLiteral("esm_class")].toInt() & 0x40, 0x40);
        QCOMPARE(got[2][QStringLiteral("message")].toString() +
                     got[3][QStringLiteral("message")].toString(),
                 longText);
        QCOMPARE(got[3][QStringLiteral("udh")].toArray().at(4).toInt(), 2);
    }

    // The npm server speaking TLS only, with the run's certificate for 127.0.0.1: the texts
    // byte-exact with the run's CA, refused and kept from the server without it.
    void gatewayOverTls() {
        KORVANE_REQUIRE_ENV("KORVANE_TEST_SMPP_TLS_PORT");
        const QString store = test::TestEnvironment::value("KORVANE_TEST_SMPP_TLS_STORE");
        const qint64 mark = ReceivedMessages::smsMark(store);
        SmsGateway gateway{QStringLiteral("127.0.0.1"),
                           test::TestEnvironment::value("KORVANE_TEST_SMPP_TLS_PORT"),
                           QStringLiteral("guest"), QStringLiteral("quill")};
        gateway.tls.on = true;
        gateway.tls.caFile = test::TestEnvironment::value("KORVANE_TEST_CA");
        SmsSender sender;
        std::vector<int> tickets;
        for (int n = 0; n < 20; ++n) {
            tickets.push_back(waitInPlace(sender.submit(
                gateway, QStringLiteral("+4477009001%1").arg(n, 2, 10, QLatin1Char('0')),
                QStringLiteral("TLS №%1").arg(n))));
        }
        for (int ticket : tickets) {
            const SendResult result = waitInPlace(sender.outcome(ticket));
            QVERIFY2(result.delivery == Delivery::Sent, qPrintable(result.failure));
        }
        waitInPlace(sender.endSession());
        const QList<QJsonObject> got = ReceivedMessages::sms(store, mark);
        QCOMPARE(got.size(), 20);
        QCOMPARE(got[7][QStringLiteral("message")].toString(), QStringLiteral("TLS №7"));

        SmsGateway untrusted = gateway;
        untrusted.tls.caFile.clear();  // the system's store does not know the run's CA
        const SendResult refused = waitInPlace(
            SmsSender().send(untrusted, QStringLiteral("+447700900123"), QStringLiteral("x")));
        QCOMPARE(refused.failure,
                 QStringLiteral("Error Occurred: 1007 --> The TLS handshake with Telvoro Server "
                                "failed: the certificate is not signed by a CA this system "
                                "trusts."));
        SmsGateway plain = gateway;
        plain.tls.on = false;
        SmsSender unsafe(SmppTimeouts{2000, 2000});
        QVERIFY(
            waitInPlace(unsafe.send(plain, QStringLiteral("+447700900123"), QStringLiteral("x")))
                .notSent());
        QCOMPARE(ReceivedMessages::sms(store, mark).size(), 20);
    }

    // What the npm gateway refuses, as its messages; an enquire_link from it before each
    // answer is answered and the message goes out.
    void gatewayRefusalsBecomeTheirMessages() {
        const qint64 mark = ReceivedMessages::smsMark(store_);
        QCOMPARE(send(QStringLiteral("guest"), QStringLiteral("1"), QStringLiteral("x"),
                      QStringLiteral("wrong"))
                     .failure,
                 QString::fromLatin1(SmsSender::kLoginFailed));
        QCOMPARE(send(QStringLiteral("guest"), QStringLiteral("+1999"), QStringLiteral("refused"))
                     .failure,
                 QString::fromLatin1(SmsSender::kSendRefused));
        QCOMPARE(send(QStringLiteral("chatty"), QStringLiteral("1"),
                      QStringLiteral("enquire links answered"))
                     .delivery,
                 Delivery::Sent);
        QCOMPARE(ReceivedMessages::sms(store_, mark).size(), 1);
    }
};

QTEST_GUILESS_MAIN(SmsTest)
#include "tst_sms.moc"
