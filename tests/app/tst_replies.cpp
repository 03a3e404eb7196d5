#include <QTest>

#include "channels/SmsEncoding.h"
#include "support/CycleWait.h"
#include "support/GatewayRig.h"
#include "support/WaitFor.h"

using namespace korvane;
using test::ScriptedGateway;

namespace {

constexpr quint32 kOk = smpp::Status::Ok;
constexpr quint32 kLater = smpp::Status::TemporaryAppError;  // ESME_RX_T_APPN
constexpr quint32 kNever = smpp::Status::PermanentAppError;  // ESME_RX_P_APPN
constexpr quint8 kUdhi = 0x40;

// A message from a phone as gateways deliver it.
struct Mo {
    explicit Mo(QByteArray t = {}, quint8 coding = 0, quint8 esm = 0, QByteArray more = {})
        : text(std::move(t)), dataCoding(coding), esmClass(esm), tlvs(std::move(more)) {}
    QByteArray text;
    quint8 dataCoding = 0;
    quint8 esmClass = 0;
    QByteArray tlvs;
    QByteArray from = "447700900001";
    QByteArray schedule;  // the gateway's time stamp, where it gives one

    QByteArray body() const {
        smpp::PduWriter body;
        body.cString(QByteArray()).u8(1).u8(1).cString(from).u8(0).u8(0).cString("60123");
        body.u8(esmClass).u8(0).u8(0).cString(schedule).cString(QByteArray());
        body.u8(0).u8(0).u8(dataCoding).u8(0);
        body.u8(static_cast<quint8>(text.size())).bytes(text).bytes(tlvs);
        return body.finish(0, 0, 0).mid(smpp::kHeaderSize);
    }
};

QByteArray gsm(const QString& text) {
    QByteArray septets;
    smpp::toGsm7(text, septets);
    return septets;
}
// A part with an 8-bit (reference < 256) or 16-bit reference header.
Mo part(int reference, int total, int sequence, const QString& text, bool wide = false) {
    QByteArray header =
        wide ? QByteArray::fromHex("060804") + char(reference >> 8) : QByteArray::fromHex("050003");
    header += char(reference & 0xFF);
    header += char(total);
    header += char(sequence);
    return Mo{header + gsm(text), 0, kUdhi};
}
// A part named by the sar_* parameters.
Mo sarPart(int reference, int total, int sequence, const QString& text) {
    const QByteArray tlvs =
        ScriptedGateway::tlv(0x020C, QByteArray(1, char(reference >> 8)) + char(reference)) +
        ScriptedGateway::tlv(0x020E, QByteArray(1, char(total))) +
        ScriptedGateway::tlv(0x020F, QByteArray(1, char(sequence)));
    return Mo{gsm(text), 0, 0, tlvs};
}
QByteArray idTlv(const QByteArray& id) {
    return ScriptedGateway::tlv(0x001E, id + QByteArray(1, '\0'));
}

// A table with tblReceivedMessages beside it, processing started.
struct ReplyRig : test::GatewayRig {
    explicit ReplyRig(bool replies = true, bool receipts = false) {
        table.optional.replies = replies;
        table.optional.receipts = receipts;
        control.cmdStart_Click();
        test::untilCycleEnds(control);
    }
    // Delivers each and waits for that many answers; the answers, in order.
    std::vector<quint32> deliver(const std::vector<Mo>& messages) {
        std::vector<QByteArray> bodies;
        for (const Mo& mo : messages) {
            bodies.push_back(mo.body());
        }
        return deliverBodies(bodies);
    }
    std::vector<quint32> deliverBodies(const std::vector<QByteArray>& bodies) {
        const size_t before = gateway.deliverAnswers().size();
        for (const QByteArray& body : bodies) {
            gateway.deliver(body);
        }
        const size_t wanted = before + bodies.size();
        static_cast<void>(test::waitFor([&] { return gateway.deliverAnswers().size() >= wanted; }));
        return {gateway.deliverAnswers().begin() + qsizetype(before),
                gateway.deliverAnswers().end()};
    }
    quint32 deliverOne(const Mo& mo) {
        const std::vector<quint32> answers = deliver({mo});
        return answers.empty() ? 0xffffffffu : answers.front();
    }
    // Delivers parts that wait for others: none is answered yet.
    void deliverHeld(const std::vector<Mo>& messages, quint64 waiting) {
        for (const Mo& mo : messages) {
            gateway.deliver(mo.body());
        }
        static_cast<void>(
            test::waitFor([&] { return control.counters().replyPartsWaiting == waiting; }));
    }
    QStringList texts() const {
        QStringList all;
        for (const MessageStore::ReplyWrite& reply : table.received) {
            all << reply.text;
        }
        return all;
    }
};

std::vector<quint32> allOk(size_t count) {
    return std::vector<quint32>(count, kOk);
}

}  // namespace

