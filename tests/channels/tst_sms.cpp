#include <QProcess>
#include <QRandomGenerator>
#include <QTcpServer>
#include <QtTest>

#include "channels/SmppPdu.h"
#include "channels/SmppTelvoroClient.h"
#include "channels/SmsEncoding.h"
#include "channels/SmsSender.h"
#include "core/ActivityLog.h"
#include "core/KorvaneError.h"
#include "support/FakeClock.h"
#include "support/ReceivedMessages.h"
#include "support/RecordingLogView.h"
#include "support/TempProfile.h"
#include "support/TestEnvironment.h"

using namespace korvane;
using test::ReceivedMessages;

namespace {

// Records which operations ran, answering each with a scripted result.
class ScriptedClient : public TelvoroClient {
public:
    explicit ScriptedClient(QStringList& calls, QString refuse = {})
        : calls_(calls), refuse_(std::move(refuse)) {}
    ~ScriptedClient() override { calls_ << QStringLiteral("released"); }
    bool Connect(const QString& s, qint32 p) override {
        return step(QStringLiteral("Connect %1 %2").arg(s).arg(p));
    }
    bool Login(const QString& u, const QString& p) override {
        return step(QStringLiteral("Login %1 %2").arg(u, p));
    }
    bool SetSender(const QString& n) override {
        return step(QStringLiteral("SetSender %1").arg(n));
    }
    bool SetMobileNumber(const QString& n) override {
        return step(QStringLiteral("SetMobileNumber %1").arg(n));
    }
    bool SetMessage(const QString& t) override {
        return step(QStringLiteral("SetMessage %1").arg(t));
    }
    bool Send() override { return step(QStringLiteral("Send")); }

private:
    bool step(const QString& call) {
        calls_ << call;
        if (refuse_ == QStringLiteral("throw") && call == QStringLiteral("Send")) {
            throw KorvaneError(1002, QStringLiteral("gone"));
        }
        return !call.startsWith(refuse_) || refuse_.isEmpty();
    }
    QStringList& calls_;
    QString refuse_;
};

// A gateway that answers anything with fixed bytes, run as its own process so that the
// blocking client can talk to it.
class HostileGateway {
public:
    explicit HostileGateway(const QByteArray& reply) {
        const QString script = QStringLiteral(
            "import socket,sys,time\n"
            "s=socket.socket(); s.bind(('127.0.0.1',0)); s.listen(1)\n"
            "print(s.getsockname()[1], flush=True)\n"
            "c,_=s.accept(); c.recv(4096); c.sendall(bytes.fromhex(sys.argv[1])); time.sleep(3)\n");
        process_.start(QStringLiteral("/usr/bin/python3"),
                       {QStringLiteral("-c"), script, QString::fromLatin1(reply.toHex())});
        process_.waitForReadyRead(5000);
        port = process_.readLine().trimmed().toInt();
    }
    ~HostileGateway() {
        process_.kill();
        process_.waitForFinished();
    }
    int port = 0;

private:
    QProcess process_;
};

QByteArray header(quint32 length, quint32 command, quint32 status, quint32 sequence) {
    return smpp::PduWriter().finish(command, status, sequence).left(0) +
           QByteArray::fromHex(QStringLiteral("%1%2%3%4")
                                   .arg(length, 8, 16, QLatin1Char('0'))
                                   .arg(command, 8, 16, QLatin1Char('0'))
                                   .arg(status, 8, 16, QLatin1Char('0'))
                                   .arg(sequence, 8, 16, QLatin1Char('0'))
                                   .toLatin1());
}

}  // namespace

class SmsTest : public QObject {
    Q_OBJECT

    test::TempProfile profile_;
    test::FakeClock clock_;
    test::RecordingLogView view_;
    ActivityLog log_{profile_.logsDir(), clock_, &view_};
    QString port_;
    QString store_;

    QStringList newLogLines() {
        QStringList lines;
        for (const QString& entry : view_.pane.split(QStringLiteral("\r\n"), Qt::SkipEmptyParts)) {
            lines << entry;
        }
        view_.pane.clear();
        return lines;
    }

