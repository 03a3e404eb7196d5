#pragma once

#include <QByteArray>
#include <QCoro/QCoroTask>
#include <QIODevice>
#include <QList>
#include <QString>

#include "core/KorvaneError.h"
#include "core/Messages.h"

namespace korvane {

// The SMTP server and account as configured, and how long each step may take.
struct SmtpSettings : SmtpServer {
    long connectTimeoutMs = 30000;
    long responseTimeoutMs = 60000;
    long totalTimeoutMs = 300000;
    QByteArray bearer;  // an OAuth 2.0 access token: signs in with XOAUTH2 instead of a password
};

// The server refused the sign-in itself (a 5xx to AUTH, or no mechanism Korvane can use):
// nothing of the message was handed over, and every message would meet the same refusal.
class SignInRefused : public PassingFailure {
public:
    SignInRefused(qint32 number, const QString& description)
        : PassingFailure(number, description, true, true) {}
};

// Hands composed messages to an SMTP server; raises KorvaneError on any failure,
// DeliveryInDoubt when the message may have been taken all the same, PassingFailure when the
// cause may pass, and SignInRefused when the server would not let the account in.
class MailTransport {
public:
    virtual ~MailTransport();
    // data: the message from its current position to its end, read as it is sent. Returns a
    // line worth logging about how it went ("" mostly).
    virtual QCoro::Task<QString> send(const SmtpSettings& settings, const QByteArray& envelopeFrom,
                                      const QList<QByteArray>& recipients, QIODevice& data) = 0;
    // Closes the connection that sends keep open for the next message.
    virtual void endSession() {}
};

}  // namespace korvane