Q_DECLARE_METATYPE(std::vector<Mo>)

class RepliesTest : public QObject {
    Q_OBJECT

private Q_SLOTS:
    // Each coding gateways use, decoded as the phone wrote it, and stored before the answer.
    void storesEachCoding_data() {
        QTest::addColumn<int>("dataCoding");
        QTest::addColumn<QByteArray>("text");
        QTest::addColumn<QByteArray>("payload");
        QTest::addColumn<QString>("stored");
        QTest::newRow("GSM 7-bit with the extension table")
            << 0 << QByteArray::fromHex("00411b651b3c1b3e1b2f2011") << QByteArray()
            << QStringLiteral("@A€[]\\ _");
        QTest::newRow("GSM, message class group")
            << 0xF1 << QByteArray("YES") << QByteArray() << QStringLiteral("YES");
        QTest::newRow("IA5") << 1 << QByteArray("STOP") << QByteArray() << QStringLiteral("STOP");
        QTest::newRow("Latin-1") << 3 << QByteArray("caf\xe9 \xbd") << QByteArray()
                                 << QStringLiteral("café ½");
        QTest::newRow("UCS-2 with a surrogate pair")
            << 8 << QByteArray::fromHex("0068006900200414d83dde00") << QByteArray()
            << QStringLiteral("hi Д😀");
        QTest::newRow("text in message_payload")
            << 0 << QByteArray() << QByteArray("see you at 9") << QStringLiteral("see you at 9");
    }
    void storesEachCoding() {
        QFETCH(int, dataCoding);
        QFETCH(QByteArray, text);
        QFETCH(QByteArray, payload);
        ReplyRig rig;
        Mo mo{text, quint8(dataCoding)};
        if (!payload.isEmpty()) {
            mo.tlvs = ScriptedGateway::tlv(0x0424, payload);
        }
        mo.schedule = "261208101530004+";  // 10:15:30 at UTC+1
        QCOMPARE(rig.deliverOne(mo), kOk);
        QCOMPARE(rig.table.received.size(), size_t(1));
        const MessageStore::ReplyWrite& row = rig.table.received.front();
        QTEST(row.text, "stored");
        QCOMPARE(row.from, QStringLiteral("+447700900001"));
        QCOMPARE(row.to, QStringLiteral("60123"));
        QCOMPARE(row.parts, 1);
        QCOMPARE(row.smscAt.toUTC(), QDateTime(QDate(2026, 12, 8), QTime(9, 15, 30), Qt::UTC));
        QVERIFY(rig.lines().contains(
            QStringLiteral("Message received from Mobile No.: +447700900001 (RecId 1 of "
                           "tblReceivedMessages).")));
    }

