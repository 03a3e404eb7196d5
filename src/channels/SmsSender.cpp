#include "channels/SmsSender.h"

#include <QCoreApplication>
#include <QRandomGenerator>
#include <QRegularExpression>
#include <algorithm>

#include "channels/SmsEncoding.h"
#include "core/Conversion.h"
#include "core/KorvaneError.h"
#include "core/StopDeadline.h"

namespace korvane {

using namespace smpp;

const char* const SmsSender::kConnectFailed =
    "Cannot connect to Telvoro Server... Please check Telvoro Server address And/Or Port No.";
const char* const SmsSender::kLoginFailed =
    "Cannot connect to Telvoro Server... Please check telvoro User Name And/Or Password.";
const char* const SmsSender::kSenderRefused = "Please check telvoro sender name.";
const char* const SmsSender::kNumberRefused = "Please check mobile number.";
const char* const SmsSender::kMessageRefused = "Please check message.";
const char* const SmsSender::kSendRefused = "Message is not accepted by Telvoro Server.";

namespace {

constexpr quint8 kTonUnknown = 0;
constexpr quint8 kTonInternational = 1;
constexpr quint8 kTonAlphanumeric = 5;
constexpr quint8 kNpiIsdn = 1;
constexpr quint8 kEsmUdhIndicator = 0x40;

struct Address {
    quint8 ton = 0;
    quint8 npi = 0;
    QByteArray digits;
};

bool parseNumber(const QString& text, Address& address) {
    static const QRegularExpression number(QStringLiteral("^\\+?[0-9]{1,20}$"));
    if (!number.match(text).hasMatch()) {
        return false;
    }
    const bool international = text.startsWith(QLatin1Char('+'));
    address.ton = international ? kTonInternational : kTonUnknown;
    address.npi = kNpiIsdn;
    address.digits = (international ? text.mid(1) : text).toLatin1();
    return true;
}

// A sender is a phone number or an alphanumeric name of at most 11 characters.
bool parseSender(const QString& name, Address& address) {
    static const QRegularExpression alphanumeric(QStringLiteral("^[A-Za-z0-9 ._&-]{1,11}$"));
    if (parseNumber(name, address)) {
        return true;
    }
    if (!alphanumeric.match(name).hasMatch()) {
        return false;
    }
    address = Address{kTonAlphanumeric, 0, name.toLatin1()};
    return true;
}

QByteArray submitBody(const Address& sender, const Address& destination, const EncodedSms& sms,
                      const QByteArray& part) {
    PduWriter body;
    body.cString(QByteArray())  // service_type
        .u8(sender.ton)
        .u8(sender.npi)
        .cString(sender.digits)
        .u8(destination.ton)
        .u8(destination.npi)
        .cString(destination.digits)
        .u8(sms.concatenated ? kEsmUdhIndicator : 0)
        .u8(0)                  // protocol_id
        .u8(0)                  // priority_flag
        .cString(QByteArray())  // schedule_delivery_time
        .cString(QByteArray())  // validity_period
        .u8(0)                  // registered_delivery
        .u8(0)                  // replace_if_present_flag
        .u8(sms.dataCoding)
        .u8(0)  // sm_default_msg_id
        .u8(static_cast<quint8>(part.size()))
        .bytes(part);
    return body.finish(0, 0, 0).mid(kHeaderSize);
}

bool sameGateway(const SmsGateway& a, const SmsGateway& b) {
    return a.server == b.server && a.port == b.port && a.user == b.user && a.password == b.password;
}

}  // namespace

SmsSender::SmsSender(SmppTimeouts timeouts, const StopDeadline* stop, int window)
    : timeouts_(timeouts), stop_(stop), maxWindow_(std::max(1, window)), window_(maxWindow_) {}

SmsSender::~SmsSender() {
    endSession();
}

QString SmsSender::openSession(const SmsGateway& gateway) {
    // A gateway that closed the idle session is bound again; nothing was sent on it. Events
    // first, so that a close that already came is seen.
    QCoreApplication::processEvents();
    if (session_ && session_->isBound() && sameGateway(boundTo_, gateway)) {
        return QString();
    }
    if (session_ && inFlight() > 0) {
        pump();  // settles what the old session still owes
        while (inFlight() > 0) {
            pump();
        }
    }
    if (session_) {
        session_->close();
        session_.reset();
    }
    try {
        const qint32 port = toInt32(gateway.port);
        auto session = std::make_unique<SmppSession>(timeouts_, stop_);
        switch (session->open(gateway.server, port, gateway.user, gateway.password)) {
            case SmppSession::Bind::ConnectFailed:
                return QString::fromLatin1(kConnectFailed);
            case SmppSession::Bind::Refused:
                return QString::fromLatin1(kLoginFailed);
            case SmppSession::Bind::Bound:
                break;
        }
        session_ = std::move(session);
        boundTo_ = gateway;
        window_ = maxWindow_;
    } catch (const KorvaneError& error) {
        return errorLine(error);
    }
    return QString();
}

int SmsSender::submit(const SmsGateway& gateway, const QString& mobileNumber, const QString& text) {
    const int ticket = nextTicket_++;
    Message& message = messages_[ticket];
    auto refuse = [&](const QString& line) {
        message.done = true;
        message.result = SendResult{Delivery::NotSent, line};
        return ticket;
    };
    const QString failure = openSession(gateway);
    if (!failure.isEmpty()) {
        return refuse(failure);
    }
    Address sender;
    Address destination;
    if (!parseSender(gateway.user, sender)) {
        return refuse(QString::fromLatin1(kSenderRefused));
    }
    if (!parseNumber(mobileNumber.trimmed(), destination)) {
        return refuse(QString::fromLatin1(kNumberRefused));
    }
    if (text.isEmpty()) {
        return refuse(QString::fromLatin1(kMessageRefused));
    }
    const EncodedSms sms =
        encodeSms(text, static_cast<quint8>(QRandomGenerator::global()->bounded(256)));
    if (sms.parts.empty()) {
        return refuse(errorLine(ErrorNumber::GatewayProtocol,
                                QStringLiteral("The message is too long: it needs more than "
                                               "255 SMS parts.")));
    }
    for (const QByteArray& part : sms.parts) {
        Part& added = message.parts.emplace_back();
        added.body = submitBody(sender, destination, sms, part);
    }
    message.throttleLimit = QDeadlineTimer(kThrottleLimitMs);

    // Room in the window; a message longer than the window goes out alone.
    const int needed = static_cast<int>(message.parts.size());
    while (inFlight() > 0 && inFlight() + needed > window_ && session_ && session_->isBound()) {
        pump();
    }
    if (!session_ || !session_->isBound()) {
        const QString again = openSession(gateway);
        if (!again.isEmpty()) {
            return refuse(again);
        }
    }
    for (Part& part : message.parts) {
        writePart(part);
    }
    settle(message);
    return ticket;
}

void SmsSender::writePart(Part& part) {
    try {
        part.unwritten = false;
        part.sequence = session_->send(Command::SubmitSm, part.body);
        part.inFlight = true;
        part.due = QDeadlineTimer(timeouts_.responseMs);
    } catch (const KorvaneError&) {
        part.refused = true;  // never written: the gateway has nothing of it
    }
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

int SmsSender::inFlight() const {
    int count = 0;
    for (const auto& [ticket, message] : messages_) {
        for (const Part& part : message.parts) {
            count += part.inFlight ||
                     (!part.accepted && !part.refused && !part.lost && part.throttled > 0);
        }
    }
    return count;
}

QDeadlineTimer SmsSender::nextWake() const {
    QDeadlineTimer wake(QDeadlineTimer::Forever);
    for (const auto& [ticket, message] : messages_) {
        for (const Part& part : message.parts) {
            const QDeadlineTimer at = part.inFlight ? part.due : part.retryAt;
            if ((part.inFlight || part.throttled > 0) && !part.accepted && !part.refused &&
                at.deadlineNSecs() < wake.deadlineNSecs()) {
                wake = at;
            }
        }
    }
    return stop_ != nullptr ? stop_->capped(wake) : wake;
}

// One round: takes the replies that came, offers throttled parts again, enforces the
// deadlines, or waits (responsively) for the next of these.
void SmsSender::pump() {
    bool progressed = false;
    for (auto& [ticket, message] : messages_) {
        for (Part& part : message.parts) {
            if (part.inFlight && session_ && session_->hasReply(part.sequence)) {
                const Pdu reply = session_->takeReply(part.sequence);
                part.inFlight = false;
                progressed = true;
                const bool throttled =
                    reply.commandId == Command::SubmitSmResp &&
                    (reply.status == Status::Throttled || reply.status == Status::MessageQueueFull);
                if (reply.commandId == Command::SubmitSmResp && reply.status == Status::Ok) {
                    part.accepted = true;
                    window_ = std::min(maxWindow_, window_ + 1);
                } else if (throttled && !message.throttleLimit.hasExpired()) {
                    // Nothing was taken: the same PDU again, later, with fewer in flight.
                    window_ = std::max(1, window_ / 2);
                    part.retryAt =
                        QDeadlineTimer(std::min(5000, 250 << std::min(part.throttled, 5)));
                    ++part.throttled;
                } else {
                    part.refused = true;
                }
            } else if (!part.inFlight && part.throttled > 0 && !part.accepted && !part.refused &&
                       !part.lost) {
                if (message.throttleLimit.hasExpired()) {
                    part.refused = true;
                    progressed = true;
                } else if (part.retryAt.hasExpired() && session_ && session_->isBound() &&
                           inFlight() <= window_) {
                    writePart(part);
                    progressed = true;
                }
            }
        }
    }
    if (session_ && !session_->failure().isEmpty()) {
        loseSession(session_->failureNumber(), session_->failure());
        progressed = true;
    } else if (stop_ != nullptr && stop_->passed() && inFlight() > 0) {
        loseSession(ErrorNumber::GatewayTimeout,
                    QStringLiteral("Korvane is ending and Telvoro Server had not answered yet."));
        progressed = true;
    } else {
        // No answer in time: that part may have been taken. The session goes on; a late
        // answer is dropped.
        for (auto& [ticket, message] : messages_) {
            for (Part& part : message.parts) {
                if (part.inFlight && part.due.hasExpired()) {
                    part.inFlight = false;
                    part.lost = true;
                    session_->forget(part.sequence);
                    if (message.result.failure.isEmpty()) {
                        message.result.failure = errorLine(
                            ErrorNumber::GatewayTimeout,
                            QStringLiteral("Telvoro Server did not answer within %1 seconds.")
                                .arg(timeouts_.responseMs / 1000.0));
                    }
                    progressed = true;
                }
            }
        }
    }
    for (auto& [ticket, message] : messages_) {
        settle(message);
    }
    if (!progressed && session_) {
        // In slices: a stop deadline set meanwhile (SIGTERM) is seen within one.
        const QDeadlineTimer slice(100);
        const QDeadlineTimer wake = nextWake();
        session_->waitForReply(wake.deadlineNSecs() < slice.deadlineNSecs() ? wake : slice);
    }
}

void SmsSender::loseSession(qint32 number, const QString& description) {
    const QString line = errorLine(number, description);
    for (auto& [ticket, message] : messages_) {
        for (Part& part : message.parts) {
            if (part.inFlight) {
                part.inFlight = false;
                part.lost = true;
            } else if (!part.accepted && !part.refused && !part.lost && part.throttled > 0) {
                part.refused = true;  // waiting to be offered again: never taken
            }
        }
        // A message still waiting for room goes out on the next session instead.
        const bool started = std::any_of(message.parts.begin(), message.parts.end(),
                                         [](const Part& part) { return !part.unwritten; });
        if (started && !message.done && message.result.failure.isEmpty()) {
            message.result.failure = line;
        }
    }
    if (session_) {
        session_->abort();
        session_.reset();
    }
}

void SmsSender::settle(Message& message) {
    if (message.done) {
        return;
    }
    int accepted = 0;
    int refused = 0;
    int lost = 0;
    for (const Part& part : message.parts) {
        if (part.unwritten || part.inFlight ||
            (part.throttled > 0 && !part.accepted && !part.refused && !part.lost)) {
            return;  // still to go out, or owed an answer
        }
        accepted += part.accepted;
        refused += part.refused;
        lost += part.lost;
    }
    const int total = static_cast<int>(message.parts.size());
    message.done = true;
    if (accepted == total) {
        message.result = SendResult{Delivery::Sent, QString()};
    } else if (accepted == 0 && lost == 0) {
        // A session lost before anything was written keeps its own reason.
        if (message.result.failure.isEmpty()) {
            message.result.failure = QString::fromLatin1(kSendRefused);
        }
        message.result.delivery = Delivery::NotSent;
    } else {
        // Some of it may be with the recipient: sending it again could repeat it.
        const QString why = lost > 0 ? message.result.failure
                                     : errorLine(ErrorNumber::GatewayProtocol,
                                                 QStringLiteral("Telvoro Server refused part of "
                                                                "the message."));
        message.result = SendResult{
            Delivery::InDoubt,
            why + QStringLiteral(" %1 of %2 parts accepted; the message may have been sent.")
                      .arg(accepted)
                      .arg(total)};
    }
}

void SmsSender::endSession() {
    while (inFlight() > 0) {
        pump();
    }
    if (session_) {
        session_->close();
        session_.reset();
    }
    messages_.clear();  // every outcome was asked for or can no longer be
}

}  // namespace korvane
