#include <QTest>

#include "channels/DeliverSm.h"
#include "dispatch/SentIds.h"
#include "support/CycleWait.h"
#include "support/GatewayRig.h"
#include "support/WaitFor.h"

using namespace korvane;
using test::ScriptedGateway;

namespace {

constexpr quint32 kOk = smpp::Status::Ok;
constexpr quint32 kLater = smpp::Status::TemporaryAppError;  // ESME_RX_T_APPN
constexpr quint32 kNever = smpp::Status::PermanentAppError;  // ESME_RX_P_APPN
const QString kSent = QStringLiteral("Message Is Sent Via SMS.");

// A table with the receipt columns, processing started (which binds as a transceiver).
struct ReceiptRig : test::GatewayRig {
    explicit ReceiptRig(int answerMs = 5000, bool columns = true) : GatewayRig(40, answerMs) {
        table.optional.receipts = columns;
        control.cmdStart_Click();
        test::untilCycleEnds(control);
    }
    // Sends one row whose parts the gateway answers with these ids.
    int sendOne(const QList<QByteArray>& ids, const QString& text = QStringLiteral("hi")) {
        const auto first = int(gateway.submits().size());
        gateway.setMessageIds([ids, first](int n) { return ids.value(n - first, "x"); });
        return cycleWith(1, text).front();
    }
    // Delivers a deliver_sm and waits for its answer.
    quint32 deliver(const QByteArray& body) {
        const size_t before = gateway.deliverAnswers().size();
        gateway.deliver(body);
        if (!test::waitFor([&] { return gateway.deliverAnswers().size() > before; })) {
            return 0xffffffffu;
        }
        return gateway.deliverAnswers().back();
    }
    QString state(int id) { return table.deliveryStatus[id]; }
};

// "a|b|c" as a list.
QStringList list(const char* items) {
    return QString::fromLatin1(items).split(QLatin1Char('|'));
}

QByteArray messageState(quint8 state) {
    return ScriptedGateway::tlv(0x0427, QByteArray(1, char(state)));
}
QByteArray receiptedId(const QByteArray& id) {
    return ScriptedGateway::tlv(0x001E, id + QByteArray(1, '\0'));
}

}  // namespace

class ReceiptsTest : public QObject {
    Q_OBJECT

private Q_SLOTS:
    // What a deliver_sm says, whichever of its forms the gateway uses.
    void readsDeliverSm_data() {
        QTest::addColumn<QByteArray>("body");
        QTest::addColumn<bool>("readable");
        QTest::addColumn<bool>("receipt");
        QTest::addColumn<QString>("id");
        QTest::addColumn<QString>("state");
        QTest::addColumn<QString>("done");
        // Rows that read as no receipt leave id, state and done empty.
        const auto row = [](const char* name, const QByteArray& body, bool readable, bool receipt,
                            const char* id = "", const char* state = "", const char* done = "") {
            QTest::newRow(name) << body << readable << receipt << QString::fromLatin1(id)
                                << QString::fromLatin1(state) << QString::fromLatin1(done);
        };
        using G = ScriptedGateway;
        row("text", G::receiptText("0A1B", "DELIVRD"), true, true, "0A1B", "DELIVRD",
            "2026-12-07 10:15:00");
        row("text with seconds, lower-case keys",
            G::deliverBody(0x04, "ID:77 Stat:undeliv Done Date:261207101530"), true, true, "77",
            "UNDELIV", "2026-12-07 10:15:30");
        row("long spellings", G::receiptText("5", "DELIVERED"), true, true, "5", "DELIVRD",
            "2026-12-07 10:15:00");
        row("TLVs over the text",
            G::deliverBody(0x04, "id:1 stat:ENROUTE", receiptedId("ff00") + messageState(5)), true,
            true, "ff00", "UNDELIV");
        row("TLVs only", G::deliverBody(0x04, QByteArray(), receiptedId("42") + messageState(2)),
            true, true, "42", "DELIVRD");
        row("text in message_payload",
            G::deliverBody(0x04, QByteArray(),
                           G::tlv(0x0424, "id:9 stat:EXPIRED done date:2612071015")),
            true, true, "9", "EXPIRED", "2026-12-07 10:15:00");
        row("intermediate notification", G::deliverBody(0x20, "id:3 stat:ENROUTE"), true, true, "3",
            "ENROUTE");
        row("no state", G::deliverBody(0x04, "id:3"), true, true, "3", "UNKNOWN");
        row("a receipt without an id", G::deliverBody(0x04, "stat:DELIVRD"), false, false);
        row("message from a phone", G::deliverBody(0x00, "see you at 9"), true, false);
        row("cut short", G::receiptText("1", "DELIVRD").left(20), false, false);
        row("TLV running off the end",
            G::deliverBody(0x04, "id:1", QByteArray::fromHex("001e00ff41")), false, false);
    }
    void readsDeliverSm() {
        QFETCH(QByteArray, body);
        QFETCH(bool, readable);
        const std::optional<DeliverSm> sm = DeliverSm::read(body);
        QCOMPARE(sm.has_value(), readable);
        if (!sm) {
            return;
        }
        QTEST(sm->receipt, "receipt");
        if (sm->receipt) {
            QTEST(sm->fields.messageId, "id");
            QTEST(sm->fields.state, "state");
            QTEST(sm->fields.doneAt.toString(QStringLiteral("yyyy-MM-dd hh:mm:ss")), "done");
        }
    }

