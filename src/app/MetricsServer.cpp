#include "app/MetricsServer.h"

#include <microhttpd.h>
#include <netinet/in.h>
#include <sys/socket.h>

#include <QRegularExpression>
#include <cstring>

namespace korvane {

namespace {
using SteadyClock = std::chrono::steady_clock;
constexpr const char* kText = "text/plain; charset=utf-8";
// Connections past the cap are taken in only to be closed at once (a few at a time); the rest
// wait in a short backlog of the kernel's, costing no descriptor here.
constexpr unsigned kOverCap = 8;
constexpr unsigned kBacklog = 16;
}  // namespace

std::optional<MetricsServer::Address> MetricsServer::parse(const QString& value, QString& why) {
    static const QRegularExpression form(
        QStringLiteral("^(?:(?:\\[([0-9A-Fa-f:.]+)\\]|([^:\\[\\]]+)):)?([0-9]{1,5})$"));
    const QRegularExpressionMatch match = form.match(value.trimmed());
    const uint port = match.hasMatch() ? match.captured(3).toUInt() : 0;
    if (port == 0 || port > 65535) {
        why = QStringLiteral(
                  "KORVANE_METRICS must be PORT, HOST:PORT or [IPv6]:PORT with a port "
                  "from 1 to 65535, not '%1'.")
                  .arg(value);
        return std::nullopt;
    }
    const QString host = !match.captured(1).isEmpty() ? match.captured(1) : match.captured(2);
    Address address{QHostAddress(QHostAddress::LocalHost), static_cast<quint16>(port)};
    if (!host.isEmpty() &&
        !address.host.setAddress(host == QStringLiteral("localhost") ? QStringLiteral("127.0.0.1")
                                                                     : host)) {
        why = QStringLiteral("KORVANE_METRICS names '%1', which is not an IP address.").arg(host);
        return std::nullopt;
    }
    return address;
}

MetricsServer::MetricsServer(std::function<ServiceState()> state, MetricsLimits limits)
    : state_(std::move(state)), limits_(limits) {
    refresh_.setInterval(1000);
    QObject::connect(&refresh_, &QTimer::timeout, [this] { refresh(); });
}

MetricsServer::~MetricsServer() {
    if (daemon_ != nullptr) {
        MHD_stop_daemon(daemon_);
    }
    {
        const std::lock_guard<std::mutex> lock(mutex_);
        quit_ = true;
    }
    changed_.notify_all();
    if (reaper_.joinable()) {
        reaper_.join();
    }
}

void MetricsServer::refresh() {
    ServiceState state = state_();
    {
        const std::lock_guard<std::mutex> lock(mutex_);
        snapshot_ = std::move(state);
        snapshotAt_ = SteadyClock::now();
        ++snapshots_;
    }
    changed_.notify_all();
}

bool MetricsServer::listen(const Address& address, QString& why) {
    refresh();
    refresh_.start();
    sockaddr_storage socket{};
    const bool v6 = address.host.protocol() == QAbstractSocket::IPv6Protocol;
    if (v6) {
        auto* in6 = reinterpret_cast<sockaddr_in6*>(&socket);
        in6->sin6_family = AF_INET6;
        in6->sin6_port = htons(address.port);
        const Q_IPV6ADDR bytes = address.host.toIPv6Address();
        std::memcpy(&in6->sin6_addr, &bytes, sizeof(bytes));
    } else {
        auto* in4 = reinterpret_cast<sockaddr_in*>(&socket);
        in4->sin_family = AF_INET;
        in4->sin_port = htons(address.port);
        in4->sin_addr.s_addr = htonl(address.host.toIPv4Address());
    }
    // The pool holds the request head and little else: past it the server answers 414 or 431.
    const size_t pool = limits_.headBytes + 4096;
    const unsigned idleS = static_cast<unsigned>(std::max(1, limits_.requestMs / 1000));
    daemon_ = MHD_start_daemon(
        MHD_USE_EPOLL_INTERNAL_THREAD | (v6 ? MHD_USE_IPv6 : 0), address.port, nullptr, nullptr,
        reinterpret_cast<MHD_AccessHandlerCallback>(&MetricsServer::onRequest), this,
        MHD_OPTION_SOCK_ADDR, &socket, MHD_OPTION_CONNECTION_LIMIT, limits_.connections + kOverCap,
        MHD_OPTION_LISTEN_BACKLOG_SIZE, kBacklog, MHD_OPTION_CONNECTION_TIMEOUT, idleS,
        MHD_OPTION_CONNECTION_MEMORY_LIMIT, pool, MHD_OPTION_NOTIFY_CONNECTION,
        &MetricsServer::onConnection, this, MHD_OPTION_END);
    if (daemon_ == nullptr) {
        why = QStringLiteral("The metrics endpoint cannot listen on %1 port %2.")
                  .arg(address.host.toString())
                  .arg(address.port);
        return false;
    }
    const MHD_DaemonInfo* info = MHD_get_daemon_info(daemon_, MHD_DAEMON_INFO_BIND_PORT);
    port_ = info != nullptr ? info->port : address.port;
    reaper_ = std::thread([this] { cutLateConnections(); });
    return true;
}

// A connection gets one request and a deadline for it, however slowly its bytes come: past
// it, the socket is shut down and the server closes the connection as a dropped one.
void MetricsServer::cutLateConnections() {
    const auto allowed = std::chrono::milliseconds(limits_.requestMs);
    std::unique_lock<std::mutex> lock(mutex_);
    while (!quit_) {
        auto next = SteadyClock::time_point::max();
        const auto now = SteadyClock::now();
        for (const auto& [socket, since] : open_) {
            if (now - since >= allowed) {
                ::shutdown(socket, SHUT_RDWR);  // under the lock: the socket is still open
            } else {
                next = std::min(next, since + allowed);
            }
        }
        if (next == SteadyClock::time_point::max()) {
            changed_.wait(lock);
        } else {
            changed_.wait_until(lock, next);
        }
    }
}

void MetricsServer::onConnection(void* self, MHD_Connection* connection, void**, int code) {
    auto* server = static_cast<MetricsServer*>(self);
    const MHD_ConnectionInfo* info =
        MHD_get_connection_info(connection, MHD_CONNECTION_INFO_CONNECTION_FD);
    if (info == nullptr) {
        return;
    }
    {
        // The closing notice comes before the socket is closed: the reaper never shuts down a
        // descriptor that has been given to something else.
        const std::lock_guard<std::mutex> lock(server->mutex_);
        if (code == MHD_CONNECTION_NOTIFY_STARTED &&
            server->open_.size() >= server->limits_.connections) {
            server->overCap_.insert(info->connect_fd);
            ::shutdown(info->connect_fd, SHUT_RDWR);
        } else if (code == MHD_CONNECTION_NOTIFY_STARTED) {
            server->open_[info->connect_fd] = SteadyClock::now();
        } else if (server->overCap_.erase(info->connect_fd) == 0) {
            server->open_.erase(info->connect_fd);
        }
    }
    server->changed_.notify_all();
}

MetricsServer::Answer MetricsServer::answer(const QByteArray& method, const QByteArray& path,
                                            bool hasBody) {
    if (path != "/metrics" && path != "/healthz") {
        return {MHD_HTTP_NOT_FOUND, "not found\n", kText};
    }
    if (method != "GET" && method != "HEAD") {
        return {MHD_HTTP_METHOD_NOT_ALLOWED, "only GET\n", kText};
    }
    if (hasBody) {
        return {MHD_HTTP_CONTENT_TOO_LARGE, "no request body is taken\n", kText};
    }
    ServiceState state;
    qint64 ageMs = 0;
    {
        std::unique_lock<std::mutex> lock(mutex_);
        const quint64 seen = snapshots_;
        QMetaObject::invokeMethod(
            &context_, [this] { refresh(); }, Qt::QueuedConnection);
        changed_.wait_for(lock, std::chrono::milliseconds(limits_.freshSnapshotWaitMs),
                          [this, seen] { return snapshots_ != seen; });
        state = snapshot_;
        ageMs =
            std::chrono::duration_cast<std::chrono::milliseconds>(SteadyClock::now() - snapshotAt_)
                .count();
    }
    // The figures as they stand now: a wait the snapshot saw has gone on since.
    state.now = state.now.addMSecs(ageMs);
    if (state.databaseWaitS > 0) {
        state.databaseWaitS += double(ageMs) / 1000.0;
    }
    if (path == "/metrics") {
        return {MHD_HTTP_OK, metricsText(state), "text/plain; version=0.0.4; charset=utf-8"};
    }
    const Health health =
        ageMs > qint64(kStaleSnapshotS) * 1000
            ? Health{false,
                     QStringLiteral("the event loop has not turned for %1 s").arg(ageMs / 1000)}
            : judgeHealth(state);
    return {health.ok ? unsigned(MHD_HTTP_OK) : unsigned(MHD_HTTP_SERVICE_UNAVAILABLE),
            health.reason.toUtf8() + '\n', kText};
}

namespace {
MHD_Result addLength(void* total, MHD_ValueKind, const char* key, const char* value) {
    *static_cast<size_t*>(total) += std::strlen(key) + std::strlen(value) + 4;  // ": ", CRLF
    return MHD_YES;
}
}  // namespace

int MetricsServer::onRequest(void* self, MHD_Connection* connection, const char* url,
                             const char* method, const char* version, const char*, size_t*,
                             void**) {
    auto* server = static_cast<MetricsServer*>(self);
    // The server's own pool bounds the head roughly; this is the exact limit.
    size_t head = std::strlen(method) + std::strlen(url) + std::strlen(version) + 4;
    MHD_get_connection_values(connection, MHD_HEADER_KIND, &addLength, &head);
    // Decided on the head alone: a body is never read, only refused.
    const bool hasBody =
        MHD_lookup_connection_value(connection, MHD_HEADER_KIND,
                                    MHD_HTTP_HEADER_TRANSFER_ENCODING) != nullptr ||
        QByteArray(MHD_lookup_connection_value(connection, MHD_HEADER_KIND,
                                               MHD_HTTP_HEADER_CONTENT_LENGTH))
                .toLongLong() > 0;
    const Answer reply = head > server->limits_.headBytes
                             ? Answer{std::strlen(url) > server->limits_.headBytes
                                          ? unsigned(MHD_HTTP_URI_TOO_LONG)
                                          : unsigned(MHD_HTTP_REQUEST_HEADER_FIELDS_TOO_LARGE),
                                      "request head too large\n", kText}
                             : server->answer(QByteArray(method), QByteArray(url), hasBody);
    MHD_Response* response = MHD_create_response_from_buffer(
        size_t(reply.body.size()), const_cast<char*>(reply.body.constData()),
        MHD_RESPMEM_MUST_COPY);
    MHD_add_response_header(response, MHD_HTTP_HEADER_CONTENT_TYPE, reply.type);
    // One request a connection: nothing to pipeline, no answers to queue.
    MHD_add_response_header(response, MHD_HTTP_HEADER_CONNECTION, "close");
    if (reply.status == MHD_HTTP_METHOD_NOT_ALLOWED) {
        MHD_add_response_header(response, MHD_HTTP_HEADER_ALLOW, "GET, HEAD");
    }
    const MHD_Result queued = MHD_queue_response(connection, reply.status, response);
    MHD_destroy_response(response);
    return queued;
}

}  // namespace korvane
