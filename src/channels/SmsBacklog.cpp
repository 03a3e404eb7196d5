#include "channels/SmsBacklog.h"

#include <algorithm>

namespace korvane {

int SmsBacklog::inFlight() const {
    int count = 0;
    for (const auto& [ticket, message] : messages_) {
        count += message.count(PartState::InFlight);
    }
    return count;
}

int SmsBacklog::inFlight(int lane) const {
    int count = 0;
    for (const auto& [ticket, message] : messages_) {
        count += message.lane == lane ? message.count(PartState::InFlight) : 0;
    }
    return count;
}

int SmsBacklog::waitingParts() const {
    int waiting = 0;
    for (const auto& [ticket, message] : messages_) {
        waiting +=
            message.done ? 0 : message.count(PartState::Waiting) + message.count(PartState::Retry);
    }
    return waiting;
}

bool SmsBacklog::anyPending() const {
    return std::any_of(messages_.begin(), messages_.end(),
                       [](const auto& entry) { return entry.second.pending(); });
}

bool SmsBacklog::anyWaiting() const {
    return std::any_of(messages_.begin(), messages_.end(), [](const auto& entry) {
        return !entry.second.done &&
               (entry.second.has(PartState::Waiting) || entry.second.has(PartState::Retry));
    });
}

void SmsBacklog::failUnwritten(const QString& line) {
    for (auto& [ticket, message] : messages_) {
        message.failUnwritten(line);
    }
}

void SmsBacklog::sessionLost(int lane, const QString& line) {
    for (auto& [ticket, message] : messages_) {
        if (message.lane == lane) {
            message.sessionLost(line);
            message.lane = message.untouched() ? -1 : lane;
        }
    }
}

void SmsBacklog::giveUpAll(const QString& line) {
    for (auto& [ticket, message] : messages_) {
        if (message.pending() && message.failure.isEmpty()) {
            message.failure = line;
        }
        message.notSentAs = Delivery::Passing;  // whatever was written settles it otherwise
        message.giveUp();
    }
}

bool SmsBacklog::giveUpThrottled(const QString& line) {
    bool gaveUp = false;
    for (auto& [ticket, message] : messages_) {
        if (message.pending() && message.throttleLimit.hasExpired() &&
            (message.has(PartState::Retry) || message.has(PartState::Waiting))) {
            message.giveUp();
            message.notSentAs = Delivery::Passing;
            if (message.failure.isEmpty()) {
                message.failure = line;
            }
            gaveUp = true;
        }
    }
    return gaveUp;
}

void SmsBacklog::settleAll(const QString& refused) {
    for (auto& [ticket, message] : messages_) {
        message.settle(refused);
    }
}

QDeadlineTimer SmsBacklog::nextDeadline(bool& offering) const {
    QDeadlineTimer wake(QDeadlineTimer::Forever);
    const auto earlier = [&wake](QDeadlineTimer at) {
        if (at.deadlineNSecs() < wake.deadlineNSecs()) {
            wake = at;
        }
    };
    offering = false;
    for (const auto& [ticket, message] : messages_) {
        if (!message.pending()) {
            continue;
        }
        for (const SmsMessage::Part& part : message.parts) {
            if (part.state == PartState::InFlight) {
                earlier(part.due);
            }
        }
        if (message.has(PartState::Retry) || message.has(PartState::Waiting)) {
            offering = true;
            earlier(message.throttleLimit);
        }
    }
    return wake;
}

bool SmsBacklog::loseOverdue(const std::function<QString()>& line,
                             const std::function<void(int lane, quint32 sequence)>& forget) {
    bool lost = false;
    for (auto& [ticket, message] : messages_) {
        for (SmsMessage::Part& part : message.parts) {
            if (part.state == PartState::InFlight && part.due.hasExpired()) {
                part.state = PartState::Lost;
                forget(message.lane, part.sequence);
                if (message.failure.isEmpty()) {
                    message.failure = line();
                }
                lost = true;
            }
        }
    }
    return lost;
}

}  // namespace korvane
