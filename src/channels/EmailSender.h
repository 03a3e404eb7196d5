#pragma once

#include "channels/EmailChannel.h"
#include "channels/MailTransport.h"

namespace korvane {

// Composes each message with GMime and hands it to the transport.
class EmailSender : public EmailChannel {
public:
    explicit EmailSender(MailTransport& transport);

    SendResult sendEmail(const MailMessage& message, const SmtpServer& server) override;
    void endSession() override;

    // Tests shorten the waits here rather than by waiting.
    void setTimeouts(long connectS, long responseS, long totalS);

private:
    MailTransport& transport_;
    SmtpSettings timeouts_;
};

}  // namespace korvane
