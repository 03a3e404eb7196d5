#pragma once

#include <QByteArray>
#include <QDateTime>
#include <QString>

#include "channels/GatewayLink.h"
#include "dispatch/Counters.h"

namespace korvane {

// Korvane as an operator sees it at one moment: what processing counted, whether it runs,
// and what the channels opened. No secret, address or message text is in it.
struct ServiceState {
    Counters counters;
    bool started = false;
    bool cycleRunning = false;
    quint64 throttleAnswers = 0;
    quint64 smppBinds = 0;
    quint64 smppPacedWaits = 0;    // waits for a paced slot
    GatewayLink::Counts smppLink;  // binds refused, sessions dropped, enquire_link
    double smppRate = 0;           // submits a second the gateway is paced at; 0: unpaced
    std::map<QString, int> smppSessionsBound;        // by gateway ("host:port")
    std::map<QString, quint64> smppSubmitsByServer;  // submits accepted, by gateway
    quint64 smtpConnections = 0;
    double databaseWaitS = 0;  // how long the database call out now has waited; 0: none
    QDateTime now;
};

struct Health {
    bool ok = false;
    QString reason;  // one line
};

// The state in the Prometheus text format.
QByteArray metricsText(const ServiceState& state);
// Healthy while processing is started and has made progress lately: a row saved or a cycle
// ended within kProgressS, or a cycle still running within the longest a send may take.
Health judgeHealth(const ServiceState& state);

constexpr int kProgressS = 60;
constexpr int kLongestSendS = 300 + 60;
// A statement waiting longer than this is a database that stopped answering: lock waits may
// take about 68 s (a batch meeting a locked row waits up to twice the lock timeout).
constexpr int kDatabaseWaitUnhealthyS = 90;
// Cycles in a row that could not reach the table before the database counts as unreachable.
constexpr int kFailedCyclesUnhealthy = 3;

// "Idle... (sent 3, not sent 0, in doubt 1)": the status line a service manager shows.
QString statusLine(const QString& statusText, const Counters& counters);
// What the window's status bar and the tray's tooltip show: the rows waiting at the last
// cycle, today's outcomes and the gateway's sessions.
QString countsLine(const ServiceState& state);

}  // namespace korvane