    bool send(const QString& user, const QString& number, const QString& text, bool show = false,
              const QString& password = QStringLiteral("quill"), int responseMs = 30000) {
        SmppTimeouts timeouts;
        timeouts.responseMs = responseMs;
        SmsSender sender(log_, SmppTelvoroClient::factory(timeouts));
        return Delivery::Sent == sender.SendSMS(QStringLiteral("127.0.0.1"), port_, user, password,
                                                number, text, show);
    }

private Q_SLOTS:
    void initTestCase() {
        KORVANE_REQUIRE_ENV("KORVANE_TEST_SMPP_PORT");
        port_ = test::TestEnvironment::value("KORVANE_TEST_SMPP_PORT");
        store_ = test::TestEnvironment::value("KORVANE_TEST_SMPP_STORE");
    }
    void init() {
        view_.pane.clear();
        view_.messages.clear();
    }

    void encodingChoosesAlphabetAndSplits() {
        QByteArray septets;
        QVERIFY(smpp::toGsm7(QStringLiteral("Hello @£ {€}"), septets));
        QCOMPARE(septets.size(), 15);  // three extension characters count twice
        QVERIFY(!smpp::toGsm7(QStringLiteral("Привет"), septets));

        auto sizes = [](const smpp::EncodedSms& sms) {
            QList<int> result;
            for (const QByteArray& part : sms.parts) result << part.size();
            return result;
        };
        QCOMPARE(sizes(smpp::encodeSms(QString(160, QLatin1Char('a')), 1)), QList<int>{160});
        QCOMPARE(sizes(smpp::encodeSms(QString(161, QLatin1Char('a')), 1)),
                 (QList<int>{6 + 153, 6 + 8}));
        // 80 euro signs are 160 septets: one part. 81 need two, and no ESC ends a part.
        QCOMPARE(sizes(smpp::encodeSms(QString(80, QChar(0x20AC)), 1)), QList<int>{160});
        const smpp::EncodedSms euros = smpp::encodeSms(QString(81, QChar(0x20AC)), 1);
        QCOMPARE(sizes(euros), (QList<int>{6 + 152, 6 + 10}));
        QCOMPARE(smpp::encodeSms(QString(70, QChar(0x0416)), 1).dataCoding, quint8(8));
        QCOMPARE(sizes(smpp::encodeSms(QString(70, QChar(0x0416)), 1)), QList<int>{140});
        QCOMPARE(sizes(smpp::encodeSms(QString(71, QChar(0x0416)), 1)),
                 (QList<int>{6 + 134, 6 + 8}));
        // A surrogate pair straddling the 67th unit moves whole into the next part.
        const QString emoji =
            QString(66, QLatin1Char('x')) + QString::fromUtf8("😀") + QStringLiteral("yyy");
        QCOMPARE(sizes(smpp::encodeSms(emoji, 1)), (QList<int>{6 + 132, 6 + 10}));
        const smpp::EncodedSms two = smpp::encodeSms(QString(200, QLatin1Char('b')), 77);
        QCOMPARE(two.parts[1].left(6), QByteArray::fromHex("0500034d0202"));
        QVERIFY(smpp::encodeSms(QString(255 * 153 + 1, QLatin1Char('c')), 1).parts.empty());
    }

    void pduReaderNeverTrustsThePeer() {
        QByteArray buffer = header(16, smpp::Command::EnquireLink, 0, 9);
        smpp::Pdu pdu;
        QCOMPARE(smpp::PduReader::take(buffer, pdu), smpp::PduReader::Result::Complete);
        QCOMPARE(pdu.sequence, 9u);
        QVERIFY(buffer.isEmpty());
        QByteArray shortLength = header(8, 1, 0, 1);
        QCOMPARE(smpp::PduReader::take(shortLength, pdu), smpp::PduReader::Result::Invalid);
        QByteArray huge = header(0xFFFFFFFF, 1, 0, 1);
        QCOMPARE(smpp::PduReader::take(huge, pdu), smpp::PduReader::Result::Invalid);
        QByteArray truncated = header(40, smpp::Command::SubmitSmResp, 0, 1) + "abc";
        QCOMPARE(smpp::PduReader::take(truncated, pdu), smpp::PduReader::Result::NeedMore);
        int offset = 0;
        QByteArray field;
        QVERIFY(!smpp::readCString(QByteArray("no terminator"), offset, 65, field));
        offset = 0;
        QVERIFY(!smpp::readCString(QByteArray("toolong\0", 8), offset, 4, field));

        // A short run of random streams: the reader ends every one without a crash.
        QRandomGenerator random(1234);
        for (int round = 0; round < 20000; ++round) {
            QByteArray stream(static_cast<int>(random.bounded(64)), Qt::Uninitialized);
            for (char& c : stream) c = static_cast<char>(random.bounded(256));
            if (round % 2 == 0 && stream.size() >= 4)
                stream[0] = stream[1] = 0;
            smpp::PduReader::Result result;
            while ((result = smpp::PduReader::take(stream, pdu)) ==
                   smpp::PduReader::Result::Complete) {
                int at = 0;
                QByteArray out;
                smpp::readCString(pdu.body, at, 65, out);
            }
        }
    }

