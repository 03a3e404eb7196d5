// libFuzzer target for the SMS splitter: any text encodes into parts within their limits,
// no part ends inside an escape pair or a surrogate pair, and the parts rejoin and decode to
// the text.
#include <cstddef>
#include <cstdint>

#include "channels/SmsEncoding.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    using namespace korvane::smpp;
    const QString text = QString::fromUtf16(reinterpret_cast<const char16_t*>(data),
                                            static_cast<qsizetype>(size / 2));
    if (text.isEmpty()) {
        return 0;  // never sent: the cycle stops it first
    }
    const EncodedSms sms = encodeSms(text, 7);
    if (sms.parts.empty()) {
        if (text.size() < 255 * 67) {
            __builtin_trap();  // only a text of more than 255 parts may be refused
        }
        return 0;
    }
    const bool gsm = sms.dataCoding == 0;
    const qsizetype limit = gsm ? (sms.concatenated ? 153 : 160) : (sms.concatenated ? 134 : 140);
    QByteArray joined;
    for (size_t i = 0; i < sms.parts.size(); ++i) {
        const QByteArray body = sms.concatenated ? sms.parts[i].mid(6) : sms.parts[i];
        const bool last = i + 1 == sms.parts.size();
        if (body.size() > limit || body.isEmpty()) {
            __builtin_trap();
        }
        if (!last && gsm && static_cast<quint8>(body.back()) == 0x1B) {
            __builtin_trap();  // an escape cut from its character
        }
        if (!last && !gsm) {
            auto unit = [](const QByteArray& bytes, qsizetype at) {
                return static_cast<char16_t>((static_cast<quint8>(bytes[at]) << 8) |
                                             static_cast<quint8>(bytes[at + 1]));
            };
            const QByteArray next = sms.concatenated ? sms.parts[i + 1].mid(6) : sms.parts[i + 1];
            if (QChar::isHighSurrogate(unit(body, body.size() - 2)) &&
                QChar::isLowSurrogate(unit(next, 0))) {
                __builtin_trap();  // a surrogate pair cut in two
            }
        }
        joined += body;
    }
    QByteArray whole;
    if (gsm) {
        toGsm7(text, whole);
    } else {
        for (QChar c : text) {
            whole.append(static_cast<char>(c.unicode() >> 8))
                .append(static_cast<char>(c.unicode() & 0xFF));
        }
    }
    if (joined != whole) {
        __builtin_trap();
    }
    // A phone's reply is read with the same tables: the parts decode back to the text.
    if (decodeSms(sms.dataCoding, joined) != text) {
        __builtin_trap();
    }
    return 0;
}
