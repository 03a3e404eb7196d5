#pragma once

#include <QCoro/QCoroTask>
#include <QElapsedTimer>
#include <QString>
#include <functional>
#include <map>
#include <memory>
#include <utility>

#include "channels/SmppSession.h"
#include "core/BackOff.h"
#include "core/Messages.h"

namespace korvane {

class StopDeadline;

// The session to the SMS gateway, kept from one message, and one cycle, to the next: bound
// when a message needs it, kept alive with enquire_link while nothing goes out, and bound
// again at once after a drop. A failed bind is not tried again before its back-off (from 1 s,
// doubling to 60 s): messages meanwhile end with that bind's line without a bind of their own,
// so that a wrong password costs one attempt per step, not one per row.
//
// With receipts wanted the session binds as a transceiver, so that the gateway's deliver_sm
// come on it, and falls back to a transmitter when the gateway refuses that bind (noticed
// once).
class GatewayLink {
public:
    struct Counts {
        quint64 binds = 0;
        std::map<QString, quint64> bindFailures;  // by the gateway's status, or "connect"
        quint64 drops = 0;                        // bound sessions lost
        KeepAliveCounts keepAlive;
    };

    // owner: what the waits of its sessions belong to (SmppSession).
    GatewayLink(SmppTimeouts timeouts, const StopDeadline* stop, std::weak_ptr<const void> owner)
        : timeouts_(timeouts),
          stop_(stop),
          owner_(std::move(owner)),
          backOff_(timeouts.firstBindRetryMs, timeouts.longestBindRetryMs) {
        sinceStart_.start();
    }
    // Closes at once: an unbind is a wait, and close() is for whoever can wait.
    ~GatewayLink() { drop(); }
    GatewayLink(const GatewayLink&) = delete;
    GatewayLink& operator=(const GatewayLink&) = delete;

    SmppSession* session() const { return session_.get(); }
    // Bound, and not failed.
    bool live() const { return session_ && session_->isBound() && session_->failure().isEmpty(); }
    // Bound to this gateway, as a transceiver when receipts are wanted.
    bool boundTo(const SmsGateway& gateway) const;
    // Whether sessions bind as transceivers; the session bound now binds again at its next use
    // when this changes. deliveries: where each session's deliver_sm go; notice: a line for
    // the log.
    void setReceipts(bool wanted) { receipts_ = wanted; }
    bool receipts() const { return receipts_; }
    void setDeliveries(std::function<void(SmppSession&, const smpp::Pdu&)> deliveries,
                       std::function<void(const QString&)> notice) {
        deliveries_ = std::move(deliveries);
        notice_ = std::move(notice);
    }
    // Binds a new session; "" or the line that says why there is none.
    QCoro::Task<QString> bind(SmsGateway gateway);
    // Unbinds cleanly, briefly waiting for the gateway's answer.
    QCoro::Task<> close();
    // Drops the session at once (it failed, or its answers can no longer be trusted).
    void drop();
    // Forgets the back-off: the next message binds at once (Start, Test SMS).
    void retryNow();
    // A bind failed and its back-off has not run out.
    bool backingOff() const { return backOff_.waiting(sinceStart_.elapsed()); }
    const Counts& counts() const { return counts_; }
    // A line about the last bind worth the log (a certificate taken unverified); "" when none.
    QString takeBindNotice() { return std::exchange(bindNotice_, QString()); }

private:
    QString refused(const QString& status, const QString& line);
    QString refusalLine(quint32 status) const;
    std::unique_ptr<SmppSession> newSession();
    QCoro::Task<SmppSession::Bind> open(std::unique_ptr<SmppSession>& session, SmsGateway gateway,
                                        bool transceiver);

    SmppTimeouts timeouts_;
    const StopDeadline* stop_;
    std::weak_ptr<const void> owner_;
    std::unique_ptr<SmppSession> session_;
    SmsGateway boundTo_;
    QElapsedTimer sinceStart_;
    BackOff backOff_;  // after a failed bind
    Counts counts_;
    bool receipts_ = false;
    bool boundAsTransceiver_ = false;
    bool transceiverRefused_ = false;  // this gateway takes transmitter binds only
    std::function<void(SmppSession&, const smpp::Pdu&)> deliveries_;
    std::function<void(const QString&)> notice_;
    QString bindNotice_;
};

}  // namespace korvane
