#include "channels/SubmitAnswer.h"

#include "core/BackOff.h"

namespace korvane {

using namespace smpp;
using PartState = SmsMessage::PartState;

SubmitAnswer::Effect SubmitAnswer::take(SmsMessage& message, SmsMessage::Part& part, SmsLane& lane,
                                        const Pdu& reply, const LiveElsewhere& liveElsewhere,
                                        int throttleLimitMs) {
    const quint32 status = reply.status;
    const bool nack = reply.commandId != Command::SubmitSmResp;
    if (!nack && status == Status::Ok) {
        part.state = PartState::Accepted;
        int offset = 0;
        QByteArray id;
        readCString(reply.body, offset, 65, id);
        part.id = QString::fromLatin1(id).trimmed();
        lane.pacer.accepted(part.paced);
        lane.pauses = 0;
        ++lane.submits;
        return Effect::Accepted;
    }
    // A generic_nack carries the same statuses: a throttle is a throttle however it comes.
    if (status == Status::Throttled || status == Status::MessageQueueFull) {
        // Nothing was taken: offered again at the next paced slot, on any session.
        part.state = PartState::Retry;
        if (message.throttleLimit.isForever()) {
            message.throttleLimit = QDeadlineTimer(throttleLimitMs);
        }
        if (lane.pacer.throttled(part.paced) && !lane.paused()) {
            // Throttled even at a submit a second: the gateway is in trouble, not pacing.
            lane.pausedUntil = QDeadlineTimer(BackOff::waitAfter(
                ++lane.pauses, SmsLane::kFirstPauseMs, SmsLane::kLongestPauseMs));
        }
        return Effect::Throttled;
    }
    // A gateway in trouble took nothing: with another one bound, the message goes there whole.
    if (status == Status::SystemError && message.leave(part, lane.gateway.name(), liveElsewhere)) {
        return Effect::Moved;
    }
    part.state = PartState::Refused;
    // The gateway in trouble took nothing: worth another attempt later.
    if (status == Status::SystemError && !message.has(PartState::Accepted)) {
        message.notSentAs = Delivery::Passing;
    }
    if (message.answer.isEmpty()) {
        message.answer =
            QStringLiteral("Telvoro Server answered %1%2.")
                .arg(nack ? QStringLiteral("generic_nack ") : QString(), describeStatus(status));
    }
    message.giveUp();  // the rest of a refused message is not offered
    return Effect::Refused;
}

}  // namespace korvane
