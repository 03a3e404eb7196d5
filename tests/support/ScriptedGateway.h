#pragma once

#include <QDeadlineTimer>
#include <QElapsedTimer>
#include <QPointer>
#include <QSslConfiguration>
#include <QSslSocket>
#include <QTcpServer>
#include <QTcpSocket>
#include <QTimer>
#include <deque>
#include <functional>
#include <map>
#include <optional>
#include <vector>

#include "channels/SmppPdu.h"

namespace korvane::test {

// Listens on loopback; with a TLS configuration each connection is a QSslSocket that starts
// the server's side of the handshake, and only what it decrypts is read.
class GatewayServer : public QTcpServer {
public:
    std::optional<QSslConfiguration> tls;

protected:
    void incomingConnection(qintptr descriptor) override {
        if (!tls) {
            QTcpServer::incomingConnection(descriptor);
            return;
        }
        auto* socket = new QSslSocket(this);
        socket->setSocketDescriptor(descriptor);
        socket->setSslConfiguration(*tls);
        socket->startServerEncryption();
        addPendingConnection(socket);
    }
};

// An SMPP gateway in the test's own process, played from a script: each submit_sm is answered
// as the script says (a status after a delay), never answered, or answered by closing the
// connection. Binds are accepted, transceiver binds unless refused. It records what it
// received and what it answered, and delivers receipts (deliver_sm) on the latest session.
class ScriptedGateway : public QObject {
public:
    struct Step {
        enum class Kind { Answer, Nack, Stall, Close };
        Kind kind = Kind::Answer;
        quint32 status = smpp::Status::Ok;
        int delayMs = 0;
        static Step answer(quint32 status = smpp::Status::Ok, int delayMs = 0) {
            return Step{Kind::Answer, status, delayMs};
        }
        // A generic_nack with the status, as some gateways answer a submit they will not take.
        static Step nack(quint32 status, int delayMs = 0) {
            return Step{Kind::Nack, status, delayMs};
        }
        static Step stall() { return Step{Kind::Stall, 0, 0}; }
        static Step close() { return Step{Kind::Close, 0, 0}; }
    };
    struct Submit {
        int session = 0;
        QByteArray source;
        quint8 sourceTon = 0;
        quint8 sourceNpi = 0;
        QByteArray destination;
        QByteArray text;                 // the short message as sent, header included
        quint32 answered = 0xffffffffu;  // the status answered; all ones: none
        quint8 registeredDelivery = 0;
    };
    // Decides the answer to the n-th submit_sm (from 0, over all sessions).
    using Script = std::function<Step(int n)>;

    explicit ScriptedGateway(Script script) : script_(std::move(script)) {
        server_.listen(QHostAddress::LocalHost);
        QObject::connect(&server_, &QTcpServer::newConnection, this, [this] {
            while (QTcpSocket* socket = server_.nextPendingConnection()) {
                socket->setParent(this);
                const int session = ++sessions_;
                QObject::connect(socket, &QTcpSocket::readyRead, this,
                                 [this, socket, session] { read(socket, session); });
            }
        });
        clock_.start();
    }

    QString port() const { return QString::number(server_.serverPort()); }
    // Speaks TLS from the next connection on.
    void useTls(const QSslConfiguration& config) { server_.tls = config; }
    // Every byte read, as it came off the connection (decrypted with TLS).
    const QByteArray& received() const { return received_; }
    // The most submits each session had unanswered at once.
    const std::map<int, int>& mostOutstanding() const { return mostOutstanding_; }
    int sessions() const { return sessions_; }
    const std::vector<Submit>& submits() const { return submits_; }
    int answered(quint32 status) const {
        int count = 0;
        for (const Submit& submit : submits_) {
            count += submit.answered == status;
        }
        return count;
    }

