#pragma once

#include <QDeadlineTimer>
#include <QString>
#include <map>
#include <memory>

#include "channels/SmppSession.h"
#include "core/Messages.h"

namespace korvane {

class StopDeadline;

// The session to the SMS gateway, kept from one message, and one cycle, to the next: bound
// when a message needs it, kept alive with enquire_link while nothing goes out, and bound
// again at once after a drop. A failed bind is not tried again before its back-off (from 1 s,
// doubling to 60 s): messages meanwhile end with that bind's line without a bind of their own,
// so that a wrong password costs one attempt per step, not one per row.
class GatewayLink {
public:
    struct Counts {
        quint64 binds = 0;
        std::map<QString, quint64> bindFailures;  // by the gateway's status, or "connect"
        quint64 drops = 0;                        // bound sessions lost
        KeepAliveCounts keepAlive;
    };

    GatewayLink(SmppTimeouts timeouts, const StopDeadline* stop)
        : timeouts_(timeouts), stop_(stop) {}
    ~GatewayLink() { close(); }
    GatewayLink(const GatewayLink&) = delete;
    GatewayLink& operator=(const GatewayLink&) = delete;

    SmppSession* session() const { return session_.get(); }
    // Bound, and not failed.
    bool live() const { return session_ && session_->isBound() && session_->failure().isEmpty(); }
    bool boundTo(const SmsGateway& gateway) const;
    // Binds a new session; "" or the line that says why there is none.
    QString bind(const SmsGateway& gateway);
    // Unbinds cleanly, briefly waiting for the gateway's answer.
    void close();
    // Drops the session at once (it failed, or its answers can no longer be trusted).
    void drop();
    // Forgets the back-off: the next message binds at once (Start, Test SMS).
    void retryNow();
    const Counts& counts() const { return counts_; }

private:
    QString refused(const QString& status, const QString& line);

    SmppTimeouts timeouts_;
    const StopDeadline* stop_;
    std::unique_ptr<SmppSession> session_;
    SmsGateway boundTo_;
    QDeadlineTimer retryAt_{0};  // no bind before this
    QString lastFailure_;
    int backOffMs_ = 0;
    Counts counts_;
};

}  // namespace korvane
