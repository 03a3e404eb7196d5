#pragma once

#include <QTcpServer>
#include <QTcpSocket>
#include <functional>
#include <map>
#include <utility>

namespace korvane::test {

// An OAuth 2.0 token endpoint in the test's own process, over plain HTTP on loopback: each
// request's form is recorded and answered as the script says (status, JSON body).
class ScriptedTokenEndpoint : public QObject {
public:
    using Script = std::function<std::pair<int, QByteArray>(int request, const QByteArray& form)>;

    explicit ScriptedTokenEndpoint(Script script) : script_(std::move(script)) {
        server_.listen(QHostAddress::LocalHost);
        QObject::connect(&server_, &QTcpServer::newConnection, this, [this] {
            while (QTcpSocket* socket = server_.nextPendingConnection()) {
                socket->setParent(this);
                QObject::connect(socket, &QTcpSocket::readyRead, this,
                                 [this, socket] { read(socket); });
            }
        });
    }
    // Tokens "token-1", "token-2", ... living lifeS seconds.
    static Script issuing(qint64 lifeS = 3600) {
        return [lifeS](int request, const QByteArray&) {
            return std::make_pair(
                200, QStringLiteral(R"({"access_token":"token-%1","token_type":"Bearer",)"
                                    R"("expires_in":%2})")
                         .arg(request)
                         .arg(lifeS)
                         .toUtf8());
        };
    }

    QString url() const {
        return QStringLiteral("http://127.0.0.1:%1/token").arg(server_.serverPort());
    }
    const QList<QByteArray>& forms() const { return forms_; }

private:
    void read(QTcpSocket* socket) {
        QByteArray& buffer = buffers_[socket];
        buffer += socket->readAll();
        const qsizetype headersEnd = buffer.indexOf("\r\n\r\n");
        if (headersEnd < 0) {
            return;
        }
        qsizetype length = 0;
        for (const QByteArray& line : buffer.left(headersEnd).split('\n')) {
            if (line.toLower().startsWith("content-length:")) {
                length = line.mid(15).trimmed().toLongLong();
            }
        }
        if (buffer.size() < headersEnd + 4 + length) {
            return;
        }
        const QByteArray form = buffer.mid(headersEnd + 4, length);
        buffer.clear();
        forms_ << form;
        const auto [status, body] = script_(int(forms_.size()), form);
        socket->write(QStringLiteral("HTTP/1.1 %1 Scripted\r\nContent-Type: application/json\r\n"
                                     "Content-Length: %2\r\nConnection: close\r\n\r\n")
                          .arg(status)
                          .arg(body.size())
                          .toLatin1() +
                      body);
        socket->disconnectFromHost();
    }

    Script script_;
    QTcpServer server_;
    std::map<QTcpSocket*, QByteArray> buffers_;
    QList<QByteArray> forms_;
};

}  // namespace korvane::test
