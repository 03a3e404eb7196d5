#include "channels/GatewayLink.h"

#include <algorithm>

#include "core/Conversion.h"
#include "core/KorvaneError.h"

namespace korvane {

using namespace smpp;

namespace {
const char* const kLoginFailed =
    "Cannot connect to Telvoro Server... Please check telvoro User Name And/Or Password.";
const char* const kConnectFailed =
    "Cannot connect to Telvoro Server... Please check Telvoro Server address And/Or Port No.";
}  // namespace

bool GatewayLink::boundTo(const SmsGateway& gateway) const {
    return boundTo_.sameAs(gateway) &&
           (!session_ || boundAsTransceiver_ == (receipts_ && !transceiverRefused_));
}

// A transceiver bind the gateway refuses for any reason but the account is tried again as a
// transmitter: receipts then do not come, and sending goes on.
std::unique_ptr<SmppSession> GatewayLink::newSession() {
    auto session = std::make_unique<SmppSession>(timeouts_, stop_, owner_);
    if (deliveries_ && receipts_) {
        SmppSession* own = session.get();
        session->setDeliveries([this, own](const Pdu& pdu) { deliveries_(*own, pdu); });
    }
    return session;
}

// A transceiver bind the gateway refuses for any reason but the account is tried again as a
// transmitter, on a new connection: receipts then do not come, and sending goes on.
QCoro::Task<SmppSession::Bind> GatewayLink::open(std::unique_ptr<SmppSession>& session,
                                                 SmsGateway gateway, bool transceiver) {
    const qint32 port = toInt32(gateway.port);
    session = newSession();
    SmppSession::Bind bind = co_await session->open(gateway.server, port, gateway.user,
                                                    gateway.password, transceiver, gateway.tls);
    const quint32 status = session->bindStatus();
    if (transceiver && bind == SmppSession::Bind::Refused && status != Status::InvalidPassword &&
        status != Status::InvalidSystemId) {
        transceiverRefused_ = true;
        if (notice_) {
            notice_(QStringLiteral("Telvoro Server refused bind_transceiver (%1): bound as a "
                                   "transmitter, so no delivery receipts will come.")
                        .arg(describeStatus(status)));
        }
        session = newSession();
        bind = co_await session->open(gateway.server, port, gateway.user, gateway.password, false,
                                      gateway.tls);
    }
    if (bind == SmppSession::Bind::Bound && gateway.tls.on && gateway.tls.insecure) {
        const QString unverified = session->unverified();
        bindNotice_ =
            QStringLiteral(
                "Telvoro Server's certificate is not checked "
                "(CellTlsInsecure=1)%1.")
                .arg(unverified.isEmpty() ? QString() : QStringLiteral(": ") + unverified);
    }
    boundAsTransceiver_ = transceiver && !transceiverRefused_;
    co_return bind;
}

QCoro::Task<QString> GatewayLink::bind(SmsGateway gateway) {
    if (backingOff() && boundTo(gateway)) {
        co_return backOff_.line();  // still backing off from the last refusal
    }
    co_await close();
    if (!boundTo_.server.isEmpty() &&
        (boundTo_.server != gateway.server || boundTo_.port != gateway.port)) {
        transceiverRefused_ = false;  // another gateway may take it
    }
    boundTo_ = gateway;
    try {
        std::unique_ptr<SmppSession> session;
        const bool transceiver = receipts_ && !transceiverRefused_;
        switch (co_await open(session, gateway, transceiver)) {
            case SmppSession::Bind::ConnectFailed:
                co_return refused(QStringLiteral("connect"), QString::fromLatin1(kConnectFailed));
            case SmppSession::Bind::HandshakeFailed:
                co_return refused(QStringLiteral("tls"),
                                  errorLine(session->failureNumber(), session->failure()));
            case SmppSession::Bind::Refused: {
                const quint32 status = session->bindStatus();
                co_return refused(describeStatus(status).section(QLatin1Char(' '), 0, 0),
                                  refusalLine(status));
            }
            case SmppSession::Bind::Bound:
                break;
        }
        session_ = std::move(session);
        session_->keepAlive(&counts_.keepAlive);
        ++counts_.binds;
        backOff_.reset();
    } catch (const KorvaneError& error) {
        co_return refused(QStringLiteral("error"), errorLine(error));
    }
    co_return QString();
}

// A wrong account keeps the line users know; any other refusal (the account's bind limit, a
// gateway in trouble) names the status instead of blaming the password.
QString GatewayLink::refusalLine(quint32 status) const {
    return status == Status::InvalidPassword || status == Status::InvalidSystemId
               ? QString::fromLatin1(kLoginFailed)
               : errorLine(ErrorNumber::GatewayRefused,
                           QStringLiteral("Telvoro Server refused the bind: %1.")
                               .arg(describeStatus(status)));
}

QString GatewayLink::refused(const QString& status, const QString& line) {
    ++counts_.bindFailures[status];
    backOff_.refused(sinceStart_.elapsed(), line);
    return line;
}

QCoro::Task<> GatewayLink::close() {
    if (session_) {
        // Taken first: a bind that starts meanwhile makes a session of its own.
        const std::unique_ptr<SmppSession> closing = std::move(session_);
        co_await closing->close();
    }
}

void GatewayLink::drop() {
    if (session_) {
        counts_.drops += session_->failure().isEmpty() ? 0 : 1;
        session_->abort();
        session_.reset();
    }
}

void GatewayLink::retryNow() {
    backOff_.reset();
}

}  // namespace korvane
