// 500 SMS and 200 e-mails to the local servers, one session each, beside a plain libcurl loop
// sending the same mails: messages per second.
#include <curl/curl.h>

#include <QDir>
#include <QTemporaryDir>
#include <cstring>

#include "BenchSupport.h"
#include "channels/EmailSender.h"
#include "channels/MailComposer.h"
#include "channels/SmsSender.h"
#include "core/ActivityLog.h"
#include "core/Clock.h"

using namespace korvane;

namespace {

struct Upload {
    const QByteArray* data;
    qsizetype offset;
};

size_t readUpload(char* buffer, size_t size, size_t count, void* user) {
    auto* upload = static_cast<Upload*>(user);
    const size_t chunk =
        std::min(size * count, static_cast<size_t>(upload->data->size() - upload->offset));
    std::memcpy(buffer, upload->data->constData() + upload->offset, chunk);
    upload->offset += static_cast<qsizetype>(chunk);
    return chunk;
}

// The floor: libcurl alone, one connection per message, the message composed once.
double plainCurl(const QString& port, int count) {
    MailMessage message;
    message.from = QStringLiteral("bench@korvane.test");
    message.to = QStringLiteral("to@x.test");
    message.subject = QStringLiteral("Benchmark");
    message.body = QStringLiteral("Benchmark body");
    const ComposedMail mail = composeMail(message);
    const QByteArray url = "smtp://127.0.0.1:" + port.toLatin1();
    return bench::timed([&] {
        for (int i = 0; i < count; ++i) {
            CURL* curl = curl_easy_init();
            curl_slist* rcpt = curl_slist_append(nullptr, "<to@x.test>");
            Upload upload{&mail.data, 0};
            curl_easy_setopt(curl, CURLOPT_URL, url.constData());
            curl_easy_setopt(curl, CURLOPT_MAIL_FROM, "<bench@korvane.test>");
            curl_easy_setopt(curl, CURLOPT_MAIL_RCPT, rcpt);
            curl_easy_setopt(curl, CURLOPT_UPLOAD, 1L);
            curl_easy_setopt(curl, CURLOPT_READFUNCTION, readUpload);
            curl_easy_setopt(curl, CURLOPT_READDATA, &upload);
            curl_easy_perform(curl);
            curl_slist_free_all(rcpt);
            curl_easy_cleanup(curl);
        }
    });
}

}  // namespace

int main(int argc, char** argv) {
    QCoreApplication app(argc, argv);
    const QString smppPort = bench::env("KORVANE_TEST_SMPP_PORT");
    const QString smtpPort = bench::env("KORVANE_TEST_SMTP_PORT");
    const QString mailStore = bench::env("KORVANE_TEST_SMTP_STORE");

    SmsSender sms;
    const SmsGateway gateway{QStringLiteral("127.0.0.1"), smppPort, QStringLiteral("bench"),
                             QStringLiteral("quill")};
    const int smsCount = 500;
    int smsSent = 0;
    const double smsSeconds = bench::timed([&] {
        for (int i = 0; i < smsCount; ++i) {
            smsSent += sms.send(gateway, QStringLiteral("+447700900123"),
                                QStringLiteral("Benchmark message %1").arg(i))
                           .delivery == Delivery::Sent;
        }
    });
    std::printf("channel_bench SMS:   %d/%d sent, %.0f messages/s (%.2f ms each)\n", smsSent,
                smsCount, smsCount / smsSeconds, 1000 * smsSeconds / smsCount);

    CurlMailTransport transport;
    EmailSender email(transport);
    MailMessage message;
    message.from = QStringLiteral("bench@korvane.test");
    message.to = QStringLiteral("to@x.test");
    message.subject = QStringLiteral("Benchmark");
    message.body = QStringLiteral("Benchmark body");
    const SmtpServer server{QStringLiteral("127.0.0.1"), smtpPort, {}, {}};
    const int mailCount = 200;
    int mailSent = 0;
    const double mailSeconds = bench::timed([&] {
        for (int i = 0; i < mailCount; ++i) {
            mailSent += email.sendEmail(message, server).delivery == Delivery::Sent;
        }
    });
    const double curlSeconds = plainCurl(smtpPort, mailCount);
    std::printf(
        "channel_bench Email: %d/%d sent, %.0f messages/s (%.2f ms each); plain libcurl %.0f "
        "messages/s "
        "(%.2f ms each); ratio %.2f\n",
        mailSent, mailCount, mailCount / mailSeconds, 1000 * mailSeconds / mailCount,
        mailCount / curlSeconds, 1000 * curlSeconds / mailCount, mailSeconds / curlSeconds);
    QDir(mailStore).removeRecursively();
    QDir().mkpath(mailStore);
    return 0;
}
