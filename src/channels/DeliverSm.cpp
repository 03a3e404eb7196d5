#include "channels/DeliverSm.h"

#include <QRegularExpression>
#include <map>

#include "channels/SmppPdu.h"

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

}  // namespace

std::optional<DeliverSm> DeliverSm::read(const QByteArray& body) {
    Reader in{body};
    DeliverSm sm;
    in.text(6);  // service_type
    in.u8();
    in.u8();
    sm.source = in.text(21);
    in.u8();
    in.u8();
    in.text(21);  // destination
    const quint8 esmClass = in.u8();
    in.u8();  // protocol_id
    in.u8();  // priority_flag
    in.text(17);
    in.text(17);
    in.bytes(4);  // registered_delivery .. sm_default_msg_id
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
        }
    }
    if (!in.ok) {
        return std::nullopt;
    }
    const quint8 kind = esmClass & kReceiptMask;
    sm.receipt = kind == kDeliveryReceipt || kind == kIntermediateNotification;
    if (!sm.receipt) {
        return sm;
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
