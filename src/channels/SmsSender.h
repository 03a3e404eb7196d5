#pragma once

#include <QCoro/QCoroTask>
#include <QDeadlineTimer>
#include <QElapsedTimer>
#include <QList>
#include <QString>
#include <algorithm>
#include <map>
#include <memory>
#include <optional>
#include <vector>

#include "channels/GatewayLink.h"
#include "channels/ReceiptInbox.h"
#include "channels/SmppSession.h"
#include "channels/SmsBacklog.h"
#include "channels/SmsLanes.h"
#include "channels/SmsMessage.h"
#include "channels/SubmitPacer.h"
#include "core/Messages.h"

namespace korvane {

class StopDeadline;

// SMS over SMPP sessions kept to one gateway or two (SmsLanes), each bound at the first
// message and kept until endSession(), each with up to a window of submit_sm in flight. A
// long text goes out as several parts, all on one session; the message is sent only when
// every part was accepted. A message goes to the session with room soonest, and moves to
// another only while the gateway has certainly nothing of it.
//
// Submits are spaced at the pace each session's gateway accepts (SubmitPacer, which outlives
// sessions), and SubmitsPerSecond holds the account as a whole: a throttled part
// (ESME_RTHROTTLED, ESME_RMSGQFUL) is offered again at the next paced slot. Only throttles
// that go on at a submit a second pause that session, from 250 ms doubling to 5 s, until a
// submit is accepted.
//
// With receipts on, every part asks for a final delivery receipt, the sessions bind as
// transceivers, and each part's message_id comes back with the outcome; receipts go to the
// listener and are answered through answerReceipt (ReceiptInbox), on whichever session
// brought them.
//
// Every wait is a coroutine's, on the event loop. The sender closes its sessions at once when
// it is destroyed, and a coroutine of it still waiting then never resumes.
class SmsSender {
public:
    static constexpr int kDefaultWindow = 10;
    // How long a throttled message keeps being offered again, from its first throttle answer.
    static constexpr int kThrottleLimitMs = 60000;
    static constexpr int kFirstPauseMs = SmsLane::kFirstPauseMs;
    static constexpr int kLongestPauseMs = SmsLane::kLongestPauseMs;

    // window: submits in flight on each session at the most.
    explicit SmsSender(SmppTimeouts timeouts = SmppTimeouts(), const StopDeadline* stop = nullptr,
                       int window = kDefaultWindow, int receiptAnswerMs = ReceiptInbox::kAnswerMs);
    ~SmsSender();
    SmsSender(const SmsSender&) = delete;
    SmsSender& operator=(const SmsSender&) = delete;

    // Hands one message over and returns its ticket; waits only to connect and bind (once per
    // session, one bind at a time for every caller) and until every part of the message has
    // been written. gateways: the first and the one beside it, if any. validUntil: the gateway
    // gives up on it then (none when invalid). senderName: the sender to show; "": the first
    // account's name.
    QCoro::Task<int> submit(QList<SmsGateway> gateways, QString mobileNumber, QString text,
                            QDateTime validUntil = QDateTime(), QString senderName = QString());
    QCoro::Task<int> submit(const SmsGateway& gateway, const QString& mobileNumber,
                            const QString& text, const QDateTime& validUntil = QDateTime()) {
        return submit(QList<SmsGateway>{gateway}, mobileNumber, text, validUntil);
    }
    // Hands one message over when that needs no wait, its sessions bound already: its ticket,
    // else none. Its parts go out as the sessions have room, at the next look.
    std::optional<int> submitNow(const QList<SmsGateway>& gateways, const QString& mobileNumber,
                                 const QString& text, const QDateTime& validUntil,
                                 const QString& senderName);
    // The message's outcome once it is known; the failure line is for the caller to log.
    QCoro::Task<SendResult> outcome(int ticket);
    // Whether the outcome is known: takes in what has come, never waits.
    bool isSettled(int ticket);
    // Parts that would be written at once: the sessions' windows less what is in flight or
    // waiting to go, none on a session during its pause. Takes in what has come, never waits.
    int room();
    // Waits for what is in flight, then unbinds; the next submit binds again.
    QCoro::Task<> endSession();
    QCoro::Task<SendResult> send(SmsGateway gateway, QString mobileNumber, QString text);

