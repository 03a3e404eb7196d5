#include <QFile>
#include <QSslCertificate>
#include <QSslKey>
#include <QTest>

#include "channels/SmsSender.h"
#include "core/Responsive.h"
#include "support/ScriptedGateway.h"

using namespace korvane;
using test::ScriptedGateway;

namespace {

// A failed bind not tried again for 150 ms.
SmppTimeouts shortTimeouts() {
    SmppTimeouts timeouts{2000, 1500};
    timeouts.firstBindRetryMs = 150;
    timeouts.longestBindRetryMs = 1000;
    return timeouts;
}

QString certs(const QString& name) {
    return QStringLiteral(KORVANE_TEST_CERTS "/") + name;
}

QSslConfiguration serverTls(const QString& certificate) {
    QSslConfiguration config = QSslConfiguration::defaultConfiguration();
    config.setLocalCertificateChain(QSslCertificate::fromPath(certs(certificate)));
    QFile key(certs(QStringLiteral("server.key")));
    key.open(QIODevice::ReadOnly);
    config.setPrivateKey(QSslKey(key.readAll(), QSsl::Ec));
    config.setPeerVerifyMode(QSslSocket::VerifyNone);
    return config;
}

SmsGateway tlsGatewayAt(const ScriptedGateway& gateway) {
    SmsGateway to{QStringLiteral("127.0.0.1"), gateway.port(), QStringLiteral("Korvane"),
                  QStringLiteral("S3cret-pw")};
    to.tls.on = true;
    to.tls.caFile = certs(QStringLiteral("ca.pem"));
    return to;
}

// What nothing sent in clear means on the wire: no bind, and neither the account nor its
// password in what the peer read.
void nothingInClear(const ScriptedGateway& gateway) {
    QCOMPARE(gateway.binds(), 0);
    QVERIFY(!gateway.received().contains("S3cret-pw"));
    QVERIFY(!gateway.received().contains("Korvane"));
}

}  // namespace

class SmppTlsTest : public QObject {
    Q_OBJECT

private Q_SLOTS:
    void certificates_data() {
        QTest::addColumn<QString>("certificate");
        QTest::addColumn<bool>("insecure");
        QTest::addColumn<QString>("line");  // "": sent
        const QString failed = QStringLiteral(
            "Error Occurred: 1007 --> The TLS handshake with Telvoro Server failed: ");
        QTest::newRow("verified") << "server.pem" << false << QString();
        QTest::newRow("another host's")
            << "wronghost.pem" << false
            << failed + QStringLiteral("the certificate's host name does not match 127.0.0.1.");
        QTest::newRow("unknown CA")
            << "unknown.pem" << false
            << failed + QStringLiteral("the certificate is not signed by a CA in ") +
                   certs(QStringLiteral("ca.pem")) + QLatin1Char('.');
        QTest::newRow("expired") << "expired.pem" << false
                                 << failed +
                                        QStringLiteral(
                                            "the certificate expired on 2020-01-02T00:00:00Z.");
        QTest::newRow("unknown CA, taken unverified") << "unknown.pem" << true << QString();
    }
    void certificates() {
        QFETCH(QString, certificate);
        QFETCH(bool, insecure);
        QFETCH(QString, line);
        ScriptedGateway gateway([](int) { return ScriptedGateway::Step::answer(); });
        gateway.useTls(serverTls(certificate));
        SmsGateway to = tlsGatewayAt(gateway);
        to.tls.insecure = insecure;
        SmsSender sender(shortTimeouts());
        const SendResult result = waitInPlace(
            sender.send(to, QStringLiteral("+447700900001"), QStringLiteral("over TLS")));
        if (line.isEmpty()) {
            QVERIFY2(result.delivery == Delivery::Sent, qPrintable(result.failure));
            QCOMPARE(gateway.submits().size(), size_t(1));
            QCOMPARE(gateway.submits()[0].text, QByteArray("over TLS"));
            QCOMPARE(result.note.contains(QStringLiteral("(CellTlsInsecure=1): the certificate "
                                                         "is not signed by a CA in ")),
                     insecure);
            return;
        }
        QCOMPARE(result.failure, line);
        QCOMPARE(int(result.delivery),
                 int(Delivery::Unreachable));  // a failed bind: tried again after its back-off
        nothingInClear(gateway);
        // Within the back-off the next message makes no connection of its own.
        const int connections = gateway.sessions();
        QVERIFY(waitInPlace(sender.send(to, QStringLiteral("+447700900002"), QStringLiteral("x")))
                    .passing());
        QCOMPARE(gateway.sessions(), connections);
    }

