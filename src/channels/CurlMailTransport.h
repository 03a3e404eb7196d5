#pragma once

#include <QDeadlineTimer>
#include <QObject>
#include <memory>

#include "channels/MailTransport.h"

namespace korvane {

class CurlWorker;
class StopDeadline;
struct SmtpTransfer;

// libcurl's SMTP. Port 465 is implicit TLS; elsewhere STARTTLS when offered, and required when
// credentials would cross the network to anything but loopback. Certificates are verified.
//
// The transfers run on a worker thread; this side waits for each without holding up the event loop,
// and holds the limits itself, in every phase: each reply within its time, the whole message within
// its own, and anything in flight ends when the program must.
class CurlMailTransport : public MailTransport {
public:
    explicit CurlMailTransport(const StopDeadline* stop = nullptr);
    ~CurlMailTransport() override;

    // One connection serves every message until endSession() or a failure that leaves it in
    // doubt. A message the kept connection refused before its data (a per-connection limit,
    // "421", or a connection the server had closed) goes once more over a new connection.
    QCoro::Task<QString> send(const SmtpSettings& settings, const QByteArray& envelopeFrom,
                              const QList<QByteArray>& recipients, QIODevice& data) override;
    void endSession() override;
    // Connections opened so far, and whether one is open now (a QUIT still being said
    // included).
    unsigned long connections() const;
    bool connected() const;

    static QByteArray url(const SmtpSettings& settings);
    static bool isLoopback(const QString& host);

private:
    std::shared_ptr<SmtpTransfer> prepare(const SmtpSettings& settings,
                                          const QByteArray& envelopeFrom,
                                          const QList<QByteArray>& recipients,
                                          QIODevice& data) const;
    QCoro::Task<QString> drive(std::shared_ptr<SmtpTransfer> transfer, QDeadlineTimer total);
    static bool worthAnotherConnection(const SmtpTransfer& transfer);
    [[noreturn]] static void fail(const SmtpTransfer& transfer, const QString& abandoned);
    CurlWorker& worker();

    const StopDeadline* stop_;
    QObject waker_;  // the context of the QUIT's patience timer
    std::unique_ptr<CurlWorker> worker_;
    // The owner of the waits for the worker: once the transport is gone none resumes into it.
    std::shared_ptr<const void> life_ = std::make_shared<int>(0);
};

}  // namespace korvane
