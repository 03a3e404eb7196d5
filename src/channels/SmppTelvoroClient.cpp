#include "channels/SmppTelvoroClient.h"

#include <QDeadlineTimer>
#include <QRandomGenerator>
#include <QRegularExpression>

#include "channels/SmsEncoding.h"
#include "core/KorvaneError.h"

namespace korvane {

using namespace smpp;

namespace {
constexpr quint8 kInterfaceVersion = 0x34;
constexpr quint8 kTonUnknown = 0;
constexpr quint8 kTonInternational = 1;
constexpr quint8 kTonAlphanumeric = 5;
constexpr quint8 kNpiIsdn = 1;
constexpr quint8 kEsmUdhIndicator = 0x40;
constexpr int kUnbindWaitMs = 2000;
}  // namespace

TelvoroClient::~TelvoroClient() = default;

SmppTelvoroClient::SmppTelvoroClient() : SmppTelvoroClient(Timeouts()) {}

SmppTelvoroClient::SmppTelvoroClient(Timeouts timeouts) : timeouts_(timeouts) {}

SmppTelvoroClient::~SmppTelvoroClient() {
    unbindAndClose();
}

TelvoroClientFactory SmppTelvoroClient::factory(Timeouts timeouts) {
    return [timeouts]() -> std::unique_ptr<TelvoroClient> {
        return std::make_unique<SmppTelvoroClient>(timeouts);
    };
}

bool SmppTelvoroClient::Connect(const QString& server, qint32 port) {
    if (port <= 0 || port > 65535 || server.trimmed().isEmpty()) {
        return false;
    }
    socket_.connectToHost(server, static_cast<quint16>(port));
    if (!socket_.waitForConnected(timeouts_.connectMs)) {
        socket_.abort();
        return false;
    }
    return true;
}

bool SmppTelvoroClient::Login(const QString& user, const QString& password) {
    if (socket_.state() != QAbstractSocket::ConnectedState) {
        return false;
    }
    PduWriter body;
    body.cString(user.toLatin1())
        .cString(password.toLatin1())
        .cString(QByteArray())  // system_type
        .u8(kInterfaceVersion)
        .u8(kTonUnknown)
        .u8(0)
        .cString(QByteArray());  // address_range
    const Pdu response = request(Command::BindTransmitter, body.finish(0, 0, 0).mid(kHeaderSize),
                                 Command::BindTransmitterResp);
    bound_ = response.status == Status::Ok;
    return bound_;
}

bool SmppTelvoroClient::parseNumber(const QString& text, Address& address) {
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

bool SmppTelvoroClient::SetSender(const QString& name) {
    // A sender is either a phone number or an alphanumeric name of at most 11 characters.
    static const QRegularExpression alphanumeric(QStringLiteral("^[A-Za-z0-9 ._&-]{1,11}$"));
    Address address;
    if (parseNumber(name, address)) {
        sender_ = address;
    } else if (alphanumeric.match(name).hasMatch()) {
        sender_ = Address{kTonAlphanumeric, 0, name.toLatin1()};
    } else {
        return false;
    }
    haveSender_ = true;
    return true;
}

bool SmppTelvoroClient::SetMobileNumber(const QString& number) {
    haveDestination_ = parseNumber(number.trimmed(), destination_);
    return haveDestination_;
}

bool SmppTelvoroClient::SetMessage(const QString& text) {
    message_ = text;
    return !text.isEmpty();
}

bool SmppTelvoroClient::Send() {
    if (!bound_ || !haveSender_ || !haveDestination_ || message_.isEmpty()) {
        fail(ErrorNumber::GatewayProtocol,
             QStringLiteral("The message is not complete: log in and set sender, mobile number "
                            "and text before sending."));
    }
    const EncodedSms sms =
        encodeSms(message_, static_cast<quint8>(QRandomGenerator::global()->bounded(256)));
    if (sms.parts.empty()) {
        fail(ErrorNumber::GatewayProtocol,
             QStringLiteral("The message is too long: it needs more than 255 SMS parts."));
    }
    // Once a submit has been written the gateway may have taken it: any failure after that, or
    // a refusal of a later part, leaves the message in doubt rather than not sent.
    int accepted = 0;
    for (const QByteArray& part : sms.parts) {
        PduWriter body;
        body.cString(QByteArray())  // service_type
            .u8(sender_.ton)
            .u8(sender_.npi)
            .cString(sender_.digits)
            .u8(destination_.ton)
            .u8(destination_.npi)
            .cString(destination_.digits)
            .u8(sms.concatenated ? kEsmUdhIndicator : 0)
            .u8(0)                  // protocol_id
            .u8(0)                  // priority_flag
            .cString(QByteArray())  // schedule_delivery_time
            .cString(QByteArray())  // validity_period
            .u8(0)                  // registered_delivery
            .u8(0)                  // replace_if_present_flag
            .u8(sms.dataCoding)
            .u8(0)  // sm_default_msg_id
            .u8(static_cast<quint8>(part.size()))
            .bytes(part);
        Pdu response;
        try {
            response = request(Command::SubmitSm, body.finish(0, 0, 0).mid(kHeaderSize),
                               Command::SubmitSmResp, true);
        } catch (const KorvaneError& error) {
            if (!written_) {
                throw;
            }
            throw DeliveryInDoubt(
                error.number(),
                error.description() + QStringLiteral(" Part %1 of %2 may have been sent.")
                                          .arg(accepted + 1)
                                          .arg(sms.parts.size()));
        }
        if (response.commandId == Command::GenericNack || response.status != Status::Ok) {
            if (accepted == 0) {
                return false;
            }
            fail<DeliveryInDoubt>(
                ErrorNumber::GatewayProtocol,
                QStringLiteral("Telvoro Server refused part %1 of %2 (%3) after accepting the "
                               "earlier parts.")
                    .arg(accepted + 1)
                    .arg(sms.parts.size())
                    .arg(describeStatus(response.status)));
        }
        ++accepted;
    }
    unbindAndClose();
    return true;
}

Pdu SmppTelvoroClient::request(quint32 commandId, const QByteArray& body, quint32 expectedResponse,
                               bool nackAnswers) {
    written_ = false;
    if (socket_.state() != QAbstractSocket::ConnectedState) {
        fail(ErrorNumber::GatewayClosed, QStringLiteral("Not connected to Telvoro Server."));
    }
    const quint32 sequence = ++sequence_;
    PduWriter writer;
    writer.bytes(body);
    written_ = true;
    sendRaw(writer.finish(commandId, Status::Ok, sequence));

    QDeadlineTimer deadline(timeouts_.responseMs);
    for (;;) {
        const Pdu pdu = nextPdu(static_cast<int>(deadline.remainingTime()));
        if (pdu.commandId == Command::EnquireLink) {
            sendRaw(PduWriter().finish(Command::EnquireLinkResp, Status::Ok, pdu.sequence));
            continue;
        }
        // Sequence 0: the gateway could not read the request far enough to name it.
        if (pdu.commandId == Command::GenericNack &&
            (pdu.sequence == sequence || pdu.sequence == 0)) {
            if (nackAnswers) {
                return pdu;
            }
            fail(ErrorNumber::GatewayProtocol,
                 QStringLiteral("Telvoro Server refused the request (generic_nack, %1).")
                     .arg(describeStatus(pdu.status)));
        }
        if (pdu.commandId == expectedResponse && pdu.sequence == sequence) {
            return pdu;
        }
        if (pdu.commandId == Command::Unbind) {
            sendRaw(PduWriter().finish(Command::UnbindResp, Status::Ok, pdu.sequence));
            bound_ = false;
            fail(ErrorNumber::GatewayClosed, QStringLiteral("Telvoro Server ended the session."));
        }
        if ((pdu.commandId & 0x80000000u) == 0) {
            // A request this transmitter does not serve.
            sendRaw(
                PduWriter().finish(Command::GenericNack, Status::InvalidCommandId, pdu.sequence));
        }
        // Stray responses (late or unknown sequence numbers) are dropped.
    }
}

Pdu SmppTelvoroClient::nextPdu(int timeoutMs) {
    QDeadlineTimer deadline(std::max(timeoutMs, 0));
    for (;;) {
        Pdu pdu;
        switch (PduReader::take(buffer_, pdu)) {
            case PduReader::Result::Complete:
                return pdu;
            case PduReader::Result::Invalid:
                fail(ErrorNumber::GatewayProtocol,
                     QStringLiteral("Telvoro Server sent a malformed reply."));
            case PduReader::Result::NeedMore:
                break;
        }
        if (socket_.state() != QAbstractSocket::ConnectedState && socket_.bytesAvailable() == 0) {
            fail(ErrorNumber::GatewayClosed,
                 QStringLiteral("Telvoro Server closed the connection."));
        }
        if (deadline.hasExpired()) {
            fail(ErrorNumber::GatewayTimeout,
                 QStringLiteral("Telvoro Server did not answer within %1 seconds.")
                     .arg(timeouts_.responseMs / 1000.0));
        }
        if (socket_.bytesAvailable() == 0 &&
            !socket_.waitForReadyRead(static_cast<int>(deadline.remainingTime()))) {
            if (socket_.state() != QAbstractSocket::ConnectedState) {
                fail(ErrorNumber::GatewayClosed,
                     QStringLiteral("Telvoro Server closed the connection."));
            }
            continue;
        }
        buffer_.append(socket_.readAll());
        if (static_cast<quint32>(buffer_.size()) > 4 * kMaxPduSize) {
            fail(ErrorNumber::GatewayProtocol,
                 QStringLiteral("Telvoro Server sent too much data."));
        }
    }
}

void SmppTelvoroClient::sendRaw(const QByteArray& bytes) {
    if (socket_.write(bytes) != bytes.size() ||
        !socket_.waitForBytesWritten(timeouts_.responseMs)) {
        if (socket_.bytesToWrite() > 0 || socket_.state() != QAbstractSocket::ConnectedState) {
            fail(ErrorNumber::GatewaySocket,
                 QStringLiteral("Cannot write to Telvoro Server: ") + socket_.errorString());
        }
    }
}

void SmppTelvoroClient::unbindAndClose() {
    if (bound_ && socket_.state() == QAbstractSocket::ConnectedState) {
        bound_ = false;
        try {
            const quint32 sequence = ++sequence_;
            sendRaw(PduWriter().finish(Command::Unbind, Status::Ok, sequence));
            QDeadlineTimer deadline(std::min(kUnbindWaitMs, timeouts_.responseMs));
            while (!deadline.hasExpired()) {
                const Pdu pdu = nextPdu(static_cast<int>(deadline.remainingTime()));
                if (pdu.commandId == Command::UnbindResp || pdu.commandId == Command::GenericNack) {
                    break;
                }
            }
        } catch (const KorvaneError&) {
            // The message is already accepted; a gateway that ends the session rudely is fine.
        }
    }
    bound_ = false;
    socket_.abort();
    buffer_.clear();
}

template <typename Error>
void SmppTelvoroClient::fail(qint32 number, const QString& description) {
    bound_ = false;
    socket_.abort();
    buffer_.clear();
    throw Error(number, description);
}

}  // namespace korvane
