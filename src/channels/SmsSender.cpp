#include "channels/SmsSender.h"

#include <algorithm>
#include <cmath>
#include <limits>

#include "core/BackOff.h"
#include "core/Conversion.h"
#include "core/KorvaneError.h"
#include "core/Responsive.h"
#include "core/StopDeadline.h"

namespace korvane {

using namespace smpp;

const char* const SmsSender::kConnectFailed =
    "Cannot connect to Telvoro Server... Please check Telvoro Server address And/Or Port No.";
const char* const SmsSender::kLoginFailed =
    "Cannot connect to Telvoro Server... Please check telvoro User Name And/Or Password.";
const char* const SmsSender::kSendRefused = "Message is not accepted by Telvoro Server.";

SmsSender::SmsSender(SmppTimeouts timeouts, const StopDeadline* stop, int window,
                     int receiptAnswerMs)
    : timeouts_(timeouts),
      stop_(stop),
      window_(std::max(1, window)),
      inbox_(receiptAnswerMs),
      lanes_(timeouts, stop) {
    clock_.start();
}

void SmsSender::setReceiptListener(ReceiptInbox::Listener listener, ReceiptInbox::Notice notice) {
    inbox_.setListener(std::move(listener), notice);
    lanes_.setDeliveries(
        [this](SmppSession& session, const Pdu& pdu) { inbox_.take(session, pdu); },
        std::move(notice));
}

QString SmsSender::listen(const QList<SmsGateway>& gateways) {
    return backlog_.anyPending() ? QString() : openSessions(gateways);
}

SmsSender::~SmsSender() {
    endSession();
}

// The sessions for these gateways, bound where they can be. What came on them first, so that
// a close that already came is seen; what old sessions still owe is settled before they go.
QString SmsSender::openSessions(const QList<SmsGateway>& gateways) {
    lanes_.takeInWhatCame();
    loseFailedSessions();
    if (!lanes_.arrangedFor(gateways) || lanes_.boundOtherwise()) {
        while (backlog_.inFlight() > 0) {
            pump();
        }
        // The engine itself still waits in place; the sessions' own waits are coroutines.
        if (!lanes_.arrangedFor(gateways)) {
            waitInPlace(lanes_.arrange(gateways));
        }
        waitInPlace(lanes_.closeBoundOtherwise());
    }
    return bindLanes();
}

QString SmsSender::bindLanes() {
    QStringList notices;
    const QString failure = waitInPlace(lanes_.bindAll(notices));
    bindNotices_ << notices;
    return failure;
}

int SmsSender::submit(const QList<SmsGateway>& gateways, const QString& mobileNumber,
                      const QString& text, const QDateTime& validUntil, const QString& senderName) {
    const int ticket = nextTicket_++;
    Message message;
    // Nothing was offered: refused for good, or no session to offer it on (Unreachable).
    auto refuse = [&](const QString& line, Delivery delivery = Delivery::Refused) {
        message.done = true;
        message.result = SendResult{delivery, line};
        backlog_.messages().emplace(ticket, std::move(message));
        return ticket;
    };
    if (stop_ != nullptr && stop_->passed()) {
        return refuse(errorLine(ErrorNumber::GatewayTimeout,
                                QStringLiteral("Korvane is ending, so the message was not "
                                               "offered to Telvoro Server.")),
                      Delivery::Unreachable);
    }
    if (gateways.isEmpty()) {
        return refuse(QString::fromLatin1(kConnectFailed), Delivery::Unreachable);
    }
    if (const QString failure = openSessions(gateways); !failure.isEmpty()) {
        return refuse(failure, Delivery::Unreachable);
    }
    if (const QString refusal = message.build(gateways.first().user, senderName, mobileNumber, text,
                                              lanes_.receipts(), validUntil);
        !refusal.isEmpty()) {
        return refuse(refusal);
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
    Message& added = backlog_.messages().emplace(ticket, std::move(message)).first->second;
    while (added.has(PartState::Waiting) && !added.done) {
        pump();
    }
    return ticket;
}

SendResult SmsSender::outcome(int ticket) {
    auto it = backlog_.messages().find(ticket);
    if (it == backlog_.messages().end()) {
        return SendResult{Delivery::Refused, errorLine(ErrorNumber::GatewayProtocol,
                                                       QStringLiteral("Unknown message."))};
    }
    while (!it->second.done) {
        pump();
    }
    const SendResult result = it->second.result;
    backlog_.messages().erase(it);
    return result;
}

bool SmsSender::isSettled(int ticket) {
    auto it = backlog_.messages().find(ticket);
    if (it == backlog_.messages().end() || it->second.done) {
        return true;
    }
    pump(false);
    return it->second.done;
}

int SmsSender::room() {
    pump(false);
    const int waiting = backlog_.waitingParts();
    return std::max(0, lanes_.room(backlog_, window_) - waiting);
}

// One step of the engine: what came in, what ran out, what can go out now; it waits on the
// event loop only when none of these did anything.
void SmsSender::pump(bool mayWait) {
    bool progressed = takeReplies();
    progressed = loseFailedSessions() || progressed;
    progressed = expire() || progressed;
    progressed = writeParts() || progressed;
    backlog_.settleAll(QString::fromLatin1(kSendRefused));
    if (!progressed && mayWait) {
        wait();
    }
}

bool SmsSender::takeReplies() {
    bool progressed = false;
    for (auto& [ticket, message] : backlog_.messages()) {
        SmppSession* session = message.lane >= 0 ? lanes_[message.lane].session() : nullptr;
        for (Part& part : message.parts) {
            if (session != nullptr && part.state == PartState::InFlight &&
                session->hasReply(part.sequence)) {
                onReply(message, part, session->takeReply(part.sequence));
                progressed = true;
            }
        }
    }
    return progressed;
}

void SmsSender::onReply(Message& message, Part& part, const Pdu& reply) {
    SmsLane& lane = lanes_[message.lane];
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
        return;
    }
    // A generic_nack carries the same statuses: a throttle is a throttle however it comes.
    if (status == Status::Throttled || status == Status::MessageQueueFull) {
        // Nothing was taken: offered again at the next paced slot, on any session.
        ++throttleAnswers_;
        part.state = PartState::Retry;
        if (message.throttleLimit.isForever()) {
            message.throttleLimit = QDeadlineTimer(kThrottleLimitMs);
        }
        if (lane.pacer.throttled(part.paced) && !lane.paused()) {
            // Throttled even at a submit a second: the gateway is in trouble, not pacing.
            lane.pausedUntil =
                QDeadlineTimer(BackOff::waitAfter(++lane.pauses, kFirstPauseMs, kLongestPauseMs));
        }
        return;
    }
    // A gateway in trouble took nothing: with another one bound, the message goes there whole.
    if (status == Status::SystemError &&
        message.leave(part, lane.gateway.name(),
                      [this](const QStringList& avoid) { return lanes_.liveElsewhere(avoid); })) {
        return;
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
    bool progressed = false;
    for (auto& [ticket, message] : backlog_.messages()) {
        for (Part& part : message.parts) {
            if (part.state == PartState::InFlight && part.due.hasExpired()) {
                // May have been taken; the session goes on and a late answer is dropped.
                part.state = PartState::Lost;
                if (SmppSession* session = lanes_[message.lane].session(); session != nullptr) {
                    session->forget(part.sequence);
                }
                if (message.failure.isEmpty()) {
                    message.failure =
                        errorLine(ErrorNumber::GatewayTimeout,
                                  QStringLiteral("Telvoro Server did not answer within %1 seconds.")
                                      .arg(timeouts_.responseMs / 1000.0));
                }
                progressed = true;
            }
        }
    }
    return backlog_.giveUpThrottled(errorLine(
               ErrorNumber::GatewayThrottled,
               QStringLiteral("Telvoro Server kept answering that it is busy (throttled) for %1 "
                              "seconds.")
                   .arg(kThrottleLimitMs / 1000))) ||
           progressed;
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
    if (!lanes_.allLive()) {
        // A session lost is bound again, with its back-off, while the others go on.
        if (const QString failure = bindLanes(); !failure.isEmpty()) {
            backlog_.failUnwritten(failure);
            return true;
        }
    }
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
    const auto earlier = [&wake](QDeadlineTimer at) {
        if (at.deadlineNSecs() < wake.deadlineNSecs()) {
            wake = at;
        }
    };
    // A pause's end and a paced slot matter only when there will be room then.
    for (int n = 0; offering && n < lanes_.size(); ++n) {
        const SmsLane& lane = lanes_[n];
        if (backlog_.inFlight(n) >= window_) {
            continue;
        }
        earlier(lane.pausedUntil);
        if (lane.waitingForSlot) {
            const double slot = std::max(lane.pacer.nextSlotMs(), account_.nextSlotMs());
            earlier(QDeadlineTimer(static_cast<qint64>(std::ceil(slot - nowMs()))));
        }
    }
    return stop_ != nullptr ? stop_->capped(wake) : wake;
}

// Sleeps on the event loop until an answer comes, a session fails, the stop deadline moves
// or the next deadline is reached. Every deadline already past was acted on before this.
void SmsSender::wait() {
    ++waits_;
    std::vector<std::pair<SmppSession*, quint64>> watched;
    bool forSlot = false;
    for (int n = 0; n < lanes_.size(); ++n) {
        forSlot = forSlot || lanes_[n].waitingForSlot;
        if (SmppSession* session = lanes_[n].session(); session != nullptr) {
            watched.emplace_back(session, session->arrivals());
        }
    }
    pacedWaits_ += forSlot ? 1 : 0;
    const quint64 changes = stop_ != nullptr ? stop_->changes() : 0;
    waitResponsively(
        [&] {
            for (const auto& [session, arrivals] : watched) {
                if (session->arrivals() != arrivals || !session->failure().isEmpty()) {
                    return true;
                }
            }
            return stop_ != nullptr && stop_->changes() != changes;
        },
        nextWake());
}

void SmsSender::endSession() {
    while (backlog_.anyPending()) {
        pump();
    }
    inbox_.answerAll();
    waitInPlace(lanes_.closeAll());
    backlog_.clear();  // every outcome was asked for or can no longer be
}

}  // namespace korvane
