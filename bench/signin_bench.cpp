// Mail through one server that takes a password or an OAuth 2.0 bearer, answering after 20 ms:
// throughput with each sign-in, the token requests the OAuth run made, and the sign-in attempts
// that 500 waiting mails cost when the password or the client secret is wrong.
//
// signin_bench PORT TOKEN_URL CA_FILE CLIENT SECRET ATTEMPTS_FILE
#include <QCoreApplication>
#include <QFile>
#include <cstdio>

#include "BenchSupport.h"
#include "channels/CurlMailTransport.h"
#include "channels/CurlTokenEndpoint.h"
#include "channels/EmailSender.h"
#include "core/Responsive.h"

using namespace korvane;

namespace {

constexpr int kMails = 60;
constexpr int kRefusedRows = 500;

qsizetype attempts(const QString& path) {
    QFile file(path);
    return file.open(QIODevice::ReadOnly) ? file.readAll().count('\n') : 0;
}

MailMessage mail() {
    MailMessage message;
    message.from = QStringLiteral("sender@korvane.test");
    message.to = QStringLiteral("to@x.test");
    message.subject = QStringLiteral("Benchmark");
    message.body = QStringLiteral("Benchmark body");
    return message;
}

// Mails a second through a sender of its own, and the failures among them.
double throughput(const SmtpServer& account, CurlTokenEndpoint& tokens, int& failed) {
    CurlMailTransport transport;
    EmailSender sender(transport, EmailSender::Parts{nullptr, &tokens, nullptr});
    failed = 0;
    const double seconds = bench::timed([&] {
        for (int n = 0; n < kMails; ++n) {
            failed +=
                waitInPlace(sender.sendEmail(mail(), account)).delivery == Delivery::Sent ? 0 : 1;
        }
        sender.endSession();
    });
    return kMails / seconds;
}

// Sign-in attempts for a cycle's worth of mails that all meet the same refusal.
qsizetype refusedCycle(const SmtpServer& account, CurlTokenEndpoint& tokens,
                       const QString& attemptsFile, unsigned long& tokenRequests) {
    CurlMailTransport transport;
    EmailSender sender(transport, EmailSender::Parts{nullptr, &tokens, nullptr});
    const qsizetype before = attempts(attemptsFile);
    const unsigned long requestsBefore = tokens.requests();
    for (int n = 0; n < kRefusedRows; ++n) {
        waitInPlace(sender.sendEmail(mail(), account));
    }
    sender.endSession();
    tokenRequests = tokens.requests() - requestsBefore;
    return attempts(attemptsFile) - before;
}

}  // namespace

int main(int argc, char** argv) {
    QCoreApplication app(argc, argv);
    if (argc != 7) {
        std::fprintf(stderr, "usage: signin_bench PORT TOKEN_URL CA CLIENT SECRET ATTEMPTS\n");
        return 2;
    }
    const QStringList args = app.arguments();
    SmtpServer password{QStringLiteral("127.0.0.1"), args[1], QStringLiteral("bench"),
                        QStringLiteral("quill")};
    SmtpServer oauth{QStringLiteral("127.0.0.1"), args[1], QStringLiteral("sender@korvane.test"),
                     QString()};
    oauth.auth = QStringLiteral("oauth2");
    oauth.tokenUrl = args[2];
    oauth.caFile = args[3];
    oauth.clientId = args[4];
    oauth.clientSecret = args[5];
    CurlTokenEndpoint tokens;

    int failed = 0;
    const double byPassword = throughput(password, tokens, failed);
    std::printf("signin_bench password: %d mails, %.1f mails/s, %d failed\n", kMails, byPassword,
                failed);
    const unsigned long before = tokens.requests();
    const double byToken = throughput(oauth, tokens, failed);
    std::printf(
        "signin_bench oauth2: %d mails, %.1f mails/s, %d failed, %lu token request(s); "
        "oauth2 / password: %.2f\n",
        kMails, byToken, failed, tokens.requests() - before, byToken / byPassword);

    SmtpServer wrongPassword = password;
    wrongPassword.password = QStringLiteral("not-the-password");
    unsigned long tokenRequests = 0;
    std::printf(
        "signin_bench wrong password: %d waiting mails, %lld sign-in attempt(s)\n", kRefusedRows,
        static_cast<long long>(refusedCycle(wrongPassword, tokens, args[6], tokenRequests)));
    SmtpServer wrongSecret = oauth;
    wrongSecret.clientSecret = QStringLiteral("not-the-secret");
    const qsizetype signIns = refusedCycle(wrongSecret, tokens, args[6], tokenRequests);
    std::printf(
        "signin_bench wrong client secret: %d waiting mails, %lu token request(s), %lld "
        "sign-in attempt(s)\n",
        kRefusedRows, tokenRequests, static_cast<long long>(signIns));
    return 0;
}
