#pragma once

#include <QByteArray>
#include <QCoro/QCoroTask>
#include <QDeadlineTimer>
#include <QObject>
#include <QSslError>
#include <QSslSocket>
#include <QTimer>
#include <functional>
#include <map>
#include <memory>

#include "channels/SmppPdu.h"
#include "core/Messages.h"

namespace korvane {

class StopDeadline;

struct SmppTimeouts {
    int connectMs = 15000;
    int responseMs = 30000;
    // A kept session: an enquire_link after this long without traffic, and a drop when its
    // answer takes longer than linkAnswerMs.
    int idleMs = 30000;
    int linkAnswerMs = 30000;
    // After a failed bind: no other before this, doubling to longestBindRetryMs.
    int firstBindRetryMs = 1000;
    int longestBindRetryMs = 60000;
};

// enquire_link sent to keep a session, and those the gateway left unanswered.
struct KeepAliveCounts {
    quint64 sent = 0;
    quint64 unanswered = 0;
};

// One session with an SMPP 3.4 gateway: connect, bind (as a transmitter, or as a transceiver
// that also takes the gateway's deliver_sm), any number of requests in flight, unbind.
// Event-driven: replies are read whenever the event loop runs, and a wait (connecting, binding,
// unbinding) suspends the coroutine that asked, never the loop.
class SmppSession : public QObject {
    Q_OBJECT

public:
    // HandshakeFailed: connected, and TLS could not be set up (failure() says why); nothing was
    // written in clear.
    enum class Bind { Bound, ConnectFailed, HandshakeFailed, Refused };

    // stop: connecting and binding give up when it passes. owner: what the coroutines waiting
    // here belong to; once it is gone, no wait here resumes into it.
    explicit SmppSession(SmppTimeouts timeouts, const StopDeadline* stop = nullptr,
                         std::weak_ptr<const void> owner = {});
    ~SmppSession() override;

    // Raises KorvaneError when the gateway breaks the protocol, closes or does not answer. A
    // transceiver bind answered generic_nack counts as refused.
    QCoro::Task<Bind> open(QString server, qint32 port, QString user, QString password,
                           bool transceiver = false, SmppTls tls = SmppTls());
    // With TLS taken unverified (SmppTls::insecure): what did not verify, "" when all did.
    const QString& unverified() const { return unverified_; }
    // Where the gateway's deliver_sm go; without one they are refused (generic_nack).
    void setDeliveries(std::function<void(const smpp::Pdu&)> take) {
        deliveries_ = std::move(take);
    }
    // Answers a request of the gateway's; dropped when the session is gone.
    void respond(quint32 commandId, quint32 status, quint32 sequence, const QByteArray& body);
    // The gateway's answer to the last bind: why it refused.
    quint32 bindStatus() const { return bindStatus_; }
    bool isBound() const { return bound_ && socket_.state() == QAbstractSocket::ConnectedState; }
    // Writes one request; returns its sequence number. Raises when the socket is gone.
    quint32 send(quint32 commandId, const QByteArray& body);
    // The reply to a request, once it came (a generic_nack counts).
    bool hasReply(quint32 sequence) const { return replies_.count(sequence) != 0; }
    smpp::Pdu takeReply(quint32 sequence);
    // Gives up on a request: its answer, should it still come, is dropped.
    void forget(quint32 sequence) {
        waiting_.erase(sequence);
        replies_.erase(sequence);
    }
    // Why the session ended (closed, malformed data), or "" while it lives.
    const QString& failure() const { return failure_; }
    qint32 failureNumber() const { return failureNumber_; }
    // Counts the PDUs read: a wait for a reply ends when it moves.
    quint64 arrivals() const { return arrivals_; }
    // Keeps the bound session alive between messages with enquire_link (timeouts' idleMs and
    // linkAnswerMs); an unanswered one drops it.
    void keepAlive(KeepAliveCounts* counts);
    // Reads what has come on the connection, a close included, without turning the event
    // loop: a write that follows goes nowhere the gateway has already left.
    void takeInWhatCame();
    // Unbinds (briefly waiting for the answer) and closes.
    QCoro::Task<> close();
    // Closes at once, unanswered requests and all.
    void abort();

private:
    QCoro::Task<bool> waitUnlessStopped(std::function<bool()> done, QDeadlineTimer deadline);
    void onReadyRead();
    bool take(smpp::Pdu& pdu);
    QCoro::Task<Bind> connectTo(QString server, qint32 port, SmppTls tls);
    void fail(qint32 number, const QString& description);
    void sendRaw(const QByteArray& bytes);
    void onIdle();
    void acknowledgeNow();

    SmppTimeouts timeouts_;
    const StopDeadline* stop_;
    std::weak_ptr<const void> owner_;
    QSslSocket socket_;  // plain TCP unless encryption is asked for
    bool tcpConnected_ = false;
    SmppTls tls_;
    QList<QSslError> sslErrors_;
    QString unverified_;
    QByteArray buffer_;
    quint32 sequence_ = 0;
    bool bound_ = false;
    quint32 bindStatus_ = 0;
    std::map<quint32, smpp::Pdu> replies_;
    std::map<quint32, bool> waiting_;  // sequences written and not answered
    quint64 arrivals_ = 0;
    QString failure_;
    qint32 failureNumber_ = 0;
    KeepAliveCounts* keepAlive_ = nullptr;
    QTimer idle_;        // since the last traffic
    QTimer linkAnswer_;  // for the enquire_link out
    quint32 linkSequence_ = 0;
    std::function<void(const smpp::Pdu&)> deliveries_;
};

}  // namespace korvane