    // Ids compared lower-cased without leading zeros; converted between bases only where the
    // setting says so or exactly one sent id matches that way.
    void matchesIds_data() {
        QTest::addColumn<QStringList>("sent");
        QTest::addColumn<QString>("receipt");
        QTest::addColumn<QString>("setting");
        QTest::addColumn<int>("row");  // 0: none
        const auto row = [](const char* name, const char* sent, const char* receipt,
                            const char* setting, int matched) {
            QTest::newRow(name) << list(sent) << QString::fromLatin1(receipt)
                                << QString::fromLatin1(setting) << matched;
        };
        row("same", "12345", "12345", "", 1);
        row("zero-padded", "12345", "0000012345", "", 1);
        row("padded when sent", "000a1b", "A1B", "", 1);
        row("upper case", "a1b2c3", "A1B2C3", "", 1);
        row("hexadecimal, by the setting", "12345", "3039", "hex", 1);
        row("hexadecimal, the one match", "12345", "3039", "", 1);
        row("decimal, by the setting", "ff", "255", "decimal", 1);
        row("decimal, the one match", "FF", "255", "", 1);
        row("never converted", "12345", "3039", "same", 0);
        row("the setting's reading only", "16|a", "10", "hex", 1);
        row("both readings match: no guess", "16|a", "10", "", 0);
        row("a later part", "aa bb cc", "CC", "", 1);
        row("unknown", "12345", "54321", "", 0);
    }
    void matchesIds() {
        QFETCH(QStringList, sent);
        QFETCH(QString, receipt);
        QFETCH(QString, setting);
        SentIds ids;
        for (int i = 0; i < sent.size(); ++i) {
            ids.add(i + 1, sent[i], sent[i]);
        }
        const std::optional<SentIds::Hit> hit = ids.find(receipt, SentIds::spellingOf(setting));
        QTEST(hit ? hit->recId.toInt() : 0, "row");
    }

