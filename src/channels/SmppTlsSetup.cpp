#include "channels/SmppTlsSetup.h"

#include <QFile>
#include <QSslCertificate>
#include <QSslConfiguration>
#include <QSslKey>
#include <QSslSocket>
#include <QStringList>

namespace korvane::smpptls {

namespace {

// A private key in PEM, whichever algorithm it is for.
QSslKey readKey(const QByteArray& pem) {
    for (const QSsl::KeyAlgorithm algorithm : {QSsl::Rsa, QSsl::Ec, QSsl::Dsa}) {
        QSslKey key(pem, algorithm);
        if (!key.isNull()) {
            return key;
        }
    }
    return QSslKey();
}

QString reason(const QSslError& error, const QString& server, const SmppTls& tls) {
    const QSslCertificate certificate = error.certificate();
    switch (error.error()) {
        case QSslError::HostNameMismatch:
            return QStringLiteral("the certificate's host name does not match %1").arg(server);
        case QSslError::CertificateExpired:
            return QStringLiteral("the certificate expired on %1")
                .arg(certificate.expiryDate().toUTC().toString(Qt::ISODate));
        case QSslError::CertificateNotYetValid:
            return QStringLiteral("the certificate is not valid before %1")
                .arg(certificate.effectiveDate().toUTC().toString(Qt::ISODate));
        case QSslError::SelfSignedCertificate:
        case QSslError::SelfSignedCertificateInChain:
        case QSslError::UnableToGetIssuerCertificate:
        case QSslError::UnableToGetLocalIssuerCertificate:
        case QSslError::UnableToVerifyFirstCertificate:
        case QSslError::CertificateUntrusted:
            return tls.caFile.isEmpty()
                       ? QStringLiteral("the certificate is not signed by a CA this system trusts")
                       : QStringLiteral("the certificate is not signed by a CA in %1")
                             .arg(tls.caFile);
        default: {
            QString words = error.errorString();
            if (!words.isEmpty()) {
                words[0] = words[0].toLower();
            }
            while (words.endsWith(QLatin1Char('.'))) {
                words.chop(1);
            }
            return words;
        }
    }
}

}  // namespace

QString configure(QSslSocket& socket, const SmppTls& tls) {
    QSslConfiguration config = QSslConfiguration::defaultConfiguration();
    config.setProtocol(QSsl::TlsV1_2OrLater);
    config.setPeerVerifyMode(QSslSocket::VerifyPeer);
    if (!tls.caFile.isEmpty()) {
        const QList<QSslCertificate> authorities = QSslCertificate::fromPath(tls.caFile);
        if (authorities.isEmpty()) {
            return QStringLiteral("no certificate can be read from CellCAFile (%1)")
                .arg(tls.caFile);
        }
        config.setCaCertificates(authorities);
    }
    if (!tls.certFile.isEmpty()) {
        const QList<QSslCertificate> own = QSslCertificate::fromPath(tls.certFile);
        if (own.isEmpty()) {
            return QStringLiteral("no certificate can be read from CellCertFile (%1)")
                .arg(tls.certFile);
        }
        QFile keyFile(tls.keyFile.isEmpty() ? tls.certFile : tls.keyFile);
        const QSslKey key =
            keyFile.open(QIODevice::ReadOnly) ? readKey(keyFile.readAll()) : QSslKey();
        if (key.isNull()) {
            return QStringLiteral("no private key can be read from CellKeyFile (%1)")
                .arg(keyFile.fileName());
        }
        config.setLocalCertificateChain(own);
        config.setPrivateKey(key);
    }
    socket.setSslConfiguration(config);
    return QString();
}

QString describe(const QList<QSslError>& errors, const QString& server, const SmppTls& tls) {
    QStringList reasons;
    for (const QSslError& error : errors) {
        const QString words = reason(error, server, tls);
        if (!reasons.contains(words)) {
            reasons << words;
        }
    }
    return reasons.join(QStringLiteral("; "));
}

QString handshakeFailed(const QList<QSslError>& errors, const QString& socketError,
                        const QString& server, const SmppTls& tls) {
    QString why = describe(errors, server, tls);
    if (why.isEmpty()) {
        const QString words = socketError.toLower();
        if (words.contains(QLatin1String("protocol version")) ||
            words.contains(QLatin1String("unsupported protocol"))) {
            why = QStringLiteral("the server offers no TLS 1.2 or later (%1)").arg(socketError);
        } else if (words.contains(QLatin1String("certificate required"))) {
            why = QStringLiteral(
                      "the server asks for a client certificate (CellCertFile, "
                      "CellKeyFile): %1")
                      .arg(socketError);
        } else {
            why = socketError.isEmpty() ? QStringLiteral("the connection closed") : socketError;
        }
    }
    while (why.endsWith(QLatin1Char('.'))) {
        why.chop(1);
    }
    return QStringLiteral("The TLS handshake with Telvoro Server failed: %1.").arg(why);
}

}  // namespace korvane::smpptls
