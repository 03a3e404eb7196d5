#pragma once

#include <QStringList>

#include "channels/EmailChannel.h"
#include "channels/SmsChannel.h"

namespace korvane::test {

// Channels that accept everything and remember what they were asked to send.
class FakeSms : public SmsChannel {
public:
    bool SendSMS(const QString&, const QString&, const QString&, const QString&,
                 const QString& number, const QString& text, bool) override {
        sent << number + QLatin1Char(':') + text;
        return true;
    }
    QStringList sent;
};

class FakeEmail : public EmailChannel {
public:
    bool SendEmail(const QString&, const QString& to, const QString&, const QString&,
                   const QString&, const QString& subject, const QString&, const QString&,
                   const QString&, const QString&, const QString&, bool) override {
        sent << to + QLatin1Char(':') + subject;
        return true;
    }
    QStringList sent;
};

}  // namespace korvane::test