    // A receipt gets the row's DeliveryStatus right, written before the receipt is answered;
    // DeliveredDate is the receipt's done date.
    void receiptWrittenThenAnswered_data() {
        QTest::addColumn<QByteArray>("given");  // the submit's message_id
        QTest::addColumn<QByteArray>("body");
        QTest::addColumn<QString>("setting");
        QTest::addColumn<QString>("state");
        // The spellings are SentIds' (above); here a receipt in text, one whose reading the
        // setting decides, and one in TLVs only reach the row.
        QTest::newRow("zero-padded")
            << QByteArray("12345") << ScriptedGateway::receiptText("0000012345", "UNDELIV") << ""
            << "UNDELIV";
        QTest::newRow("hexadecimal of a decimal id, by the setting")
            << QByteArray("255") << ScriptedGateway::receiptText("FF", "EXPIRED") << "hex"
            << "EXPIRED";
        QTest::newRow("TLV only") << QByteArray("7f3a")
                                  << ScriptedGateway::deliverBody(
                                         0x04, QByteArray(), receiptedId("7F3A") + messageState(8))
                                  << ""
                                  << "REJECTD";
    }
    void receiptWrittenThenAnswered() {
        QFETCH(QByteArray, given);
        QFETCH(QByteArray, body);
        ReceiptRig rig;
        QFETCH(QString, setting);
        rig.config.smppReceiptIds = setting;
        QCOMPARE(rig.gateway.transceiverBinds(), 1);  // at Start, with nothing to send
        const int id = rig.sendOne({given});
        QCOMPARE(rig.table.status(id), kSent);
        QCOMPARE(rig.table.smscIds[id], QString::fromLatin1(given));
        QCOMPARE(rig.gateway.submits().back().registeredDelivery, quint8(1));
        QCOMPARE(rig.deliver(body), kOk);
        QTEST(rig.state(id), "state");
        if (!body.contains("TLV")) {
            QVERIFY(rig.table.deliveredDate[id].isValid());
        }
        QCOMPARE(rig.table.isSent(id), QStringLiteral("Y"));
        QCOMPARE(rig.control.counters().receipts.size(), size_t(1));
    }

    // A receipt that comes before its message's answer waits for the id's save; writing the
    // same receipt again changes nothing, and a final state is never written over.
    void crossingDuplicateAndLate() {
        ReceiptRig rig;
        rig.gateway.setReceiptBeforeAnswer(
            [](int) { return ScriptedGateway::receiptText("55", "DELIVRD", "2612071001"); });
        const int id = rig.sendOne({"55"});
        test::waitFor([&] { return rig.state(id) == QStringLiteral("DELIVRD"); });
        QCOMPARE(rig.state(id), QStringLiteral("DELIVRD"));
        test::waitFor([&] { return rig.gateway.deliverAnswers().size() == 1; });
        QCOMPARE(rig.gateway.deliverAnswers().size(), size_t(1));
        QCOMPARE(rig.gateway.deliverAnswers().front(), kOk);
        const QDateTime done = rig.table.deliveredDate[id];
        QCOMPARE(done, QDateTime(QDate(2026, 12, 7), QTime(10, 1)));
        QCOMPARE(rig.deliver(ScriptedGateway::receiptText("55", "DELIVRD", "2612071009")), kOk);
        QCOMPARE(rig.deliver(ScriptedGateway::receiptText("55", "ENROUTE")), kOk);
        QCOMPARE(rig.deliver(ScriptedGateway::receiptText("55", "UNDELIV")), kOk);
        QCOMPARE(rig.state(id), QStringLiteral("DELIVRD"));
        QCOMPARE(rig.table.deliveredDate[id], done);
        QCOMPARE(rig.table.receiptLookups, 0);  // known here: never looked up in the table
    }

