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
    return boundTo_.server == gateway.server && boundTo_.port == gateway.port &&
           boundTo_.user == gateway.user && boundTo_.password == gateway.password;
}

QString GatewayLink::bind(const SmsGateway& gateway) {
    if (!retryAt_.hasExpired() && boundTo(gateway)) {
        return lastFailure_;  // still backing off from the last refusal
    }
    close();
    boundTo_ = gateway;
    try {
        const qint32 port = toInt32(gateway.port);
        auto session = std::make_unique<SmppSession>(timeouts_, stop_);
        switch (session->open(gateway.server, port, gateway.user, gateway.password)) {
            case SmppSession::Bind::ConnectFailed:
                return refused(QStringLiteral("connect"), QString::fromLatin1(kConnectFailed));
            case SmppSession::Bind::Refused: {
                const quint32 status = session->bindStatus();
                // A wrong account keeps the line users know; any other refusal (the account's
                // bind limit, a gateway in trouble) names the status instead of blaming the
                // password.
                const QString line =
                    status == Status::InvalidPassword || status == Status::InvalidSystemId
                        ? QString::fromLatin1(kLoginFailed)
                        : errorLine(ErrorNumber::GatewayRefused,
                                    QStringLiteral("Telvoro Server refused the bind: %1.")
                                        .arg(describeStatus(status)));
                return refused(describeStatus(status).section(QLatin1Char(' '), 0, 0), line);
            }
            case SmppSession::Bind::Bound:
                break;
        }
        session_ = std::move(session);
        session_->keepAlive(&counts_.keepAlive);
        ++counts_.binds;
        backOffMs_ = 0;
        lastFailure_.clear();
    } catch (const KorvaneError& error) {
        return refused(QStringLiteral("error"), errorLine(error));
    }
    return QString();
}

QString GatewayLink::refused(const QString& status, const QString& line) {
    ++counts_.bindFailures[status];
    backOffMs_ = backOffMs_ == 0 ? timeouts_.firstBindRetryMs
                                 : std::min(timeouts_.longestBindRetryMs, 2 * backOffMs_);
    retryAt_ = QDeadlineTimer(backOffMs_);
    lastFailure_ = line;
    return line;
}

void GatewayLink::close() {
    if (session_) {
        session_->close();
        session_.reset();
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
    retryAt_ = QDeadlineTimer(0);
    backOffMs_ = 0;
}

}  // namespace korvane
