#include "channels/SmppPdu.h"

#include <QtEndian>

namespace korvane::smpp {

PduWriter& PduWriter::u8(quint8 value) {
    body_.append(static_cast<char>(value));
    return *this;
}

PduWriter& PduWriter::u32(quint32 value) {
    char raw[4];
    qToBigEndian(value, raw);
    body_.append(raw, 4);
    return *this;
}

PduWriter& PduWriter::cString(const QByteArray& value) {
    body_.append(value);
    body_.append('\0');
    return *this;
}

PduWriter& PduWriter::bytes(const QByteArray& value) {
    body_.append(value);
    return *this;
}

QByteArray PduWriter::finish(quint32 commandId, quint32 status, quint32 sequence) const {
    QByteArray pdu;
    pdu.reserve(kHeaderSize + body_.size());
    char raw[4];
    for (quint32 value :
         {static_cast<quint32>(kHeaderSize + body_.size()), commandId, status, sequence}) {
        qToBigEndian(value, raw);
        pdu.append(raw, 4);
    }
    pdu.append(body_);
    return pdu;
}

PduReader::Result PduReader::take(QByteArray& buffer, Pdu& pdu) {
    if (buffer.size() < 4) {
        return Result::NeedMore;
    }
    const quint32 length = qFromBigEndian<quint32>(buffer.constData());
    if (length < kHeaderSize || length > kMaxPduSize) {
        return Result::Invalid;
    }
    if (static_cast<quint32>(buffer.size()) < length) {
        return Result::NeedMore;
    }
    pdu.commandId = qFromBigEndian<quint32>(buffer.constData() + 4);
    pdu.status = qFromBigEndian<quint32>(buffer.constData() + 8);
    pdu.sequence = qFromBigEndian<quint32>(buffer.constData() + 12);
    pdu.body = buffer.mid(kHeaderSize, static_cast<int>(length) - kHeaderSize);
    buffer.remove(0, static_cast<int>(length));
    return Result::Complete;
}

bool readCString(const QByteArray& body, int& offset, int maxSize, QByteArray& out) {
    if (offset < 0 || offset >= body.size()) {
        return false;
    }
    const qsizetype end = body.indexOf('\0', offset);
    if (end < 0 || end - offset + 1 > maxSize) {
        return false;
    }
    out = body.mid(offset, end - offset);
    offset = static_cast<int>(end + 1);  // within body, which holds one PDU
    return true;
}

QString describeStatus(quint32 status) {
    switch (status) {
        case 0x01:
            return QStringLiteral("ESME_RINVMSGLEN");
        case 0x02:
            return QStringLiteral("ESME_RINVCMDLEN");
        case 0x03:
            return QStringLiteral("ESME_RINVCMDID");
        case 0x04:
            return QStringLiteral("ESME_RINVBNDSTS");
        case 0x05:
            return QStringLiteral("ESME_RALYBND");
        case 0x08:
            return QStringLiteral("ESME_RSYSERR");
        case 0x0A:
            return QStringLiteral("ESME_RINVSRCADR");
        case 0x0B:
            return QStringLiteral("ESME_RINVDSTADR");
        case 0x0D:
            return QStringLiteral("ESME_RBINDFAIL");
        case 0x0E:
            return QStringLiteral("ESME_RINVPASWD");
        case 0x0F:
            return QStringLiteral("ESME_RINVSYSID");
        case 0x14:
            return QStringLiteral("ESME_RMSGQFUL");
        case 0x45:
            return QStringLiteral("ESME_RSUBMITFAIL");
        case 0x58:
            return QStringLiteral("ESME_RTHROTTLED");
        default:
            break;
    }
    return QStringLiteral("0x%1").arg(status, 8, 16, QLatin1Char('0'));
}

}  // namespace korvane::smpp
