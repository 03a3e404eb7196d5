#pragma once

#include <QDateTime>
#include <QString>
#include <utility>

namespace korvane {

// What became of one message handed to a channel; each channel decides it in one place.
enum class Delivery {
    Sent,
    // It may have reached the server (written, then no answer): never sent again by itself.
    InDoubt,
    // Not sent, for good.
    Refused,
    // Not sent, for a cause that may pass; nothing of it is with the server.
    Passing,
    // Not sent: the server could not be reached, or would not let us in, for now; the
    // messages behind it wait.
    Unreachable,
    // Not sent, for good: the server's sign-in refuses the account, so it would refuse every
    // message; the messages behind it wait.
    AccountRefused,
};

// A message's outcome; failure is the line that says why (logged by the caller), "" when sent.
struct SendResult {
    SendResult(Delivery d = Delivery::Refused, QString why = QString(), QString aside = QString())
        : delivery(d), failure(std::move(why)), note(std::move(aside)) {}
    Delivery delivery;
    QString failure;
    QString note;        // how it went, when worth a line before the outcome's ("" mostly)
    QString gatewayIds;  // an SMS taken: the gateway's id of each part, one space between
    QString server;      // a mail taken: the server that took it, as the log names it

    // Nothing of it is with the server.
    bool notSent() const { return delivery != Delivery::Sent && delivery != Delivery::InDoubt; }
    // Worth another attempt later.
    bool passing() const {
        return delivery == Delivery::Passing || delivery == Delivery::Unreachable;
    }
    // The server cannot be used now.
    bool unreachable() const {
        return delivery == Delivery::Unreachable || delivery == Delivery::AccountRefused;
    }
};

// A delivery receipt from the SMS gateway, as it came; token: how its answer is given.
struct Receipt {
    quint64 token = 0;
    QString messageId;  // as the gateway spelled it
    QString state;      // DELIVRD, UNDELIV, EXPIRED, REJECTD, DELETED, UNKNOWN, ACCEPTD, ENROUTE
    QDateTime doneAt;   // invalid when the receipt names no done date
    QString error;      // the network's error code, "" when none
};

// A message from a phone, or one part of a long one, as the gateway delivered it; token: how
// its answer is given.
struct ReplyPart {
    quint64 token = 0;
    QString from;        // as it came; "+" and digits for an international number
    QString to;          // the number or short code it was sent to
    QString text;        // decoded, without its concatenation header
    QString gatewayId;   // the gateway's id for it, "" when it names none
    QDateTime smscAt;    // the gateway's time stamp, invalid when it gives none
    int reference = -1;  // the long message's reference; -1: a message whole
    int total = 1;
    int sequence = 1;
};

// How a session to the SMS gateway is encrypted: not at all, or TLS 1.2 or later with the
// server's certificate verified against its name (the system's CAs, or caFile's), and a
// client certificate where the provider asks for one.
struct SmppTls {
    bool on = false;
    QString caFile;
    QString certFile;
    QString keyFile;
    bool insecure = false;  // a certificate that does not verify is taken (and logged)

    bool operator==(const SmppTls& other) const {
        return on == other.on && caFile == other.caFile && certFile == other.certFile &&
               keyFile == other.keyFile && insecure == other.insecure;
    }
};

// The SMS gateway as configured: address, port, account (the account is also the sender
// unless a row names its own).
struct SmsGateway {
    SmsGateway() = default;
    SmsGateway(QString host, QString portText, QString account, QString secret,
               double perSecond = 0)
        : server(std::move(host)),
          port(std::move(portText)),
          user(std::move(account)),
          password(std::move(secret)),
          submitsPerSecond(perSecond) {}

    QString server;
    QString port;
    QString user;
    QString password;
    double submitsPerSecond = 0;  // the rate the contract allows; 0: none stated
    SmppTls tls;
    int sessions = 1;  // sessions kept bound to it at once

    // The same account at the same address, reached the same way.
    bool sameAs(const SmsGateway& other) const {
        return server == other.server && port == other.port && user == other.user &&
               password == other.password && tls == other.tls;
    }
    // How the log names it.
    QString name() const { return server + QLatin1Char(':') + port; }
};

struct MailMessage {
    QString from;
    QString to;
    QString cc;              // used when not blank
    QString bcc;             // envelope only, never a header
    QString attachmentPath;  // must name an ordinary file when not blank
    QString subject;
    QString body;
    QDateTime date;
};

// The SMTP server as configured; the port stays text.
struct SmtpServer {
    SmtpServer() = default;
    // An account that signs in with a password (or not at all).
    SmtpServer(QString host, QString portText, QString user, QString secret)
        : server(std::move(host)),
          port(std::move(portText)),
          userName(std::move(user)),
          password(std::move(secret)) {}

    QString server;
    QString port;
    QString userName;  // with OAuth 2.0: the mailbox the token is for
    QString password;
    // How the account signs in: "password" (or empty) or "oauth2", with a bearer token that
    // the token endpoint issues for the client (and the refresh token, when there is one).
    QString auth;
    QString tokenUrl;
    QString clientId;
    QString clientSecret;
    QString refreshToken;
    QString scope;
    QString caFile;  // certificates to verify the token endpoint and the server by; "": system's

    bool oauth2() const {
        return auth.trimmed().compare(QLatin1String("oauth2"), Qt::CaseInsensitive) == 0;
    }
    // How the log names it.
    QString name() const { return server + QLatin1Char(':') + port; }
};

}  // namespace korvane
