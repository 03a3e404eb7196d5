#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <QDir>
#include <QElapsedTimer>
#include <QFile>
#include <QTest>

#include "app/MetricsServer.h"
#include "support/WaitFor.h"

using namespace korvane;

namespace {

// A client on a plain blocking socket: the server answers on a thread of its own.
class Client {
public:
    explicit Client(quint16 port) {
        fd_ = ::socket(AF_INET, SOCK_STREAM, 0);
        sockaddr_in address{};
        address.sin_family = AF_INET;
        address.sin_port = htons(port);
        address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        connected_ = ::connect(fd_, reinterpret_cast<sockaddr*>(&address), sizeof(address)) == 0;
    }
    ~Client() { ::close(fd_); }
    Client(const Client&) = delete;
    Client& operator=(const Client&) = delete;

    bool connected() const { return connected_; }
    // False once the server has closed its side.
    bool send(const QByteArray& bytes) {
        return ::send(fd_, bytes.constData(), size_t(bytes.size()), MSG_NOSIGNAL) ==
               ssize_t(bytes.size());
    }
    // What comes until the server closes, or until waitMs pass without a byte.
    QByteArray readUntilClosed(int waitMs = 3000) {
        QByteArray all;
        for (;;) {
            pollfd in{fd_, POLLIN, 0};
            if (::poll(&in, 1, waitMs) <= 0) {
                closed_ = false;
                return all;
            }
            char buffer[4096];
            const ssize_t got = ::recv(fd_, buffer, sizeof(buffer), 0);
            if (got <= 0) {
                closed_ = true;
                return all;
            }
            all.append(buffer, int(got));
        }
    }
    bool closed() const { return closed_; }

private:
    int fd_ = -1;
    bool connected_ = false;
    bool closed_ = false;
};

qint64 residentKb() {
    QFile status(QStringLiteral("/proc/self/status"));
    status.open(QIODevice::ReadOnly);
    for (const QByteArray& line : status.readAll().split('\n')) {
        if (line.startsWith("VmRSS:")) {
            return line.mid(6).trimmed().split(' ').first().toLongLong();
        }
    }
    return 0;
}

qsizetype openDescriptors() {
    return QDir(QStringLiteral("/proc/self/fd")).entryList(QDir::NoDotAndDotDot).size();
}

// The test's thread blocks in its sockets: answers come from the last snapshot at once.
const MetricsLimits kLimits{4, 80, 8 * 1024, 0};

}  // namespace

class MetricsPortTest : public QObject {
    Q_OBJECT

private Q_SLOTS:
    void init() {
        state_ = ServiceState();
        state_.started = true;
        state_.cycleRunning = true;
        server_ = std::make_unique<MetricsServer>([this] { return state_; }, kLimits);
        QString why;
        QVERIFY2(server_->listen({QHostAddress(QHostAddress::LocalHost), 0}, why), qPrintable(why));
    }
    void cleanup() { server_.reset(); }

