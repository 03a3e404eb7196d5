#pragma once

#include <QStringList>

#include "channels/EmailChannel.h"
#include "channels/SmsChannel.h"

namespace korvane::test {

// Channels that give one answer to everything and remember what they were asked to send.
class FakeSms : public SmsChannel {
public:
    Delivery SendSMS(const QString&, const QString&, const QString&, const QString&,
                     const QString& number, const QString& text, bool) override {
        sent << number + QLatin1Char(':') + text;
        return result;
    }
    QStringList sent;
    Delivery result = Delivery::Sent;
};

class FakeEmail : public EmailChannel {
public:
    Delivery SendEmail(const QString&, const QString& to, const QString&, const QString&,
                       const QString&, const QString& subject, const QString&, const QString&,
                       const QString&, const QString&, const QString&, bool) override {
        sent << to + QLatin1Char(':') + subject;
        return result;
    }
    QStringList sent;
    Delivery result = Delivery::Sent;
};

}  // namespace korvane::test
