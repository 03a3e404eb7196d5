#include "channels/ReceiptInbox.h"

#include "channels/DeliverSm.h"
#include "channels/SmppSession.h"

namespace korvane {

using namespace smpp;

ReceiptInbox::ReceiptInbox(int answerMs) : answerMs_(answerMs) {
    due_.setSingleShot(true);
    connect(&due_, &QTimer::timeout, this, &ReceiptInbox::onDue);
}

void ReceiptInbox::take(SmppSession& session, const Pdu& pdu) {
    const std::optional<DeliverSm> sm = DeliverSm::read(pdu.body);
    if (sm && !sm->receipt && replyListener_) {
        ReplyPart reply = sm->reply;
        reply.token = nextToken_++;
        replies_[reply.token] = Waiting{&session, pdu.sequence, QDeadlineTimer::Forever};
        replyListener_(reply);
        return;
    }
    if (!sm || !sm->receipt || !listener_) {
        reply(&session, pdu.sequence, Status::PermanentAppError);
        notice(!sm ? QStringLiteral("Telvoro Server delivered a deliver_sm that Korvane cannot "
                                    "read; answered %1.")
                         .arg(describeStatus(Status::PermanentAppError))
                   : QStringLiteral("Telvoro Server delivered a message from %1 that Korvane "
                                    "does not handle; answered %2.")
                         .arg(QString::fromLatin1(sm->source),
                              describeStatus(Status::PermanentAppError)));
        return;
    }
    Receipt receipt = sm->fields;
    receipt.token = nextToken_++;
    waiting_[receipt.token] = Waiting{&session, pdu.sequence, QDeadlineTimer(answerMs_)};
    arm();
    listener_(receipt);
}

void ReceiptInbox::answer(quint64 token, bool written) {
    for (std::map<quint64, Waiting>* map : {&waiting_, &replies_}) {
        if (const auto it = map->find(token); it != map->end()) {
            const Waiting waiting = it->second;
            map->erase(it);
            reply(waiting.session, waiting.sequence,
                  written ? Status::Ok : Status::TemporaryAppError);
            return;
        }
    }
}

void ReceiptInbox::answerAll() {
    for (std::map<quint64, Waiting>* map : {&waiting_, &replies_}) {
        for (const auto& [token, waiting] : std::exchange(*map, {})) {
            reply(waiting.session, waiting.sequence, Status::TemporaryAppError);
        }
    }
}

void ReceiptInbox::reply(SmppSession* session, quint32 sequence, quint32 status) {
    if (session != nullptr) {
        session->respond(Command::DeliverSmResp, status, sequence, QByteArray(1, '\0'));
    }
}

// Receipts whose write did not come in time: the gateway keeps them and offers them again.
// Tokens rise with arrival, and so do deadlines: the first waiting is the next due.
void ReceiptInbox::onDue() {
    while (!waiting_.empty() && waiting_.begin()->second.due.hasExpired()) {
        const Waiting waiting = waiting_.begin()->second;
        waiting_.erase(waiting_.begin());
        reply(waiting.session, waiting.sequence, Status::TemporaryAppError);
    }
    arm();
}

void ReceiptInbox::arm() {
    if (waiting_.empty()) {
        due_.stop();
    } else if (!due_.isActive()) {
        due_.start(int(std::max<qint64>(0, waiting_.begin()->second.due.remainingTime())));
    }
}

}  // namespace korvane
