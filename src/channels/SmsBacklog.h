#pragma once

#include <QDeadlineTimer>
#include <functional>
#include <map>

#include "channels/SmsMessage.h"

namespace korvane {

// The messages the SMS engine holds, by ticket: what is in flight on which session, what
// waits to go, and what happens to all of them at once (a session lost, no session at all,
// the program ending).
class SmsBacklog {
public:
    using PartState = SmsMessage::PartState;

    std::map<int, SmsMessage>& messages() { return messages_; }
    const std::map<int, SmsMessage>& messages() const { return messages_; }

    // Parts written and unanswered, on every session or on one.
    int inFlight() const;
    int inFlight(int lane) const;
    // Parts of messages not done that wait to be written (throttled ones included).
    int waitingParts() const;
    bool anyPending() const;
    bool anyWaiting() const;

    // No session could be had: what was never written is not sent, with the reason.
    void failUnwritten(const QString& line);
    // The session ended: each message on it is settled as far as it can be; one the gateway
    // has nothing of may go on another.
    void sessionLost(int lane, const QString& line);
    // Korvane is ending: nothing more is offered, and what is pending ends with the line.
    void giveUpAll(const QString& line);
    // Parts whose answer is overdue may have been taken: lost, each told to forget (its lane,
    // its sequence), their messages failed with the line; whether any was.
    bool loseOverdue(const std::function<QString()>& line,
                     const std::function<void(int lane, quint32 sequence)>& forget);
    // Messages throttled for longer than their limit give up; whether any did.
    bool giveUpThrottled(const QString& line);
    void settleAll(const QString& refused);
    // The earliest answer due or throttle limit among pending messages; offering: whether
    // any has a part waiting to be written.
    QDeadlineTimer nextDeadline(bool& offering) const;
    void clear() { messages_.clear(); }

private:
    std::map<int, SmsMessage> messages_;
};

}  // namespace korvane
