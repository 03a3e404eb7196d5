#pragma once

#include <QDateTime>
#include <QString>

#include "channels/Delivery.h"

namespace korvane {

struct MailMessage {
    QString from;
    QString to;
    QString cc;              // used when not blank
    QString bcc;             // envelope only, never a header
    QString attachmentPath;  // attached when it names an ordinary file
    QString subject;
    QString body;
    QDateTime date;
};

// The SMTP server as configured; the port stays text.
struct SmtpServer {
    QString server;
    QString port;
    QString userName;
    QString password;
};

// Sends e-mail over one SMTP connection kept for the next message; what the dispatch cycle
// and the Test Email action depend on.
class EmailChannel {
public:
    virtual ~EmailChannel() = default;
    // Sent when the server took the message; the failure line is for the caller to log.
    virtual SendResult sendEmail(const MailMessage& message, const SmtpServer& server) = 0;
    // Closes the connection; the next message opens one.
    virtual void endSession() = 0;
};

}  // namespace korvane
