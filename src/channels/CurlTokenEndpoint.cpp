#include "channels/CurlTokenEndpoint.h"

#include <curl/curl.h>

#include <QUrl>
#include <functional>
#include <memory>
#include <thread>

#include "Version.h"
#include "channels/CurlMailTransport.h"
#include "core/DoneWait.h"
#include "core/KorvaneError.h"
#include "core/Responsive.h"
#include "core/StopDeadline.h"

namespace korvane {

namespace {

constexpr qsizetype kLargestAnswer = qsizetype(64) * 1024;

// One request, shared by the thread that performs it and the one that waits; the performing
// thread owns its share, so that a wait given up never leaves it pointing at nothing.
struct Exchange {
    QByteArray url;
    QByteArray body;
    QByteArray caFile;
    QByteArray protocols;
    long connectTimeoutMs = 0;
    long totalTimeoutMs = 0;
    std::function<void()> wake;
    std::atomic<bool> abort{false};
    std::atomic<bool> done{false};
    // Results, written before done.
    CURLcode result = CURLE_OK;
    long status = 0;
    QByteArray answer;
    QString error;
};

size_t collect(char* data, size_t size, size_t count, void* user) {
    auto* exchange = static_cast<Exchange*>(user);
    const size_t total = size * count;
    const auto bytes = static_cast<qsizetype>(total);
    if (exchange->answer.size() + bytes > kLargestAnswer) {
        return 0;  // ends the transfer: no token answer is that long
    }
    exchange->answer.append(data, bytes);
    return total;
}

int exchangeAborted(void* user, curl_off_t, curl_off_t, curl_off_t, curl_off_t) {
    return static_cast<Exchange*>(user)->abort ? 1 : 0;
}

struct HeaderList {
    curl_slist* list = nullptr;
    ~HeaderList() { curl_slist_free_all(list); }
};

void perform(Exchange& exchange) {
    CURL* curl = curl_easy_init();
    if (curl == nullptr) {
        exchange.result = CURLE_FAILED_INIT;
        exchange.error = QString::fromLatin1(curl_easy_strerror(exchange.result));
        return;
    }
    HeaderList headers;
    headers.list = curl_slist_append(headers.list, "Accept: application/json");
    char errorBuffer[CURL_ERROR_SIZE] = {0};
    const QByteArray agent = QByteArray("Korvane/" KORVANE_VERSION_STRING);
    curl_easy_setopt(curl, CURLOPT_ERRORBUFFER, errorBuffer);
    curl_easy_setopt(curl, CURLOPT_NOSIGNAL, 1L);
    curl_easy_setopt(curl, CURLOPT_URL, exchange.url.constData());
    curl_easy_setopt(curl, CURLOPT_PROTOCOLS_STR, exchange.protocols.constData());
    curl_easy_setopt(curl, CURLOPT_FOLLOWLOCATION, 0L);
    curl_easy_setopt(curl, CURLOPT_USERAGENT, agent.constData());
    curl_easy_setopt(curl, CURLOPT_HTTPHEADER, headers.list);
    curl_easy_setopt(curl, CURLOPT_POSTFIELDS, exchange.body.constData());
    curl_easy_setopt(curl, CURLOPT_POSTFIELDSIZE, long(exchange.body.size()));
    curl_easy_setopt(curl, CURLOPT_WRITEFUNCTION, collect);
    curl_easy_setopt(curl, CURLOPT_WRITEDATA, &exchange);
    curl_easy_setopt(curl, CURLOPT_NOPROGRESS, 0L);
    curl_easy_setopt(curl, CURLOPT_XFERINFOFUNCTION, exchangeAborted);
    curl_easy_setopt(curl, CURLOPT_XFERINFODATA, &exchange);
    curl_easy_setopt(curl, CURLOPT_CONNECTTIMEOUT_MS, exchange.connectTimeoutMs);
    curl_easy_setopt(curl, CURLOPT_TIMEOUT_MS, exchange.totalTimeoutMs);
    if (!exchange.caFile.isEmpty()) {
        curl_easy_setopt(curl, CURLOPT_CAINFO, exchange.caFile.constData());
    }
    exchange.result = curl_easy_perform(curl);
    curl_easy_getinfo(curl, CURLINFO_RESPONSE_CODE, &exchange.status);
    exchange.error = QString::fromUtf8(errorBuffer).trimmed();
    if (exchange.error.isEmpty()) {
        exchange.error = QString::fromLatin1(curl_easy_strerror(exchange.result));
    }
    curl_easy_cleanup(curl);
}

TokenAnswer settingsFault(const QString& why) {
    return TokenAnswer::failed(TokenAnswer::Kind::Refused, ErrorNumber::SignInSettings, why);
}

}  // namespace

QCoro::Task<TokenAnswer> CurlTokenEndpoint::request(const TokenRequest& request) {
    using Kind = TokenAnswer::Kind;
    const QUrl url(request.url.trimmed(), QUrl::StrictMode);
    const bool https = url.scheme() == QLatin1String("https");
    if (!url.isValid() || url.host().isEmpty() ||
        !(https ||
          (url.scheme() == QLatin1String("http") && CurlMailTransport::isLoopback(url.host())))) {
        co_return settingsFault(QStringLiteral(
            "SMTPTokenUrl must be an https:// address: Korvane sends the client secret only "
            "over an encrypted connection."));
    }
    if (request.clientId.isEmpty()) {
        co_return settingsFault(
            QStringLiteral("SMTPClientId is empty: the sign-in service needs "
                           "the client's id."));
    }
    static const CURLcode initialised = curl_global_init(CURL_GLOBAL_DEFAULT);
    Q_UNUSED(initialised);
    auto exchange = std::make_shared<Exchange>();
    exchange->url = url.toEncoded();
    exchange->body = request.body();
    exchange->caFile = request.caFile.toLocal8Bit();
    exchange->protocols = https ? "https" : "http";
    exchange->connectTimeoutMs = request.connectTimeoutMs;
    exchange->totalTimeoutMs = request.totalTimeoutMs;
    exchange->wake = eventLoopWaker();
    ++requests_;
    std::thread([exchange] {
        perform(*exchange);
        exchange->done = true;
        exchange->wake();
    }).detach();
    while (!exchange->done) {
        if (stop_ != nullptr && stop_->passed()) {
            exchange->abort = true;
            co_return TokenAnswer::failed(
                Kind::Unreachable, ErrorNumber::mailTransfer(CURLE_OPERATION_TIMEDOUT),
                QStringLiteral("Korvane is ending and the sign-in service had not answered."));
        }
        const quint64 changes = stop_ != nullptr ? stop_->changes() : 0;
        QDeadlineTimer until(QDeadlineTimer::Forever);
        if (stop_ != nullptr) {
            until = stop_->capped(until);
        }
        co_await DoneWait(
            [&] { return exchange->done || (stop_ != nullptr && stop_->changes() != changes); },
            until, life_);
    }
    if (exchange->result != CURLE_OK) {
        co_return TokenAnswer::failed(
            Kind::Unreachable, ErrorNumber::mailTransfer(exchange->result),
            QStringLiteral("The sign-in service at %1 could not be reached: %2")
                .arg(url.host(), exchange->error));
    }
    co_return readTokenAnswer(exchange->status, exchange->answer);
}

}  // namespace korvane
