#include "channels/SmsSender.h"

#include <QCoreApplication>
#include <algorithm>
#include <cmath>

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
      link_(timeouts, stop) {
    clock_.start();
}

void SmsSender::setReceiptListener(ReceiptInbox::Listener listener, ReceiptInbox::Notice notice) {
    inbox_.setListener(std::move(listener), notice);
    link_.setDeliveries([this](SmppSession& session, const Pdu& pdu) { inbox_.take(session, pdu); },
                        std::move(notice));
}

QString SmsSender::listen(const SmsGateway& gateway) {
    return anyPending() ? QString() : openSession(gateway);
}

SmsSender::~SmsSender() {
    endSession();
}

QString SmsSender::openSession(const SmsGateway& gateway) {
    // Events first, so that a close that already came is seen; a dropped session is settled
    // before anything is written to a new one.
    QCoreApplication::processEvents();
    if (SmppSession* session = link_.session();
        session != nullptr && !session->failure().isEmpty()) {
        loseSession(session->failureNumber(), session->failure());
    }
    if (link_.live() && link_.boundTo(gateway)) {
        return QString();
    }
    while (link_.session() != nullptr && inFlight() > 0) {
        pump();  // what the old session still owes
    }
    const QString failure = link_.bind(gateway);
    if (failure.isEmpty()) {
        pacer_.sessionStarted();
    }
    return failure;
}

int SmsSender::submit(const SmsGateway& gateway, const QString& mobileNumber, const QString& text,
                      const QDateTime& validUntil) {
    const int ticket = nextTicket_++;
    Message message;
    message.gateway = gateway;
    // passing: nothing was offered, for a cause that may pass.
    auto refuse = [&](const QString& line, bool passing = false) {
        message.done = true;
        message.result = SendResult{Delivery::NotSent, line};
        message.result.passing = passing;
        message.result.unreachable = passing;
        messages_.emplace(ticket, std::move(message));
        return ticket;
    };
    if (stop_ != nullptr && stop_->passed()) {
        return refuse(errorLine(ErrorNumber::GatewayTimeout,
                                QStringLiteral("Korvane is ending, so the message was not "
                                               "offered to Telvoro Server.")),
                      true);
    }
    if (const QString failure = openSession(gateway); !failure.isEmpty()) {
        return refuse(failure, true);
    }
    if (const QString refusal =
            message.build(gateway.user, mobileNumber, text, link_.receipts(), validUntil);
        !refusal.isEmpty()) {
        return refuse(refusal);
    }
    pacer_.configure(rateOverride_ > 0 ? rateOverride_ : gateway.submitsPerSecond);
    // Only a complete message joins the others: the engine never settles a half-built one.
    Message& added = messages_.emplace(ticket, std::move(message)).first->second;
    while (added.has(PartState::Waiting) && !added.done) {
        pump();
    }
    return ticket;
}

SendResult SmsSender::outcome(int ticket) {
    auto it = messages_.find(ticket);
    if (it == messages_.end()) {
        return SendResult{Delivery::NotSent, errorLine(ErrorNumber::GatewayProtocol,
                                                       QStringLiteral("Unknown message."))};
    }
    while (!it->second.done) {
        pump();
    }
    const SendResult result = it->second.result;
    messages_.erase(it);
    return result;
}

bool SmsSender::isSettled(int ticket) {
    auto it = messages_.find(ticket);
    if (it == messages_.end() || it->second.done) {
        return true;
    }
    pump(false);
    return it->second.done;
}

int SmsSender::room() {
    pump(false);
    int waiting = 0;
    for (const auto& [ticket, message] : messages_) {
        waiting +=
            message.done ? 0 : message.count(PartState::Waiting) + message.count(PartState::Retry);
    }
    return paused() ? 0 : std::max(0, window_ - inFlight() - waiting);
}

int SmsSender::inFlight() const {
    int count = 0;
    for (const auto& [ticket, message] : messages_) {
        count += message.count(PartState::InFlight);
    }
    return count;
}

