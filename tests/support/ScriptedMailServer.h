#pragma once

#include <QPointer>
#include <QTcpServer>
#include <QTcpSocket>
#include <QTest>
#include <QTimer>
#include <functional>
#include <map>
#include <utility>
#include <vector>

#include "channels/CurlMailTransport.h"
#include "support/WaitFor.h"

namespace korvane::test {

// An SMTP server in the test's own process, played from a script: at MAIL FROM and after the
// final dot the script says what to answer (a reply after a delay, nothing at all, or a
// closed connection). Everything else gets its ordinary answer. It records each message it
// received whole, with the connection it came over.
class ScriptedMailServer : public QObject {
public:
    enum class Phase { Mail, EndOfData };
    struct Step {
        enum class Kind { Reply, Stall, Close };
        Kind kind = Kind::Reply;
        QByteArray line;
        int delayMs = 0;
        static Step reply(const QByteArray& line, int delayMs = 0) {
            return Step{Kind::Reply, line, delayMs};
        }
        static Step stall() { return Step{Kind::Stall, QByteArray(), 0}; }
        static Step close() { return Step{Kind::Close, QByteArray(), 0}; }
    };
    // connection: from 1; message: the n-th MAIL FROM on that connection, from 1.
    using Script = std::function<Step(int connection, int message, Phase phase)>;
    struct Received {
        int connection = 0;
        QByteArray data;
    };

    explicit ScriptedMailServer(Script script) : script_(std::move(script)) {
        server_.listen(QHostAddress::LocalHost);
        QObject::connect(&server_, &QTcpServer::newConnection, this, [this] {
            while (QTcpSocket* socket = server_.nextPendingConnection()) {
                socket->setParent(this);
                auto& state = states_[socket];
                state.connection = ++connections_;
                QObject::connect(socket, &QTcpSocket::readyRead, this,
                                 [this, socket] { read(socket); });
                socket->write("220 scripted ESMTP\r\n");
            }
        });
    }

    // Every connection gets the same answers; the n-th message on a connection after limit
    // messages is refused with 421 and the connection closed.
    static Script perConnectionLimit(int limit) {
        return [limit](int, int message, Phase phase) {
            if (phase == Phase::Mail && message > limit) {
                return Step::reply("421 4.7.0 Too many messages on this connection");
            }
            return Step::reply(phase == Phase::Mail ? "250 OK" : "250 Queued");
        };
    }

    // Offers AUTH PLAIN and XOAUTH2; check answers each sign-in (mechanism, decoded response)
    // with the reply line ("235 ..." lets the account in).
    void requireSignIn(std::function<QByteArray(const QByteArray&, const QByteArray&)> check) {
        signIn_ = std::move(check);
    }
    int signIns() const { return signIns_; }

    QString port() const { return QString::number(server_.serverPort()); }
    int connections() const { return connections_; }
    const std::vector<Received>& received() const { return received_; }
    // Stops reading once a message's data begins: the client's writes back up, as with a
    // server that stalls mid-upload.
    void stallUploads() { stallUploads_ = true; }

    // QUIT received: a test that ends a session waits for it on the event loop, rather than
    // in the transport's destructor, where this server cannot answer.
    int quits() const { return quits_; }

private:
    struct State {
        int connection = 0;
        int messages = 0;
        bool inData = false;
        QByteArray buffer;
        QByteArray data;
        QByteArray authMechanism;  // waiting for the response after "334"
    };

    void signIn(QTcpSocket* socket, const QByteArray& mechanism, const QByteArray& response) {
        ++signIns_;
        socket->write(signIn_(mechanism, QByteArray::fromBase64(response)) + "\r\n");
    }

    void read(QTcpSocket* socket) {
        State& state = states_[socket];
        if (stallUploads_ && state.inData) {
            socket->setReadBufferSize(64 * 1024);
            return;
        }
        state.buffer.append(socket->readAll());
        for (;;) {
            if (state.inData) {
                const qsizetype end = state.buffer.indexOf("\r\n.\r\n");
                if (end < 0) {
                    return;
                }
                state.data = state.buffer.left(end + 2);
                state.buffer.remove(0, end + 5);
                state.inData = false;
                received_.push_back(Received{state.connection, state.data});
                play(socket, script_(state.connection, state.messages, Phase::EndOfData));
                continue;
            }
            const qsizetype end = state.buffer.indexOf("\r\n");
            if (end < 0) {
                return;
            }
            const QByteArray raw = state.buffer.left(end);
            const QByteArray line = raw.toUpper();
            state.buffer.remove(0, end + 2);
            if (!state.authMechanism.isEmpty()) {
                signIn(socket, std::exchange(state.authMechanism, QByteArray()), raw);
            } else if (line.startsWith("EHLO")) {
                socket->write(signIn_ ? "250-scripted\r\n250-AUTH PLAIN XOAUTH2\r\n250 8BITMIME\r\n"
                                      : "250-scripted\r\n250 8BITMIME\r\n");
            } else if (line.startsWith("AUTH ") && signIn_) {
                const QList<QByteArray> words = raw.split(' ');
                if (words.size() > 2) {
                    signIn(socket, words[1].toUpper(), words[2]);
                } else {
                    state.authMechanism = words.value(1).toUpper();
                    socket->write("334 \r\n");
                }
            } else if (line.startsWith("HELO") || line.startsWith("RCPT") ||
                       line.startsWith("RSET") || line.startsWith("NOOP")) {
                socket->write("250 OK\r\n");
            } else if (line.startsWith("MAIL")) {
                play(socket, script_(state.connection, ++state.messages, Phase::Mail));
            } else if (line.startsWith("DATA")) {
                state.inData = true;
                socket->write("354 Go ahead\r\n");
                if (stallUploads_) {
                    socket->setReadBufferSize(64 * 1024);
                    return;
                }
            } else if (line.startsWith("QUIT")) {
                ++quits_;
                socket->write("221 Bye\r\n");
                socket->disconnectFromHost();
                return;
            } else {
                socket->write("502 Not here\r\n");
            }
        }
    }

    void play(QTcpSocket* socket, const Step& step) {
        if (step.kind == Step::Kind::Stall) {
            return;
        }
        QPointer<QTcpSocket> alive(socket);
        QTimer::singleShot(step.delayMs, this, [alive, step] {
            if (!alive) {
                return;
            }
            if (step.kind == Step::Kind::Close) {
                alive->abort();
                return;
            }
            alive->write(step.line + "\r\n");
            if (step.line.startsWith("421")) {
                alive->disconnectFromHost();
            }
        });
    }

    Script script_;
    QTcpServer server_;
    int connections_ = 0;
    bool stallUploads_ = false;
    std::map<QTcpSocket*, State> states_;
    std::vector<Received> received_;
    int quits_ = 0;
    std::function<QByteArray(const QByteArray&, const QByteArray&)> signIn_;
    int signIns_ = 0;
};

// A transport whose end says QUIT while this thread's loop turns: a scripted server lives on
// the test's thread and could not answer it in the destructor, which waits for it.
class QuittingTransport : public CurlMailTransport {
public:
    using CurlMailTransport::CurlMailTransport;
    ~QuittingTransport() override {
        endSession();
        [[maybe_unused]] const bool closed = test::waitFor([this] { return !connected(); }, 2000);
    }
};

}  // namespace korvane::test
