#include "channels/MailTransport.h"

#include <curl/curl.h>

#include <QHostAddress>
#include <cstring>
#include <memory>

#include "core/KorvaneError.h"

namespace korvane {

MailTransport::~MailTransport() = default;

namespace {

struct Upload {
    const QByteArray* data = nullptr;
    qsizetype offset = 0;
    bool started = false;  // the server answered DATA: the message is on its way
};

size_t readUpload(char* buffer, size_t size, size_t count, void* user) {
    auto* upload = static_cast<Upload*>(user);
    upload->started = true;
    const size_t room = size * count;
    const size_t left = static_cast<size_t>(upload->data->size() - upload->offset);
    const size_t chunk = std::min(room, left);
    std::memcpy(buffer, upload->data->constData() + upload->offset, chunk);
    upload->offset += static_cast<qsizetype>(chunk);
    return chunk;
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

// The server's last refusal ("554 5.7.1 ...: Client host rejected: Access denied"), which
// curl's own message reduces to its code.
int keepReplies(CURL*, curl_infotype type, char* data, size_t size, void* user) {
    if (type == CURLINFO_HEADER_IN && size >= 3 && (data[0] == '4' || data[0] == '5')) {
        *static_cast<QByteArray*>(user) = QByteArray(data, static_cast<qsizetype>(size)).trimmed();
    }
    return 0;
}

}  // namespace

void CurlMailTransport::HandleDeleter::operator()(void* handle) const {
    curl_easy_cleanup(static_cast<CURL*>(handle));
}

void CurlMailTransport::endSession() {
    handle_.reset();  // says QUIT on its connection
}

void CurlMailTransport::send(const SmtpSettings& settings, const QByteArray& envelopeFrom,
                             const QList<QByteArray>& recipients, const QByteArray& data) {
    ensureCurl();
    if (!handle_) {
        handle_.reset(curl_easy_init());
        if (!handle_) {
            throw KorvaneError(CURLE_FAILED_INIT,
                               QString::fromLatin1(curl_easy_strerror(CURLE_FAILED_INIT)));
        }
    }
    CURL* curl = static_cast<CURL*>(handle_.get());
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
    Upload upload{&data, 0, false};
    QByteArray refusal;

    curl_easy_setopt(curl, CURLOPT_ERRORBUFFER, errorBuffer);
    curl_easy_setopt(curl, CURLOPT_NOSIGNAL, 1L);
    curl_easy_setopt(curl, CURLOPT_URL, target.constData());
    curl_easy_setopt(curl, CURLOPT_MAIL_FROM, from.constData());
    curl_easy_setopt(curl, CURLOPT_MAIL_RCPT, rcpt.get());
    curl_easy_setopt(curl, CURLOPT_UPLOAD, 1L);
    curl_easy_setopt(curl, CURLOPT_READFUNCTION, readUpload);
    curl_easy_setopt(curl, CURLOPT_READDATA, &upload);
    curl_easy_setopt(curl, CURLOPT_INFILESIZE_LARGE, static_cast<curl_off_t>(data.size()));
    curl_easy_setopt(curl, CURLOPT_DEBUGFUNCTION, keepReplies);
    curl_easy_setopt(curl, CURLOPT_DEBUGDATA, &refusal);
    curl_easy_setopt(curl, CURLOPT_VERBOSE, 1L);  // feeds keepReplies; nothing is printed
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

    const CURLcode result = curl_easy_perform(curl);
    long reply = 0;
    curl_easy_getinfo(curl, CURLINFO_RESPONSE_CODE, &reply);
    if (result == CURLE_OK) {
        return;
    }
    QString description = QString::fromUtf8(errorBuffer).trimmed();
    if (description.isEmpty()) {
        description = QString::fromUtf8(curl_easy_strerror(result));
    }
    if (!refusal.isEmpty()) {
        description +=
            QStringLiteral(" (the server said: ") + QString::fromUtf8(refusal) + QLatin1Char(')');
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