    // Each kind of hostile or broken client gets a bounded answer (or none) and the
    // connection closed; afterwards the port still answers, and the process holds no more
    // memory or descriptors than before.
    void hostileClient_data() {
        QTest::addColumn<QByteArray>("request");
        QTest::addColumn<int>("trickleMs");      // > 0: each byte this far apart
        QTest::addColumn<QByteArray>("answer");  // how the reply starts; "" none
        QTest::addColumn<int>("answers");
        const QByteArray get = "GET /metrics HTTP/1.1\r\nHost: x\r\n\r\n";
        QTest::newRow("request line too long")
            << "GET /" + QByteArray(9000, 'a') + " HTTP/1.1\r\n\r\n"
            << 0 << QByteArray("HTTP/1.1 414") << 1;
        QTest::newRow("header too large")
            << "GET /metrics HTTP/1.1\r\nX-Big: " + QByteArray(9000, 'a') + "\r\n\r\n"
            << 0 << QByteArray("HTTP/1.1 431") << 1;
        QTest::newRow("a body") << "GET /metrics HTTP/1.1\r\nContent-Length: 67108864\r\n\r\n" +
                                       QByteArray(65536, 'b')
                                << 0 << QByteArray("HTTP/1.1 413") << 1;
        QTest::newRow("chunked body")
            << QByteArray(
                   "GET /healthz HTTP/1.1\r\nTransfer-Encoding: chunked\r\n\r\n4\r\nabcd\r\n")
            << 0 << QByteArray("HTTP/1.1 413") << 1;
        QTest::newRow("a POST") << "POST /metrics HTTP/1.1\r\nContent-Length: 67108864\r\n\r\n" +
                                       QByteArray(65536, 'b')
                                << 0 << QByteArray("HTTP/1.1 405") << 1;
        QTest::newRow("pipelined") << get.repeated(200) << 0 << QByteArray("HTTP/1.1 200") << 1;
        QTest::newRow("HTTP/1.0") << QByteArray("GET /healthz HTTP/1.0\r\n\r\n") << 0
                                  << QByteArray("HTTP/1.") << 1;
        QTest::newRow("idle") << QByteArray() << 0 << QByteArray() << 0;
        QTest::newRow("slow") << get << 20 << QByteArray() << 0;
    }
    void hostileClient() {
        QFETCH(QByteArray, request);
        QFETCH(int, trickleMs);
        QFETCH(QByteArray, answer);
        QFETCH(int, answers);
        const qint64 memoryBefore = residentKb();
        const qsizetype descriptorsBefore = openDescriptors();
        {
            Client client(server_->port());
            QVERIFY(client.connected());
            if (trickleMs > 0) {
                for (char byte : request) {
                    if (!client.send(QByteArray(1, byte))) {
                        break;
                    }
                    QThread::msleep(ulong(trickleMs));
                }
            } else {
                client.send(request);
            }
            const QByteArray reply = client.readUntilClosed();
            QVERIFY2(client.closed(), "the server keeps the connection");
            QVERIFY2(reply.startsWith(answer), reply.left(80).constData());
            QCOMPARE(reply.count("HTTP/1."), answers);
        }
        {
            Client probe(server_->port());
            probe.send("GET /healthz HTTP/1.1\r\nHost: x\r\n\r\n");
            QVERIFY(probe.readUntilClosed().startsWith("HTTP/1.1 200"));
        }
        // The server closes its side as its loop comes round.
        QVERIFY(test::waitFor([&] { return openDescriptors() <= descriptorsBefore; }, 2000));
        QVERIFY(residentKb() - memoryBefore < 10 * 1024);
    }

    // Connections over the cap are closed at once; those within it are still answered.
    void connectionsOverTheCap() {
        std::vector<std::unique_ptr<Client>> held;
        for (unsigned i = 0; i < kLimits.connections; ++i) {
            held.push_back(std::make_unique<Client>(server_->port()));
            QVERIFY(held.back()->connected());
        }
        QThread::msleep(50);  // the server has taken them in
        Client extra(server_->port());
        extra.readUntilClosed(kLimits.requestMs / 2);
        QVERIFY2(extra.closed(), "a connection over the cap was held");
        held.front()->send("GET /healthz HTTP/1.1\r\nHost: x\r\n\r\n");
        QVERIFY(held.front()->readUntilClosed().startsWith("HTTP/1.1 200"));
    }

    // Answers come from the last snapshot, aged to now: a loop that stopped turning shows.
    void staleSnapshot() {
        state_.counters.lastProgress = QDateTime::currentDateTime();
        state_.now = state_.counters.lastProgress;
        server_->refresh();
        Client fresh(server_->port());
        fresh.send("GET /healthz HTTP/1.1\r\nHost: x\r\n\r\n");
        QVERIFY(fresh.readUntilClosed().contains("making progress"));
    }

private:
    ServiceState state_;
    std::unique_ptr<MetricsServer> server_;
};

QTEST_GUILESS_MAIN(MetricsPortTest)
#include "tst_metricsport.moc"
