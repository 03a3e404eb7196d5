#pragma once

#include <QByteArray>
#include <QCoro/QCoroTask>
#include <QString>
#include <functional>

#include "channels/TokenEndpoint.h"
#include "core/BackOff.h"
#include "core/Messages.h"

namespace korvane {

class Clock;

// One mail server's sign-in: the OAuth 2.0 access token, kept in memory only and reused while
// it is good, and the back-off after a refusal (the server's or the token endpoint's), so that
// a wrong password or client secret costs one attempt per step, never one per mail.
class MailSignIn {
public:
    static constexpr qint64 kFirstRetryMs = 1000;
    static constexpr qint64 kLongestRetryMs = 60000;
    // A token is not used in the last minute of its life.
    static constexpr qint64 kTokenMarginS = 60;
    // What a token with no stated lifetime is taken to live.
    static constexpr qint64 kAssumedLifeS = 3600;

    MailSignIn(TokenEndpoint& endpoint, const Clock& clock);

    // A refusal of this server and account has its back-off running: the result every mail
    // gets meanwhile, without a sign-in. Another server or account signs in at once.
    bool backingOff(const SmtpServer& server) const;
    SendResult refusal() const;

    struct Bearer {
        QByteArray token;    // empty when none could be had
        bool fresh = false;  // fetched for this mail
        SendResult failure;  // why none could be had
    };
    // The access token for the server's account: the kept one while good, else a new one.
    QCoro::Task<Bearer> bearer(SmtpServer server, long connectTimeoutMs, long totalTimeoutMs);
    // The server refused the token: the next bearer() asks for a new one.
    void forgetToken() { token_.clear(); }

    // The server's sign-in was refused, for good or (passing) for a cause that may pass.
    void refused(const SmtpServer& server, const SendResult& result);
    void succeeded() { backOff_.reset(); }
    // Start, Test Email: the next mail signs in at once.
    void retryNow() { backOff_.reset(); }

    // The endpoint rotated the refresh token: old and new, for the owner to store.
    void setRotation(std::function<void(const QString&, const QString&)> rotated) {
        rotated_ = std::move(rotated);
    }

private:
    qint64 nowMs() const;
    static QString account(const SmtpServer& server);
    static QString signIn(const SmtpServer& server);

    TokenEndpoint& endpoint_;
    const Clock& clock_;
    BackOff backOff_{kFirstRetryMs, kLongestRetryMs};
    Delivery refusedAs_ = Delivery::Unreachable;  // what a message is told while backing off
    QString refusedFor_;  // the server and account refused (in memory only: it holds secrets)
    QByteArray token_;
    qint64 tokenUntilMs_ = 0;
    QString tokenFor_;     // the account the token was issued for
    QString rotatedFrom_;  // a refresh token the endpoint replaced, and by what
    QString rotatedTo_;
    std::function<void(const QString&, const QString&)> rotated_;
};

}  // namespace korvane
