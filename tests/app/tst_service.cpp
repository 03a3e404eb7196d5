#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

#include <QTcpSocket>
#include <QTemporaryDir>
#include <QTest>
#include <QThread>

#include "app/MetricsServer.h"
#include "app/ServiceNotifier.h"
#include "app/ServiceState.h"
#include "support/WaitFor.h"

using namespace korvane;

namespace {

const QDateTime kNow(QDate(2026, 12, 6), QTime(12, 0, 0));

// A datagram socket of the test's own where NOTIFY_SOCKET points.
class NotifySocket {
public:
    explicit NotifySocket(const QString& path) {
        fd_ = ::socket(AF_UNIX, SOCK_DGRAM | SOCK_NONBLOCK, 0);
        sockaddr_un address{};
        address.sun_family = AF_UNIX;
        const QByteArray name = path.toLocal8Bit();
        std::memcpy(address.sun_path, name.constData(), size_t(name.size()));
        ::bind(fd_, reinterpret_cast<sockaddr*>(&address), sizeof(address));
        qputenv("NOTIFY_SOCKET", name);
    }
    ~NotifySocket() {
        ::close(fd_);
        qunsetenv("NOTIFY_SOCKET");
    }
    // What came since the last call.
    QStringList received() {
        QStringList messages;
        char buffer[4096];
        for (ssize_t got; (got = ::recv(fd_, buffer, sizeof(buffer), 0)) > 0;) {
            messages << QString::fromUtf8(buffer, int(got));
        }
        return messages;
    }

private:
    int fd_ = -1;
};

// One request, answered by the server in this same thread while the event loop runs.
QByteArray get(quint16 port, const QByteArray& method, const QByteArray& path) {
    QTcpSocket socket;
    QByteArray answer;
    QEventLoop loop;
    QObject::connect(&socket, &QTcpSocket::connected, [&] {
        socket.write(method + ' ' + path + " HTTP/1.1\r\nHost: x\r\nConnection: close\r\n\r\n");
    });
    QObject::connect(&socket, &QTcpSocket::readyRead, [&] {
        answer += socket.readAll();
        const qsizetype body = answer.indexOf("\r\n\r\n");
        const qsizetype length = answer.toLower().indexOf("content-length:");
        if (body >= 0 && length >= 0 &&
            answer.size() - body - 4 >=
                answer.mid(length + 15).split('\r').first().trimmed().toInt()) {
            loop.quit();
        }
    });
    QObject::connect(&socket, &QTcpSocket::disconnected, &loop, &QEventLoop::quit);
    QTimer::singleShot(5000, &loop, &QEventLoop::quit);
    socket.connectToHost(QHostAddress::LocalHost, port);
    loop.exec();
    return answer;
}

}  // namespace

class ServiceTest : public QObject {
    Q_OBJECT

private Q_SLOTS:
    void health_data() {
        QTest::addColumn<bool>("started");
        QTest::addColumn<bool>("running");
        QTest::addColumn<int>("sinceProgressS");  // -1: none yet
        QTest::addColumn<int>("failedInARow");
        QTest::addColumn<int>("databaseWaitS");
        QTest::addColumn<bool>("ok");
        QTest::addColumn<QString>("reason");
        QTest::newRow("stopped") << false << false << 5 << 0 << 0 << false
                                 << "processing is stopped";
        QTest::newRow("progress") << true << false << 30 << 0 << 0 << true << "making progress";
        QTest::newRow("idle too long")
            << true << false << 120 << 0 << 0 << false << "no progress for 120 s";
        QTest::newRow("long send")
            << true << true << 200 << 0 << 0 << true << "a send is in progress";
        QTest::newRow("send past its bounds")
            << true << true << 400 << 0 << 0 << false << "no progress for 400 s";
        QTest::newRow("first cycle")
            << true << true << -1 << 0 << 0 << true << "the first cycle is running";
        QTest::newRow("database away") << true << false << 10 << 3 << 0 << false
                                       << "the last 3 cycles could not reach the table";
        QTest::newRow("lock wait")
            << true << true << 80 << 0 << 80 << true << "a send is in progress";
        QTest::newRow("database frozen")
            << true << true << 100 << 0 << 95 << false << "the database has not answered for 95 s";
    }
    void health() {
        QFETCH(bool, started);
        QFETCH(bool, running);
        QFETCH(int, sinceProgressS);
        QFETCH(int, failedInARow);
        QFETCH(int, databaseWaitS);
        QFETCH(bool, ok);
        QFETCH(QString, reason);
        ServiceState state;
        state.now = kNow;
        state.started = started;
        state.cycleRunning = running;
        state.counters.failedInARow = quint64(failedInARow);
        state.databaseWaitS = databaseWaitS;
        if (sinceProgressS >= 0) {
            state.counters.lastProgress = kNow.addSecs(-sinceProgressS);
        }
        const Health health = judgeHealth(state);
        QCOMPARE(health.ok, ok);
        QCOMPARE(health.reason, reason);
    }

    void metricsAddress_data() {
        QTest::addColumn<QString>("value");
        QTest::addColumn<QString>("host");  // "" when refused
        QTest::addColumn<int>("port");
        QTest::newRow("port alone") << "9187"
                                    << "127.0.0.1" << 9187;
        QTest::newRow("host") << "0.0.0.0:80"
                              << "0.0.0.0" << 80;
        QTest::newRow("ipv6") << "[::1]:9000"
                              << "::1" << 9000;
        QTest::newRow("port too large") << "70000"
                                        << "" << 0;
        QTest::newRow("no number") << "metrics"
                                   << "" << 0;
        QTest::newRow("name, not address") << "example.org:80"
                                           << "" << 0;
    }
    void metricsAddress() {
        QFETCH(QString, value);
        QFETCH(QString, host);
        QFETCH(int, port);
        QString why;
        const auto address = MetricsServer::parse(value, why);
        QCOMPARE(address.has_value(), !host.isEmpty());
        if (address) {
            QCOMPARE(address->host.toString(), host);
            QCOMPARE(int(address->port), port);
        } else {
            QVERIFY(why.contains(QStringLiteral("KORVANE_METRICS")));
        }
    }