    // A gateway that does not speak TLS sees a handshake's first bytes and nothing else.
    void plainGatewaySeesOnlyAHandshake() {
        ScriptedGateway gateway([](int) { return ScriptedGateway::Step::answer(); });
        SmppTimeouts timeouts = shortTimeouts();
        timeouts.connectMs = 100;  // the handshake is never answered: given up on then
        SmsSender sender(timeouts);
        const SendResult result = waitInPlace(sender.send(
            tlsGatewayAt(gateway), QStringLiteral("+447700900001"), QStringLiteral("x")));
        QCOMPARE(int(result.delivery), int(Delivery::Unreachable));
        QVERIFY2(result.failure.startsWith(QStringLiteral("Error Occurred: 1007 --> The TLS "
                                                          "handshake with Telvoro Server failed")),
                 qPrintable(result.failure));
        QVERIFY(gateway.received().startsWith('\x16'));  // a TLS handshake record
        nothingInClear(gateway);
    }

    void gatewayOfferingOnlyTls10IsRefused() {
        ScriptedGateway gateway([](int) { return ScriptedGateway::Step::answer(); });
        QSslConfiguration old = serverTls(QStringLiteral("server.pem"));
        QT_WARNING_PUSH
        QT_WARNING_DISABLE_DEPRECATED
        old.setProtocol(QSsl::TlsV1_0);
        QT_WARNING_POP
        gateway.useTls(old);
        SmsSender sender(shortTimeouts());
        const SendResult result = waitInPlace(sender.send(
            tlsGatewayAt(gateway), QStringLiteral("+447700900001"), QStringLiteral("x")));
        QVERIFY2(result.failure.startsWith(QStringLiteral("Error Occurred: 1007 --> The TLS "
                                                          "handshake with Telvoro Server failed")),
                 qPrintable(result.failure));
        nothingInClear(gateway);
    }

    void clientCertificateWhereTheGatewayAsksForOne() {
        ScriptedGateway gateway([](int) { return ScriptedGateway::Step::answer(); });
        QSslConfiguration demanding = serverTls(QStringLiteral("server.pem"));
        demanding.setCaCertificates(QSslCertificate::fromPath(certs(QStringLiteral("ca.pem"))));
        demanding.setPeerVerifyMode(QSslSocket::VerifyPeer);
        gateway.useTls(demanding);
        SmsGateway to = tlsGatewayAt(gateway);
        {
            SmsSender sender(shortTimeouts());
            const SendResult refused =
                waitInPlace(sender.send(to, QStringLiteral("+447700900001"), QStringLiteral("x")));
            QCOMPARE(int(refused.delivery), int(Delivery::Unreachable));
            QCOMPARE(gateway.binds(), 0);
        }
        to.tls.certFile = certs(QStringLiteral("client.pem"));
        to.tls.keyFile = certs(QStringLiteral("client.key"));
        SmsSender sender(shortTimeouts());
        const SendResult sent =
            waitInPlace(sender.send(to, QStringLiteral("+447700900001"), QStringLiteral("x")));
        QVERIFY2(sent.delivery == Delivery::Sent, qPrintable(sent.failure));

        to.tls.keyFile = certs(QStringLiteral("missing.key"));
        SmsSender unreadable(shortTimeouts());
        QCOMPARE(
            waitInPlace(unreadable.send(to, QStringLiteral("+447700900001"), QStringLiteral("x")))
                .failure,
            QStringLiteral("Error Occurred: 1007 --> TLS with Telvoro Server cannot be set "
                           "up: no private key can be read from CellKeyFile (%1).")
                .arg(to.tls.keyFile));
    }
};

QTEST_GUILESS_MAIN(SmppTlsTest)
#include "tst_smpptls.moc"
