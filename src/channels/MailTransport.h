#pragma once

#include <QByteArray>
#include <QList>
#include <QString>

namespace korvane {

// The SMTP server and account as typed in the configuration; the port stays text.
struct SmtpSettings {
    QString server;
    QString port;
    QString userName;
    QString password;
    long connectTimeoutS = 30;
    long responseTimeoutS = 60;
    long totalTimeoutS = 300;
};

// Hands one composed message to an SMTP server; raises KorvaneError on any failure.
class MailTransport {
public:
    virtual ~MailTransport();
    virtual void send(const SmtpSettings& settings, const QByteArray& envelopeFrom,
                      const QList<QByteArray>& recipients, const QByteArray& data) = 0;
};

// libcurl's SMTP. Port 465 is implicit TLS; elsewhere STARTTLS when offered, and required when
// credentials would cross the network to anything but loopback. Certificates are verified.
class CurlMailTransport : public MailTransport {
public:
    void send(const SmtpSettings& settings, const QByteArray& envelopeFrom,
              const QList<QByteArray>& recipients, const QByteArray& data) override;

    static QByteArray url(const SmtpSettings& settings);
    static bool isLoopback(const QString& host);
};

}  // namespace korvane