    // The endpoint: figures in the text format, health with its reason, 404 and 405.
    void endpoint() {
        ServiceState state;
        state.now = kNow;
        state.counters.messages[Counters::Sms][Counters::Sent] = 7;
        state.counters.messages[Counters::Email][Counters::InDoubt] = 1;
        state.counters.countDuration(0.7);
        state.throttleAnswers = 3;
        state.smppLink.bindFailures[QStringLiteral("ESME_RBINDFAIL")] = 2;
        state.counters.receipts[QStringLiteral("UNDELIV")] = 4;
        state.counters.receiptsUnmatched = 1;
        state.counters.repliesStored = 8;
        state.counters.replyPartsWaiting = 2;
        state.counters.expired = 2;
        state.counters.retried = 5;
        state.counters.mailsByServer[QStringLiteral("mail\"2:25")] = 6;
        state.smppSessionsBound[QStringLiteral("gw1:2775")] = 4;
        state.smppSubmitsByServer[QStringLiteral("gw1:2775")] = 9;
        MetricsServer server([&state] { return state; });
        QString why;
        QVERIFY2(server.listen({QHostAddress(QHostAddress::LocalHost), 0}, why), qPrintable(why));
        const QByteArray metrics = get(server.port(), "GET", "/metrics");
        QVERIFY(metrics.startsWith("HTTP/1.1 200"));
        QVERIFY(metrics.contains("korvane_messages_total{channel=\"sms\",outcome=\"sent\"} 7\n"));
        QVERIFY(
            metrics.contains("korvane_messages_total{channel=\"email\",outcome=\"in_doubt\"} 1\n"));
        QVERIFY(metrics.contains("korvane_throttle_answers_total 3\n"));
        QVERIFY(
            metrics.contains("korvane_smpp_bind_failures_total{status=\"ESME_RBINDFAIL\"} 2\n"));
        QVERIFY(metrics.contains("korvane_receipts_total{state=\"UNDELIV\"} 4\n"));
        QVERIFY(metrics.contains("korvane_receipts_unmatched_total 1\n"));
        QVERIFY(metrics.contains("korvane_replies_received_total 8\n"));
        QVERIFY(metrics.contains("korvane_reply_parts_waiting 2\n"));
        QVERIFY(metrics.contains("korvane_expired_total 2\n"));
        QVERIFY(metrics.contains("korvane_retried_total 5\n"));
        QVERIFY(metrics.contains("korvane_mails_sent_total{server=\"mail\\\"2:25\"} 6\n"));
        QVERIFY(metrics.contains("korvane_smpp_sessions_bound{server=\"gw1:2775\"} 4\n"));
        QVERIFY(metrics.contains("korvane_smpp_submits_total{server=\"gw1:2775\"} 9\n"));
        QVERIFY(metrics.contains("korvane_cycle_duration_seconds_bucket{le=\"1\"} 1\n"));
        QVERIFY(metrics.contains("korvane_cycle_duration_seconds_bucket{le=\"0.5\"} 0\n"));
        const QByteArray stopped = get(server.port(), "GET", "/healthz");
        QVERIFY(stopped.startsWith("HTTP/1.1 503"));
        QVERIFY(stopped.contains("processing is stopped"));
        state.started = true;
        state.counters.lastProgress = kNow;
        server.refresh();
        QVERIFY(get(server.port(), "GET", "/healthz").startsWith("HTTP/1.1 200"));
        QVERIFY(get(server.port(), "POST", "/metrics").startsWith("HTTP/1.1 405"));
        QVERIFY(get(server.port(), "GET", "/other").startsWith("HTTP/1.1 404"));
    }

    // READY, STATUS and STOPPING reach the manager's socket; the watchdog pings while the
    // event loop turns and not while it is blocked.
    void notifications() {
        QTemporaryDir dir;
        NotifySocket socket(dir.filePath(QStringLiteral("notify")));
        qputenv("WATCHDOG_USEC", "40000");
        qputenv("WATCHDOG_PID", QByteArray::number(::getpid()));
        ServiceNotifier notifier;
        QCOMPARE(notifier.watchdogIntervalMs(), 20);
        notifier.ready();
        notifier.status(statusLine(QStringLiteral("Idle..."), Counters()));
        test::idleFor(100);
        QStringList got = socket.received();
        QCOMPARE(got.mid(0, 2), (QStringList{QStringLiteral("READY=1"),
                                             QStringLiteral("STATUS=Idle... (sent 0, not sent 0, "
                                                            "in doubt 0)")}));
        QVERIFY(got.count(QStringLiteral("WATCHDOG=1")) >= 2);
        QThread::msleep(100);  // the event loop is blocked: nothing pings
        QCOMPARE(socket.received(), QStringList());
        notifier.stopping();
        QCOMPARE(socket.received(), QStringList{QStringLiteral("STOPPING=1")});
        qunsetenv("WATCHDOG_USEC");
        qunsetenv("WATCHDOG_PID");
    }
};

QTEST_GUILESS_MAIN(ServiceTest)
#include "tst_service.moc"
