#pragma once

#include <QByteArray>
#include <QIODevice>
#include <QList>
#include <QString>
#include <atomic>
#include <memory>

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

// Hands composed messages to an SMTP server; raises KorvaneError on any failure, and
// DeliveryInDoubt when the message may have been taken all the same.
class MailTransport {
public:
    virtual ~MailTransport();
    // data: the message from its current position to its end, read as it is sent.
    virtual void send(const SmtpSettings& settings, const QByteArray& envelopeFrom,
                      const QList<QByteArray>& recipients, QIODevice& data) = 0;
    // Closes the connection that sends keep open for the next message.
    virtual void endSession() {}
};

// libcurl's SMTP. Port 465 is implicit TLS; elsewhere STARTTLS when offered, and required when
// credentials would cross the network to anything but loopback. Certificates are verified.
class StopDeadline;

class CurlMailTransport : public MailTransport {
public:
    explicit CurlMailTransport(const StopDeadline* stop = nullptr);
    ~CurlMailTransport() override;

    // One connection serves every message until endSession(): a new envelope on the same
    // connection, or a new connection when the server closed it in between.
    void send(const SmtpSettings& settings, const QByteArray& envelopeFrom,
              const QList<QByteArray>& recipients, QIODevice& data) override;
    void endSession() override;

    static QByteArray url(const SmtpSettings& settings);
    static bool isLoopback(const QString& host);

private:
    struct HandleDeleter {
        void operator()(void* handle) const;
    };
    struct MultiDeleter {
        void operator()(void* multi) const;
    };
    const StopDeadline* stop_;
    // Connections still saying QUIT; shared with the threads that close them.
    std::shared_ptr<std::atomic<int>> closing_ = std::make_shared<std::atomic<int>>(0);
    std::unique_ptr<void, MultiDeleter> multi_;  // holds the connection between messages
    std::unique_ptr<void, HandleDeleter> handle_;
};

}  // namespace korvane
