#pragma once

#include "channels/MailTransport.h"
#include "core/Messages.h"

namespace korvane {

// Composes each message with GMime and hands it to the transport.
class EmailSender {
public:
    explicit EmailSender(MailTransport& transport);

    // Sent when the server took the message; the failure line is for the caller to log.
    SendResult sendEmail(const MailMessage& message, const SmtpServer& server);
    // Closes the connection kept for the next message.
    void endSession();

    // Tests shorten the waits here rather than by waiting.
    void setTimeouts(long connectMs, long responseMs, long totalMs);

private:
    MailTransport& transport_;
    SmtpSettings timeouts_;
};

}  // namespace korvane
