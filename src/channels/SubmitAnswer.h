#pragma once

#include <functional>

#include "channels/SmppPdu.h"
#include "channels/SmsLane.h"
#include "channels/SmsMessage.h"

namespace korvane {

// What a submit_sm's answer does to its part, its message and the session it came on.
class SubmitAnswer {
public:
    enum class Effect { Accepted, Throttled, Moved, Refused };
    // Whether a session is bound to a gateway outside avoid: where a message may move whole.
    using LiveElsewhere = std::function<bool(const QStringList& avoid)>;

    // throttleLimitMs: how long a throttled message keeps being offered, from its first
    // throttle answer.
    static Effect take(SmsMessage& message, SmsMessage::Part& part, SmsLane& lane,
                       const smpp::Pdu& reply, const LiveElsewhere& liveElsewhere,
                       int throttleLimitMs);
};

}  // namespace korvane
