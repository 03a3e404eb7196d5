#pragma once

#include <QList>
#include <functional>
#include <memory>

#include "channels/MailSignIn.h"
#include "channels/MailTransport.h"
#include "core/Messages.h"

namespace korvane {

class Clock;
class TokenEndpoint;

// Composes each message with GMime and hands it to the first mail server, or to the second
// when the first certainly took nothing of it (no connection, a timeout, cut or "421" before
// its data was answered, a refused or failed sign-in). Each server keeps its own connection,
// its OAuth 2.0 token and the back-off after a refused sign-in.
class EmailSender {
public:
    // What the sender works with besides the first server's transport; what is not given it
    // makes for itself (libcurl, the system clock).
    struct Parts {
        MailTransport* second = nullptr;
        TokenEndpoint* tokens = nullptr;
        const Clock* clock = nullptr;
    };
    explicit EmailSender(MailTransport& first) : EmailSender(first, Parts()) {}
    EmailSender(MailTransport& first, Parts parts);
    ~EmailSender();
    EmailSender(const EmailSender&) = delete;
    EmailSender& operator=(const EmailSender&) = delete;

    // Sent when a server took the message; the failure line is for the caller to log. servers:
    // in the order they are tried, two at the most.
    QCoro::Task<SendResult> sendEmail(MailMessage message, QList<SmtpServer> servers);
    QCoro::Task<SendResult> sendEmail(MailMessage message, const SmtpServer& server) {
        return sendEmail(std::move(message), QList<SmtpServer>{server});
    }
    // Closes the connections kept for the next message.
    void endSession();
    // Start, Test Email: a sign-in refused before is tried again at once.
    void retryNow();
    // Where a refresh token the endpoint replaced goes to be stored: old, new.
    void setRotation(const std::function<void(const QString&, const QString&)>& rotated);

    // Tests shorten the waits here rather than by waiting.
    void setTimeouts(long connectMs, long responseMs, long totalMs);

private:
    struct Route;
    struct Tried {
        SendResult result;
        bool untouched = false;  // the server took nothing of it: another may
    };
    QCoro::Task<Tried> sendVia(Route& route, const SmtpServer& server, QIODevice& data,
                               const QByteArray& from, const QList<QByteArray>& recipients);
    QCoro::Task<Tried> signInAndSend(Route& route, SmtpSettings settings, QIODevice& data,
                                     const QByteArray& from, const QList<QByteArray>& recipients);

    std::unique_ptr<MailTransport> ownSecond_;
    std::unique_ptr<TokenEndpoint> ownTokens_;
    std::unique_ptr<Clock> ownClock_;
    std::unique_ptr<Route> routes_[2];
    SmtpSettings timeouts_;
};

}  // namespace korvane