    // A long SMS: each part's state kept; DELIVRD only once every part has it, a final failure
    // of any part written at once.
    void longSmsParts_data() {
        QTest::addColumn<QStringList>("receipts");  // "part:state", in turn
        QTest::addColumn<QStringList>("written");   // the row's state after each
        QTest::newRow("all delivered")
            << list("0:DELIVRD|2:DELIVRD|1:DELIVRD") << list("||DELIVRD");
        QTest::newRow("one part lost")
            << list("0:DELIVRD|1:UNDELIV|2:DELIVRD") << list("|UNDELIV|UNDELIV");
        QTest::newRow("on its way first") << list("1:ENROUTE|0:DELIVRD|1:DELIVRD|2:DELIVRD")
                                          << list("ENROUTE|ENROUTE|ENROUTE|DELIVRD");
    }
    void longSmsParts() {
        QFETCH(QStringList, receipts);
        QFETCH(QStringList, written);
        ReceiptRig rig;
        const QList<QByteArray> parts{"00a1", "00a2", "00a3"};
        const int id = rig.sendOne(parts, QString(400, QLatin1Char('x')));
        QCOMPARE(rig.table.smscIds[id], QStringLiteral("00a1 00a2 00a3"));
        for (int i = 0; i < receipts.size(); ++i) {
            const QStringList receipt = receipts[i].split(QLatin1Char(':'));
            const QByteArray partId = parts[receipt[0].toInt()].toUpper();
            QCOMPARE(rig.deliver(ScriptedGateway::receiptText(partId, receipt[1].toLatin1())), kOk);
            QCOMPARE(rig.state(id), written[i]);
        }
    }

    // A receipt whose write fails is answered ESME_RX_T_APPN, so that the gateway offers it
    // again; offered again once the table takes writes, it is written.
    void failedWriteOfferedAgain() {
        ReceiptRig rig;
        const int id = rig.sendOne({"900"});
        rig.table.failReceiptWrites = true;
        const QByteArray receipt = ScriptedGateway::receiptText("900", "DELIVRD");
        QCOMPARE(rig.deliver(receipt), kLater);
        QCOMPARE(rig.state(id), QString());
        QVERIFY(rig.lines().filter(QStringLiteral("cannot be written now")).size() == 1);
        rig.table.failReceiptWrites = false;
        QCOMPARE(rig.deliver(receipt), kOk);
        QCOMPARE(rig.state(id), QStringLiteral("DELIVRD"));
    }

    // A receipt not written in time is answered ESME_RX_T_APPN; one that matches no row is
    // logged once after a minute (the fake clock's), and answered at once when offered again.
    void unmatchedReceipt() {
        ReceiptRig rig(100);
        rig.sendOne({"1"});
        const QByteArray stray = ScriptedGateway::receiptText("999", "DELIVRD");
        QCOMPARE(rig.deliver(stray), kLater);
        QCOMPARE(rig.table.receiptLookups, 2);  // once: whole ids, then within long messages'
        rig.clock.set(rig.clock.now().addSecs(61));
        rig.cycleWith(0);
        const QStringList logged = rig.lines().filter(QStringLiteral("matches no row"));
        QCOMPARE(logged, QStringList{QStringLiteral("Delivery receipt DELIVRD for message id 999 "
                                                    "matches no row of tblMessages; answered.")});
        QCOMPARE(rig.deliver(stray), kOk);
        QCOMPARE(rig.control.counters().receiptsUnmatched, 1u);
        QCOMPARE(rig.lines().filter(QStringLiteral("matches no row")).size(), 1);
    }

    // Rows sent before this run are found in the table: by the whole id in any spelling, a
    // long message's later part within its list.
    void sentBeforeThisRun() {
        ReceiptRig rig;
        rig.table.rows.push_back(test::FakeTable::sms(40, QStringLiteral("+4477")));
        rig.table.rows.push_back(test::FakeTable::sms(41, QStringLiteral("+4477")));
        rig.table.smscIds[40] = QStringLiteral("77");
        rig.table.smscIds[41] = QStringLiteral("0a1 0a2");
        QCOMPARE(rig.deliver(ScriptedGateway::receiptText("0077", "DELIVRD")), kOk);
        QCOMPARE(rig.deliver(ScriptedGateway::receiptText("0a2", "UNDELIV")), kOk);
        QCOMPARE(rig.state(40), QStringLiteral("DELIVRD"));
        QCOMPARE(rig.state(41), QStringLiteral("UNDELIV"));
    }

