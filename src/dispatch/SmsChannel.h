#pragma once

#include "core/Messages.h"

namespace korvane {

// Sends SMS over one gateway session with several messages in flight; what the dispatch
// cycle and the Test SMS action depend on.
class SmsChannel {
public:
    virtual ~SmsChannel() = default;
    // Hands one message over and returns its ticket. Waits only to connect and bind (once per
    // session) and for room among the messages in flight.
    virtual int submit(const SmsGateway& gateway, const QString& mobileNumber,
                       const QString& text) = 0;
    // Waits for the message's outcome; the failure line is for the caller to log.
    virtual SendResult outcome(int ticket) = 0;
    // Whether the outcome is known already; never waits.
    virtual bool isSettled(int ticket) = 0;
    // How many more one-part messages would go out at once, without waiting for the gateway:
    // the room in its window, none while it has asked for a pause. Never waits.
    virtual int room() = 0;
    // Unbinds; the next submit binds again. The session is otherwise kept from one cycle to
    // the next.
    virtual void endSession() = 0;
    // Forgets a failed bind's back-off, so that the next submit binds at once.
    virtual void retryNow() {}

    // One message, start to end.
    SendResult send(const SmsGateway& gateway, const QString& mobileNumber, const QString& text) {
        return outcome(submit(gateway, mobileNumber, text));
    }
};

}  // namespace korvane
