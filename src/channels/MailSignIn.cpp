#include "channels/MailSignIn.h"

#include "core/Clock.h"
#include "core/KorvaneError.h"

namespace korvane {

MailSignIn::MailSignIn(TokenEndpoint& endpoint, const Clock& clock)
    : endpoint_(endpoint), clock_(clock) {}

qint64 MailSignIn::nowMs() const {
    return clock_.now().toMSecsSinceEpoch();
}

bool MailSignIn::backingOff(const SmtpServer& server) const {
    return backOff_.waiting(nowMs()) && refusedFor_ == signIn(server);
}

SendResult MailSignIn::refusal() const {
    return SendResult{refusedAs_, backOff_.line()};
}

void MailSignIn::refused(const SmtpServer& server, const SendResult& result) {
    refusedAs_ = result.passing() ? Delivery::Unreachable : Delivery::AccountRefused;
    refusedFor_ = signIn(server);
    backOff_.refused(nowMs(), result.failure);
}

// Everything the token stands for: another client, grant or mailbox needs a token of its own.
QString MailSignIn::account(const SmtpServer& server) {
    return QStringList{server.tokenUrl,     server.clientId, server.clientSecret,
                       server.refreshToken, server.scope,    server.userName}
        .join(QChar(0));
}

// Everything a sign-in is made of: another server, account or method may be let in.
QString MailSignIn::signIn(const SmtpServer& server) {
    return QStringList{server.name(), server.userName, server.password, server.auth,
                       account(server)}
        .join(QChar(0));
}

QCoro::Task<MailSignIn::Bearer> MailSignIn::bearer(SmtpServer given, long connectTimeoutMs,
                                                   long totalTimeoutMs) {
    SmtpServer server = given;
    if (!rotatedFrom_.isEmpty() && server.refreshToken == rotatedFrom_) {
        server.refreshToken = rotatedTo_;  // until the stored setting reads the new one
    }
    const QString account = MailSignIn::account(server);
    if (!token_.isEmpty() && account == tokenFor_ && nowMs() < tokenUntilMs_) {
        co_return Bearer{token_, false, {}};
    }
    token_.clear();
    const TokenRequest request{server.tokenUrl,     server.clientId, server.clientSecret,
                               server.refreshToken, server.scope,    server.caFile,
                               connectTimeoutMs,    totalTimeoutMs};
    const TokenAnswer answer = co_await endpoint_.request(request);
    if (answer.kind != TokenAnswer::Kind::Issued) {
        Bearer none;
        none.failure =
            SendResult{answer.kind == TokenAnswer::Kind::Unreachable ? Delivery::Unreachable
                                                                     : Delivery::AccountRefused,
                       errorLine(answer.number, answer.failure)};
        co_return none;
    }
    const qint64 life = answer.expiresInS > 0 ? answer.expiresInS : kAssumedLifeS;
    const qint64 usable = life > 2 * kTokenMarginS ? life - kTokenMarginS : life / 2;
    token_ = answer.accessToken;
    tokenUntilMs_ = nowMs() + usable * 1000;
    if (!answer.refreshToken.isEmpty() && answer.refreshToken != server.refreshToken) {
        rotatedFrom_ = given.refreshToken;
        rotatedTo_ = answer.refreshToken;
        server.refreshToken = answer.refreshToken;
        if (rotated_) {
            rotated_(given.refreshToken, answer.refreshToken);
        }
    }
    tokenFor_ = MailSignIn::account(server);
    co_return Bearer{token_, true, {}};
}

}  // namespace korvane
