#pragma once

#include <QDeadlineTimer>
#include <memory>

#include "channels/GatewayLink.h"
#include "channels/SubmitPacer.h"
#include "core/Messages.h"

namespace korvane {

// One session kept to a gateway, with what the engine knows of it: the pace it accepts, the
// pause it asked for, the submits it took. A message's parts all go on one lane.
struct SmsLane {
    // The pause after throttles that went on at a submit a second (BackOff's rule).
    static constexpr int kFirstPauseMs = 250;
    static constexpr int kLongestPauseMs = 5000;

    SmsLane(const SmsGateway& to, SmppTimeouts timeouts, const StopDeadline* stop,
            std::weak_ptr<const void> owner)
        : gateway(to), link(timeouts, stop, std::move(owner)) {}
    SmsLane(const SmsLane&) = delete;
    SmsLane& operator=(const SmsLane&) = delete;

    SmsGateway gateway;
    GatewayLink link;
    SubmitPacer pacer;
    QDeadlineTimer pausedUntil{QDeadlineTimer::Forever};
    int pauses = 0;  // in a row, since a submit was last accepted: each twice the one before
    bool waitingForSlot = false;  // the last step held a part back for this lane's paced slot
    quint64 submits = 0;          // submit_sm accepted on this lane

    bool live() const { return link.live(); }
    SmppSession* session() const { return link.session(); }
    bool paused() const { return !pausedUntil.isForever() && !pausedUntil.hasExpired(); }
};

}  // namespace korvane