    // A message from a phone is refused for good (ESME_RX_P_APPN), with a line in the log:
    // answering OK would make the gateway drop it.
    void messageFromPhone() {
        ReceiptRig rig;
        QCOMPARE(rig.deliver(ScriptedGateway::deliverBody(0x00, "STOP")), kNever);
        QCOMPARE(rig.lines().filter(QStringLiteral("does not handle")).size(), 1);
        QVERIFY(rig.lines().filter(QStringLiteral("447700900001")).size() == 1);
    }

    // A gateway that serves transmitters only: refused bind_transceiver (a status or a
    // generic_nack) falls back to a transmitter, noticed once, and sending goes on.
    void refusedTransceiver_data() {
        QTest::addColumn<bool>("nack");
        QTest::newRow("ESME_RINVCMDID") << false;
        QTest::newRow("generic_nack") << true;
    }
    void refusedTransceiver() {
        QFETCH(bool, nack);
        test::GatewayRig rig;
        rig.table.optional.receipts = true;
        rig.gateway.refuseTransceiver(smpp::Status::InvalidCommandId, nack);
        rig.control.cmdStart_Click();
        test::untilCycleEnds(rig.control);
        for (int cycle = 0; cycle < 2; ++cycle) {
            QCOMPARE(rig.table.status(rig.cycleWith(1).front()), kSent);
        }
        QCOMPARE(rig.gateway.transceiverBinds(), 1);
        QCOMPARE(rig.gateway.binds(), 2);
        QCOMPARE(rig.lines().filter(QStringLiteral("refused bind_transceiver")).size(), 1);
    }

    // The gateway restarts: the session binds again, and receipts on the new one are written
    // and answered there.
    void receiptAfterReconnect() {
        ReceiptRig rig;
        const int id = rig.sendOne({"31"});
        rig.gateway.dropSession();
        rig.cycleWith(0);  // the next cycle sees the close and binds again to take receipts
        QCOMPARE(rig.sender.linkCounts().drops, 1u);
        QCOMPARE(rig.gateway.transceiverBinds(), 2);
        QCOMPARE(rig.deliver(ScriptedGateway::receiptText("31", "DELIVRD")), kOk);
        QCOMPARE(rig.state(id), QStringLiteral("DELIVRD"));
    }

    // Ids longer than the column are saved cut and logged; the outcome is saved all the same,
    // and the receipt still finds its row.
    void idsCutToTheColumn() {
        ReceiptRig rig;
        rig.table.optional.idWidth = 8;
        rig.cycleWith(0);
        const int id = rig.sendOne({"123456789012"});
        QCOMPARE(rig.table.status(id), kSent);
        QCOMPARE(rig.table.smscIds[id], QStringLiteral("12345678"));
        QCOMPARE(rig.lines().filter(QStringLiteral("saved cut")).size(), 1);
        QCOMPARE(rig.deliver(ScriptedGateway::receiptText("123456789012", "DELIVRD")), kOk);
        QCOMPARE(rig.state(id), QStringLiteral("DELIVRD"));
    }

    // A table without the columns: a transmitter, no receipt asked for, nothing written or
    // logged of receipts; a deliver_sm is refused as before.
    void tableWithoutColumns() {
        ReceiptRig rig(5000, false);
        const int id = rig.sendOne({"77"});
        QCOMPARE(rig.table.status(id), kSent);
        QCOMPARE(rig.gateway.transceiverBinds(), 0);
        QCOMPARE(rig.gateway.submits().back().registeredDelivery, quint8(0));
        QVERIFY(rig.table.smscIds.empty());
        QVERIFY(rig.lines().filter(QStringLiteral("receipt"), Qt::CaseInsensitive).isEmpty());
    }
};

QTEST_GUILESS_MAIN(ReceiptsTest)
#include "tst_receipts.moc"
