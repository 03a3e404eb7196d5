#pragma once

#include <QByteArray>

namespace korvane::test {

// A PDU header with any length, command, status and sequence, honest or not.
inline QByteArray header(quint32 length, quint32 command, quint32 status, quint32 sequence) {
    return QByteArray::fromHex(QStringLiteral("%1%2%3%4")
                                   .arg(length, 8, 16, QLatin1Char('0'))
                                   .arg(command, 8, 16, QLatin1Char('0'))
                                   .arg(status, 8, 16, QLatin1Char('0'))
                                   .arg(sequence, 8, 16, QLatin1Char('0'))
                                   .toLatin1());
}

}  // namespace korvane::test
