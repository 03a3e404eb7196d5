#pragma once

#include <QByteArray>
#include <QIODevice>
#include <QList>
#include <QString>

#include "core/Messages.h"

namespace korvane {

// The SMTP server and account as configured, and how long each step may take.
struct SmtpSettings : SmtpServer {
    long connectTimeoutMs = 30000;
    long responseTimeoutMs = 60000;
    long totalTimeoutMs = 300000;
};

// Hands composed messages to an SMTP server; raises KorvaneError on any failure, and
// DeliveryInDoubt when the message may have been taken all the same.
class MailTransport {
public:
    virtual ~MailTransport();
    // data: the message from its current position to its end, read as it is sent. Returns a
    // line worth logging about how it went ("" mostly).
    virtual QString send(const SmtpSettings& settings, const QByteArray& envelopeFrom,
                         const QList<QByteArray>& recipients, QIODevice& data) = 0;
    // Closes the connection that sends keep open for the next message.
    virtual void endSession() {}
};

}  // namespace korvane
