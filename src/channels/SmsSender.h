#pragma once

#include <QString>

#include "channels/SmsChannel.h"
#include "channels/TelvoroClient.h"

namespace korvane {

class ActivityLog;

// Drives one TelvoroClient per call through its six operations and turns the first refusal
// into its fixed log line.
class SmsSender : public SmsChannel {
public:
    SmsSender(ActivityLog& log, TelvoroClientFactory factory);

    Delivery SendSMS(const QString& server, const QString& port, const QString& user,
                     const QString& password, const QString& mobileNumber, const QString& text,
                     bool showMessages) override;

    static const char* const kConnectFailed;
    static const char* const kLoginFailed;
    static const char* const kSenderRefused;
    static const char* const kNumberRefused;
    static const char* const kMessageRefused;
    static const char* const kSendRefused;

private:
    ActivityLog& log_;
    TelvoroClientFactory factory_;
};

}  // namespace korvane