    // A long message is stored once, whole and in order, whatever order its parts come in;
    // each part is answered only then.
    void putsPartsTogether_data() {
        QTest::addColumn<std::vector<Mo>>("parts");
        QTest::addColumn<QStringList>("stored");
        QTest::addColumn<int>("held");  // parts still waiting for the others
        const QString one = QStringLiteral("Part one, ");
        const QString two = QStringLiteral("part two, ");
        const QString three = QStringLiteral("part three.");
        const QString whole = one + two + three;
        Mo otherSender = part(5, 2, 1, QStringLiteral("a"));
        otherSender.from = "447700900002";
        QTest::newRow("in order, 8-bit reference")
            << std::vector<Mo>{part(7, 3, 1, one), part(7, 3, 2, two), part(7, 3, 3, three)}
            << QStringList{whole} << 0;
        QTest::newRow("reversed, 16-bit reference")
            << std::vector<Mo>{part(700, 3, 3, three, true), part(700, 3, 2, two, true),
                               part(700, 3, 1, one, true)}
            << QStringList{whole} << 0;
        QTest::newRow("sar_* parameters, shuffled")
            << std::vector<Mo>{sarPart(9, 3, 2, two), sarPart(9, 3, 3, three),
                               sarPart(9, 3, 1, one)}
            << QStringList{whole} << 0;
        QTest::newRow("interleaved with another message")
            << std::vector<Mo>{part(1, 2, 2, QStringLiteral("B")),
                               part(2, 2, 1, QStringLiteral("x")),
                               part(1, 2, 1, QStringLiteral("A")),
                               part(2, 2, 2, QStringLiteral("y"))}
            << QStringList{QStringLiteral("AB"), QStringLiteral("xy")} << 0;
        QTest::newRow("same reference, another sender")
            << std::vector<Mo>{part(5, 2, 1, QStringLiteral("A")), otherSender,
                               part(5, 2, 2, QStringLiteral("B"))}
            << QStringList{QStringLiteral("AB")} << 1;
    }
    void putsPartsTogether() {
        QFETCH(std::vector<Mo>, parts);
        QFETCH(QStringList, stored);
        QFETCH(int, held);
        ReplyRig rig;
        const size_t before = rig.gateway.deliverAnswers().size();
        for (const Mo& mo : parts) {
            rig.gateway.deliver(mo.body());
        }
        const size_t answered = before + parts.size() - size_t(held);
        QVERIFY(test::waitFor([&] { return rig.gateway.deliverAnswers().size() >= answered; }));
        QCOMPARE(rig.texts(), stored);
        QCOMPARE(rig.gateway.deliverAnswers().size(), answered);
        for (size_t i = before; i < answered; ++i) {
            QCOMPARE(rig.gateway.deliverAnswers()[i], kOk);
        }
        QCOMPARE(rig.control.counters().replyPartsWaiting, quint64(held));
        QCOMPARE(rig.table.received.front().parts,
                 int(parts.size() - size_t(held)) / int(stored.size()));
    }

    // Parts that do not all come within ten minutes are stored as they are, each missing part
    // marked, and answered then; nothing is answered before.
    void storesWhatCameAfterTenMinutes() {
        ReplyRig rig;
        rig.deliverHeld(
            {part(3, 3, 1, QStringLiteral("first ")), part(3, 3, 3, QStringLiteral(" last"))}, 2);
        const size_t before = rig.gateway.deliverAnswers().size();
        rig.clock.set(rig.clock.now().addSecs(9 * 60));
        rig.control.Timer1_Timer();
        test::untilCycleEnds(rig.control);
        QCOMPARE(rig.table.received.size(), size_t(0));
        rig.clock.set(rig.clock.now().addSecs(60));
        rig.control.Timer1_Timer();
        test::untilCycleEnds(rig.control);
        QVERIFY(test::waitFor([&] { return rig.gateway.deliverAnswers().size() == before + 2; }));
        QCOMPARE(rig.texts(), QStringList{QStringLiteral("first [part 2 of 3 missing] last")});
        QCOMPARE(rig.table.received.front().parts, 2);
        QVERIFY(rig.lines().contains(QStringLiteral(
            "The message from Mobile No.: +447700900001 is stored without 1 of its 3 parts: "
            "they did not come within 10 minutes.")));
        QCOMPARE(rig.control.counters().replyPartsWaiting, quint64(0));
    }

