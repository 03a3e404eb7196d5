#pragma once

#include <QCoro/QCoroTask>
#include <QList>
#include <QStringList>
#include <functional>
#include <map>
#include <memory>
#include <vector>

#include "channels/SmsBacklog.h"
#include "channels/SmsLane.h"

namespace korvane {

// The sessions kept to the SMS gateways: each gateway's CellSessions of them, bound when a
// message needs one and each backing off on its own after a failed bind, so that one that
// cannot be bound holds none of the others up. A lane is looked up by its index after each
// wait, since the lanes may have been arranged anew meanwhile.
class SmsLanes {
public:
    using Deliveries = std::function<void(SmppSession&, const smpp::Pdu&)>;
    using Notice = std::function<void(const QString&)>;

    // owner: what the sessions' waits belong to (SmppSession).
    SmsLanes(SmppTimeouts timeouts, const StopDeadline* stop, std::weak_ptr<const void> owner)
        : timeouts_(timeouts), stop_(stop), owner_(std::move(owner)) {}

    // Whether the lanes are those the gateways ask for.
    bool arrangedFor(const QList<SmsGateway>& gateways) const;
    // Closes every session and makes the lanes the gateways ask for.
    QCoro::Task<> arrange(QList<SmsGateway> gateways);
    // Binds each lane that is not bound and not backing off; "" when one at least is bound,
    // else the first lane's line. notices: lines about the binds worth the log.
    QCoro::Task<QString> bindAll(QStringList& notices);

    int size() const { return static_cast<int>(lanes_.size()); }
    SmsLane& operator[](int lane) { return *lanes_[static_cast<size_t>(lane)]; }
    const SmsLane& operator[](int lane) const { return *lanes_[static_cast<size_t>(lane)]; }
    bool anyLive() const;
    bool allLive() const;
    // A session is bound to a gateway not named in avoid.
    bool liveElsewhere(const QStringList& avoid) const;
    // Each session reads what has come, a close included, without turning the event loop.
    void takeInWhatCame();
    // A session bound as receipts were wanted before, and its closing.
    bool boundOtherwise() const;
    QCoro::Task<> closeBoundOtherwise();

    // The session that takes the message's next part now, or -1 (waitingForSlot marks the
    // one that will at its paced slot). accountSlotMs: when the account as a whole may
    // submit again.
    int laneFor(const SmsBacklog& backlog, const SmsMessage& message, int window,
                double accountSlotMs, double nowMs);
    // Parts that would be written at once on the sessions that can be had (on every one
    // when none can: a message handed over then ends at once with the bind's line).
    int room(const SmsBacklog& backlog, int window) const;
    // The next pause's end or paced slot on a lane that will have room then; never when none.
    QDeadlineTimer nextWake(const SmsBacklog& backlog, int window, double accountSlotMs,
                            double nowMs) const;
    // Submits a second paced now over every session; 0: unpaced.
    double pacedRate() const;
    // More than one gateway: the log and /metrics name the gateway.
    bool severalGateways() const { return gateways_.size() > 1; }

    void setReceipts(bool wanted);
    bool receipts() const { return receipts_; }
    // Messages from phones wanted: the sessions bind as transceivers, receipts or not.
    void setReplies(bool wanted);
    void setDeliveries(Deliveries deliveries, Notice notice);
    // Forgets every back-off.
    void retryNow();
    // Every lane failed its last bind and backs off still.
    bool backingOff() const;
    QCoro::Task<> closeAll();

    // Over every lane, as one session counted them before.
    GatewayLink::Counts counts() const;
    quint64 binds() const { return counts().binds; }
    // Bound sessions and accepted submits by gateway ("host:port").
    std::map<QString, int> boundByServer() const;
    std::map<QString, quint64> submitsByServer() const;

private:
    void prepare(SmsLane& lane) const;

    SmppTimeouts timeouts_;
    const StopDeadline* stop_;
    std::weak_ptr<const void> owner_;
    QList<SmsGateway> gateways_;
    std::vector<std::unique_ptr<SmsLane>> lanes_;
    // Of lanes closed for good: /metrics counters never go back.
    GatewayLink::Counts gone_;
    std::map<QString, quint64> goneSubmits_;
    bool receipts_ = false;
    bool replies_ = false;
    Deliveries deliveries_;
    Notice notice_;
};

}  // namespace korvane
