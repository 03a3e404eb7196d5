#include "channels/SmppPdu.h"

#include <QtEndian>
#include <map>

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
    static const std::map<quint32, const char*> names = {
        {0x00, "ESME_ROK"},
        {0x01, "ESME_RINVMSGLEN"},
        {0x02, "ESME_RINVCMDLEN"},
        {0x03, "ESME_RINVCMDID"},
        {0x04, "ESME_RINVBNDSTS"},
        {0x05, "ESME_RALYBND"},
        {0x06, "ESME_RINVPRTFLG"},
        {0x07, "ESME_RINVREGDLVFLG"},
        {0x08, "ESME_RSYSERR"},
        {0x0A, "ESME_RINVSRCADR"},
        {0x0B, "ESME_RINVDSTADR"},
        {0x0C, "ESME_RINVMSGID"},
        {0x0D, "ESME_RBINDFAIL"},
        {0x0E, "ESME_RINVPASWD"},
        {0x0F, "ESME_RINVSYSID"},
        {0x11, "ESME_RCANCELFAIL"},
        {0x13, "ESME_RREPLACEFAIL"},
        {0x14, "ESME_RMSGQFUL"},
        {0x15, "ESME_RINVSERTYP"},
        {0x33, "ESME_RINVNUMDESTS"},
        {0x34, "ESME_RINVDLNAME"},
        {0x40, "ESME_RINVDESTFLAG"},
        {0x42, "ESME_RINVSUBREP"},
        {0x43, "ESME_RINVESMCLASS"},
        {0x44, "ESME_RCNTSUBDL"},
        {0x45, "ESME_RSUBMITFAIL"},
        {0x48, "ESME_RINVSRCTON"},
        {0x49, "ESME_RINVSRCNPI"},
        {0x50, "ESME_RINVDSTTON"},
        {0x51, "ESME_RINVDSTNPI"},
        {0x53, "ESME_RINVSYSTYP"},
        {0x54, "ESME_RINVREPFLAG"},
        {0x55, "ESME_RINVNUMMSGS"},
        {0x58, "ESME_RTHROTTLED"},
        {0x61, "ESME_RINVSCHED"},
        {0x62, "ESME_RINVEXPIRY"},
        {0x63, "ESME_RINVDFTMSGID"},
        {0x64, "ESME_RX_T_APPN"},
        {0x65, "ESME_RX_P_APPN"},
        {0x66, "ESME_RX_R_APPN"},
        {0x67, "ESME_RQUERYFAIL"},
        {0xC0, "ESME_RINVOPTPARSTREAM"},
        {0xC1, "ESME_ROPTPARNOTALLWD"},
        {0xC2, "ESME_RINVPARLEN"},
        {0xC3, "ESME_RMISSINGOPTPARAM"},
        {0xC4, "ESME_RINVOPTPARAMVAL"},
        {0xFE, "ESME_RDELIVERYFAILURE"},
        {0xFF, "ESME_RUNKNOWNERR"},
    };
    const auto known = names.find(status);
    const QString number =
        QStringLiteral("0x") + QString::number(status, 16)
                                   .toUpper()
                                   .rightJustified(status > 0xFF ? 8 : 2, QLatin1Char('0'));
    return known == names.end()
               ? QStringLiteral("status ") + number
               : QStringLiteral("%1 (%2)").arg(QLatin1String(known->second), number);
}

}  // namespace korvane::smpp
