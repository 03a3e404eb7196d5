#pragma once

#include <QStringList>

#include "dispatch/EmailChannel.h"
#include "dispatch/SmsChannel.h"

namespace korvane::test {

// Channels that give one answer to everything and remember what they were asked to send.
class FakeSms : public SmsChannel {
public:
    int submit(const SmsGateway&, const QString& number, const QString& text) override {
        sent << number + QLatin1Char(':') + text;
        return static_cast<int>(sent.size());
    }
    SendResult outcome(int) override { return result; }
    void endSession() override {}
    QStringList sent;
    SendResult result{Delivery::Sent, QString()};
};

class FakeEmail : public EmailChannel {
public:
    SendResult sendEmail(const MailMessage& message, const SmtpServer&) override {
        sent << message.to + QLatin1Char(':') + message.subject;
        return result;
    }
    void endSession() override {}
    QStringList sent;
    SendResult result{Delivery::Sent, QString()};
};

}  // namespace korvane::test
