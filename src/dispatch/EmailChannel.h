#pragma once

#include <QCoro/QCoroTask>
#include <QList>

#include "core/Messages.h"

namespace korvane {

// Sends e-mail over an SMTP connection kept for the next message; what the dispatch cycle
// and the Test Email action depend on.
class EmailChannel {
public:
    virtual ~EmailChannel() = default;
    // Sent when a server took the message; the failure line is for the caller to log. servers:
    // in the order they are tried, the next only when the one before took nothing of it.
    virtual QCoro::Task<SendResult> sendEmail(const MailMessage& message,
                                              const QList<SmtpServer>& servers) = 0;
    // Closes the connection; the next message opens one.
    virtual void endSession() = 0;
    // A sign-in refused before is tried again at once (Start, Test Email).
    virtual void retryNow() {}
};

}  // namespace korvane
