#pragma once

#include "core/Messages.h"

namespace korvane {

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
