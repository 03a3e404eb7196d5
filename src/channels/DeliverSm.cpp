#include "channels/DeliverSm.h"

#include <QRegularExpression>
#include <QTimeZone>
#include <map>

#include "channels/SmppPdu.h"
#include "channels/SmsEncoding.h"

namespace korvane {

using namespace smpp;

namespace {

constexpr quint8 kReceiptMask = 0x3C;
constexpr quint8 kDeliveryReceipt = 0x04;
constexpr quint8 kIntermediateNotification = 0x20;
constexpr quint16 kReceiptedMessageId = 0x001E;
constexpr quint16 kNetworkErrorCode = 0x0423;
constexpr quint16 kMessagePayload = 0x0424;
constexpr quint16 kMessageState = 0x0427;
constexpr quint16 kSarReference = 0x020C;
constexpr quint16 kSarTotal = 0x020E;
constexpr quint16 kSarSequence = 0x020F;
constexpr quint8 kUdhIndicator = 0x40;
constexpr quint8 kInternational = 1;

struct Reader {
    const QByteArray& body;
    int offset = 0;
    bool ok = true;

    QByteArray text(int maxSize) {
        QByteArray out;
        ok = ok && readCString(body, offset, maxSize, out);
        return out;
    }
    quint8 u8() {
        if (!ok || offset >= body.size()) {
            ok = false;
            return 0;
        }
        return static_cast<quint8>(body.at(offset++));
    }
    quint16 u16() { return quint16((u8() << 8) | u8()); }
    QByteArray bytes(int size) {
        if (!ok || size < 0 || offset + size > body.size()) {
            ok = false;
            return QByteArray();
        }
        offset += size;
        return body.mid(offset - size, size);
    }
};

// "yyMMddhhmm" or "yyMMddhhmmss", as the gateway's clock had it.
QDateTime doneDate(const QString& digits) {
    const QString format =
        digits.size() >= 12 ? QStringLiteral("yyMMddhhmmss") : QStringLiteral("yyMMddhhmm");
    QDateTime at = QDateTime::fromString(digits.left(format.size()), format);
    return at.isValid() ? at.addYears(at.date().year() < 2000 ? 100 : 0) : QDateTime();
}

// The receipt's fields from its text, where the TLVs did not name them.
void readText(const QString& text, Receipt& receipt) {
    static const QRegularExpression id(QStringLiteral("\\bid:\\s*([^\\s]+)"),
                                       QRegularExpression::CaseInsensitiveOption);
    static const QRegularExpression stat(QStringLiteral("\\bstat:\\s*([A-Za-z_]+)"),
                                         QRegularExpression::CaseInsensitiveOption);
    static const QRegularExpression done(QStringLiteral("\\bdone[ _]date:\\s*(\\d{10,12})"),
                                         QRegularExpression::CaseInsensitiveOption);
    static const QRegularExpression err(QStringLiteral("\\berr:\\s*([^\\s]+)"),
                                        QRegularExpression::CaseInsensitiveOption);
    if (receipt.messageId.isEmpty()) {
        receipt.messageId = id.match(text).captured(1);
    }
    if (receipt.state.isEmpty()) {
        if (const QRegularExpressionMatch m = stat.match(text); m.hasMatch()) {
            receipt.state = DeliverSm::stateWord(m.captured(1));
        }
    }
    receipt.doneAt = doneDate(done.match(text).captured(1));
    if (receipt.error.isEmpty()) {
        receipt.error = err.match(text).captured(1);
    }
}

// "YYMMDDhhmmsstnnp": the gateway's time, nn quarter hours from UTC; local time here.
QDateTime absoluteTime(const QByteArray& text) {
    if (text.size() != 16 || (text[15] != '+' && text[15] != '-')) {
        return QDateTime();
    }
    QDateTime at =
        QDateTime::fromString(QString::fromLatin1(text.left(12)), QStringLiteral("yyMMddhhmmss"));
    if (!at.isValid()) {
        return QDateTime();
    }
    at = at.addYears(at.date().year() < 2000 ? 100 : 0);
    const int offsetS = text.mid(13, 2).toInt() * 15 * 60 * (text[15] == '-' ? -1 : 1);
    at.setTimeZone(QTimeZone(offsetS));
    return at.toLocalTime();
}

// The concatenation header's reference, count and place; the text after the header.
bool readHeader(QByteArray& message, ReplyPart& reply) {
    if (message.isEmpty() || quint8(message[0]) + 1 > message.size()) {
        return false;
    }
    const int length = quint8(message[0]);
    for (int at = 1; at + 1 < length + 1;) {
        const quint8 id = quint8(message[at]);
        const int size = quint8(message[at + 1]);
        if (at + 2 + size > length + 1) {
            return false;
        }
        const QByteArray value = message.mid(at + 2, size);
        if (id == 0x00 && size == 3) {
            reply.reference = quint8(value[0]);
        } else if (id == 0x08 && size == 4) {
            reply.reference = (quint8(value[0]) << 8) | quint8(value[1]);
        }
        if ((id == 0x00 && size == 3) || (id == 0x08 && size == 4)) {
            reply.total = quint8(value[size - 2]);
            reply.sequence = quint8(value[size - 1]);
        }
        at += 2 + size;
    }
    message = message.mid(length + 1);
    return true;
}

// What a message from a phone adds to a deliver_sm's fields.
struct Envelope {
    quint8 sourceTon = 0;
    QByteArray destination;
    quint8 esmClass = 0;
    QDateTime smscAt;
    quint8 dataCoding = 0;
    std::optional<int> sar[3];  // sar_msg_ref_num, sar_total_segments, sar_segment_seqnum
};

std::optional<DeliverSm> withReply(DeliverSm sm, const Envelope& envelope, QByteArray text) {
    ReplyPart& reply = sm.reply;
    if ((envelope.esmClass & kUdhIndicator) != 0 && !readHeader(text, reply)) {
        return std::nullopt;
    }
    if (envelope.sar[0] && envelope.sar[1] && envelope.sar[2]) {
        reply.reference = *envelope.sar[0];
        reply.total = *envelope.sar[1];
        reply.sequence = *envelope.sar[2];
    }
    if (reply.total < 1 || reply.sequence < 1 || reply.sequence > reply.total) {
        return std::nullopt;
    }
    reply.from = QString::fromLatin1(sm.source);
    if (envelope.sourceTon == kInternational && !reply.from.startsWith(QLatin1Char('+'))) {
        reply.from.prepend(QLatin1Char('+'));
    }
    reply.to = QString::fromLatin1(envelope.destination);
    reply.text = smpp::decodeSms(envelope.dataCoding, text);
    reply.gatewayId = sm.fields.messageId.trimmed();
    reply.smscAt = envelope.smscAt;
    return sm;
}

}  // namespace

std::optional<DeliverSm> DeliverSm::read(const QByteArray& body) {
    Reader in{body};
    DeliverSm sm;
    Envelope envelope;
    in.text(6);  // service_type
    envelope.sourceTon = in.u8();
    in.u8();
    sm.source = in.text(21);
    in.u8();
    in.u8();
    envelope.destination = in.text(21);
    envelope.esmClass = in.u8();
    in.u8();  // protocol_id
    in.u8();  // priority_flag
    envelope.smscAt = absoluteTime(in.text(17));
    in.text(17);
    const QByteArray flags = in.bytes(4);  // registered_delivery .. sm_default_msg_id
    envelope.dataCoding = flags.size() > 2 ? quint8(flags.at(2)) : 0;
    QByteArray text = in.bytes(in.u8());
    while (in.ok && in.offset + 4 <= body.size()) {
        const quint16 tag = in.u16();
        const QByteArray value = in.bytes(in.u16());
        if (tag == kReceiptedMessageId) {
            sm.fields.messageId = QString::fromLatin1(value.left(value.indexOf('\0')));
        } else if (tag == kMessageState && value.size() == 1) {
            sm.fields.state = stateWord(static_cast<quint8>(value.at(0)));
        } else if (tag == kNetworkErrorCode && value.size() == 3) {
            sm.fields.error = QString::number((quint8(value.at(1)) << 8) | quint8(value.at(2)));
        } else if (tag == kMessagePayload && text.isEmpty()) {
            text = value;
        } else if (tag == kSarReference && value.size() == 2) {
            envelope.sar[0] = (quint8(value[0]) << 8) | quint8(value[1]);
        } else if ((tag == kSarTotal || tag == kSarSequence) && value.size() == 1) {
            envelope.sar[tag == kSarTotal ? 1 : 2] = quint8(value[0]);
        }
    }
    if (!in.ok) {
        return std::nullopt;
    }
    const quint8 kind = envelope.esmClass & kReceiptMask;
    sm.receipt = kind == kDeliveryReceipt || kind == kIntermediateNotification;
    if (!sm.receipt) {
        return withReply(std::move(sm), envelope, std::move(text));
    }
    readText(QString::fromLatin1(text), sm.fields);
    sm.fields.messageId = sm.fields.messageId.trimmed();
    if (sm.fields.messageId.isEmpty()) {
        return std::nullopt;
    }
    if (sm.fields.state.isEmpty()) {
        sm.fields.state = QStringLiteral("UNKNOWN");
    }
    return sm;
}

QString DeliverSm::stateWord(const QString& text) {
    static const std::map<QString, QString> words = {
        {QStringLiteral("DELIVRD"), QStringLiteral("DELIVRD")},
        {QStringLiteral("DELIVERED"), QStringLiteral("DELIVRD")},
        {QStringLiteral("UNDELIV"), QStringLiteral("UNDELIV")},
        {QStringLiteral("UNDELIVERABLE"), QStringLiteral("UNDELIV")},
        {QStringLiteral("EXPIRED"), QStringLiteral("EXPIRED")},
        {QStringLiteral("REJECTD"), QStringLiteral("REJECTD")},
        {QStringLiteral("REJECTED"), QStringLiteral("REJECTD")},
        {QStringLiteral("DELETED"), QStringLiteral("DELETED")},
        {QStringLiteral("ACCEPTD"), QStringLiteral("ACCEPTD")},
        {QStringLiteral("ACCEPTED"), QStringLiteral("ACCEPTD")},
        {QStringLiteral("ENROUTE"), QStringLiteral("ENROUTE")},
    };
    const auto it = words.find(text.trimmed().toUpper());
    return it != words.end() ? it->second : QStringLiteral("UNKNOWN");
}

QString DeliverSm::stateWord(quint8 messageState) {
    static const char* const words[] = {"UNKNOWN", "ENROUTE", "DELIVRD", "EXPIRED", "DELETED",
                                        "UNDELIV", "ACCEPTD", "UNKNOWN", "REJECTD"};
    return QString::fromLatin1(messageState < 9 ? words[messageState] : "UNKNOWN");
}

}  // namespace korvane
