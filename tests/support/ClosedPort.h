#pragma once

#include <QHostAddress>
#include <QString>
#include <QTcpServer>

namespace korvane::test {

// A loopback port nothing listens on: taken from the system, then let go.
inline QString closedPort() {
    QTcpServer probe;
    probe.listen(QHostAddress::LocalHost);
    return QString::number(probe.serverPort());
}

}  // namespace korvane::test
