#pragma once

#include <QList>
#include <QSslError>
#include <QString>

#include "core/Messages.h"

class QSslSocket;

namespace korvane {

// TLS for a session to the SMS gateway: TLS 1.2 or later, the CAs and the client certificate
// the settings name, and the reasons a handshake failed in words a user can act on.
namespace smpptls {

// Sets the socket up before it connects; "" or why the settings cannot be used.
QString configure(QSslSocket& socket, const SmppTls& tls);

// Why the certificate did not verify, each reason once: "the certificate's host name does not
// match 127.0.0.1; ...".
QString describe(const QList<QSslError>& errors, const QString& server, const SmppTls& tls);

// The whole line for a handshake that failed: the certificate's errors when there were any,
// the socket's own words otherwise.
QString handshakeFailed(const QList<QSslError>& errors, const QString& socketError,
                        const QString& server, const SmppTls& tls);

}  // namespace smpptls
}  // namespace korvane