    void sendSmsDrivesTheClientInOrder() {
        QStringList calls;
        SmsSender sender(log_, [&] { return std::make_unique<ScriptedClient>(calls); });
        QVERIFY(Delivery::Sent == sender.SendSMS(QStringLiteral("gw"), QStringLiteral(" 7070 "),
                                                 QStringLiteral("guest"), QStringLiteral("pw"),
                                                 QStringLiteral(" 123 "), QStringLiteral("hi"),
                                                 false));
        QCOMPARE(
            calls,
            (QStringList{QStringLiteral("Connect gw 7070"), QStringLiteral("Login guest pw"),
                         QStringLiteral("SetSender guest"), QStringLiteral("SetMobileNumber  123 "),
                         QStringLiteral("SetMessage hi"), QStringLiteral("Send"),
                         QStringLiteral("released")}));
        QVERIFY(view_.pane.isEmpty());

        const QList<QPair<QString, QString>> refusals = {
            {QStringLiteral("Connect"), QString::fromLatin1(SmsSender::kConnectFailed)},
            {QStringLiteral("Login"), QString::fromLatin1(SmsSender::kLoginFailed)},
            {QStringLiteral("SetSender"), QString::fromLatin1(SmsSender::kSenderRefused)},
            {QStringLiteral("SetMobileNumber"), QString::fromLatin1(SmsSender::kNumberRefused)},
            {QStringLiteral("SetMessage"), QString::fromLatin1(SmsSender::kMessageRefused)},
            {QStringLiteral("Send"), QString::fromLatin1(SmsSender::kSendRefused)},
            {QStringLiteral("throw"), QStringLiteral("Error Occurred: 1002 --> gone")}};
        for (const auto& [refuse, message] : refusals) {
            calls.clear();
            SmsSender failing(
                log_, [&, r = refuse] { return std::make_unique<ScriptedClient>(calls, r); });
            QVERIFY(Delivery::Sent != failing.SendSMS(QStringLiteral("gw"), QStringLiteral("1"),
                                                      QString(), QString(), QString(), QString(),
                                                      true));
            QCOMPARE(newLogLines(), QStringList{message});
            QCOMPARE(view_.messages.size(), 1);
            view_.messages.clear();
            QCOMPARE(calls.last(), QStringLiteral("released"));
            if (refuse != QStringLiteral("throw"))
                QVERIFY(calls[calls.size() - 2].startsWith(refuse));
        }

        // A port that is no number fails before Connect.
        calls.clear();
        QVERIFY(Delivery::Sent != sender.SendSMS(QStringLiteral("gw"), QStringLiteral("70x"),
                                                 QString(), QString(), QString(), QString(),
                                                 false));
        QCOMPARE(newLogLines(),
                 QStringList{QStringLiteral("Error Occurred: 13 --> Type mismatch")});
        QCOMPARE(calls, QStringList{QStringLiteral("released")});
        QVERIFY(Delivery::Sent != sender.SendSMS(QStringLiteral("gw"),
                                                 QStringLiteral("99999999999"), QString(),
                                                 QString(), QString(), QString(), false));
        QCOMPARE(newLogLines(), QStringList{QStringLiteral("Error Occurred: 6 --> Overflow")});
        QVERIFY(view_.messages.isEmpty());
    }

