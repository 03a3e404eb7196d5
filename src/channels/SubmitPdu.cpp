#include "channels/SubmitPdu.h"

#include <QRegularExpression>

#include "channels/SmppPdu.h"
#include "channels/SmsEncoding.h"

namespace korvane {

using namespace smpp;

namespace {
constexpr quint8 kTonUnknown = 0;
constexpr quint8 kTonInternational = 1;
constexpr quint8 kTonAlphanumeric = 5;
constexpr quint8 kNpiIsdn = 1;
constexpr quint8 kEsmUdhIndicator = 0x40;
}  // namespace

bool parseNumber(const QString& text, SmppAddress& address) {
    static const QRegularExpression number(QStringLiteral("^\\+?[0-9]{1,20}$"));
    if (!number.match(text).hasMatch()) {
        return false;
    }
    const bool international = text.startsWith(QLatin1Char('+'));
    address.ton = international ? kTonInternational : kTonUnknown;
    address.npi = kNpiIsdn;
    address.digits = (international ? text.mid(1) : text).toLatin1();
    return true;
}

bool parseSender(const QString& name, SmppAddress& address) {
    static const QRegularExpression alphanumeric(QStringLiteral("^[A-Za-z0-9 ._&-]{1,11}$"));
    if (parseNumber(name, address)) {
        return true;
    }
    if (!alphanumeric.match(name).hasMatch()) {
        return false;
    }
    address = SmppAddress{kTonAlphanumeric, 0, name.toLatin1()};
    return true;
}

QByteArray submitBody(const SmppAddress& sender, const SmppAddress& destination,
                      const EncodedSms& sms, const QByteArray& part, bool receipt,
                      const QDateTime& validUntil) {
    // "YYMMDDhhmmss" in UTC, then tenths 0, quarter hours from UTC 00, "+".
    const QByteArray validity =
        validUntil.isValid()
            ? validUntil.toUTC().toString(QStringLiteral("yyMMddhhmmss")).toLatin1() + "000+"
            : QByteArray();
    PduWriter body;
    body.cString(QByteArray())  // service_type
        .u8(sender.ton)
        .u8(sender.npi)
        .cString(sender.digits)
        .u8(destination.ton)
        .u8(destination.npi)
        .cString(destination.digits)
        .u8(sms.concatenated ? kEsmUdhIndicator : 0)
        .u8(0)                  // protocol_id
        .u8(0)                  // priority_flag
        .cString(QByteArray())  // schedule_delivery_time
        .cString(validity)      // validity_period
        .u8(receipt ? 1 : 0)    // registered_delivery: final receipt
        .u8(0)                  // replace_if_present_flag
        .u8(sms.dataCoding)
        .u8(0)  // sm_default_msg_id
        .u8(static_cast<quint8>(part.size()))
        .bytes(part);
    return body.finish(0, 0, 0).mid(kHeaderSize);
}

}  // namespace korvane
