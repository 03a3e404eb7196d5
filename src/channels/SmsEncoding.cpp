#include "channels/SmsEncoding.h"

#include <QHash>

namespace korvane::smpp {

namespace {

constexpr int kSingleGsm = 160;
constexpr int kPartGsm = 153;
constexpr int kSingleUcs2 = 70;
constexpr int kPartUcs2 = 67;
constexpr quint8 kEscape = 0x1B;

// The default alphabet, by septet.
const char16_t kGsmChars[] =
    u"@£$¥èéùìòÇ\nØø\rÅåΔ_ΦΓΛΩΠΨΣΘΞ\x1BÆæßÉ !\"#¤%&'()*+,-./0123456789:;<=>?"
    u"¡ABCDEFGHIJKLMNOPQRSTUVWXYZÄÖÑÜ§¿abcdefghijklmnopqrstuvwxyzäöñüà";

const QHash<char16_t, quint8>& basicTable() {
    static const QHash<char16_t, quint8> table = [] {
        QHash<char16_t, quint8> map;
        for (quint8 i = 0; i < 128; ++i) {
            if (i != kEscape) {
                map.insert(kGsmChars[i], i);
            }
        }
        return map;
    }();
    return table;
}

const QHash<char16_t, quint8>& extensionTable() {
    static const QHash<char16_t, quint8> table = {
        {u'\f', 0x0A}, {u'^', 0x14}, {u'{', 0x28}, {u'}', 0x29}, {u'\\', 0x2F},
        {u'[', 0x3C},  {u'~', 0x3D}, {u']', 0x3E}, {u'|', 0x40}, {u'€', 0x65}};
    return table;
}

// An escaped septet with no extension character reads as the default alphabet's.
QString fromGsm7(const QByteArray& septets) {
    static const QHash<quint8, char16_t> extension = [] {
        QHash<quint8, char16_t> map;
        for (auto it = extensionTable().constBegin(); it != extensionTable().constEnd(); ++it) {
            map.insert(it.value(), it.key());
        }
        return map;
    }();
    QString text;
    text.reserve(septets.size());
    for (qsizetype i = 0; i < septets.size(); ++i) {
        auto septet = static_cast<quint8>(septets[i]);
        if (septet == kEscape && i + 1 < septets.size()) {
            septet = static_cast<quint8>(septets[++i]);
            if (septet < 128 && extension.contains(septet)) {
                text.append(QChar(extension.value(septet)));
                continue;
            }
        }
        text.append(septet < 128 && septet != kEscape ? QChar(kGsmChars[septet])
                                                      : QChar(QChar::ReplacementCharacter));
    }
    return text;
}

QString fromUcs2(const QByteArray& bytes) {
    QString text;
    text.reserve(bytes.size() / 2);
    for (qsizetype i = 0; i + 1 < bytes.size(); i += 2) {
        text.append(QChar(char16_t((quint8(bytes[i]) << 8) | quint8(bytes[i + 1]))));
    }
    if (bytes.size() % 2 != 0) {
        text.append(QChar(QChar::ReplacementCharacter));
    }
    return text;
}

QByteArray udh(quint8 reference, int total, int sequence) {
    QByteArray header;
    header.append(char(0x05)).append(char(0x00)).append(char(0x03));
    header.append(static_cast<char>(reference));
    header.append(static_cast<char>(total));
    header.append(static_cast<char>(sequence));
    return header;
}

}  // namespace

bool toGsm7(const QString& text, QByteArray& septets) {
    septets.clear();
    septets.reserve(text.size());
    for (QChar ch : text) {
        const char16_t c = ch.unicode();
        auto basic = basicTable().constFind(c);
        if (basic != basicTable().constEnd()) {
            septets.append(static_cast<char>(*basic));
            continue;
        }
        auto extended = extensionTable().constFind(c);
        if (extended == extensionTable().constEnd()) {
            return false;
        }
        septets.append(static_cast<char>(kEscape));
        septets.append(static_cast<char>(*extended));
    }
    return true;
}

QString decodeSms(quint8 dataCoding, const QByteArray& bytes) {
    enum class Alphabet { Gsm, Latin1, Ucs2 };
    Alphabet alphabet = Alphabet::Latin1;
    if (dataCoding == 0) {
        alphabet = Alphabet::Gsm;
    } else if (dataCoding == 8) {
        alphabet = Alphabet::Ucs2;
    } else if ((dataCoding & 0xF0) == 0xF0) {  // message class group: 7-bit or 8-bit
        alphabet = (dataCoding & 0x04) != 0 ? Alphabet::Latin1 : Alphabet::Gsm;
    } else if ((dataCoding & 0xC0) == 0x00 && dataCoding >= 0x10) {  // general group
        const int bits = (dataCoding >> 2) & 0x03;
        alphabet = bits == 0 ? Alphabet::Gsm : bits == 2 ? Alphabet::Ucs2 : Alphabet::Latin1;
    }
    switch (alphabet) {
        case Alphabet::Gsm:
            return fromGsm7(bytes);
        case Alphabet::Ucs2:
            return fromUcs2(bytes);
        case Alphabet::Latin1:
            break;
    }
    return QString::fromLatin1(bytes);
}

EncodedSms encodeSms(const QString& text, quint8 reference) {
    EncodedSms result;
    QByteArray septets;
    std::vector<QByteArray> chunks;
    if (toGsm7(text, septets)) {
        result.dataCoding = 0;
        if (septets.size() <= kSingleGsm) {
            chunks.push_back(septets);
        } else {
            int start = 0;
            while (start < septets.size()) {
                int length = std::min(kPartGsm, static_cast<int>(septets.size()) - start);
                // An escape at the end of a part would lose its character.
                if (start + length < septets.size() &&
                    static_cast<quint8>(septets[start + length - 1]) == kEscape) {
                    --length;
                }
                chunks.push_back(septets.mid(start, length));
                start += length;
            }
        }
    } else {
        result.dataCoding = 8;
        const int units = static_cast<int>(text.size());
        auto ucs2 = [&](int from, int count) {
            QByteArray bytes;
            bytes.reserve(qsizetype(count) * 2);
            for (int i = from; i < from + count; ++i) {
                const char16_t c = text[i].unicode();
                bytes.append(static_cast<char>(c >> 8)).append(static_cast<char>(c & 0xFF));
            }
            return bytes;
        };
        if (units <= kSingleUcs2) {
            chunks.push_back(ucs2(0, units));
        } else {
            int start = 0;
            while (start < units) {
                int length = std::min(kPartUcs2, units - start);
                if (start + length < units && text[start + length - 1].isHighSurrogate()) {
                    --length;
                }
                chunks.push_back(ucs2(start, length));
                start += length;
            }
        }
    }
    if (chunks.size() > 255) {
        return EncodedSms{};
    }
    result.concatenated = chunks.size() > 1;
    const int total = static_cast<int>(chunks.size());
    for (int i = 0; i < total; ++i) {
        const QByteArray& chunk = chunks[static_cast<size_t>(i)];
        result.parts.push_back(result.concatenated ? udh(reference, total, i + 1) + chunk : chunk);
    }
    return result;
}

}  // namespace korvane::smpp
