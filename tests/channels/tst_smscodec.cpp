#include <QRandomGenerator>
#include <QTest>

#include "channels/SmppPdu.h"
#include "channels/SmsEncoding.h"
#include "support/SmppBytes.h"

using namespace korvane;
using test::header;

// The GSM 03.38 and UCS-2 encoding, the splitting of long texts and the PDU reader: no
// gateway needed.
class SmsCodecTest : public QObject {
    Q_OBJECT

private Q_SLOTS:
    void encodingChoosesAlphabetAndSplits() {
        QByteArray septets;
        QVERIFY(smpp::toGsm7(QStringLiteral("Hello @£ {€}"), septets));
        QCOMPARE(septets.size(), 15);  // three extension characters count twice
        QVERIFY(!smpp::toGsm7(QStringLiteral("Привет"), septets));

        auto sizes = [](const smpp::EncodedSms& sms) {
            QList<int> result;
            for (const QByteArray& part : sms.parts) result << static_cast<int>(part.size());
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
};

QTEST_GUILESS_MAIN(SmsCodecTest)
#include "tst_smscodec.moc"
