#pragma once

#include <QByteArray>
#include <QDeadlineTimer>
#include <QString>
#include <QStringList>
#include <functional>
#include <vector>

#include "core/Messages.h"

namespace korvane {

// One SMS on its way through the gateway: its parts, each in exactly one state, and the
// message's outcome, derived from them in one place.
struct SmsMessage {
    static constexpr const char* kSenderRefused = "Please check telvoro sender name.";
    static constexpr const char* kNumberRefused = "Please check mobile number.";
    static constexpr const char* kMessageRefused = "Please check message.";

    enum class PartState {
        Waiting,   // not written yet: waiting for room, a pause or a session
        InFlight,  // written, not answered
        Retry,     // answered "throttled": nothing taken, to be offered again after the pause
        Accepted,
        Refused,  // answered with an error, or given up before the gateway took it
        Lost,     // written, and no answer will come: may have been taken
    };
    struct Part {
        QByteArray body;
        PartState state = PartState::Waiting;
        quint32 sequence = 0;
        QDeadlineTimer due;   // answer expected by, while in flight
        long long paced = 0;  // how the pacer knows its write
        QString id;           // the gateway's message_id, once accepted
    };

    std::vector<Part> parts;
    int lane = -1;  // the session its parts go on; -1: none yet, or it may move
    QDeadlineTimer throttleLimit{QDeadlineTimer::Forever};
    QString failure;    // why it may not be sent, from what happened to its parts
    QString answer;     // the gateway's refusal, named, for a line of its own
    QStringList notes;  // lines about how it went: its session's bind
    QString via;        // the gateway it went through, when the log is to name it
    QStringList avoid;  // gateways ("host:port") that answered it ESME_RSYSERR, taking nothing
    bool done = false;
    // What it is when nothing of it was taken: Passing for a throttle that lasted or a
    // gateway in trouble, Unreachable for no session.
    Delivery notSentAs = Delivery::Refused;
    SendResult result;

    // Nothing of it was written, or all that was came back throttled: another session may
    // take it whole.
    bool untouched() const;
    // part was answered ESME_RSYSERR by gateway, which took nothing: the message leaves for
    // another gateway if it is untouched otherwise and boundElsewhere(the gateways to avoid).
    bool leave(Part& part, const QString& gateway,
               const std::function<bool(const QStringList&)>& boundElsewhere);
    // It left gateways that took nothing, and none is bound to take it now: not sent, for a
    // cause that may pass.
    void stranded();
    // Its parts as submit_sm bodies; why it cannot be sent as it stands, or "".
    // receipt: each part asks for a final delivery receipt.
    // The sender is the row's own where it names one, else the account's name.
    QString build(const QString& accountName, const QString& rowSender, const QString& mobileNumber,
                  const QString& text, bool receipt = false,
                  const QDateTime& validUntil = QDateTime());
    bool has(PartState state) const;
    int count(PartState state) const;
    // A part still to be written or answered.
    bool pending() const;
    // Parts not yet taken will never be.
    void giveUp();
    // No session could be had: parts never written are not sent, with the line that says why.
    void failUnwritten(const QString& line);
    // The session ended: a part written and unanswered may have been taken, so the message is
    // in doubt and its other parts are never offered. A message the gateway has nothing of
    // goes out whole on the next session.
    void sessionLost(const QString& line);
    // Once no part is pending: the outcome. refused: the line when the gateway refused all.
    void settle(const QString& refused);
};

}  // namespace korvane
