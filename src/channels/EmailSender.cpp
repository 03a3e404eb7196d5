#include "channels/EmailSender.h"

#include "channels/MailComposer.h"
#include "core/ActivityLog.h"
#include "core/KorvaneError.h"

namespace korvane {

EmailSender::EmailSender(ActivityLog& log, MailTransport& transport)
    : log_(log), transport_(transport) {}

void EmailSender::endSession() {
    transport_.endSession();
}

void EmailSender::setTimeouts(long connectS, long responseS, long totalS) {
    timeouts_.connectTimeoutS = connectS;
    timeouts_.responseTimeoutS = responseS;
    timeouts_.totalTimeoutS = totalS;
}

Delivery EmailSender::SendEmail(const QString& from, const QString& to, const QString& cc,
                                const QString& bcc, const QString& attachmentPath,
                                const QString& subject, const QString& body, const QString& server,
                                const QString& port, const QString& userName,
                                const QString& password, bool showMessages) {
    try {
        SmtpSettings settings = timeouts_;
        settings.server = server;
        settings.port = port;
        settings.userName = userName;
        settings.password = password;
        log_.yield();

        MailMessage message;
        message.from = from;
        message.to = to;
        message.cc = cc;
        message.bcc = bcc;
        message.attachmentPath = attachmentPath;
        message.subject = subject;
        message.body = body;
        const ComposedMail mail = composeMail(message);
        transport_.send(settings, mail.envelopeFrom, mail.recipients, mail.data);
        log_.yield();
    } catch (const DeliveryInDoubt& error) {
        log_.WriteLog(errorLine(error), true, showMessages);
        return Delivery::InDoubt;
    } catch (const KorvaneError& error) {
        log_.WriteLog(errorLine(error), true, showMessages);
        return Delivery::NotSent;
    }
    return Delivery::Sent;
}

}  // namespace korvane
