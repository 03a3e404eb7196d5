#include "channels/SmppSession.h"

#include <netinet/in.h>
#include <netinet/tcp.h>
#include <sys/socket.h>

#include <optional>

#include "channels/SmppTlsSetup.h"
#include "core/DoneWait.h"
#include "core/KorvaneError.h"
#include "core/StopDeadline.h"

namespace korvane {

using namespace smpp;

namespace {
constexpr quint8 kInterfaceVersion = 0x34;
constexpr int kUnbindWaitMs = 2000;
}  // namespace

SmppSession::SmppSession(SmppTimeouts timeouts, const StopDeadline* stop,
                         std::weak_ptr<const void> owner)
    : timeouts_(timeouts), stop_(stop), owner_(std::move(owner)) {
    idle_.setSingleShot(true);
    linkAnswer_.setSingleShot(true);
    connect(&idle_, &QTimer::timeout, this, &SmppSession::onIdle);
    connect(&linkAnswer_, &QTimer::timeout, this, [this] {
        ++keepAlive_->unanswered;
        fail(ErrorNumber::GatewayTimeout,
             QStringLiteral("Telvoro Server did not answer enquire_link within %1 seconds.")
                 .arg(timeouts_.linkAnswerMs / 1000.0));
    });
    connect(&socket_, &QSslSocket::readyRead, this, &SmppSession::onReadyRead);
    connect(&socket_, &QSslSocket::connected, this, [this] { tcpConnected_ = true; });
    connect(&socket_, &QSslSocket::sslErrors, this, [this](const QList<QSslError>& errors) {
        sslErrors_ = errors;
        if (tls_.insecure) {
            unverified_ = smpptls::describe(errors, socket_.peerName(), tls_);
            socket_.ignoreSslErrors();
        }
    });
    connect(&socket_, &QSslSocket::disconnected, this, [this] {
        onReadyRead();  // what came before the close still counts
        if (failure_.isEmpty()) {
            fail(ErrorNumber::GatewayClosed,
                 QStringLiteral("Telvoro Server closed the connection."));
        }
    });
}

SmppSession::~SmppSession() {
    abort();
}

// Connects, and with TLS completes the handshake within the same limit; nothing is written
// before the session is encrypted.
QCoro::Task<SmppSession::Bind> SmppSession::connectTo(QString server, qint32 port, SmppTls tls) {
    if (port <= 0 || port > 65535 || server.trimmed().isEmpty()) {
        co_return Bind::ConnectFailed;
    }
    tls_ = tls;
    if (tls.on) {
        if (const QString problem = smpptls::configure(socket_, tls); !problem.isEmpty()) {
            fail(ErrorNumber::GatewayTls,
                 QStringLiteral("TLS with Telvoro Server cannot be set up: %1.").arg(problem));
            co_return Bind::HandshakeFailed;
        }
        socket_.connectToHostEncrypted(server, static_cast<quint16>(port));
    } else {
        socket_.connectToHost(server, static_cast<quint16>(port));
    }
    const auto ready = [this, &tls] {
        return socket_.state() == QAbstractSocket::UnconnectedState ||
               (socket_.state() == QAbstractSocket::ConnectedState &&
                (!tls.on || socket_.isEncrypted()));
    };
    const bool done = co_await waitUnlessStopped(ready, QDeadlineTimer(timeouts_.connectMs));
    if (done && socket_.state() == QAbstractSocket::ConnectedState) {
        // Requests and answers are small and many are in flight: each goes at once rather
        // than waiting behind the acknowledgement of the one before (Nagle).
        socket_.setSocketOption(QAbstractSocket::LowDelayOption, 1);
        co_return Bind::Bound;
    }
    const QString socketError = socket_.errorString();
    socket_.abort();
    if (!tls.on || !tcpConnected_) {
        co_return Bind::ConnectFailed;
    }
    failure_.clear();  // the close that ended the handshake says less than the handshake
    fail(ErrorNumber::GatewayTls,
         done ? smpptls::handshakeFailed(sslErrors_, socketError, server, tls)
              : QStringLiteral("The TLS handshake with Telvoro Server failed: it did not "
                               "complete within %1 seconds.")
                    .arg(timeouts_.connectMs / 1000.0));
    co_return Bind::HandshakeFailed;
}

QCoro::Task<SmppSession::Bind> SmppSession::open(QString server, qint32 port, QString user,
                                                 QString password, bool transceiver, SmppTls tls) {
    if (const Bind connected = co_await connectTo(server, port, tls); connected != Bind::Bound) {
        co_return connected;
    }
    PduWriter body;
    body.cString(user.toLatin1())
        .cString(password.toLatin1())
        .cString(QByteArray())  // system_type
        .u8(kInterfaceVersion)
        .u8(0)  // addr_ton
        .u8(0)  // addr_npi
        .cString(QByteArray());
    const quint32 sequence = send(transceiver ? Command::BindTransceiver : Command::BindTransmitter,
                                  body.finish(0, 0, 0).mid(kHeaderSize));
    const QDeadlineTimer deadline(timeouts_.responseMs);
    while (!hasReply(sequence)) {
        if (!failure_.isEmpty()) {
            throw KorvaneError(failureNumber_, failure_);
        }
        if (stop_ != nullptr && stop_->passed()) {
            abort();
            throw KorvaneError(ErrorNumber::GatewayTimeout,
                               QStringLiteral("Korvane is ending and Telvoro Server had not "
                                              "answered yet."));
        }
        if (deadline.hasExpired()) {
            abort();
            throw KorvaneError(ErrorNumber::GatewayTimeout,
                               QStringLiteral("Telvoro Server did not answer within %1 seconds.")
                                   .arg(timeouts_.responseMs / 1000.0));
        }
        const quint64 before = arrivals_;
        co_await waitUnlessStopped([&] { return arrivals_ != before || !failure_.isEmpty(); },
                                   deadline);
    }
    const Pdu reply = takeReply(sequence);
    if (reply.commandId == Command::GenericNack && transceiver) {
        abort();
        bindStatus_ = reply.status != Status::Ok ? reply.status : Status::InvalidCommandId;
        co_return Bind::Refused;
    }
    if (reply.commandId == Command::GenericNack) {
        abort();
        throw KorvaneError(ErrorNumber::GatewayProtocol,
                           QStringLiteral("Telvoro Server refused the request (generic_nack, %1).")
                               .arg(describeStatus(reply.status)));
    }
    bound_ = reply.status == Status::Ok;
    bindStatus_ = reply.status;
    if (!bound_) {
        abort();
        co_return Bind::Refused;
    }
    co_return Bind::Bound;
}

quint32 SmppSession::send(quint32 commandId, const QByteArray& body) {
    if (!failure_.isEmpty() || socket_.state() != QAbstractSocket::ConnectedState) {
        throw KorvaneError(ErrorNumber::GatewayClosed,
                           QStringLiteral("Not connected to Telvoro Server."));
    }
    const quint32 sequence = ++sequence_;
    PduWriter writer;
    writer.bytes(body);
    waiting_[sequence] = true;
    sendRaw(writer.finish(commandId, Status::Ok, sequence));
    return sequence;
}

void SmppSession::respond(quint32 commandId, quint32 status, quint32 sequence,
                          const QByteArray& body) {
    if (failure_.isEmpty() && socket_.state() == QAbstractSocket::ConnectedState) {
        sendRaw(PduWriter().bytes(body).finish(commandId, status, sequence));
    }
}

void SmppSession::keepAlive(KeepAliveCounts* counts) {
    keepAlive_ = counts;
    idle_.start(timeouts_.idleMs);
}

void SmppSession::takeInWhatCame() {
    if (socket_.state() == QAbstractSocket::ConnectedState && failure_.isEmpty()) {
        socket_.waitForReadyRead(0);  // emits readyRead, or disconnected, for this socket only
    }
}

void SmppSession::onIdle() {
    if (!isBound() || linkSequence_ != 0) {
        return;
    }
    linkSequence_ = ++sequence_;
    ++keepAlive_->sent;
    linkAnswer_.start(timeouts_.linkAnswerMs);
    sendRaw(PduWriter().finish(Command::EnquireLink, Status::Ok, linkSequence_));
}

void SmppSession::sendRaw(const QByteArray& bytes) {
    if (keepAlive_ != nullptr && linkSequence_ == 0) {
        idle_.start(timeouts_.idleMs);  // traffic: no enquire_link needed yet
    }
    // Written to the socket's buffer; the event loop takes it out as the peer reads.
    if (socket_.write(bytes) != bytes.size()) {
        fail(ErrorNumber::GatewaySocket,
             QStringLiteral("Cannot write to Telvoro Server: ") + socket_.errorString());
        return;
    }
    socket_.flush();  // out now, not at the next turn of the event loop
}

Pdu SmppSession::takeReply(quint32 sequence) {
    auto it = replies_.find(sequence);
    Pdu pdu = it->second;
    replies_.erase(it);
    return pdu;
}

QCoro::Task<bool> SmppSession::waitUnlessStopped(std::function<bool()> done,
                                                 QDeadlineTimer deadline) {
    for (;;) {
        if (done()) {
            co_return true;
        }
        if (deadline.hasExpired() || (stop_ != nullptr && stop_->passed())) {
            co_return false;
        }
        // A stop deadline set meanwhile (SIGTERM) ends the wait, so that it is taken in.
        const quint64 changes = stop_ != nullptr ? stop_->changes() : 0;
        const QDeadlineTimer until = stop_ != nullptr ? stop_->capped(deadline) : deadline;
        co_await DoneWait(
            [&] { return done() || (stop_ != nullptr && stop_->changes() != changes); }, until,
            owner_);
    }
}

void SmppSession::onReadyRead() {
    if (!socket_.isOpen()) {
        return;
    }
    // Once the connection is gone, reading what is left must not touch the closed socket.
    if (socket_.bytesAvailable() > 0) {
        buffer_.append(socket_.readAll());
    }
    acknowledgeNow();
    for (;;) {
        Pdu pdu;
        const PduReader::Result result = PduReader::take(buffer_, pdu);
        if (result == PduReader::Result::NeedMore) {
            break;
        }
        if (result == PduReader::Result::Invalid) {
            fail(ErrorNumber::GatewayProtocol,
                 QStringLiteral("Telvoro Server sent a malformed reply."));
            return;
        }
        ++arrivals_;
        if (keepAlive_ != nullptr && linkSequence_ == 0) {
            idle_.start(timeouts_.idleMs);
        }
        if (!take(pdu)) {
            return;
        }
    }
    if (static_cast<quint32>(buffer_.size()) > 4 * kMaxPduSize) {
        fail(ErrorNumber::GatewayProtocol, QStringLiteral("Telvoro Server sent too much data."));
    }
}

// One PDU from the gateway: an answer, or a request of its own. False when it ended the
// session.
bool SmppSession::take(Pdu& pdu) {
    if (pdu.commandId == Command::EnquireLinkResp && pdu.sequence == linkSequence_ &&
        linkSequence_ != 0) {
        linkSequence_ = 0;
        linkAnswer_.stop();
        idle_.start(timeouts_.idleMs);
    } else if (pdu.commandId == Command::EnquireLink) {
        sendRaw(PduWriter().finish(Command::EnquireLinkResp, Status::Ok, pdu.sequence));
    } else if (pdu.commandId == Command::Unbind) {
        sendRaw(PduWriter().finish(Command::UnbindResp, Status::Ok, pdu.sequence));
        socket_.flush();
        fail(ErrorNumber::GatewayClosed, QStringLiteral("Telvoro Server ended the session."));
        return false;
    } else if (pdu.commandId == Command::GenericNack && pdu.sequence == 0) {
        // The gateway could not read a request far enough to name it: with one in flight it
        // is that one's answer, with several the session can no longer be trusted.
        if (waiting_.size() != 1) {
            fail(ErrorNumber::GatewayProtocol,
                 QStringLiteral("Telvoro Server refused a request (generic_nack, %1).")
                     .arg(describeStatus(pdu.status)));
            return false;
        }
        pdu.sequence = waiting_.begin()->first;
        waiting_.clear();
        replies_[pdu.sequence] = pdu;
    } else if (pdu.commandId == Command::DeliverSm && deliveries_) {
        deliveries_(pdu);
    } else if ((pdu.commandId & 0x80000000u) != 0) {
        if (waiting_.erase(pdu.sequence) != 0) {
            replies_[pdu.sequence] = pdu;
        }  // late or unknown sequence numbers are dropped
    } else {
        // A request this session does not serve.
        sendRaw(PduWriter().finish(Command::GenericNack, Status::InvalidCommandId, pdu.sequence));
    }
    return true;
}

// What was read is acknowledged at once rather than with the next request. A gateway that
// delays small writes until its last one is acknowledged (Nagle) would otherwise hold a
// submit's answer behind an unanswered receipt for up to 40 ms, while the window is full and
// no request goes out to carry the acknowledgement. Linux keeps this for one read only.
void SmppSession::acknowledgeNow() {
#ifdef TCP_QUICKACK
    const int one = 1;
    setsockopt(int(socket_.socketDescriptor()), IPPROTO_TCP, TCP_QUICKACK, &one, sizeof(one));
#endif
}

void SmppSession::fail(qint32 number, const QString& description) {
    if (failure_.isEmpty()) {
        failure_ = description;
        failureNumber_ = number;
    }
    bound_ = false;
    socket_.abort();
    buffer_.clear();
    idle_.stop();
    linkAnswer_.stop();
}

QCoro::Task<> SmppSession::close() {
    if (isBound() && waiting_.empty()) {
        bound_ = false;
        std::optional<quint32> sequence;
        try {
            sequence = send(Command::Unbind, QByteArray());
        } catch (const KorvaneError&) {
            // Every message is answered already; a gateway that ends rudely is fine.
        }
        if (sequence) {
            const QDeadlineTimer deadline(std::min(kUnbindWaitMs, timeouts_.responseMs));
            co_await waitUnlessStopped([&] { return hasReply(*sequence) || !failure_.isEmpty(); },
                                       deadline);
        }
    }
    abort();
}

void SmppSession::abort() {
    bound_ = false;
    socket_.abort();
    buffer_.clear();
    idle_.stop();
    linkAnswer_.stop();
}

}  // namespace korvane
