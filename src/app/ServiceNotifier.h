#pragma once

#include <QObject>
#include <QString>
#include <QTimer>

namespace korvane {

// Tells a service manager (systemd, through NOTIFY_SOCKET) how Korvane is: ready, a status
// line, stopping, and a watchdog ping from a timer on the event loop, so that a loop that
// stops turning stops the pings and gets the program restarted. Does nothing where no
// manager listens.
class ServiceNotifier : public QObject {
public:
    ServiceNotifier();

    void ready();
    void status(const QString& text);
    void stopping();
    // How often the watchdog is pinged, 0 when the manager watches nothing.
    int watchdogIntervalMs() const { return interval_; }

private:
    static void send(const QByteArray& state);

    QTimer watchdog_;
    int interval_ = 0;
    bool stopping_ = false;
};

}  // namespace korvane
