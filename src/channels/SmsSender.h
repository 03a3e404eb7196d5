#pragma once

#include <QDeadlineTimer>
#include <QElapsedTimer>
#include <QString>
#include <algorithm>
#include <map>
#include <memory>
#include <vector>

#include "channels/GatewayLink.h"
#include "channels/ReceiptInbox.h"
#include "channels/SmppSession.h"
#include "channels/SmsMessage.h"
#include "channels/SubmitPacer.h"
#include "core/Messages.h"

namespace korvane {

class StopDeadline;

// SMS over one SMPP transmitter session, bound at the first message and kept until
// endSession(), with up to a window of submit_sm in flight. A long text goes out as several
// parts; the message is sent only when every part was accepted.
//
// Submits are spaced at the pace the gateway accepts (SubmitPacer, which outlives sessions):
// a throttled part (ESME_RTHROTTLED, ESME_RMSGQFUL) is offered again at the next paced slot.
// Only throttles that go on at a submit a second pause the whole session, from 250 ms
// doubling to 5 s, until a submit is accepted.
//
// With receipts on, every part asks for a final delivery receipt, the session binds as a
// transceiver, and each part's message_id comes back with the outcome; receipts go to the
// listener and are answered through answerReceipt (ReceiptInbox).
class SmsSender {
public:
    static constexpr int kDefaultWindow = 10;
    // How long a throttled message keeps being offered again, from its first throttle answer.
    static constexpr int kThrottleLimitMs = 60000;
    static constexpr int kFirstPauseMs = 250;
    static constexpr int kLongestPauseMs = 5000;

    explicit SmsSender(SmppTimeouts timeouts = SmppTimeouts(), const StopDeadline* stop = nullptr,
                       int window = kDefaultWindow, int receiptAnswerMs = ReceiptInbox::kAnswerMs);
    ~SmsSender();
    SmsSender(const SmsSender&) = delete;
    SmsSender& operator=(const SmsSender&) = delete;

    // Hands one message over and returns its ticket; waits only to connect and bind (once per
    // session) and until every part of the message has been written.
    // validUntil: the gateway gives up on it then (none when invalid).
    int submit(const SmsGateway& gateway, const QString& mobileNumber, const QString& text,
               const QDateTime& validUntil = QDateTime());
    // Waits for the message's outcome; the failure line is for the caller to log.
    SendResult outcome(int ticket);
    // Whether the outcome is known: takes in what has come, never waits.
    bool isSettled(int ticket);
    // Parts that would be written at once: the window less what is in flight or waiting to
    // go, none during a pause. Takes in what has come, never waits.
    int room();
    // Waits for what is in flight, then unbinds; the next submit binds again.
    void endSession();
    SendResult send(const SmsGateway& gateway, const QString& mobileNumber, const QString& text) {
        return outcome(submit(gateway, mobileNumber, text));
    }

    // How often the sender has waited on the event loop: a pause or a stalled gateway costs
    // a few waits, one per deadline, never a spin.
    quint64 waits() const { return waits_; }
    // Throttle answers and binds since the sender was made.
    quint64 throttleAnswers() const { return throttleAnswers_; }
    quint64 binds() const { return link_.counts().binds; }
    const GatewayLink::Counts& linkCounts() const { return link_.counts(); }
    // Forgets a failed bind's back-off: the next message binds at once (Start, Test SMS).
    void retryNow() { link_.retryNow(); }
    // A bind failed lately and its back-off has not run out.
    bool unreachable() const { return link_.backingOff(); }

    // Receipts wanted or not; a session bound the other way binds again at its next use.
    void setReceipts(bool wanted) { link_.setReceipts(wanted); }
    void setReceiptListener(ReceiptInbox::Listener listener, ReceiptInbox::Notice notice);
    void answerReceipt(quint64 token, bool written) { inbox_.answer(token, written); }
    // Binds now if no session is bound, so that receipts come while nothing is sent; "" or
    // the line that says why there is no session.
    QString listen(const SmsGateway& gateway);
    size_t unansweredReceipts() const { return inbox_.unanswered(); }
    // Waits for a paced slot, and the pace now (submits a second; 0: unpaced).
    quint64 pacedWaits() const { return pacedWaits_; }
    double pacedRate() const { return pacer_.perSecond(); }
    // A rate that overrides the gateway's configured one (KORVANE_SMPP_RATE); 0: none.
    void setRateOverride(double perSecond) { rateOverride_ = perSecond; }

    static const char* const kConnectFailed;
    static const char* const kLoginFailed;
    static constexpr const char* kSenderRefused = SmsMessage::kSenderRefused;
    static constexpr const char* kNumberRefused = SmsMessage::kNumberRefused;
    static constexpr const char* kMessageRefused = SmsMessage::kMessageRefused;
    static const char* const kSendRefused;

private:
    using Message = SmsMessage;
    using Part = SmsMessage::Part;
    using PartState = SmsMessage::PartState;

    QString openSession(const SmsGateway& gateway);
    void pump(bool mayWait = true);
    bool takeReplies();
    void onReply(Message& message, Part& part, const smpp::Pdu& reply);
    bool expire();
    bool writeParts();
    void failUnwritten(const QString& line);
    void loseSession(qint32 number, const QString& description);
    void wait();
    int inFlight() const;
    bool anyPending() const {
        return std::any_of(messages_.begin(), messages_.end(),
                           [](const auto& entry) { return entry.second.pending(); });
    }
    bool paused() const { return !pausedUntil_.isForever() && !pausedUntil_.hasExpired(); }
    QDeadlineTimer nextWake() const;
    double nowMs() const { return double(clock_.nsecsElapsed()) / 1e6; }

    SmppTimeouts timeouts_;
    const StopDeadline* stop_;
    int window_;
    int pauseMs_ = kFirstPauseMs;
    SubmitPacer pacer_;
    QElapsedTimer clock_;
    double rateOverride_ = 0;
    bool waitingForSlot_ = false;  // the last step held a part back for its paced slot
    quint64 pacedWaits_ = 0;
    QDeadlineTimer pausedUntil_{QDeadlineTimer::Forever};
    ReceiptInbox inbox_;  // before the link: sessions answer through it while they close
    GatewayLink link_;
    std::map<int, Message> messages_;
    int nextTicket_ = 1;
    quint64 waits_ = 0;
    quint64 throttleAnswers_ = 0;
};

}  // namespace korvane
