#pragma once

#include <QHostAddress>
#include <QString>
#include <functional>
#include <memory>

#include "app/ServiceState.h"

class QHttpServer;

namespace korvane {

// /metrics (Prometheus text) and /healthz over HTTP, for monitoring; off unless asked for.
class MetricsServer {
public:
    struct Address {
        QHostAddress host;
        quint16 port = 0;
    };
    // "PORT" (on 127.0.0.1), "HOST:PORT" or "[IPv6]:PORT"; nullopt with why when it is none.
    static std::optional<Address> parse(const QString& text, QString& why);

    explicit MetricsServer(std::function<ServiceState()> state);
    ~MetricsServer();
    // False, with why, when nothing could listen there.
    bool listen(const Address& address, QString& why);
    quint16 port() const { return port_; }

private:
    std::function<ServiceState()> state_;
    std::unique_ptr<QHttpServer> server_;
    quint16 port_ = 0;
};

}  // namespace korvane