    // Binds are answered with this status (0: bound).
    void setBindStatus(quint32 status) { bindStatus_ = status; }
    // Binds answered as a broken gateway answers them: these bytes as they are, then the
    // connection closed (none: closed at once), or never at all.
    void answerBindsWith(const QByteArray& raw) { rawBind_ = raw; }
    void neverAnswerBinds() { muteBinds_ = true; }
    // bind_transceiver answered with this status, or generic_nack (nack), as a gateway that
    // serves transmitters only.
    void refuseTransceiver(quint32 status, bool nack = false) {
        transceiverStatus_ = status;
        transceiverNack_ = nack;
    }
    int transceiverBinds() const { return transceiverBinds_; }
    // The message_id answered to the n-th submit_sm ("m" unless set).
    void setMessageIds(std::function<QByteArray(int n)> ids) { ids_ = std::move(ids); }
    // A receipt sent before the n-th submit's answer, as gateways whose answers cross do.
    void setReceiptBeforeAnswer(std::function<QByteArray(int n)> body) { early_ = std::move(body); }
    // Sends a deliver_sm on the latest session; its answer comes into deliverAnswers().
    void deliver(const QByteArray& body) {
        if (latest_ && latest_->state() == QAbstractSocket::ConnectedState) {
            reply(latest_, smpp::Command::DeliverSm, 0, ++deliverSequence_, body);
        }
    }
    // Closes the latest session, as a gateway restarting does.
    void dropSession() {
        if (latest_) {
            latest_->abort();
        }
    }
    // deliver_sm answers by status, in order.
    const std::vector<quint32>& deliverAnswers() const { return deliverAnswers_; }
    // A deliver_sm body: esm_class, the short message, and TLVs already encoded.
    static QByteArray deliverBody(quint8 esmClass, const QByteArray& text,
                                  const QByteArray& tlvs = QByteArray()) {
        smpp::PduWriter body;
        body.cString(QByteArray()).u8(1).u8(1).cString("447700900001").u8(5).u8(0);
        body.cString("Shop").u8(esmClass).u8(0).u8(0).cString(QByteArray());
        body.cString(QByteArray()).u8(0).u8(0).u8(0).u8(0);
        body.u8(static_cast<quint8>(text.size())).bytes(text).bytes(tlvs);
        return body.finish(0, 0, 0).mid(smpp::kHeaderSize);
    }
    // A receipt in the text form most gateways send.
    static QByteArray receiptText(const QByteArray& id, const QByteArray& stat,
                                  const QByteArray& done = "2612071015") {
        return deliverBody(0x04, "id:" + id +
                                     " sub:001 dlvrd:001 submit date:2612071010 done date:" + done +
                                     " stat:" + stat + " err:000 text:hello");
    }
    static QByteArray tlv(quint16 tag, const QByteArray& value) {
        smpp::PduWriter writer;
        writer.u8(quint8(tag >> 8)).u8(quint8(tag)).u8(quint8(value.size() >> 8));
        writer.u8(quint8(value.size())).bytes(value);
        return writer.finish(0, 0, 0).mid(smpp::kHeaderSize);
    }
    int binds() const { return binds_; }
    int unbinds() const { return unbinds_; }
    // enquire_link received, and whether they are answered.
    int enquireLinks() const { return enquireLinks_; }
    void setAnswerEnquireLink(bool answer) { answerEnquireLink_ = answer; }

    // A provider's minimum gap: a submit that arrives less than 1/perSecond after the last one
    // taken is answered throttled.
    static Script minimumGap(int perSecond, int delayMs) {
        auto last = std::make_shared<qint64>(-1000000000);
        auto clock = std::make_shared<QElapsedTimer>();
        clock->start();
        return [=](int) {
            const qint64 now = clock->nsecsElapsed();
            if (now - *last < 1000000000LL / perSecond) {
                return Step::answer(smpp::Status::Throttled, delayMs);
            }
            *last = now;
            return Step::answer(smpp::Status::Ok, delayMs);
        };
    }

    // A quota of perWindow accepted submits in any windowMs, the rest answered throttled.
    static Script quota(int perWindow, int delayMs, int windowMs = 1000) {
        auto accepted = std::make_shared<std::deque<qint64>>();
        auto clock = std::make_shared<QElapsedTimer>();
        clock->start();
        return [=](int) {
            const qint64 now = clock->elapsed();
            while (!accepted->empty() && accepted->front() <= now - windowMs) {
                accepted->pop_front();
            }
            if (static_cast<int>(accepted->size()) >= perWindow) {
                return Step::answer(smpp::Status::Throttled, delayMs);
            }
            accepted->push_back(now);
            return Step::answer(smpp::Status::Ok, delayMs);
        };
    }

private:
    void read(QTcpSocket* socket, int session) {
        const QByteArray bytes = socket->readAll();
        received_.append(bytes);
        buffers_[socket].append(bytes);
        smpp::Pdu pdu;
        while (smpp::PduReader::take(buffers_[socket], pdu) == smpp::PduReader::Result::Complete) {
            const bool bind = pdu.commandId == smpp::Command::BindTransmitter ||
                              pdu.commandId == smpp::Command::BindTransceiver;
            if (bind && (muteBinds_ || rawBind_)) {
                answerBrokenly(socket);
                return;
            }
            if (pdu.commandId == smpp::Command::BindTransmitter) {
                ++binds_;
                latest_ = socket;
                reply(socket, smpp::Command::BindTransmitterResp, bindStatus_, pdu.sequence,
                      QByteArray("scripted", 9));
            } else if (pdu.commandId == smpp::Command::BindTransceiver) {
                ++binds_;
                ++transceiverBinds_;
                latest_ = socket;
                const quint32 status = bindStatus_ != 0 ? bindStatus_ : transceiverStatus_;
                reply(socket,
                      transceiverNack_ ? smpp::Command::GenericNack
                                       : smpp::Command::BindTransceiverResp,
                      status, pdu.sequence, QByteArray("scripted", 9));
            } else if (pdu.commandId == smpp::Command::DeliverSmResp) {
                deliverAnswers_.push_back(pdu.status);
            } else if (pdu.commandId == smpp::Command::Unbind) {
                ++unbinds_;
                reply(socket, smpp::Command::UnbindResp, 0, pdu.sequence, QByteArray());
            } else if (pdu.commandId == smpp::Command::EnquireLink) {
                ++enquireLinks_;
                if (answerEnquireLink_) {
                    reply(socket, smpp::Command::EnquireLinkResp, 0, pdu.sequence, QByteArray());
                }
            } else if (pdu.commandId == smpp::Command::SubmitSm) {
                onSubmit(socket, session, pdu);
            }
        }
    }

