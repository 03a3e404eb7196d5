#include "channels/EmailSender.h"

#include "channels/MailComposer.h"
#include "core/KorvaneError.h"

namespace korvane {

EmailSender::EmailSender(MailTransport& transport) : transport_(transport) {}

void EmailSender::endSession() {
    transport_.endSession();
}

void EmailSender::setTimeouts(long connectMs, long responseMs, long totalMs) {
    timeouts_.connectTimeoutMs = connectMs;
    timeouts_.responseTimeoutMs = responseMs;
    timeouts_.totalTimeoutMs = totalMs;
}

SendResult EmailSender::sendEmail(const MailMessage& message, const SmtpServer& server) {
    QString note;
    try {
        SmtpSettings settings = timeouts_;
        static_cast<SmtpServer&>(settings) = server;
        const ComposedMail mail = composeMail(message);
        note = transport_.send(settings, mail.envelopeFrom, mail.recipients, *mail.data);
    } catch (const DeliveryInDoubt& error) {
        return SendResult{Delivery::InDoubt, errorLine(error)};
    } catch (const PassingFailure& error) {
        SendResult result{Delivery::NotSent, errorLine(error)};
        result.passing = true;
        result.unreachable = error.unreachable();
        return result;
    } catch (const KorvaneError& error) {
        return SendResult{Delivery::NotSent, errorLine(error)};
    }
    return SendResult{Delivery::Sent, QString(), note};
}

}  // namespace korvane
