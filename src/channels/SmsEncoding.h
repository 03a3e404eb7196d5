#pragma once

#include <QByteArray>
#include <QString>
#include <vector>

namespace korvane::smpp {

// How one text goes out: the data coding and the short_message of every part (each part of a
// long text starts with its concatenation header).
struct EncodedSms {
    quint8 dataCoding = 0;  // 0: GSM 03.38 default alphabet, 8: UCS-2
    bool concatenated = false;
    std::vector<QByteArray> parts;
};

// GSM 03.38 septets, one per octet (extension characters as ESC + code); false when a
// character has no place in the alphabet.
bool toGsm7(const QString& text, QByteArray& septets);

// A short message's text in its data coding: GSM 03.38 septets one per octet (with the
// extension table), IA5 and Latin-1, UCS-2 (surrogate pairs as they come), 8-bit data as
// Latin-1. A byte with no place in its alphabet reads as U+FFFD.
QString decodeSms(quint8 dataCoding, const QByteArray& bytes);

// Splits into parts of 160/153 septets or 70/67 UTF-16 units; never splits an escape pair or a
// surrogate pair. Empty result when the text needs more than 255 parts.
EncodedSms encodeSms(const QString& text, quint8 reference);

}  // namespace korvane::smpp