    void answerBrokenly(QTcpSocket* socket) {
        if (muteBinds_) {
            return;
        }
        socket->write(*rawBind_);
        socket->flush();
        QPointer<QTcpSocket> closing(socket);
        QTimer::singleShot(0, this, [closing] {
            if (closing) {
                closing->disconnectFromHost();
            }
        });
    }

    void onSubmit(QTcpSocket* socket, int session, const smpp::Pdu& pdu) {
        const int n = static_cast<int>(submits_.size());
        Submit& submit = submits_.emplace_back();
        submit.session = session;
        parse(pdu.body, submit);
        int& outstanding = outstanding_[session];
        mostOutstanding_[session] = std::max(mostOutstanding_[session], ++outstanding);
        const Step step = script_(n);
        if (step.kind == Step::Kind::Close) {
            // After the answers already due: a gateway that drops the connection has sent
            // what it answered before.
            QPointer<QTcpSocket> closing(socket);
            QTimer::singleShot(0, this, [closing] {
                if (closing) {
                    closing->flush();
                    closing->abort();
                }
            });
            return;
        }
        if (step.kind == Step::Kind::Stall) {
            return;
        }
        QPointer<QTcpSocket> alive(socket);
        const quint32 sequence = pdu.sequence;
        QTimer::singleShot(step.delayMs, this, [this, alive, sequence, step, n, session] {
            --outstanding_[session];
            if (alive && alive->state() == QAbstractSocket::ConnectedState) {
                submits_[static_cast<size_t>(n)].answered = step.status;
                if (early_ && step.status == smpp::Status::Ok) {
                    reply(alive, smpp::Command::DeliverSm, 0, ++deliverSequence_, early_(n));
                }
                if (step.kind == Step::Kind::Nack) {
                    reply(alive, smpp::Command::GenericNack, step.status, sequence, QByteArray());
                } else {
                    reply(alive, smpp::Command::SubmitSmResp, step.status, sequence,
                          ids_(n) + QByteArray(1, '\0'));
                }
            }
        });
    }

    static void parse(const QByteArray& body, Submit& submit) {
        int offset = 0;
        QByteArray skip;
        smpp::readCString(body, offset, 6, skip);  // service_type
        if (offset + 2 <= body.size()) {
            submit.sourceTon = static_cast<quint8>(body.at(offset));
            submit.sourceNpi = static_cast<quint8>(body.at(offset + 1));
        }
        offset += 2;
        smpp::readCString(body, offset, 21, submit.source);
        offset += 2;
        smpp::readCString(body, offset, 21, submit.destination);
        offset += 3;  // esm_class, protocol_id, priority_flag
        smpp::readCString(body, offset, 17, skip);
        smpp::readCString(body, offset, 17, skip);
        if (offset < body.size()) {
            submit.registeredDelivery = static_cast<quint8>(body.at(offset));
        }
        offset += 4;  // registered_delivery .. sm_default_msg_id
        if (offset < body.size()) {
            const int length = static_cast<quint8>(body.at(offset));
            submit.text = body.mid(offset + 1, length);
        }
    }

    static void reply(QTcpSocket* socket, quint32 command, quint32 status, quint32 sequence,
                      const QByteArray& body) {
        smpp::PduWriter writer;
        writer.bytes(body);
        socket->write(writer.finish(command, status, sequence));
    }

    Script script_;
    GatewayServer server_;
    QByteArray received_;
    std::map<int, int> outstanding_;
    std::map<int, int> mostOutstanding_;
    QElapsedTimer clock_;
    int sessions_ = 0;
    int binds_ = 0;
    int unbinds_ = 0;
    int enquireLinks_ = 0;
    bool answerEnquireLink_ = true;
    quint32 bindStatus_ = 0;
    std::optional<QByteArray> rawBind_;
    bool muteBinds_ = false;
    quint32 transceiverStatus_ = 0;
    bool transceiverNack_ = false;
    int transceiverBinds_ = 0;
    std::function<QByteArray(int)> ids_ = [](int) { return QByteArray("m"); };
    std::function<QByteArray(int)> early_;
    QPointer<QTcpSocket> latest_;
    quint32 deliverSequence_ = 0;
    std::vector<quint32> deliverAnswers_;
    std::vector<Submit> submits_;
    std::map<QTcpSocket*, QByteArray> buffers_;
};

}  // namespace korvane::test