// One step of the engine: what came in, what ran out, what can go out now; it waits on the
// event loop only when none of these did anything.
void SmsSender::pump(bool mayWait) {
    bool progressed = takeReplies();
    if (SmppSession* session = link_.session();
        session != nullptr && !session->failure().isEmpty()) {
        loseSession(session->failureNumber(), session->failure());
        progressed = true;
    }
    progressed = expire() || progressed;
    progressed = writeParts() || progressed;
    for (auto& [ticket, message] : messages_) {
        message.settle(QString::fromLatin1(kSendRefused));
    }
    if (!progressed && mayWait) {
        wait();
    }
}

bool SmsSender::takeReplies() {
    bool progressed = false;
    for (auto& [ticket, message] : messages_) {
        for (Part& part : message.parts) {
            if (part.state == PartState::InFlight && link_.session() != nullptr &&
                link_.session()->hasReply(part.sequence)) {
                onReply(message, part, link_.session()->takeReply(part.sequence));
                progressed = true;
            }
        }
    }
    return progressed;
}

void SmsSender::onReply(Message& message, Part& part, const Pdu& reply) {
    const quint32 status = reply.status;
    const bool nack = reply.commandId != Command::SubmitSmResp;
    if (!nack && status == Status::Ok) {
        part.state = PartState::Accepted;
        int offset = 0;
        QByteArray id;
        readCString(reply.body, offset, 65, id);
        part.id = QString::fromLatin1(id).trimmed();
        pacer_.accepted(part.paced);
        pauseMs_ = kFirstPauseMs;
        return;
    }
    // A generic_nack carries the same statuses: a throttle is a throttle however it comes.
    if (status == Status::Throttled || status == Status::MessageQueueFull) {
        // Nothing was taken: offered again at the next paced slot.
        ++throttleAnswers_;
        part.state = PartState::Retry;
        if (message.throttleLimit.isForever()) {
            message.throttleLimit = QDeadlineTimer(kThrottleLimitMs);
        }
        if (pacer_.throttled(part.paced) && !paused()) {
            // Throttled even at a submit a second: the gateway is in trouble, not pacing.
            pausedUntil_ = QDeadlineTimer(pauseMs_);
            pauseMs_ = std::min(kLongestPauseMs, pauseMs_ * 2);
        }
        return;
    }
    part.state = PartState::Refused;
    // The gateway in trouble took nothing: worth another attempt later.
    message.passing = status == Status::SystemError && !message.has(PartState::Accepted);
    if (message.answer.isEmpty()) {
        message.answer =
            QStringLiteral("Telvoro Server answered %1%2.")
                .arg(nack ? QStringLiteral("generic_nack ") : QString(), describeStatus(status));
    }
    message.giveUp();  // the rest of a refused message is not offered
}

// Deadlines that passed: the program ending, answers overdue, throttled messages out of time.
bool SmsSender::expire() {
    if (stop_ != nullptr && stop_->passed() && anyPending()) {
        const QString line =
            errorLine(ErrorNumber::GatewayTimeout,
                      QStringLiteral("Korvane is ending and Telvoro Server had not answered yet."));
        for (auto& [ticket, message] : messages_) {
            if (message.pending() && message.failure.isEmpty()) {
                message.failure = line;
            }
            message.passing = true;  // whatever was written settles it otherwise
            message.giveUp();
        }
        loseSession(ErrorNumber::GatewayTimeout, line);
        return true;
    }
    bool progressed = false;
    for (auto& [ticket, message] : messages_) {
        for (Part& part : message.parts) {
            if (part.state == PartState::InFlight && part.due.hasExpired()) {
                // May have been taken; the session goes on and a late answer is dropped.
                part.state = PartState::Lost;
                link_.session()->forget(part.sequence);
                if (message.failure.isEmpty()) {
                    message.failure =
                        errorLine(ErrorNumber::GatewayTimeout,
                                  QStringLiteral("Telvoro Server did not answer within %1 seconds.")
                                      .arg(timeouts_.responseMs / 1000.0));
                }
                progressed = true;
            }
        }
        if (message.pending() && message.throttleLimit.hasExpired() &&
            (message.has(PartState::Retry) || message.has(PartState::Waiting))) {
            message.giveUp();
            message.passing = true;
            if (message.failure.isEmpty()) {
                message.failure = errorLine(
                    ErrorNumber::GatewayThrottled,
                    QStringLiteral("Telvoro Server kept answering that it is busy (throttled) "
                                   "for %1 seconds.")
                        .arg(kThrottleLimitMs / 1000));
            }
            progressed = true;
        }
    }
    return progressed;
}

