#include "channels/EmailSender.h"

#include <algorithm>

#include "channels/CurlMailTransport.h"
#include "channels/CurlTokenEndpoint.h"
#include "channels/MailComposer.h"
#include "core/Clock.h"
#include "core/KorvaneError.h"

namespace korvane {

struct EmailSender::Route {
    MailTransport& transport;
    MailSignIn signIn;
};

EmailSender::EmailSender(MailTransport& first, Parts parts) {
    if (parts.second == nullptr) {
        ownSecond_ = std::make_unique<CurlMailTransport>();
        parts.second = ownSecond_.get();
    }
    if (parts.tokens == nullptr) {
        ownTokens_ = std::make_unique<CurlTokenEndpoint>();
        parts.tokens = ownTokens_.get();
    }
    if (parts.clock == nullptr) {
        ownClock_ = std::make_unique<SystemClock>();
        parts.clock = ownClock_.get();
    }
    routes_[0] = std::make_unique<Route>(Route{first, MailSignIn(*parts.tokens, *parts.clock)});
    routes_[1] =
        std::make_unique<Route>(Route{*parts.second, MailSignIn(*parts.tokens, *parts.clock)});
}

EmailSender::~EmailSender() = default;

void EmailSender::endSession() {
    for (const auto& route : routes_) {
        route->transport.endSession();
    }
}

void EmailSender::retryNow() {
    for (const auto& route : routes_) {
        route->signIn.retryNow();
    }
}

void EmailSender::setRotation(const std::function<void(const QString&, const QString&)>& rotated) {
    for (const auto& route : routes_) {
        route->signIn.setRotation(rotated);
    }
}

void EmailSender::setTimeouts(long connectMs, long responseMs, long totalMs) {
    timeouts_.connectTimeoutMs = connectMs;
    timeouts_.responseTimeoutMs = responseMs;
    timeouts_.totalTimeoutMs = totalMs;
}

QCoro::Task<SendResult> EmailSender::sendEmail(MailMessage message, QList<SmtpServer> servers) {
    ComposedMail mail;
    try {
        mail = composeMail(message);
    } catch (const KorvaneError& error) {
        co_return SendResult{Delivery::Refused, errorLine(error)};
    }
    const qint64 start = mail.data->pos();
    const int count = std::min(int(servers.size()), 2);
    QStringList notes;
    for (int i = 0;; ++i) {
        Tried tried = co_await sendVia(*routes_[i], servers[i], *mail.data, mail.envelopeFrom,
                                       mail.recipients);
        SendResult& result = tried.result;
        if (!result.note.isEmpty()) {
            notes << result.note;
        }
        const bool another =
            i + 1 < count && result.notSent() && tried.untouched && mail.data->seek(start);
        if (another) {
            notes << QStringLiteral(
                         "Mail server %1 took nothing of the mail (%2), so it goes to "
                         "mail server %3.")
                         .arg(servers[i].name(), result.failure, servers[i + 1].name());
            continue;
        }
        if (count > 1 && result.delivery == Delivery::Sent) {
            notes << QStringLiteral("The mail went through mail server %1.").arg(result.server);
        }
        result.note = notes.join(QLatin1Char('\n'));
        co_return result;
    }
}

QCoro::Task<EmailSender::Tried> EmailSender::sendVia(Route& route, const SmtpServer& server,
                                                     QIODevice& data, const QByteArray& from,
                                                     const QList<QByteArray>& recipients) {
    if (route.signIn.backingOff(server)) {
        co_return Tried{route.signIn.refusal(), true};  // no sign-in of its own
    }
    SmtpSettings settings = timeouts_;
    static_cast<SmtpServer&>(settings) = server;
    if (settings.oauth2() && settings.userName.isEmpty()) {
        co_return Tried{
            SendResult{Delivery::Refused,
                       errorLine(ErrorNumber::SignInSettings,
                                 QStringLiteral("SMTPUserName is empty: with OAuth 2.0 "
                                                "it names the mailbox to sign in to."))},
            true};
    }
    co_return co_await signInAndSend(route, settings, data, from, recipients);
}

// A kept token the server refuses may have been revoked or expired early: one new token is
// asked for before the refusal counts.
QCoro::Task<EmailSender::Tried> EmailSender::signInAndSend(Route& route, SmtpSettings settings,
                                                           QIODevice& data, const QByteArray& from,
                                                           const QList<QByteArray>& recipients) {
    const qint64 start = data.pos();
    for (bool again = settings.oauth2();; again = false) {
        bool fresh = false;
        if (settings.oauth2()) {
            MailSignIn::Bearer bearer = co_await route.signIn.bearer(
                settings, settings.connectTimeoutMs, settings.totalTimeoutMs);
            if (bearer.token.isEmpty()) {
                if (!bearer.failure.passing()) {
                    route.signIn.refused(settings, bearer.failure);
                }
                co_return Tried{bearer.failure, true};
            }
            settings.bearer = bearer.token;
            fresh = bearer.fresh;
        }
        try {
            QString note = co_await route.transport.send(settings, from, recipients, data);
            SendResult sent{Delivery::Sent, QString(), std::move(note)};
            sent.server = settings.name();
            route.signIn.succeeded();
            co_return Tried{sent, false};
        } catch (const SignInRefused& error) {
            if (again && !fresh && data.seek(start)) {
                route.signIn.forgetToken();
                continue;
            }
            const SendResult refused{Delivery::Unreachable, errorLine(error)};
            route.signIn.refused(settings, refused);
            co_return Tried{refused, true};
        } catch (const DeliveryInDoubt& error) {
            co_return Tried{SendResult{Delivery::InDoubt, errorLine(error)}, false};
        } catch (const PassingFailure& error) {
            co_return Tried{
                SendResult{error.unreachable() ? Delivery::Unreachable : Delivery::Passing,
                           errorLine(error)},
                error.untouched()};
        } catch (const KorvaneError& error) {
            co_return Tried{SendResult{Delivery::Refused, errorLine(error)}, false};
        }
    }
}

}  // namespace korvane