    // A write that fails is answered ESME_RX_T_APPN: the gateway offers it again, and then it
    // is stored. Parts, too, are all offered again.
    void failedWriteIsOfferedAgain() {
        ReplyRig rig;
        rig.table.failReplyWrites = 1;
        QCOMPARE(rig.deliverOne(Mo{"YES"}), kLater);
        QCOMPARE(rig.table.received.size(), size_t(0));
        QCOMPARE(rig.deliverOne(Mo{"YES"}), kOk);
        QCOMPARE(rig.texts(), QStringList{QStringLiteral("YES")});

        rig.table.failReplyWrites = 1;
        const std::vector<Mo> parts{part(4, 2, 1, QStringLiteral("A")),
                                    part(4, 2, 2, QStringLiteral("B"))};
        QCOMPARE(rig.deliver(parts), (std::vector<quint32>{kLater, kLater}));
        QCOMPARE(rig.deliver(parts), allOk(2));
        QCOMPARE(rig.texts(), (QStringList{QStringLiteral("YES"), QStringLiteral("AB")}));
    }

    // Offered again after it was stored (the answer lost): stored once, by the gateway's id
    // where it names one, else by what it says; a part of a long message stored is answered at
    // once.
    void offeredAgainIsStoredOnce_data() {
        QTest::addColumn<std::vector<Mo>>("message");
        QTest::addColumn<QByteArray>("smscId");
        Mo named{"OK"};
        named.tlvs = idTlv("mo-41");
        QTest::newRow("the gateway's id") << std::vector<Mo>{named} << QByteArray("mo-41");
        QTest::newRow("no id") << std::vector<Mo>{Mo{"OK"}} << QByteArray();
        QTest::newRow("three parts") << std::vector<Mo>{part(8, 3, 1, QStringLiteral("a")),
                                                        part(8, 3, 2, QStringLiteral("b")),
                                                        part(8, 3, 3, QStringLiteral("c"))}
                                     << QByteArray();
    }
    void offeredAgainIsStoredOnce() {
        QFETCH(std::vector<Mo>, message);
        QFETCH(QByteArray, smscId);
        ReplyRig rig;
        QCOMPARE(rig.deliver(message), allOk(message.size()));
        QCOMPARE(rig.deliver(message), allOk(message.size()));
        QCOMPARE(rig.deliverOne(message.back()), kOk);
        QCOMPARE(rig.table.received.size(), size_t(1));
        QCOMPARE(rig.table.received.front().gatewayId, QString::fromLatin1(smscId));
        QCOMPARE(rig.control.counters().repliesStored, quint64(1));
    }

    // On one transceiver session, receipts go to tblMessages and replies to their own table.
    void repliesAndReceiptsShareTheSession() {
        ReplyRig rig(true, true);
        rig.gateway.setMessageIds([](int) { return QByteArray("c0ffee"); });
        const int id = rig.cycleWith(1).front();
        QCOMPARE(rig.deliverBodies(
                     {Mo{"thanks"}.body(), ScriptedGateway::receiptText("c0ffee", "DELIVRD")}),
                 allOk(2));
        QCOMPARE(rig.table.deliveryStatus[id], QStringLiteral("DELIVRD"));
        QCOMPARE(rig.texts(), QStringList{QStringLiteral("thanks")});
        QCOMPARE(rig.gateway.transceiverBinds(), 1);
    }

    // Without tblReceivedMessages nothing changes: a reply is refused as before, and the
    // session binds as a transmitter when there are no receipt columns either.
    void withoutTheTableRepliesAreRefused() {
        ReplyRig receiptsOnly(false, true);
        receiptsOnly.cycleWith(1);
        QCOMPARE(receiptsOnly.deliverOne(Mo{"STOP"}), kNever);
        QVERIFY(receiptsOnly.lines().contains(QStringLiteral(
            "Telvoro Server delivered a message from 447700900001 that Korvane does not handle; "
            "answered ESME_RX_P_APPN (0x65).")));
        QCOMPARE(receiptsOnly.table.received.size(), size_t(0));
        ReplyRig neither(false);
        neither.cycleWith(1);
        QCOMPARE(neither.gateway.transceiverBinds(), 0);
        ReplyRig repliesOnly;
        repliesOnly.cycleWith(1);
        QCOMPARE(repliesOnly.gateway.transceiverBinds(), 1);
        QCOMPARE(repliesOnly.gateway.submits().back().registeredDelivery, 0);
    }
};

QTEST_GUILESS_MAIN(RepliesTest)
#include "tst_replies.moc"
