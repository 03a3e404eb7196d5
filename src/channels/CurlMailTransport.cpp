#include "channels/CurlMailTransport.h"

#include <curl/curl.h>

#include <QHostAddress>
#include <QTimer>

#include "channels/CurlWorker.h"
#include "channels/SmtpTransfer.h"
#include "core/DoneWait.h"
#include "core/KorvaneError.h"
#include "core/Responsive.h"
#include "core/StopDeadline.h"

namespace korvane {

namespace {
// After a transfer is cut, how long the worker gets to come back before it is left behind.
constexpr int kCutGraceMs = 5000;
// How long a server may take over QUIT before the connection is cut.
constexpr int kQuitPatienceMs = 2000;

QDeadlineTimer atNSecs(qint64 nsecs) {
    QDeadlineTimer at;
    at.setPreciseDeadline(0, nsecs);
    return at;
}
}  // namespace

CurlMailTransport::CurlMailTransport(const StopDeadline* stop) : stop_(stop) {}

CurlMailTransport::~CurlMailTransport() = default;

bool CurlMailTransport::isLoopback(const QString& host) {
    const QString plain = host.trimmed();
    if (plain.compare(QStringLiteral("localhost"), Qt::CaseInsensitive) == 0) {
        return true;
    }
    QHostAddress address;
    return address.setAddress(plain) && address.isLoopback();
}

QByteArray CurlMailTransport::url(const SmtpSettings& settings) {
    QString host = settings.server;
    if (host.contains(QLatin1Char(':')) && !host.startsWith(QLatin1Char('['))) {
        host = QLatin1Char('[') + host + QLatin1Char(']');
    }
    const bool implicitTls = settings.port.trimmed() == QStringLiteral("465");
    return ((implicitTls ? QStringLiteral("smtps://") : QStringLiteral("smtp://")) + host +
            QLatin1Char(':') + settings.port)
        .toUtf8();
}

CurlWorker& CurlMailTransport::worker() {
    if (!worker_) {
        // Wakes the event loop without posting anything: nothing is made on the worker's
        // thread for the window's thread to free.
        worker_ = std::make_unique<CurlWorker>(eventLoopWaker());
    }
    return *worker_;
}

bool CurlMailTransport::connected() const {
    return worker_ && worker_->connected();
}

unsigned long CurlMailTransport::connections() const {
    return worker_ ? worker_->connections() : 0;
}

void CurlMailTransport::endSession() {
    if (!worker_) {
        return;
    }
    worker_->close();
    QTimer::singleShot(kQuitPatienceMs, &waker_, [this] {
        if (worker_) {
            worker_->cutIfClosing();
        }
    });
}

std::shared_ptr<SmtpTransfer> CurlMailTransport::prepare(const SmtpSettings& settings,
                                                         const QByteArray& envelopeFrom,
                                                         const QList<QByteArray>& recipients,
                                                         QIODevice& data) const {
    auto transfer = std::make_shared<SmtpTransfer>();
    transfer->url = url(settings);
    transfer->from = QByteArray("<") + envelopeFrom + '>';
    for (const QByteArray& recipient : recipients) {
        transfer->recipients << QByteArray("<") + recipient + '>';
    }
    transfer->withCredentials = !settings.userName.isEmpty();
    transfer->user = settings.userName.toUtf8();
    transfer->password = settings.password.toUtf8();
    transfer->bearer = settings.bearer;
    transfer->caFile = settings.caFile.toLocal8Bit();
    transfer->tlsRequired = transfer->withCredentials && !isLoopback(settings.server);
    transfer->connectTimeoutMs = settings.connectTimeoutMs;
    transfer->responseTimeoutMs = settings.responseTimeoutMs;
    transfer->totalTimeoutMs = settings.totalTimeoutMs;
    transfer->size = data.size() - data.pos();
    transfer->data = &data;
    transfer->replyDueNs =
        QDeadlineTimer(settings.connectTimeoutMs + settings.responseTimeoutMs).deadlineNSecs();
    transfer->wake = eventLoopWaker();
    return transfer;
}

QCoro::Task<QString> CurlMailTransport::send(const SmtpSettings& settings,
                                             const QByteArray& envelopeFrom,
                                             const QList<QByteArray>& recipients, QIODevice& data) {
    const QDeadlineTimer total(settings.totalTimeoutMs);
    const qint64 start = data.pos();
    QString note;
    for (int attempt = 0;; ++attempt) {
        const auto transfer = prepare(settings, envelopeFrom, recipients, data);
        const QString abandoned = co_await drive(transfer, total);
        if (abandoned.isEmpty() && transfer->result == CURLE_OK) {
            co_return note;
        }
        if (attempt == 0 && abandoned.isEmpty() && worthAnotherConnection(*transfer) &&
            !total.hasExpired() && data.seek(start)) {
            // The kept connection refused; a new one may take it.
            note = QStringLiteral(
                       "The SMTP server closed the kept connection before taking the "
                       "message") +
                   (transfer->refusal.isEmpty()
                        ? QString()
                        : QStringLiteral(" (it said: \"%1\")")
                              .arg(QString::fromUtf8(transfer->refusal).trimmed())) +
                   QStringLiteral(", so it goes again over a new connection.");
            continue;
        }
        fail(*transfer, abandoned);
    }
}

// Hands the transfer to the worker and waits for it, holding the limits;
// returns why it was abandoned, or "" when the worker finished it.
QCoro::Task<QString> CurlMailTransport::drive(std::shared_ptr<SmtpTransfer> transfer,
                                              QDeadlineTimer total) {
    worker().start(transfer);
    QString abandoned;
    QDeadlineTimer grace(QDeadlineTimer::Forever);
    while (!transfer->done) {
        const QDeadlineTimer replyDue = atNSecs(transfer->replyDueNs);
        if (abandoned.isEmpty()) {
            if (stop_ != nullptr && stop_->passed()) {
                abandoned = QStringLiteral("Korvane is ending and the server had not finished.");
            } else if (total.hasExpired()) {
                abandoned = QStringLiteral("The message took more than %1 seconds.")
                                .arg(double(transfer->totalTimeoutMs) / 1000.0);
            } else if (replyDue.hasExpired()) {
                abandoned = QStringLiteral("The server did not answer within %1 seconds.")
                                .arg(double(transfer->responseTimeoutMs) / 1000.0);
            }
            if (!abandoned.isEmpty()) {
                transfer->abort = true;
                worker_->cut();
                grace = QDeadlineTimer(kCutGraceMs);
            }
        } else if (grace.hasExpired()) {
            // The worker does not come back (a name lookup that ignores the cut): it is left
            // to finish alone, and never touches the message again.
            {
                const std::lock_guard<std::mutex> lock(transfer->dataMutex);
                transfer->data = nullptr;
            }
            worker_->abandon();
            static_cast<void>(worker_.release());
            break;
        }
        QDeadlineTimer next = grace;
        if (abandoned.isEmpty()) {
            next = replyDue.deadlineNSecs() < total.deadlineNSecs() ? replyDue : total;
            next = stop_ != nullptr ? stop_->capped(next) : next;
        }
        const quint64 changes = stop_ != nullptr ? stop_->changes() : 0;
        co_await DoneWait(
            [&] {
                return transfer->done || (stop_ != nullptr && stop_->changes() != changes) ||
                       transfer->replyDueNs < replyDue.deadlineNSecs();
            },
            next, life_);
    }
    co_return abandoned;
}

// Refused or closed by the kept connection before the server answered DATA: nothing of the
// message left, and a new connection is not bound by the old one's limits.
bool CurlMailTransport::worthAnotherConnection(const SmtpTransfer& transfer) {
    if (!transfer.reusedConnection || transfer.dataAnswered) {
        return false;
    }
    if (transfer.refusal.startsWith("421")) {
        return true;
    }
    return transfer.refusal.isEmpty() &&
           (transfer.result == CURLE_GOT_NOTHING || transfer.result == CURLE_RECV_ERROR ||
            transfer.result == CURLE_SEND_ERROR);
}

namespace {
// libcurl's words as a sentence of their own: capital first, full stop last.
QString sentence(QString text) {
    text = text.trimmed();
    if (!text.isEmpty()) {
        text[0] = text[0].toUpper();
        if (!text.endsWith(QLatin1Char('.'))) {
            text += QLatin1Char('.');
        }
    }
    return text;
}
}  // namespace

void CurlMailTransport::fail(const SmtpTransfer& transfer, const QString& abandoned) {
    const int result = abandoned.isEmpty() ? transfer.result : CURLE_OPERATION_TIMEDOUT;
    const QString said = QString::fromUtf8(transfer.refusal).trimmed();
    QString description = !abandoned.isEmpty() ? QStringLiteral("Operation timed out: ") + abandoned
                          // libcurl calls any refusal it did not expect a weird reply
                          : transfer.result == CURLE_WEIRD_SERVER_REPLY && !said.isEmpty()
                              ? QStringLiteral("The server refused the message.")
                              : sentence(transfer.error);
    if (!transfer.done) {
        // Nothing more is known of it.
    } else if (!said.isEmpty()) {
        description += QStringLiteral(" The server said: \"%1\".").arg(said);
    } else if (transfer.reply >= 400 && !description.contains(QString::number(transfer.reply))) {
        description += QStringLiteral(" The server replied %1.").arg(transfer.reply);
    }
    if (result == CURLE_USE_SSL_FAILED && transfer.tlsRequired) {
        description += QStringLiteral(
            " Korvane refused on purpose: it sends a user name and password to a server on the "
            "network only over an encrypted connection.");
    }
    // Only a body that went out whole, and was not refused, may have been delivered: a server
    // delivers nothing without the final dot.
    // A worker left behind never said how far it got: only what is known counts.
    const bool inDoubt = transfer.done ? transfer.bodyComplete && transfer.reply < 400
                                       : transfer.dataAnswered.load();
    if (inDoubt) {
        throw DeliveryInDoubt(ErrorNumber::mailTransfer(result),
                              description + QStringLiteral(" The message may have been sent."));
    }
    // The server has not seen the message: no answer to its data and no refusal of it.
    const bool untouched =
        !transfer.dataAnswered && (said.isEmpty() || said.startsWith(QLatin1String("421")));
    if (result == CURLE_LOGIN_DENIED) {
        const QString words =
            said.isEmpty() ? QString() : QStringLiteral(" The server said: \"%1\".").arg(said);
        const QString refusal =
            QStringLiteral("The server refused the sign-in (%1).")
                .arg(transfer.bearer.isEmpty() ? QStringLiteral("user name and password")
                                               : QStringLiteral("OAuth 2.0 token")) +
            words;
        if (transfer.reply >= 400 && transfer.reply < 500) {
            // "Try again later": not a verdict on the account.
            throw PassingFailure(ErrorNumber::mailTransfer(result), refusal, false, true);
        }
        throw SignInRefused(ErrorNumber::mailTransfer(result),
                            said.isEmpty() ? refusal + QLatin1Char(' ') + description : refusal);
    }
    // A refusal of the message itself (5xx) is for good; anything else left nothing with the
    // server and may pass: a 4xx, a connection refused, cut or timed out.
    if (transfer.reply >= 500 || result == CURLE_USE_SSL_FAILED || result == CURLE_URL_MALFORMAT) {
        throw KorvaneError(ErrorNumber::mailTransfer(result), description);
    }
    const bool unreachable =
        transfer.reply == 421 ||
        (transfer.reply == 0 &&
         (result == CURLE_COULDNT_CONNECT || result == CURLE_COULDNT_RESOLVE_HOST ||
          result == CURLE_OPERATION_TIMEDOUT || result == CURLE_GOT_NOTHING));
    throw PassingFailure(ErrorNumber::mailTransfer(result), description, unreachable, untouched);
}

}  // namespace korvane
