#pragma once

#include <QHostAddress>
#include <QString>
#include <QTimer>
#include <condition_variable>
#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <optional>
#include <set>
#include <thread>

#include "app/ServiceState.h"

struct MHD_Daemon;
struct MHD_Connection;

namespace korvane {

// What one client of the metrics port may take.
struct MetricsLimits {
    unsigned connections = 32;  // further ones are closed at once
    int requestMs = 10000;      // from the connection's start to its answer
    size_t headBytes = 8192;    // request line and headers
    // How long a request waits for the window's thread to take a fresh snapshot before it is
    // answered from the last one.
    int freshSnapshotWaitMs = 250;
};

// /metrics (Prometheus text) and /healthz over HTTP, for monitoring; off unless asked for.
// It may listen on a network address, so it holds to limits a hostile or broken client cannot
// move (libmicrohttpd on a thread of its own): a few connections, one request each, a deadline
// for the whole request, a bounded request head and no body. Its answers come from a snapshot
// the window's thread takes when asked (and every second): a request waits for a fresh one at
// most a quarter of a second, so that a stuck loop never holds an answer, and /healthz says
// so when the loop stops turning.
class MetricsServer {
public:
    struct Address {
        QHostAddress host;
        quint16 port = 0;
    };
    // "PORT" (on 127.0.0.1), "HOST:PORT" or "[IPv6]:PORT"; nullopt with why when it is none.
    static std::optional<Address> parse(const QString& text, QString& why);

    // state: read on the window's thread, once a second.
    explicit MetricsServer(std::function<ServiceState()> state,
                           MetricsLimits limits = MetricsLimits());
    ~MetricsServer();
    MetricsServer(const MetricsServer&) = delete;
    MetricsServer& operator=(const MetricsServer&) = delete;
    // False, with why, when nothing could listen there.
    bool listen(const Address& address, QString& why);
    quint16 port() const { return port_; }
    // Takes the snapshot the answers come from now (the timer does it every second).
    void refresh();

    // A snapshot older than this means the window's loop has stopped turning.
    static constexpr int kStaleSnapshotS = 30;

private:
    struct Answer {
        unsigned status;
        QByteArray body;
        const char* type;
    };
    Answer answer(const QByteArray& method, const QByteArray& path, bool hasBody);
    void cutLateConnections();
    static int onRequest(void* self, MHD_Connection* connection, const char* url,
                         const char* method, const char* version, const char* upload,
                         size_t* uploadSize, void** context);
    static void onConnection(void* self, MHD_Connection* connection, void** context, int code);

    std::function<ServiceState()> state_;
    MetricsLimits limits_;
    QObject context_;  // on the window's thread: where a handler asks for a fresh snapshot
    QTimer refresh_;
    MHD_Daemon* daemon_ = nullptr;
    quint16 port_ = 0;

    std::mutex mutex_;  // guards what follows: the handlers run on the server's thread
    ServiceState snapshot_;
    std::chrono::steady_clock::time_point snapshotAt_;
    quint64 snapshots_ = 0;
    std::map<int, std::chrono::steady_clock::time_point> open_;  // socket: when it came
    std::set<int> overCap_;  // sockets taken in over the cap, being closed
    std::condition_variable changed_;
    bool quit_ = false;
    std::thread reaper_;  // cuts connections past their deadline
};

}  // namespace korvane