    void gatewayReceivesWhatWasSent() {
        const qint64 mark = ReceivedMessages::smsMark(store_);
        QVERIFY(send(QStringLiteral("guest"), QStringLiteral("+447700900123"),
                     QStringLiteral("Hello {world} €5")));
        QVERIFY(send(QStringLiteral("guest"), QStringLiteral(" 07700900123 "),
                     QStringLiteral("Привет, мир")));
        const QString longText = QString(170, QLatin1Char('L'));
        QVERIFY(send(QStringLiteral("12345"), QStringLiteral("447700900124"), longText));
        QVERIFY(newLogLines().isEmpty());

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

    void gatewayRefusalsBecomeTheirMessages() {
        const qint64 mark = ReceivedMessages::smsMark(store_);
        QVERIFY(!send(QStringLiteral("refuse"), QStringLiteral("1"), QStringLiteral("x"), true));
        QVERIFY(!send(QStringLiteral("guest"), QStringLiteral("1"), QStringLiteral("x"), false,
                      QStringLiteral("wrong")));
        QVERIFY(!send(QStringLiteral("not a sender!"), QStringLiteral("1"), QStringLiteral("x")));
        QVERIFY(!send(QStringLiteral("guest"), QStringLiteral("12a"), QStringLiteral("x")));
        QVERIFY(!send(QStringLiteral("guest"), QStringLiteral("   "), QStringLiteral("x")));
        QVERIFY(!send(QStringLiteral("guest"), QStringLiteral("1"), QString()));
        QVERIFY(!send(QStringLiteral("guest"), QStringLiteral("+1999"), QStringLiteral("refused")));
        QVERIFY(send(QStringLiteral("chatty"), QStringLiteral("1"),
                     QStringLiteral("enquire links answered")));
        QCOMPARE(newLogLines(), (QStringList{QString::fromLatin1(SmsSender::kLoginFailed),
                                             QString::fromLatin1(SmsSender::kLoginFailed),
                                             QString::fromLatin1(SmsSender::kSenderRefused),
                                             QString::fromLatin1(SmsSender::kNumberRefused),
                                             QString::fromLatin1(SmsSender::kNumberRefused),
                                             QString::fromLatin1(SmsSender::kMessageRefused),
                                             QString::fromLatin1(SmsSender::kSendRefused)}));
        QCOMPARE(view_.messages.size(), 1);
        QCOMPARE(ReceivedMessages::sms(store_, mark).size(), 1);
    }

    void brokenGatewaysNeverHang() {
        // Nothing listens: the connect message.
        QTcpServer probe;
        QVERIFY(probe.listen(QHostAddress::LocalHost));
        const QString closedPort = QString::number(probe.serverPort());
        probe.close();
        SmsSender sender(log_, SmppTelvoroClient::factory());
        QVERIFY(Delivery::Sent != sender.SendSMS(QStringLiteral("127.0.0.1"), closedPort,
                                                 QStringLiteral("guest"), QString(),
                                                 QStringLiteral("1"), QStringLiteral("x"), false));
        QCOMPARE(newLogLines(), QStringList{QString::fromLatin1(SmsSender::kConnectFailed)});

        // The server hangs up in the middle of the bind.
        QVERIFY(!send(QStringLiteral("drop"), QStringLiteral("1"), QStringLiteral("x")));
        QCOMPARE(newLogLines(),
                 QStringList{QStringLiteral(
                     "Error Occurred: 1002 --> Telvoro Server closed the connection.")});

        // The server never answers the bind.
        QVERIFY(!send(QStringLiteral("mute"), QStringLiteral("1"), QStringLiteral("x"), false,
                      QStringLiteral("quill"), 300));
        QCOMPARE(
            newLogLines(),
            QStringList{QStringLiteral(
                "Error Occurred: 1001 --> Telvoro Server did not answer within 0.3 seconds.")});

        // Garbage, a length that lies, and a generic_nack.
        const QList<QPair<QByteArray, QString>> replies = {
            {QByteArray::fromHex("ffffffff00000000"),
             QStringLiteral("Error Occurred: 1003 --> Telvoro Server sent a malformed reply.")},
            {header(64, smpp::Command::BindTransmitterResp, 0, 1) + "short",
             QStringLiteral("Error Occurred: 1002 --> Telvoro Server closed the connection.")},
            {header(16, smpp::Command::GenericNack, 3, 1),
             QStringLiteral("Error Occurred: 1003 --> Telvoro Server refused the request "
                            "(generic_nack, ESME_RINVCMDID).")},
        };
        for (const auto& [reply, line] : replies) {
            HostileGateway gateway(reply);
            SmppTimeouts timeouts;
            timeouts.responseMs = 5000;
            SmsSender hostile(log_, SmppTelvoroClient::factory(timeouts));
            QVERIFY(Delivery::Sent !=
                    hostile.SendSMS(QStringLiteral("127.0.0.1"), QString::number(gateway.port),
                                    QStringLiteral("guest"), QString(), QStringLiteral("1"),
                                    QStringLiteral("x"), false));
            QCOMPARE(newLogLines(), QStringList{line});
        }
    }
};

QTEST_GUILESS_MAIN(SmsTest)
#include "tst_sms.moc"
