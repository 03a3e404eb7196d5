#include "channels/MailTransport.h"

#include <curl/curl.h>

#include <QHostAddress>
#include <cstring>

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

void CurlMailTransport::send(const SmtpSettings& settings, const QByteArray& envelopeFrom,
                             const QList<QByteArray>& recipients, const QByteArray& data) {
    ensureCurl();
    CURL* curl = curl_easy_init();
    if (curl == nullptr) {
        throw KorvaneError(CURLE_FAILED_INIT,
                           QString::fromLatin1(curl_easy_strerror(CURLE_FAILED_INIT)));
    }
    char errorBuffer[CURL_ERROR_SIZE] = {0};
    curl_slist* rcpt = nullptr;
    for (const QByteArray& recipient : recipients) {
        rcpt = curl_slist_append(rcpt, (QByteArray("<") + recipient + '>').constData());
    }
    const QByteArray target = url(settings);
    const QByteArray from = QByteArray("<") + envelopeFrom + '>';
    const QByteArray user = settings.userName.toUtf8();
    const QByteArray password = settings.password.toUtf8();
    const bool withCredentials = !settings.userName.isEmpty();
    Upload upload{&data};

    curl_easy_setopt(curl, CURLOPT_ERRORBUFFER, errorBuffer);
    curl_easy_setopt(curl, CURLOPT_NOSIGNAL, 1L);
    curl_easy_setopt(curl, CURLOPT_URL, target.constData());
    curl_easy_setopt(curl, CURLOPT_MAIL_FROM, from.constData());
    curl_easy_setopt(curl, CURLOPT_MAIL_RCPT, rcpt);
    curl_easy_setopt(curl, CURLOPT_UPLOAD, 1L);
    curl_easy_setopt(curl, CURLOPT_READFUNCTION, readUpload);
    curl_easy_setopt(curl, CURLOPT_READDATA, &upload);
    curl_easy_setopt(curl, CURLOPT_INFILESIZE_LARGE, static_cast<curl_off_t>(data.size()));
    curl_easy_setopt(curl, CURLOPT_CONNECTTIMEOUT, settings.connectTimeoutS);
    curl_easy_setopt(curl, CURLOPT_SERVER_RESPONSE_TIMEOUT, settings.responseTimeoutS);
    curl_easy_setopt(curl, CURLOPT_TIMEOUT, settings.totalTimeoutS);
    // "Try" alone would fall back to sending the password in clear over the network.
    curl_easy_setopt(curl, CURLOPT_USE_SSL,
                     withCredentials && !isLoopback(settings.server)
                         ? static_cast<long>(CURLUSESSL_ALL)
                         : static_cast<long>(CURLUSESSL_TRY));
    if (withCredentials) {
        curl_easy_setopt(curl, CURLOPT_USERNAME, user.constData());
        if (!settings.password.isEmpty()) {
            curl_easy_setopt(curl, CURLOPT_PASSWORD, password.constData());
        }
    }

    const CURLcode result = curl_easy_perform(curl);
    long reply = 0;
    curl_easy_getinfo(curl, CURLINFO_RESPONSE_CODE, &reply);
    curl_slist_free_all(rcpt);
    curl_easy_cleanup(curl);
    if (result != CURLE_OK) {
        QString description = QString::fromUtf8(errorBuffer).trimmed();
        if (description.isEmpty()) {
            description = QString::fromUtf8(curl_easy_strerror(result));
        }
        if (reply >= 400 && !description.contains(QString::number(reply))) {
            description += QStringLiteral(" (server reply %1)").arg(reply);
        }
        // After the data went out only a refusal of it is a definite answer; a lost connection
        // or a timeout may come after the server already queued the message.
        if (upload.started && reply < 400) {
            throw DeliveryInDoubt(static_cast<qint32>(result),
                                  description + QStringLiteral(" The message may have been sent."));
        }
        throw KorvaneError(static_cast<qint32>(result), description);
    }
}

}  // namespace korvane
