#include "channels/CurlWorker.h"

#include <curl/curl.h>
#include <sys/socket.h>
#include <unistd.h>

#include <QDeadlineTimer>
#include <chrono>
#include <memory>

#include "channels/SmtpTransfer.h"

namespace korvane {

namespace {

constexpr auto kQuitPatience = std::chrono::seconds(2);

struct SlistDeleter {
    void operator()(curl_slist* list) const { curl_slist_free_all(list); }
};
using Slist = std::unique_ptr<curl_slist, SlistDeleter>;

// What one perform saw, from curl's callbacks.
struct Watch {
    SmtpTransfer* transfer = nullptr;
    qint64 read = 0;
    qint64 sent = 0;  // body bytes written to the connection
};

size_t readUpload(char* buffer, size_t size, size_t count, void* user) {
    auto* watch = static_cast<Watch*>(user);
    SmtpTransfer& transfer = *watch->transfer;
    const std::lock_guard<std::mutex> lock(transfer.dataMutex);
    if (transfer.data == nullptr || transfer.abort) {
        return CURL_READFUNC_ABORT;
    }
    const qint64 got =
        transfer.data->read(buffer, static_cast<qint64>(size) * static_cast<qint64>(count));
    if (got < 0) {
        return CURL_READFUNC_ABORT;
    }
    watch->read += got;
    return static_cast<size_t>(got);
}

int watchExchange(CURL*, curl_infotype type, char* data, size_t size, void* user) {
    auto* watch = static_cast<Watch*>(user);
    SmtpTransfer& transfer = *watch->transfer;
    if (type == CURLINFO_HEADER_IN || type == CURLINFO_HEADER_OUT || type == CURLINFO_DATA_OUT) {
        const qint64 due = QDeadlineTimer(transfer.responseTimeoutMs).deadlineNSecs();
        // Sooner than the window's thread waits for (the first exchange after connecting,
        // which ends the connect's allowance): it wakes to wait for the new time.
        if (due < transfer.replyDueNs.exchange(due) && transfer.wake) {
            transfer.wake();
        }
    }
    if (type == CURLINFO_DATA_OUT) {
        watch->sent += static_cast<qint64>(size);
    }
    if (type == CURLINFO_HEADER_IN && size >= 3) {
        const QByteArray line = QByteArray(data, static_cast<qsizetype>(size)).trimmed();
        if (line.startsWith("354")) {
            transfer.dataAnswered = true;
        } else if (data[0] == '4' || data[0] == '5') {
            transfer.refusal = line;
        }
    }
    return 0;
}

int transferAborted(void* user, curl_off_t, curl_off_t, curl_off_t, curl_off_t) {
    return static_cast<Watch*>(user)->transfer->abort ? 1 : 0;
}

// A refusal the server gave and stands by: the connection is good for the next message. A
// timeout, a cut, a broken exchange or a server closing ("421") leave it in a state nobody
// knows, so it is closed.
bool keepsConnection(const SmtpTransfer& transfer) {
    if (transfer.result == CURLE_OK) {
        return true;
    }
    switch (transfer.result) {
        case CURLE_OPERATION_TIMEDOUT:
        case CURLE_ABORTED_BY_CALLBACK:
        case CURLE_GOT_NOTHING:
        case CURLE_RECV_ERROR:
        case CURLE_READ_ERROR:
            return false;
        default:
            return !transfer.abort && !transfer.refusal.isEmpty() &&
                   !transfer.refusal.startsWith("421");
    }
}

}  // namespace

CurlWorker::CurlWorker(std::function<void()> onDone) : onDone_(std::move(onDone)) {
    static const CURLcode initialised = curl_global_init(CURL_GLOBAL_DEFAULT);
    Q_UNUSED(initialised);
    thread_ = std::thread([this] { run(); });
}

CurlWorker::~CurlWorker() {
    queue_.quit();
    // A server slow to answer QUIT gets a moment; the program does not wait longer.
    if (!queue_.waitFor(kQuitPatience, [this] { return finished_; })) {
        cut();
    }
    thread_.join();
}

void CurlWorker::start(std::shared_ptr<SmtpTransfer> transfer) {
    queue_.post([this, transfer = std::move(transfer)] {
        perform(*transfer);
        transfer->done = true;
        onDone_();
    });
}

void CurlWorker::close() {
    queue_.post([this] {
        queue_.locked([this] { closing_ = true; });
        closeConnection(true);
        queue_.locked([this] { closing_ = false; });
    });
}

void CurlWorker::cut() {
    queue_.locked([this] {
        if (socket_ >= 0) {
            ::shutdown(socket_, SHUT_RDWR);
        }
    });
}

void CurlWorker::cutIfClosing() {
    queue_.locked([this] {
        if (closing_ && socket_ >= 0) {
            ::shutdown(socket_, SHUT_RDWR);
        }
    });
}

void CurlWorker::abandon() {
    queue_.quit(true);
    thread_.detach();
}

void CurlWorker::run() {
    queue_.run();
    closeConnection(true);
    queue_.change([this] { finished_ = true; });
}

void CurlWorker::closeConnection(bool politely) {
    if (curl_ == nullptr) {
        return;
    }
    if (!politely) {
        cut();  // QUIT on a connection in an unknown state would only wait again
    }
    curl_easy_cleanup(static_cast<CURL*>(curl_));
    curl_ = nullptr;
}

int CurlWorker::openSocket(void* self, int purpose, void* address) {
    auto* worker = static_cast<CurlWorker*>(self);
    const auto* at = static_cast<curl_sockaddr*>(address);
    if (purpose != CURLSOCKTYPE_IPCXN) {
        return CURL_SOCKET_BAD;
    }
    const int socket = ::socket(at->family, at->socktype, at->protocol);
    if (socket >= 0) {
        worker->queue_.locked([&] {
            worker->socket_ = socket;
            ++worker->connections_;
        });
    }
    return socket;
}

int CurlWorker::closeSocket(void* self, int socket) {
    auto* worker = static_cast<CurlWorker*>(self);
    worker->queue_.locked([&] {
        if (worker->socket_ == socket) {
            worker->socket_ = -1;
        }
    });
    return ::close(socket);
}

void CurlWorker::setOptions(void* handle, SmtpTransfer& transfer, void* watchData,
                            void* recipientList, char* errorBuffer) {
    CURL* curl = static_cast<CURL*>(handle);
    auto* recipients = static_cast<curl_slist*>(recipientList);
    auto& watch = *static_cast<Watch*>(watchData);
    curl_easy_setopt(curl, CURLOPT_ERRORBUFFER, errorBuffer);
    curl_easy_setopt(curl, CURLOPT_NOSIGNAL, 1L);
    curl_easy_setopt(curl, CURLOPT_URL, transfer.url.constData());
    curl_easy_setopt(curl, CURLOPT_MAIL_FROM, transfer.from.constData());
    curl_easy_setopt(curl, CURLOPT_MAIL_RCPT, recipients);
    curl_easy_setopt(curl, CURLOPT_UPLOAD, 1L);
    curl_easy_setopt(curl, CURLOPT_READFUNCTION, readUpload);
    curl_easy_setopt(curl, CURLOPT_READDATA, &watch);
    curl_easy_setopt(curl, CURLOPT_INFILESIZE_LARGE, static_cast<curl_off_t>(transfer.size));
    curl_easy_setopt(curl, CURLOPT_DEBUGFUNCTION, watchExchange);
    curl_easy_setopt(curl, CURLOPT_DEBUGDATA, &watch);
    curl_easy_setopt(curl, CURLOPT_VERBOSE, 1L);  // feeds watchExchange; nothing is printed
    curl_easy_setopt(curl, CURLOPT_NOPROGRESS, 0L);
    curl_easy_setopt(curl, CURLOPT_XFERINFOFUNCTION, transferAborted);
    curl_easy_setopt(curl, CURLOPT_XFERINFODATA, &watch);
    curl_easy_setopt(curl, CURLOPT_OPENSOCKETFUNCTION, openSocket);
    curl_easy_setopt(curl, CURLOPT_OPENSOCKETDATA, this);
    curl_easy_setopt(curl, CURLOPT_CLOSESOCKETFUNCTION, closeSocket);
    curl_easy_setopt(curl, CURLOPT_CLOSESOCKETDATA, this);
    curl_easy_setopt(curl, CURLOPT_CONNECTTIMEOUT_MS, transfer.connectTimeoutMs);
    // Whole seconds only in this libcurl: the transport's own watch holds the milliseconds.
    curl_easy_setopt(curl, CURLOPT_SERVER_RESPONSE_TIMEOUT,
                     (transfer.responseTimeoutMs + 999) / 1000);
    curl_easy_setopt(curl, CURLOPT_TIMEOUT_MS, transfer.totalTimeoutMs);
    // "Try" alone would fall back to sending the password in clear over the network.
    curl_easy_setopt(curl, CURLOPT_USE_SSL,
                     transfer.tlsRequired ? static_cast<long>(CURLUSESSL_ALL)
                                          : static_cast<long>(CURLUSESSL_TRY));
    if (!transfer.caFile.isEmpty()) {
        curl_easy_setopt(curl, CURLOPT_CAINFO, transfer.caFile.constData());
    }
    if (transfer.withCredentials) {
        curl_easy_setopt(curl, CURLOPT_USERNAME, transfer.user.constData());
        if (!transfer.bearer.isEmpty()) {
            // libcurl prefers OAUTHBEARER where a server offers both; the providers want this.
            curl_easy_setopt(curl, CURLOPT_XOAUTH2_BEARER, transfer.bearer.constData());
            curl_easy_setopt(curl, CURLOPT_LOGIN_OPTIONS, "AUTH=XOAUTH2");
            curl_easy_setopt(curl, CURLOPT_SASL_IR, 1L);
        } else if (!transfer.password.isEmpty()) {
            curl_easy_setopt(curl, CURLOPT_PASSWORD, transfer.password.constData());
        }
    }
}

void CurlWorker::perform(SmtpTransfer& transfer) {
    if (curl_ == nullptr) {
        curl_ = curl_easy_init();
    }
    CURL* curl = static_cast<CURL*>(curl_);
    Slist rcpt;
    for (const QByteArray& recipient : transfer.recipients) {
        curl_slist* longer = curl ? curl_slist_append(rcpt.get(), recipient.constData()) : nullptr;
        if (longer == nullptr) {
            transfer.result = curl ? CURLE_OUT_OF_MEMORY : CURLE_FAILED_INIT;
            transfer.error =
                QString::fromLatin1(curl_easy_strerror(static_cast<CURLcode>(transfer.result)));
            return;
        }
        static_cast<void>(rcpt.release());  // the same list, now held through longer
        rcpt.reset(longer);
    }
    // The handle keeps its connection for the next mail; every option is set anew.
    curl_easy_reset(curl);
    char errorBuffer[CURL_ERROR_SIZE] = {0};
    Watch watch{&transfer};
    setOptions(curl, transfer, &watch, rcpt.get(), errorBuffer);
    const CURLcode result = curl_easy_perform(curl);
    transfer.result = result;
    curl_easy_getinfo(curl, CURLINFO_RESPONSE_CODE, &transfer.reply);
    long connects = 0;
    curl_easy_getinfo(curl, CURLINFO_NUM_CONNECTS, &connects);
    transfer.reusedConnection = connects == 0;
    transfer.error = QString::fromUtf8(errorBuffer).trimmed();
    if (transfer.error.isEmpty() && result != CURLE_OK) {
        transfer.error = QString::fromUtf8(curl_easy_strerror(result));
    }
    // Only a body that went out whole can be delivered: the final dot follows the last byte.
    transfer.bodyComplete = watch.read == transfer.size && watch.sent >= transfer.size;
    transfer.connectionKept = keepsConnection(transfer);
    if (!transfer.connectionKept) {
        closeConnection(false);
    }
}

}  // namespace korvane
