#pragma once

#include <QByteArray>
#include <QDateTime>
#include <QString>
#include <QtGlobal>

namespace korvane {

namespace smpp {
struct EncodedSms;
}

// An SMPP address: type of number, numbering plan and the digits or name.
struct SmppAddress {
    quint8 ton = 0;
    quint8 npi = 0;
    QByteArray digits;
};

// A mobile number: digits with an optional leading "+"; false when it is none.
bool parseNumber(const QString& text, SmppAddress& address);
// A sender is a phone number or an alphanumeric name of at most 11 characters.
bool parseSender(const QString& name, SmppAddress& address);
// The body of one submit_sm carrying one part of an encoded message; receipt: a final
// delivery receipt is asked for; validUntil: when the gateway is to give up (absolute
// validity_period), none when invalid.
QByteArray submitBody(const SmppAddress& sender, const SmppAddress& destination,
                      const smpp::EncodedSms& sms, const QByteArray& part, bool receipt = false,
                      const QDateTime& validUntil = QDateTime());

}  // namespace korvane
