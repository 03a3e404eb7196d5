#pragma once

#include <QCoro/QCoroTask>
#include <QList>
#include <optional>

#include "core/Messages.h"

namespace korvane {

// Where the gateway's delivery receipts go, and what it said about them worth a log line.
class ReceiptListener {
public:
    virtual ~ReceiptListener() = default;
    virtual void receiptArrived(const Receipt& receipt) = 0;
    virtual void gatewayNotice(const QString& line) = 0;
};

// Where messages from phones go.
class ReplyListener {
public:
    virtual ~ReplyListener() = default;
    virtual void replyArrived(const ReplyPart& part) = 0;
};

// Sends SMS over sessions kept to the gateways, with several messages in flight; what the
// dispatch cycle and the Test SMS action depend on.
class SmsChannel {
public:
    virtual ~SmsChannel() = default;
    // Hands one message over and returns its ticket. Waits only to connect and bind (once per
    // session) and for room among the messages in flight. gateways: the first, and the one
    // kept beside it. validUntil: when the gateway is to give up on it (none when invalid).
    // sender: the row's own sender; "": the account's name.
    virtual QCoro::Task<int> submit(QList<SmsGateway> gateways, QString mobileNumber, QString text,
                                    QDateTime validUntil, QString sender) = 0;
    // Hands one message over when that needs no wait (its sessions are bound): its ticket,
    // else none, and submit() is for it.
    virtual std::optional<int> submitNow(const QList<SmsGateway>& gateways,
                                         const QString& mobileNumber, const QString& text,
                                         const QDateTime& validUntil, const QString& sender) = 0;
    // The message's outcome once known; the failure line is for the caller to log.
    virtual QCoro::Task<SendResult> outcome(int ticket) = 0;
    // Whether the outcome is known already; never waits.
    virtual bool isSettled(int ticket) = 0;
    // How many more one-part messages would go out at once, without waiting for the gateway:
    // the room in its window, none while it has asked for a pause. Never waits.
    virtual int room() = 0;
    // Unbinds; the next submit binds again. The session is otherwise kept from one cycle to
    // the next.
    virtual QCoro::Task<> endSession() = 0;
    // Forgets a failed bind's back-off, so that the next submit binds at once.
    virtual void retryNow() {}
    // A bind failed lately and is not to be tried again yet: a submit now ends at once with
    // that bind's line.
    virtual bool unreachable() { return false; }

    // Receipts wanted or not: each message then asks for one, the session is bound to take
    // them, and an SMS sent comes back with the gateway's ids.
    virtual void setReceipts(bool wanted) { static_cast<void>(wanted); }
    virtual void setReceiptListener(ReceiptListener* listener) { static_cast<void>(listener); }
    // written: the receipt is in the table, else the gateway is to offer it again.
    virtual void answerReceipt(quint64 token, bool written) {
        static_cast<void>(token);
        static_cast<void>(written);
    }
    // Messages from phones go to listener (the sessions then bind to take them); none: they
    // are refused. Answered through answerReceipt, as receipts are.
    virtual void setReplyListener(ReplyListener* listener) { static_cast<void>(listener); }
    // Binds now, if no session is bound, so that receipts come while nothing is sent; "" or
    // the line that says why there is no session.
    virtual QCoro::Task<QString> listen(QList<SmsGateway> gateways) {
        static_cast<void>(gateways);
        co_return QString();
    }

    // One message, start to end.
    QCoro::Task<SendResult> send(SmsGateway gateway, QString mobileNumber, QString text) {
        QList<SmsGateway> gateways{std::move(gateway)};
        const int ticket = co_await submit(std::move(gateways), std::move(mobileNumber),
                                           std::move(text), QDateTime(), QString());
        co_return co_await outcome(ticket);
    }
};

}  // namespace korvane