    // How often the sender has waited on the event loop: a pause or a stalled gateway costs
    // a few waits, one per deadline, never a spin.
    quint64 waits() const { return waits_; }
    // Throttle answers and binds since the sender was made.
    quint64 throttleAnswers() const { return throttleAnswers_; }
    quint64 binds() const { return lanes_.binds(); }
    GatewayLink::Counts linkCounts() const { return lanes_.counts(); }
    // Bound sessions and accepted submits by gateway ("host:port").
    std::map<QString, int> sessionsBound() const { return lanes_.boundByServer(); }
    std::map<QString, quint64> submitsByServer() const { return lanes_.submitsByServer(); }
    // Forgets a failed bind's back-off: the next message binds at once (Start, Test SMS).
    void retryNow() { lanes_.retryNow(); }
    // Every session's last bind failed and its back-off has not run out.
    bool unreachable() const { return lanes_.backingOff(); }

    // Receipts wanted or not; a session bound the other way binds again at its next use.
    void setReceipts(bool wanted) { lanes_.setReceipts(wanted); }
    void setReceiptListener(ReceiptInbox::Listener listener, ReceiptInbox::Notice notice);
    void answerReceipt(quint64 token, bool written) { inbox_.answer(token, written); }
    // Messages from phones go to listener, and are answered through answerReceipt too; an
    // empty listener refuses them. Wanted, the sessions bind as transceivers.
    void setReplyListener(ReceiptInbox::ReplyListener listener) {
        lanes_.setReplies(bool(listener));
        inbox_.setReplyListener(std::move(listener));
    }
    // Binds now if no session is bound, so that receipts come while nothing is sent; "" or
    // the line that says why there is no session.
    QCoro::Task<QString> listen(QList<SmsGateway> gateways);
    QCoro::Task<QString> listen(const SmsGateway& gateway) {
        return listen(QList<SmsGateway>{gateway});
    }
    size_t unansweredReceipts() const { return inbox_.unanswered(); }
    // Waits for a paced slot, and the pace now over every session (submits a second; 0:
    // unpaced).
    quint64 pacedWaits() const { return pacedWaits_; }
    double pacedRate() const { return lanes_.pacedRate(); }
    // A rate that overrides the gateway's configured one (KORVANE_SMPP_RATE); 0: none.
    void setRateOverride(double perSecond) { rateOverride_ = perSecond; }

    static constexpr const char* kConnectFailed =
        "Cannot connect to Telvoro Server... Please check Telvoro Server address And/Or Port No.";
    static constexpr const char* kLoginFailed =
        "Cannot connect to Telvoro Server... Please check telvoro User Name And/Or Password.";
    static constexpr const char* kSenderRefused = SmsMessage::kSenderRefused;
    static constexpr const char* kNumberRefused = SmsMessage::kNumberRefused;
    static constexpr const char* kMessageRefused = SmsMessage::kMessageRefused;
    static constexpr const char* kSendRefused = "Message is not accepted by Telvoro Server.";

private:
    using Message = SmsMessage;
    using Part = SmsMessage::Part;
    using PartState = SmsMessage::PartState;

    QCoro::Task<QString> openSessions(QList<SmsGateway> gateways);
    bool sessionsReady(const QList<SmsGateway>& gateways);
    QCoro::Task<QString> bindLanes();
    int refuse(Message message, const QString& line, Delivery delivery);
    int enqueue(const QList<SmsGateway>& gateways, const QString& mobileNumber, const QString& text,
                const QDateTime& validUntil, const QString& senderName);
    bool step();
    QCoro::Task<> advance();
    bool takeReplies();
    bool expire();
    bool writeParts();
    bool writePart(Message& message, Part& part, int lane);
    void loseSession(int lane, qint32 number, const QString& description);
    bool loseFailedSessions();
    QCoro::Task<> waitForChange();
    QDeadlineTimer nextWake() const;
    double nowMs() const { return double(clock_.nsecsElapsed()) / 1e6; }

    SmppTimeouts timeouts_;
    const StopDeadline* stop_;
    int window_;
    SubmitPacer account_;  // SubmitsPerSecond over every session, when there are several
    QElapsedTimer clock_;
    double rateOverride_ = 0;
    quint64 pacedWaits_ = 0;
    ReceiptInbox inbox_;  // before the lanes: sessions answer through it while they close
    // The owner of every wait of the engine's, its sessions' included: once the engine is gone
    // none of them resumes into it.
    std::shared_ptr<const void> life_ = std::make_shared<int>(0);
    SmsLanes lanes_;
    QStringList bindNotices_;  // for the next message to be written
    SmsBacklog backlog_;
    int nextTicket_ = 1;
    quint64 waits_ = 0;
    quint64 throttleAnswers_ = 0;
    bool binding_ = false;  // a bind is on its way: another caller waits for it
};

}  // namespace korvane
