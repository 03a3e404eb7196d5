#include "channels/MailTransport.h"

#include <curl/curl.h>

#include <QCoreApplication>
#include <QDeadlineTimer>
#include <QHostAddress>
#include <QThread>
#include <cstring>
#include <memory>
#include <thread>

#include "core/KorvaneError.h"
#include "core/StopDeadline.h"

namespace korvane {

MailTransport::~MailTransport() = default;

namespace {

struct Upload {
    QIODevice* data = nullptr;
    bool started = false;  // the server answered DATA: the message is on its way
    bool failed = false;
};

size_t readUpload(char* buffer, size_t size, size_t count, void* user) {
    auto* upload = static_cast<Upload*>(user);
    upload->started = true;
    const qint64 got = upload->data->read(buffer, static_cast<qint64>(size * count));
    if (got < 0) {
        upload->failed = true;
        return CURL_READFUNC_ABORT;
    }
    return static_cast<size_t>(got);
}

void ensureCurl() {
    static const CURLcode initialised = curl_global_init(CURL_GLOBAL_DEFAULT);
    Q_UNUSED(initialised);
}

}  // namespace

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

namespace {

struct SlistDeleter {
    void operator()(curl_slist* list) const { curl_slist_free_all(list); }
};
using Slist = std::unique_ptr<curl_slist, SlistDeleter>;

struct Exchange {
    QByteArray refusal;       // the server's last 4xx/5xx line, which curl reduces to its code
    QDeadlineTimer replyDue;  // the server owes an answer by then
    qint64 replyTimeoutMs = 0;
};

int watchExchange(CURL*, curl_infotype type, char* data, size_t size, void* user) {
    auto* exchange = static_cast<Exchange*>(user);
    if (type == CURLINFO_HEADER_IN || type == CURLINFO_HEADER_OUT || type == CURLINFO_DATA_OUT) {
        exchange->replyDue = QDeadlineTimer(exchange->replyTimeoutMs);
    }
    if (type == CURLINFO_HEADER_IN && size >= 3 && (data[0] == '4' || data[0] == '5')) {
        exchange->refusal = QByteArray(data, static_cast<qsizetype>(size)).trimmed();
    }
    return 0;
}

}  // namespace

void CurlMailTransport::HandleDeleter::operator()(void* handle) const {
    curl_easy_cleanup(static_cast<CURL*>(handle));
}

void CurlMailTransport::MultiDeleter::operator()(void* multi) const {
    curl_multi_cleanup(static_cast<CURLM*>(multi));
}

CurlMailTransport::CurlMailTransport(const StopDeadline* stop) : stop_(stop) {}

CurlMailTransport::~CurlMailTransport() {
    endSession();
    // Closings still waiting on a server get a moment; the program does not wait longer.
    const QDeadlineTimer patience(2000);
    while (*closing_ > 0 && !patience.hasExpired()) {
        QThread::msleep(10);
    }
}

void CurlMailTransport::endSession() {
    if (!multi_) {
        return;
    }
    if (handle_) {
        curl_multi_remove_handle(static_cast<CURLM*>(multi_.get()),
                                 static_cast<CURL*>(handle_.get()));
    }
    // Closing the connection says QUIT and waits for the answer, which libcurl does in one
    // blocking call: on a thread of its own, so that a server stalling on it freezes nothing.
    ++*closing_;
    std::thread([easy = handle_.release(), multi = multi_.release(), closing = closing_] {
        curl_easy_cleanup(static_cast<CURL*>(easy));
        curl_multi_cleanup(static_cast<CURLM*>(multi));
        --*closing;
    }).detach();
}

void CurlMailTransport::send(const SmtpSettings& settings, const QByteArray& envelopeFrom,
                             const QList<QByteArray>& recipients, QIODevice& data) {
    ensureCurl();
    if (!handle_) {
        handle_.reset(curl_easy_init());
        multi_.reset(curl_multi_init());
        if (!handle_ || !multi_) {
            endSession();
            throw KorvaneError(CURLE_FAILED_INIT,
                               QString::fromLatin1(curl_easy_strerror(CURLE_FAILED_INIT)));
        }
    }
    CURL* curl = static_cast<CURL*>(handle_.get());
    CURLM* multi = static_cast<CURLM*>(multi_.get());
    // The handle keeps its connection for the next mail; every option is set anew.
    curl_easy_reset(curl);
    char errorBuffer[CURL_ERROR_SIZE] = {0};
    Slist rcpt;
    for (const QByteArray& recipient : recipients) {
        curl_slist* longer =
            curl_slist_append(rcpt.get(), (QByteArray("<") + recipient + '>').constData());
        if (longer == nullptr) {
            throw KorvaneError(CURLE_OUT_OF_MEMORY,
                               QString::fromLatin1(curl_easy_strerror(CURLE_OUT_OF_MEMORY)));
        }
        rcpt.release();
        rcpt.reset(longer);
    }
    const QByteArray target = url(settings);
    const QByteArray from = QByteArray("<") + envelopeFrom + '>';
    const QByteArray user = settings.userName.toUtf8();
    const QByteArray password = settings.password.toUtf8();
    const bool withCredentials = !settings.userName.isEmpty();
    const bool tlsRequired = withCredentials && !isLoopback(settings.server);
    Upload upload{&data, false, false};
    Exchange exchange;
    exchange.replyTimeoutMs = settings.responseTimeoutS * 1000;
    exchange.replyDue = QDeadlineTimer(settings.connectTimeoutS * 1000 + exchange.replyTimeoutMs);

    curl_easy_setopt(curl, CURLOPT_ERRORBUFFER, errorBuffer);
    curl_easy_setopt(curl, CURLOPT_NOSIGNAL, 1L);
    curl_easy_setopt(curl, CURLOPT_URL, target.constData());
    curl_easy_setopt(curl, CURLOPT_MAIL_FROM, from.constData());
    curl_easy_setopt(curl, CURLOPT_MAIL_RCPT, rcpt.get());
    curl_easy_setopt(curl, CURLOPT_UPLOAD, 1L);
    curl_easy_setopt(curl, CURLOPT_READFUNCTION, readUpload);
    curl_easy_setopt(curl, CURLOPT_READDATA, &upload);
    curl_easy_setopt(curl, CURLOPT_INFILESIZE_LARGE,
                     static_cast<curl_off_t>(data.size() - data.pos()));
    curl_easy_setopt(curl, CURLOPT_DEBUGFUNCTION, watchExchange);
    curl_easy_setopt(curl, CURLOPT_DEBUGDATA, &exchange);
    curl_easy_setopt(curl, CURLOPT_VERBOSE, 1L);  // feeds watchExchange; nothing is printed
    curl_easy_setopt(curl, CURLOPT_CONNECTTIMEOUT, settings.connectTimeoutS);
    curl_easy_setopt(curl, CURLOPT_SERVER_RESPONSE_TIMEOUT, settings.responseTimeoutS);
    curl_easy_setopt(curl, CURLOPT_TIMEOUT, settings.totalTimeoutS);
    // "Try" alone would fall back to sending the password in clear over the network.
    curl_easy_setopt(
        curl, CURLOPT_USE_SSL,
        tlsRequired ? static_cast<long>(CURLUSESSL_ALL) : static_cast<long>(CURLUSESSL_TRY));
    if (withCredentials) {
        curl_easy_setopt(curl, CURLOPT_USERNAME, user.constData());
        if (!settings.password.isEmpty()) {
            curl_easy_setopt(curl, CURLOPT_PASSWORD, password.constData());
        }
    }

    // Driven here rather than by curl_easy_perform, so that the window keeps answering and the
    // limits hold to the second: each reply within its time, the whole message within its
    // own, and anything in flight ends when the program must.
    const QDeadlineTimer total(settings.totalTimeoutS * 1000);
    CURLcode result = CURLE_OK;
    QString abandoned;
    curl_multi_add_handle(multi, curl);
    for (int running = 1;;) {
        curl_multi_perform(multi, &running);
        if (running == 0) {
            int left = 0;
            CURLMsg* done = curl_multi_info_read(multi, &left);
            result = done != nullptr && done->msg == CURLMSG_DONE ? done->data.result
                                                                  : CURLE_GOT_NOTHING;
            break;
        }
        if (stop_ != nullptr && stop_->passed()) {
            abandoned = QStringLiteral("Korvane is ending and the server had not finished.");
        } else if (total.hasExpired()) {
            abandoned = QStringLiteral("The message took more than %1 seconds.")
                            .arg(settings.totalTimeoutS);
        } else if (exchange.replyDue.hasExpired()) {
            abandoned = QStringLiteral("The server did not answer within %1 seconds.")
                            .arg(settings.responseTimeoutS);
        }
        if (!abandoned.isEmpty()) {
            result = CURLE_OPERATION_TIMEDOUT;
            break;
        }
        curl_multi_poll(multi, nullptr, 0, 20, nullptr);
        QCoreApplication::processEvents();
    }
    curl_multi_remove_handle(multi, curl);
    long reply = 0;
    curl_easy_getinfo(curl, CURLINFO_RESPONSE_CODE, &reply);
    if (result == CURLE_OK) {
        return;
    }
    if (!abandoned.isEmpty()) {
        endSession();  // the connection is in an unknown state
    }
    QString description = abandoned.isEmpty() ? QString::fromUtf8(errorBuffer).trimmed()
                                              : QStringLiteral("Operation timed out: ") + abandoned;
    if (description.isEmpty()) {
        description = QString::fromUtf8(curl_easy_strerror(result));
    }
    if (!exchange.refusal.isEmpty()) {
        description += QStringLiteral(" (the server said: ") + QString::fromUtf8(exchange.refusal) +
                       QLatin1Char(')');
    } else if (reply >= 400 && !description.contains(QString::number(reply))) {
        description += QStringLiteral(" (server reply %1)").arg(reply);
    }
    if (result == CURLE_USE_SSL_FAILED && tlsRequired) {
        description += QStringLiteral(
            " Korvane refused on purpose: it sends a user name and password to a server on the "
            "network only over an encrypted connection.");
    }
    // After the data went out only a refusal of it is a definite answer; a lost connection
    // or a timeout may come after the server already queued the message.
    if (upload.started && reply < 400) {
        throw DeliveryInDoubt(static_cast<qint32>(result),
                              description + QStringLiteral(" The message may have been sent."));
    }
    throw KorvaneError(static_cast<qint32>(result), description);
}

}  // namespace korvane
