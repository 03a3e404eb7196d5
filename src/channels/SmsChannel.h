#pragma once

#include <QString>

#include "channels/Delivery.h"

namespace korvane {

// Sends one SMS; what the dispatch cycle and the Test SMS action depend on.
class SmsChannel {
public:
    virtual ~SmsChannel() = default;
    // Sent when the gateway accepted every part; a failure is logged here, a success by the
    // caller.
    virtual Delivery SendSMS(const QString& server, const QString& port, const QString& user,
                             const QString& password, const QString& mobileNumber,
                             const QString& text, bool showMessages) = 0;
    // Ends the session that sends keep open for the next message (the end of a cycle).
    virtual void endSession() {}
};

}  // namespace korvane
