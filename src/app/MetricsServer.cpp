#include "app/MetricsServer.h"

#include <QHttpServer>
#include <QHttpServerResponse>
#include <QRegularExpression>

namespace korvane {

namespace {
using Status = QHttpServerResponse::StatusCode;

QHttpServerResponse text(const QByteArray& body, Status status,
                         const QByteArray& type = "text/plain; charset=utf-8") {
    return QHttpServerResponse(type, body, status);
}

bool isGet(const QHttpServerRequest& request) {
    return request.method() == QHttpServerRequest::Method::Get ||
           request.method() == QHttpServerRequest::Method::Head;
}
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

MetricsServer::MetricsServer(std::function<ServiceState()> state)
    : state_(std::move(state)), server_(std::make_unique<QHttpServer>()) {
    server_->route(QStringLiteral("/metrics"), [this](const QHttpServerRequest& request) {
        if (!isGet(request)) {
            return text("only GET\n", Status::MethodNotAllowed);
        }
        return text(metricsText(state_()), Status::Ok, "text/plain; version=0.0.4; charset=utf-8");
    });
    server_->route(QStringLiteral("/healthz"), [this](const QHttpServerRequest& request) {
        if (!isGet(request)) {
            return text("only GET\n", Status::MethodNotAllowed);
        }
        const Health health = judgeHealth(state_());
        return text(health.reason.toUtf8() + '\n',
                    health.ok ? Status::Ok : Status::ServiceUnavailable);
    });
}

MetricsServer::~MetricsServer() = default;

bool MetricsServer::listen(const Address& address, QString& why) {
    port_ = server_->listen(address.host, address.port);
    if (port_ == 0) {
        why = QStringLiteral("The metrics endpoint cannot listen on %1 port %2.")
                  .arg(address.host.toString())
                  .arg(address.port);
    }
    return port_ != 0;
}

}  // namespace korvane
