#include "channels/SmsSender.h"

#include <QPointer>
#include <algorithm>

#include "channels/SubmitAnswer.h"
#include "core/DoneWait.h"
#include "core/KorvaneError.h"
#include "core/StopDeadline.h"

namespace korvane {

using namespace smpp;

SmsSender::SmsSender(SmppTimeouts timeouts, const StopDeadline* stop, int window,
                     int receiptAnswerMs)
    : timeouts_(timeouts),
      stop_(stop),
      window_(std::max(1, window)),
      inbox_(receiptAnswerMs),
      lanes_(timeouts, stop, life_) {
    clock_.start();
}

void SmsSender::setReceiptListener(ReceiptInbox::Listener listener, ReceiptInbox::Notice notice) {
    inbox_.setListener(std::move(listener), notice);
    lanes_.setDeliveries(
        [this](SmppSession& session, const Pdu& pdu) { inbox_.take(session, pdu); },
        std::move(notice));
}

QCoro::Task<QString> SmsSender::listen(QList<SmsGateway> gateways) {
    if (backlog_.anyPending()) {
        co_return QString();
    }
    co_return co_await openSessions(std::move(gateways));
}

// Nothing is waited for now: receipts not answered yet are offered again on the next session.
SmsSender::~SmsSender() {
    inbox_.answerAll();
}

// The sessions for these gateways, bound where they can be. What came on them first, so that
// a close that already came is seen; what old sessions still owe is settled before they go.
QCoro::Task<QString> SmsSender::openSessions(QList<SmsGateway> gateways) {
    lanes_.takeInWhatCame();
    loseFailedSessions();
    if (!lanes_.arrangedFor(gateways) || lanes_.boundOtherwise()) {
        while (backlog_.inFlight() > 0) {
            co_await advance();
        }
        if (!lanes_.arrangedFor(gateways)) {
            co_await lanes_.arrange(gateways);
        }
        co_await lanes_.closeBoundOtherwise();
    }
    co_return co_await bindLanes();
}

// Whether a message for these gateways goes without a wait: every session bound as wanted.
bool SmsSender::sessionsReady(const QList<SmsGateway>& gateways) {
    lanes_.takeInWhatCame();
    loseFailedSessions();
    return !binding_ && lanes_.arrangedFor(gateways) && !lanes_.boundOtherwise() &&
           lanes_.allLive();
}

// One bind at a time: a caller that comes while one is on its way waits for it, then binds
// what is still unbound (a lane that failed backs off, so that costs no second attempt).
QCoro::Task<QString> SmsSender::bindLanes() {
    while (binding_) {
        DoneWait bound([this] { return !binding_; }, QDeadlineTimer(QDeadlineTimer::Forever),
                       life_);
        co_await std::move(bound);
    }
    binding_ = true;
    struct Binding {
        bool& on;
        ~Binding() { on = false; }
    } binding{binding_};
    QStringList notices;
    const QString failure = co_await lanes_.bindAll(notices);
    bindNotices_ << notices;
    co_return failure;
}

// Nothing was offered: refused for good, or no session to offer it on (Unreachable).
int SmsSender::refuse(Message message, const QString& line, Delivery delivery) {
    const int ticket = nextTicket_++;
    message.done = true;
    message.result = SendResult{delivery, line};
    backlog_.messages().emplace(ticket, std::move(message));
    return ticket;
}

QCoro::Task<int> SmsSender::submit(QList<SmsGateway> gateways, QString mobileNumber, QString text,
                                   QDateTime validUntil, QString senderName) {
    if (stop_ != nullptr && stop_->passed()) {
        co_return refuse(Message(),
                         errorLine(ErrorNumber::GatewayTimeout,
                                   QStringLiteral("Korvane is ending, so the message was not "
                                                  "offered to Telvoro Server.")),
                         Delivery::Unreachable);
    }
    if (gateways.isEmpty()) {
        co_return refuse(Message(), QString::fromLatin1(kConnectFailed), Delivery::Unreachable);
    }
    if (const QString failure = co_await openSessions(gateways); !failure.isEmpty()) {
        co_return refuse(Message(), failure, Delivery::Unreachable);
    }
    const int ticket = enqueue(gateways, mobileNumber, text, validUntil, senderName);
    auto added = backlog_.messages().find(ticket);
    while (added != backlog_.messages().end() && added->second.has(PartState::Waiting) &&
           !added->second.done) {
        co_await advance();
        added = backlog_.messages().find(ticket);
    }
    co_return ticket;
}

std::optional<int> SmsSender::submitNow(const QList<SmsGateway>& gateways,
                                        const QString& mobileNumber, const QString& text,
                                        const QDateTime& validUntil, const QString& senderName) {
    if ((stop_ != nullptr && stop_->passed()) || gateways.isEmpty() || !sessionsReady(gateways)) {
        return std::nullopt;  // submit() says why, or waits for the bind
    }
    const int ticket = enqueue(gateways, mobileNumber, text, validUntil, senderName);
    step();
    return ticket;
}

// A message for sessions bound as these gateways ask: refused for good, or among the others
// to go out in ticket order.
int SmsSender::enqueue(const QList<SmsGateway>& gateways, const QString& mobileNumber,
                       const QString& text, const QDateTime& validUntil,
                       const QString& senderName) {
    Message message;
    if (const QString refusal = message.build(gateways.first().user, senderName, mobileNumber, text,
                                              lanes_.receipts(), validUntil);
        !refusal.isEmpty()) {
        return refuse(std::move(message), refusal, Delivery::Refused);
    }
    // One session learns its own pace under the contract's; several learn theirs, and the
    // contract holds them together.
    const double rate = rateOverride_ > 0 ? rateOverride_ : gateways.first().submitsPerSecond;
    const bool one = lanes_.size() == 1;
    for (int n = 0; n < lanes_.size(); ++n) {
        lanes_[n].pacer.configure(one ? rate : 0);
    }
    account_.configure(one ? 0 : rate);
    // Only a complete message joins the others: the engine never settles a half-built one.
    const int ticket = nextTicket_++;
    backlog_.messages().emplace(ticket, std::move(message));
    return ticket;
}

QCoro::Task<SendResult> SmsSender::outcome(int ticket) {
    auto it = backlog_.messages().find(ticket);
    while (it != backlog_.messages().end() && !it->second.done) {
        co_await advance();
        it = backlog_.messages().find(ticket);
    }
    if (it == backlog_.messages().end()) {
        co_return SendResult{Delivery::Refused, errorLine(ErrorNumber::GatewayProtocol,
                                                          QStringLiteral("Unknown message."))};
    }
    const SendResult result = it->second.result;
    backlog_.messages().erase(it);
    co_return result;
}

QCoro::Task<SendResult> SmsSender::send(SmsGateway gateway, QString mobileNumber, QString text) {
    const int ticket = co_await submit(gateway, mobileNumber, text);
    co_return co_await outcome(ticket);
}

bool SmsSender::isSettled(int ticket) {
    auto it = backlog_.messages().find(ticket);
    if (it == backlog_.messages().end() || it->second.done) {
        return true;
    }
    step();
    return it->second.done;
}

int SmsSender::room() {
    step();
    const int waiting = backlog_.waitingParts();
    return std::max(0, lanes_.room(backlog_, window_) - waiting);
}

// One step of the engine, never a wait: what came in, what ran out, what can go out now on
// the sessions bound. True when any of these did anything.
bool SmsSender::step() {
    bool progressed = takeReplies();
    progressed = loseFailedSessions() || progressed;
    progressed = expire() || progressed;
    progressed = writeParts() || progressed;
    backlog_.settleAll(QString::fromLatin1(kSendRefused));
    return progressed;
}

// A step that may wait: a session lost is bound again (with its back-off) while parts wait
// for it, once what it owed is settled, and when nothing moved the engine sleeps until
// something changes.
QCoro::Task<> SmsSender::advance() {
    bool progressed = step();
    if (backlog_.anyWaiting() && !lanes_.allLive()) {
        if (const QString failure = co_await bindLanes(); !failure.isEmpty()) {
            backlog_.failUnwritten(failure);
            backlog_.settleAll(QString::fromLatin1(kSendRefused));
            co_return;
        }
        progressed = step() || progressed;
    }
    if (!progressed) {
        co_await waitForChange();
    }
}

bool SmsSender::takeReplies() {
    bool progressed = false;
    for (auto& [ticket, message] : backlog_.messages()) {
        SmppSession* session = message.lane >= 0 ? lanes_[message.lane].session() : nullptr;
        for (Part& part : message.parts) {
            if (session != nullptr && part.state == PartState::InFlight &&
                session->hasReply(part.sequence)) {
                const auto effect = SubmitAnswer::take(
                    message, part, lanes_[message.lane], session->takeReply(part.sequence),
                    [this](const QStringList& avoid) { return lanes_.liveElsewhere(avoid); },
                    kThrottleLimitMs);
                throttleAnswers_ += effect == SubmitAnswer::Effect::Throttled ? 1 : 0;
                progressed = true;
            }
        }
    }
    return progressed;
}

// Deadlines that passed: the program ending, answers overdue, throttled messages out of time.
bool SmsSender::expire() {
    if (stop_ != nullptr && stop_->passed() && backlog_.anyPending()) {
        const QString line =
            errorLine(ErrorNumber::GatewayTimeout,
                      QStringLiteral("Korvane is ending and Telvoro Server had not answered yet."));
        backlog_.giveUpAll(line);
        for (int n = 0; n < lanes_.size(); ++n) {
            loseSession(n, ErrorNumber::GatewayTimeout, line);
        }
        return true;
    }
    // May have been taken; the session goes on and a late answer is dropped.
    const bool lost = backlog_.loseOverdue(
        [this] {
            return errorLine(ErrorNumber::GatewayTimeout,
                             QStringLiteral("Telvoro Server did not answer within %1 seconds.")
                                 .arg(timeouts_.responseMs / 1000.0));
        },
        [this](int lane, quint32 sequence) {
            if (SmppSession* session = lanes_[lane].session(); session != nullptr) {
                session->forget(sequence);
            }
        });
    return backlog_.giveUpThrottled(errorLine(
               ErrorNumber::GatewayThrottled,
               QStringLiteral("Telvoro Server kept answering that it is busy (throttled) for %1 "
                              "seconds.")
                   .arg(kThrottleLimitMs / 1000))) ||
           lost;
}

// Writes what may go out now: on live sessions outside their pauses, within their windows, at
// their paced slots; in ticket order, throttled parts before those not yet offered.
bool SmsSender::writeParts() {
    for (int n = 0; n < lanes_.size(); ++n) {
        lanes_[n].waitingForSlot = false;
    }
    if (!backlog_.anyWaiting()) {
        return false;
    }
    // A session lost is bound again by the next step that may wait; the others go on.
    bool progressed = false;
    for (const PartState from : {PartState::Retry, PartState::Waiting}) {
        for (auto& [ticket, message] : backlog_.messages()) {
            for (Part& part : message.parts) {
                if (message.done || part.state != from) {
                    continue;
                }
                const int lane =
                    lanes_.laneFor(backlog_, message, window_, account_.nextSlotMs(), nowMs());
                if (lane < 0 && message.untouched()) {
                    if (!message.avoid.isEmpty() && !lanes_.liveElsewhere(message.avoid)) {
                        message.stranded();  // the gateways it could move to are gone
                        progressed = true;
                        continue;
                    }
                    return progressed;  // no session takes anything now: the order holds
                }
                progressed = (lane >= 0 && writePart(message, part, lane)) || progressed;
            }
        }
    }
    return progressed;
}

bool SmsSender::writePart(Message& message, Part& part, int lane) {
    SmsLane& to = lanes_[lane];
    try {
        part.sequence = to.session()->send(Command::SubmitSm, part.body);
        part.state = PartState::InFlight;
        part.due = QDeadlineTimer(timeouts_.responseMs);
        const double now = nowMs();
        part.paced = to.pacer.written(now);
        account_.written(now);
        message.lane = lane;
        message.via = lanes_.severalGateways() ? to.gateway.name() : QString();
        message.notes << bindNotices_;
        bindNotices_.clear();
    } catch (const KorvaneError&) {
        // Not written: the session is gone and is settled at the next step.
    }
    return true;
}

// A session ended: each message on it is settled as far as it can be (SmsMessage); one the
// gateway has nothing of may go on another.
void SmsSender::loseSession(int lane, qint32 number, const QString& description) {
    backlog_.sessionLost(lane, errorLine(number, description));
    lanes_[lane].link.drop();
}

bool SmsSender::loseFailedSessions() {
    bool lost = false;
    for (int n = 0; n < lanes_.size(); ++n) {
        if (SmppSession* session = lanes_[n].session();
            session != nullptr && !session->failure().isEmpty()) {
            loseSession(n, session->failureNumber(), session->failure());
            lost = true;
        }
    }
    return lost;
}

// The next time the engine has something to do: an answer due, a pause ending, a paced slot,
// a throttled message running out of time, the program's end.
QDeadlineTimer SmsSender::nextWake() const {
    bool offering = false;
    QDeadlineTimer wake = backlog_.nextDeadline(offering);
    if (offering) {
        const QDeadlineTimer lanes =
            lanes_.nextWake(backlog_, window_, account_.nextSlotMs(), nowMs());
        wake = lanes.deadlineNSecs() < wake.deadlineNSecs() ? lanes : wake;
    }
    return stop_ != nullptr ? stop_->capped(wake) : wake;
}

// Sleeps on the event loop until an answer comes, a session fails, the stop deadline moves
// or the next deadline is reached. Every deadline already past was acted on before this.
QCoro::Task<> SmsSender::waitForChange() {
    ++waits_;
    // A session closed meanwhile ends the wait too.
    std::vector<std::pair<QPointer<SmppSession>, quint64>> watched;
    bool forSlot = false;
    for (int n = 0; n < lanes_.size(); ++n) {
        forSlot = forSlot || lanes_[n].waitingForSlot;
        if (SmppSession* session = lanes_[n].session(); session != nullptr) {
            watched.emplace_back(session, session->arrivals());
        }
    }
    pacedWaits_ += forSlot ? 1 : 0;
    const quint64 changes = stop_ != nullptr ? stop_->changes() : 0;
    DoneWait change(
        [&] {
            for (const auto& [session, arrivals] : watched) {
                if (session.isNull() || session->arrivals() != arrivals ||
                    !session->failure().isEmpty()) {
                    return true;
                }
            }
            return stop_ != nullptr && stop_->changes() != changes;
        },
        nextWake(), life_);
    co_await std::move(change);
}

QCoro::Task<> SmsSender::endSession() {
    while (backlog_.anyPending()) {
        co_await advance();
    }
    inbox_.answerAll();
    backlog_.clear();  // every outcome was asked for or can no longer be
    co_await lanes_.closeAll();
}

}  // namespace korvane
