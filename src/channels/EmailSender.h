#pragma once

#include <QString>

#include "channels/EmailChannel.h"
#include "channels/MailTransport.h"

namespace korvane {

class ActivityLog;

class EmailSender : public EmailChannel {
public:
    EmailSender(ActivityLog& log, MailTransport& transport);

    Delivery SendEmail(const QString& from, const QString& to, const QString& cc,
                       const QString& bcc, const QString& attachmentPath, const QString& subject,
                       const QString& body, const QString& server, const QString& port,
                       const QString& userName, const QString& password,
                       bool showMessages) override;
    void endSession() override;

    // Tests shorten the waits here rather than by waiting.
    void setTimeouts(long connectS, long responseS, long totalS);

private:
    ActivityLog& log_;
    MailTransport& transport_;
    SmtpSettings timeouts_;
};

}  // namespace korvane