// Writes what may go out now: into a live session, outside a pause, within the window; in
// ticket order, throttled parts before those not yet offered.
bool SmsSender::writeParts() {
    auto waiting = [](const auto& entry) {
        return !entry.second.done &&
               (entry.second.has(PartState::Waiting) || entry.second.has(PartState::Retry));
    };
    waitingForSlot_ = false;
    const auto first = std::find_if(messages_.begin(), messages_.end(), waiting);
    if (first == messages_.end() || paused() || inFlight() >= window_) {
        return false;
    }
    if (!link_.live()) {
        if (const QString failure = openSession(first->second.gateway); !failure.isEmpty()) {
            failUnwritten(failure);
            return true;
        }
    }
    bool progressed = false;
    for (const PartState from : {PartState::Retry, PartState::Waiting}) {
        for (auto& [ticket, message] : messages_) {
            for (Part& part : message.parts) {
                if (message.done || part.state != from || inFlight() >= window_ || paused() ||
                    !link_.live()) {
                    continue;
                }
                if (nowMs() < pacer_.nextSlotMs()) {
                    waitingForSlot_ = true;
                    return progressed;
                }
                try {
                    part.sequence = link_.session()->send(Command::SubmitSm, part.body);
                    part.state = PartState::InFlight;
                    part.due = QDeadlineTimer(timeouts_.responseMs);
                    part.paced = pacer_.written(nowMs());
                } catch (const KorvaneError&) {
                    // Not written: the session is gone and is settled at the next step.
                }
                progressed = true;
            }
        }
    }
    return progressed;
}

// No session could be had: what was never written is not sent, with the reason.
void SmsSender::failUnwritten(const QString& line) {
    for (auto& [ticket, message] : messages_) {
        message.failUnwritten(line);
    }
}

// The session ended: each message in flight is settled as far as it can be (SmsMessage).
void SmsSender::loseSession(qint32 number, const QString& description) {
    const QString line = errorLine(number, description);
    for (auto& [ticket, message] : messages_) {
        message.sessionLost(line);
    }
    link_.drop();
}

// The next time the engine has something to do: an answer due, the pause ending, a
// throttled message running out of time, the program's end.
QDeadlineTimer SmsSender::nextWake() const {
    QDeadlineTimer wake(QDeadlineTimer::Forever);
    const auto earlier = [&wake](QDeadlineTimer at) {
        if (at.deadlineNSecs() < wake.deadlineNSecs()) {
            wake = at;
        }
    };
    bool offering = false;
    for (const auto& [ticket, message] : messages_) {
        if (!message.pending()) {
            continue;
        }
        for (const Part& part : message.parts) {
            if (part.state == PartState::InFlight) {
                earlier(part.due);
            }
        }
        if (message.has(PartState::Retry) || message.has(PartState::Waiting)) {
            offering = true;
            earlier(message.throttleLimit);
        }
    }
    // The pause's end and the next paced slot matter only when there will be room then.
    if (offering && inFlight() < window_) {
        earlier(pausedUntil_);
        if (waitingForSlot_) {
            earlier(QDeadlineTimer(static_cast<qint64>(std::ceil(pacer_.nextSlotMs() - nowMs()))));
        }
    }
    return stop_ != nullptr ? stop_->capped(wake) : wake;
}

// Sleeps on the event loop until an answer comes, the session fails, the stop deadline moves
// or the next deadline is reached. Every deadline already past was acted on before this.
void SmsSender::wait() {
    ++waits_;
    pacedWaits_ += waitingForSlot_ ? 1 : 0;
    SmppSession* session = link_.session();
    const quint64 arrivals = session != nullptr ? session->arrivals() : 0;
    const quint64 changes = stop_ != nullptr ? stop_->changes() : 0;
    waitResponsively(
        [&] {
            return (session != nullptr &&
                    (session->arrivals() != arrivals || !session->failure().isEmpty())) ||
                   (stop_ != nullptr && stop_->changes() != changes);
        },
        nextWake());
}

void SmsSender::endSession() {
    while (anyPending()) {
        pump();
    }
    inbox_.answerAll();
    link_.close();
    messages_.clear();  // every outcome was asked for or can no longer be
}

}  // namespace korvane
