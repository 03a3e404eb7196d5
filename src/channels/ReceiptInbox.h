#pragma once

#include <QDeadlineTimer>
#include <QObject>
#include <QPointer>
#include <QTimer>
#include <functional>
#include <map>

#include "channels/SmppPdu.h"
#include "core/Messages.h"

namespace korvane {

class SmppSession;

// What the gateway delivers on a transceiver session. A receipt goes to the listener and is
// answered once: deliver_sm_resp when its write is done, ESME_RX_T_APPN (offer it again later)
// when the write failed or is not done within answerMs. A message from a phone goes to the
// reply listener, where there is one, and is answered the same way but with no deadline here:
// a part of a long message waits for the others. Anything else (a message from a phone with
// no one to take it, a receipt without an id) is answered ESME_RX_P_APPN at once, with a
// notice: answering it OK would make the gateway drop it.
class ReceiptInbox : public QObject {
    Q_OBJECT

public:
    static constexpr int kAnswerMs = 10000;
    using Listener = std::function<void(const Receipt&)>;
    using Notice = std::function<void(const QString&)>;
    using ReplyListener = std::function<void(const ReplyPart&)>;

    explicit ReceiptInbox(int answerMs = kAnswerMs);
    void setListener(Listener listener, Notice notice) {
        listener_ = std::move(listener);
        notice_ = std::move(notice);
    }
    // Empty: messages from phones are refused, as they were before anyone took them.
    void setReplyListener(ReplyListener listener) { replyListener_ = std::move(listener); }
    // A deliver_sm that came on the session.
    void take(SmppSession& session, const smpp::Pdu& pdu);
    // written: the receipt is in the table; else the gateway is to offer it again. A receipt
    // answered already, or whose session is gone, is left alone.
    void answer(quint64 token, bool written);
    // The session ends: every receipt not answered yet is to be offered again.
    void answerAll();
    size_t unanswered() const { return waiting_.size() + replies_.size(); }

private:
    struct Waiting {
        QPointer<SmppSession> session;
        quint32 sequence = 0;
        QDeadlineTimer due;
    };
    void reply(SmppSession* session, quint32 sequence, quint32 status);
    void onDue();
    void arm();
    void notice(const QString& text) {
        if (notice_) {
            notice_(text);
        }
    }

    int answerMs_;
    Listener listener_;
    Notice notice_;
    ReplyListener replyListener_;
    std::map<quint64, Waiting> waiting_;  // receipts
    std::map<quint64, Waiting> replies_;  // no deadline
    quint64 nextToken_ = 1;
    QTimer due_;
};

}  // namespace korvane
