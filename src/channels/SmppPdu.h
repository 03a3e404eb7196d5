#pragma once

#include <QByteArray>
#include <QString>
#include <QtGlobal>

namespace korvane::smpp {

// SMPP 3.4 command ids and status codes that Korvane uses.
namespace Command {
constexpr quint32 GenericNack = 0x80000000;
constexpr quint32 BindTransmitter = 0x00000002;
constexpr quint32 BindTransmitterResp = 0x80000002;
constexpr quint32 SubmitSm = 0x00000004;
constexpr quint32 DeliverSm = 0x00000005;
constexpr quint32 DeliverSmResp = 0x80000005;
constexpr quint32 SubmitSmResp = 0x80000004;
constexpr quint32 Unbind = 0x00000006;
constexpr quint32 UnbindResp = 0x80000006;
constexpr quint32 BindTransceiver = 0x00000009;
constexpr quint32 BindTransceiverResp = 0x80000009;
constexpr quint32 EnquireLink = 0x00000015;
constexpr quint32 EnquireLinkResp = 0x80000015;
}  // namespace Command

namespace Status {
constexpr quint32 Ok = 0x00000000;
constexpr quint32 InvalidCommandId = 0x00000003;
constexpr quint32 SystemError = 0x00000008;
// The gateway took nothing and asks to be offered the message again later.
constexpr quint32 InvalidPassword = 0x0000000E;
constexpr quint32 InvalidSystemId = 0x0000000F;
constexpr quint32 MessageQueueFull = 0x00000014;
constexpr quint32 Throttled = 0x00000058;
// deliver_sm answers: not taken now, offer it again later; not taken, never offer it again.
constexpr quint32 TemporaryAppError = 0x00000064;
constexpr quint32 PermanentAppError = 0x00000065;
}  // namespace Status

constexpr int kHeaderSize = 16;
// No PDU a transmitter receives comes near this; anything larger is a broken peer.
constexpr quint32 kMaxPduSize = 64 * 1024;

struct Pdu {
    quint32 commandId = 0;
    quint32 status = 0;
    quint32 sequence = 0;
    QByteArray body;
};

// Appends fields in network byte order.
class PduWriter {
public:
    PduWriter& u8(quint8 value);
    PduWriter& u32(quint32 value);
    PduWriter& cString(const QByteArray& value);
    PduWriter& bytes(const QByteArray& value);
    QByteArray finish(quint32 commandId, quint32 status, quint32 sequence) const;

private:
    QByteArray body_;
};

// Splits a byte stream into PDUs, trusting nothing the peer sends.
class PduReader {
public:
    enum class Result { NeedMore, Complete, Invalid };
    // On Complete, the PDU is removed from the buffer.
    static Result take(QByteArray& buffer, Pdu& pdu);
};

// Reads a NUL-terminated field of at most maxSize octets; false when it runs off the body.
bool readCString(const QByteArray& body, int& offset, int maxSize, QByteArray& out);

// A status as log readers want it: "ESME_RBINDFAIL (0x0D)"; "status 0x00000400" when unnamed.
QString describeStatus(quint32 status);

}  // namespace korvane::smpp
