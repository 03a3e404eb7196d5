#include "channels/SmsLanes.h"

#include <algorithm>
#include <cmath>
#include <limits>

namespace korvane {

namespace {
void add(GatewayLink::Counts& into, const GatewayLink::Counts& from) {
    into.binds += from.binds;
    into.drops += from.drops;
    into.keepAlive.sent += from.keepAlive.sent;
    into.keepAlive.unanswered += from.keepAlive.unanswered;
    for (const auto& [status, count] : from.bindFailures) {
        into.bindFailures[status] += count;
    }
}
}  // namespace

bool SmsLanes::arrangedFor(const QList<SmsGateway>& gateways) const {
    if (gateways.size() != gateways_.size()) {
        return false;
    }
    for (qsizetype n = 0; n < gateways.size(); ++n) {
        if (!gateways[n].sameAs(gateways_[n]) || gateways[n].sessions != gateways_[n].sessions) {
            return false;
        }
    }
    return true;
}

QCoro::Task<> SmsLanes::arrange(QList<SmsGateway> gateways) {
    co_await closeAll();
    for (const auto& lane : lanes_) {
        add(gone_, lane->link.counts());
        goneSubmits_[lane->gateway.name()] += lane->submits;
    }
    lanes_.clear();
    gateways_ = gateways;
    for (const SmsGateway& gateway : gateways) {
        for (int n = 0; n < std::max(1, gateway.sessions); ++n) {
            lanes_.push_back(std::make_unique<SmsLane>(gateway, timeouts_, stop_, owner_));
            prepare(*lanes_.back());
        }
    }
}

void SmsLanes::prepare(SmsLane& lane) const {
    lane.link.setReceipts(receipts_ || replies_);
    if (deliveries_) {
        lane.link.setDeliveries(deliveries_, notice_);
    }
}

QCoro::Task<QString> SmsLanes::bindAll(QStringList& notices) {
    QString first;
    for (size_t n = 0; n < lanes_.size(); ++n) {
        if (lanes_[n]->live()) {
            continue;  // one bound otherwise is closed first, once nothing is in flight on it
        }
        const QString failure = co_await lanes_[n]->link.bind(lanes_[n]->gateway);
        if (n >= lanes_.size()) {
            break;
        }
        SmsLane& lane = *lanes_[n];
        if (failure.isEmpty()) {
            lane.pacer.sessionStarted();
            if (const QString notice = lane.link.takeBindNotice(); !notice.isEmpty()) {
                notices << notice;
            }
        } else if (first.isEmpty()) {
            first = failure;
        }
    }
    if (anyLive()) {
        first.clear();
    }
    co_return first;
}

bool SmsLanes::anyLive() const {
    return std::any_of(lanes_.begin(), lanes_.end(), [](const auto& lane) { return lane->live(); });
}

bool SmsLanes::allLive() const {
    return std::all_of(lanes_.begin(), lanes_.end(), [](const auto& lane) { return lane->live(); });
}

bool SmsLanes::liveElsewhere(const QStringList& avoid) const {
    return std::any_of(lanes_.begin(), lanes_.end(), [&avoid](const auto& lane) {
        return lane->live() && !avoid.contains(lane->gateway.name());
    });
}

bool SmsLanes::boundOtherwise() const {
    return std::any_of(lanes_.begin(), lanes_.end(), [](const auto& lane) {
        return lane->live() && !lane->link.boundTo(lane->gateway);
    });
}

void SmsLanes::takeInWhatCame() {
    for (const auto& lane : lanes_) {
        if (SmppSession* session = lane->session(); session != nullptr) {
            session->takeInWhatCame();
        }
    }
}

QCoro::Task<> SmsLanes::closeBoundOtherwise() {
    for (size_t n = 0; n < lanes_.size(); ++n) {
        if (!lanes_[n]->link.boundTo(lanes_[n]->gateway)) {
            co_await lanes_[n]->link.close();
        }
    }
}

// A message the gateway has nothing of goes to the session whose slot comes soonest (the
// fewest in flight among equals); one partly written stays on its own.
int SmsLanes::laneFor(const SmsBacklog& backlog, const SmsMessage& message, int window,
                      double accountSlotMs, double nowMs) {
    int best = -1;
    double bestSlot = std::numeric_limits<double>::infinity();
    for (int n = 0; n < size(); ++n) {
        const SmsLane& lane = (*this)[n];
        if ((!message.untouched() && n != message.lane) || !lane.live() || lane.paused() ||
            backlog.inFlight(n) >= window || message.avoid.contains(lane.gateway.name())) {
            continue;
        }
        const double slot = lane.pacer.nextSlotMs();
        if (slot < bestSlot || (slot == bestSlot && backlog.inFlight(n) < backlog.inFlight(best))) {
            best = n;
            bestSlot = slot;
        }
    }
    if (best >= 0 && nowMs < std::max(bestSlot, accountSlotMs)) {
        (*this)[best].waitingForSlot = true;
        return -1;
    }
    return best;
}

int SmsLanes::room(const SmsBacklog& backlog, int window) const {
    int space = 0;
    bool usable = false;
    for (int n = 0; n < size(); ++n) {
        const SmsLane& lane = (*this)[n];
        if (!lane.live() && lane.link.backingOff()) {
            continue;
        }
        usable = true;
        space += lane.paused() ? 0 : std::max(0, window - backlog.inFlight(n));
    }
    return usable ? space : window;
}

double SmsLanes::pacedRate() const {
    double rate = 0;
    for (const auto& lane : lanes_) {
        rate += lane->pacer.perSecond();
    }
    return rate;
}

void SmsLanes::setReceipts(bool wanted) {
    receipts_ = wanted;
    for (const auto& lane : lanes_) {
        prepare(*lane);
    }
}

void SmsLanes::setReplies(bool wanted) {
    replies_ = wanted;
    for (const auto& lane : lanes_) {
        prepare(*lane);
    }
}

void SmsLanes::setDeliveries(Deliveries deliveries, Notice notice) {
    deliveries_ = std::move(deliveries);
    notice_ = std::move(notice);
    for (const auto& lane : lanes_) {
        lane->link.setDeliveries(deliveries_, notice_);
    }
}

void SmsLanes::retryNow() {
    for (const auto& lane : lanes_) {
        lane->link.retryNow();
    }
}

bool SmsLanes::backingOff() const {
    return !lanes_.empty() && std::all_of(lanes_.begin(), lanes_.end(), [](const auto& lane) {
        return !lane->live() && lane->link.backingOff();
    });
}

QCoro::Task<> SmsLanes::closeAll() {
    for (size_t n = 0; n < lanes_.size(); ++n) {
        co_await lanes_[n]->link.close();
    }
}

GatewayLink::Counts SmsLanes::counts() const {
    GatewayLink::Counts all = gone_;
    for (const auto& lane : lanes_) {
        add(all, lane->link.counts());
    }
    return all;
}

std::map<QString, int> SmsLanes::boundByServer() const {
    std::map<QString, int> bound;
    for (const auto& lane : lanes_) {
        bound[lane->gateway.name()] += lane->live() ? 1 : 0;
    }
    return bound;
}

std::map<QString, quint64> SmsLanes::submitsByServer() const {
    std::map<QString, quint64> submits = goneSubmits_;
    for (const auto& lane : lanes_) {
        submits[lane->gateway.name()] += lane->submits;
    }
    return submits;
}

QDeadlineTimer SmsLanes::nextWake(const SmsBacklog& backlog, int window, double accountSlotMs,
                                  double nowMs) const {
    QDeadlineTimer wake(QDeadlineTimer::Forever);
    const auto earlier = [&wake](QDeadlineTimer at) {
        if (at.deadlineNSecs() < wake.deadlineNSecs()) {
            wake = at;
        }
    };
    for (size_t n = 0; n < lanes_.size(); ++n) {
        const SmsLane& lane = *lanes_[n];
        if (backlog.inFlight(static_cast<int>(n)) >= window) {
            continue;
        }
        earlier(lane.pausedUntil);
        if (lane.waitingForSlot) {
            const double slot = std::max(lane.pacer.nextSlotMs(), accountSlotMs);
            earlier(QDeadlineTimer(static_cast<qint64>(std::ceil(slot - nowMs))));
        }
    }
    return wake;
}

}  // namespace korvane
