#include <gmime/gmime.h>

#include <QBuffer>
#include <QJsonArray>
#include <QTcpServer>
#include <QTemporaryDir>
#include <QTest>

#include "channels/CurlMailTransport.h"
#include "channels/EmailSender.h"
#include "channels/MailAddress.h"
#include "channels/MailComposer.h"
#include "core/ActivityLog.h"
#include "core/KorvaneError.h"
#include "core/Responsive.h"
#include "support/ClosedPort.h"
#include "support/FakeClock.h"
#include "support/ReceivedMessages.h"
#include "support/RecordingLogView.h"
#include "support/TempProfile.h"
#include "support/TestEnvironment.h"
#include "support/WaitFor.h"

using namespace korvane;
using test::ReceivedMessages;

namespace {

// A received message parsed back with GMime.
struct Parsed {
    QString from, to, cc, bcc, subject, body, attachmentName;
    QByteArray attachment;
    bool hasDate = false, hasMessageId = false;
};

QString addresses(InternetAddressList* list) {
    if (list == nullptr)
        return QString();
    char* text = internet_address_list_to_string(list, nullptr, FALSE);
    const QString result = QString::fromUtf8(text ? text : "");
    g_free(text);
    return result;
}

QByteArray partBytes(GMimePart* part) {
    GMimeDataWrapper* content = g_mime_part_get_content(part);
    GMimeStream* out = g_mime_stream_mem_new();
    g_mime_data_wrapper_write_to_stream(content, out);
    GByteArray* bytes = g_mime_stream_mem_get_byte_array(GMIME_STREAM_MEM(out));
    QByteArray result(reinterpret_cast<const char*>(bytes->data), static_cast<int>(bytes->len));
    g_object_unref(out);
    return result;
}

Parsed parse(const QByteArray& data) {
    Parsed parsed;
    GMimeStream* stream =
        g_mime_stream_mem_new_with_buffer(data.constData(), static_cast<size_t>(data.size()));
    GMimeParser* parser = g_mime_parser_new_with_stream(stream);
    GMimeMessage* message = g_mime_parser_construct_message(parser, nullptr);
    parsed.from = addresses(g_mime_message_get_from(message));
    parsed.to = addresses(g_mime_message_get_to(message));
    parsed.cc = addresses(g_mime_message_get_cc(message));
    parsed.bcc = QString::fromUtf8(g_mime_object_get_header(GMIME_OBJECT(message), "Bcc"));
    parsed.subject = QString::fromUtf8(g_mime_message_get_subject(message));
    parsed.hasDate = g_mime_object_get_header(GMIME_OBJECT(message), "Date") != nullptr;
    parsed.hasMessageId = g_mime_message_get_message_id(message) != nullptr;
    GMimeObject* top = g_mime_message_get_mime_part(message);
    GMimePart* text = nullptr;
    if (GMIME_IS_MULTIPART(top)) {
        text = GMIME_PART(g_mime_multipart_get_part(GMIME_MULTIPART(top), 0));
        GMimePart* file = GMIME_PART(g_mime_multipart_get_part(GMIME_MULTIPART(top), 1));
        parsed.attachmentName = QString::fromUtf8(g_mime_part_get_filename(file));
        parsed.attachment = partBytes(file);
    } else {
        text = GMIME_PART(top);
    }
    parsed.body = QString::fromUtf8(partBytes(text));
    g_object_unref(message);
    g_object_unref(parser);
    g_object_unref(stream);
    return parsed;
}

}  // namespace

class EmailTest : public QObject {
    Q_OBJECT

    test::TempProfile profile_;
    test::FakeClock clock_;
    test::RecordingLogView view_;
    ActivityLog log_{profile_.logsDir(), clock_, &view_};
    CurlMailTransport transport_;
    QString port_, authPort_, store_, authStore_;

    // Sends as the test actions do: a failure line is logged, in a message box when asked.
    Delivery send(EmailSender& sender, const QString& from, const QString& to, const QString& cc,
                  const QString& bcc, const QString& attachment, const QString& subject,
                  const QString& body, const QString& server, const QString& port,
                  const QString& user, const QString& password, bool show) {
        MailMessage message;
        message.from = from;
        message.to = to;
        message.cc = cc;
        message.bcc = bcc;
        message.attachmentPath = attachment;
        message.subject = subject;
        message.body = body;
        const SendResult result =
            waitInPlace(sender.sendEmail(message, SmtpServer{server, port, user, password}));
        if (!result.failure.isEmpty()) {
            log_.WriteLog(result.failure, true, show);
        }
        return result.delivery;
    }

    QStringList takeLog() {
        const QStringList lines = view_.pane.split(QStringLiteral("\r\n"), Qt::SkipEmptyParts);
        view_.pane.clear();
        return lines;
    }

private Q_SLOTS:
    void initTestCase() {
        KORVANE_REQUIRE_ENV("KORVANE_TEST_SMTP_PORT");
        port_ = test::TestEnvironment::value("KORVANE_TEST_SMTP_PORT");
        authPort_ = test::TestEnvironment::value("KORVANE_TEST_SMTP_AUTH_PORT");
        store_ = test::TestEnvironment::value("KORVANE_TEST_SMTP_STORE");
        authStore_ = test::TestEnvironment::value("KORVANE_TEST_SMTP_AUTH_STORE");
        g_mime_init();
    }
    void init() {
        view_.pane.clear();
        view_.messages.clear();
        ReceivedMessages::clearMail(store_);
        ReceivedMessages::clearMail(authStore_);
    }

    void deliveredMessageIsWhatWasAsked() {
        QTemporaryDir dir;
        const QString path = dir.filePath(QStringLiteral("Rapport März €.pdf"));
        QByteArray payload;
        for (int i = 0; i < 70000; ++i) payload.append(static_cast<char>(i * 7));
        QFile file(path);
        QVERIFY(file.open(QIODevice::WriteOnly));
        file.write(payload);
        file.close();

        EmailSender sender(transport_);
        const QString body = QStringLiteral("Grüße aus Köln\nline two\r\n.\nend with dot line");
        QVERIFY(Delivery::Sent ==
                send(sender, QStringLiteral("Sender <from@korvane.test>"),
                     QStringLiteral("to1@x.test; \"Doe, Jane\" <to2@x.test>"),
                     QStringLiteral("  cc@x.test  "), QStringLiteral("hidden@x.test"),
                     QStringLiteral(" ") + path + QStringLiteral(" "),
                     QStringLiteral("Zahlung für Bestellung № 42"), body,
                     QStringLiteral("127.0.0.1"), port_, QString(), QString(), false));
        QVERIFY(takeLog().isEmpty());
        const QList<QJsonObject> got = ReceivedMessages::mail(store_);
        QCOMPARE(got.size(), 1);
        QCOMPARE(got[0][QStringLiteral("mail_from")].toString(),
                 QStringLiteral("from@korvane.test"));
        QStringList rcpts;
        for (const auto& r : got[0][QStringLiteral("rcpt_tos")].toArray()) rcpts << r.toString();
        QCOMPARE(rcpts,
                 (QStringList{QStringLiteral("to1@x.test"), QStringLiteral("to2@x.test"),
                              QStringLiteral("cc@x.test"), QStringLiteral("hidden@x.test")}));
        const QByteArray raw = got[0][QStringLiteral("data")].toString().toLatin1();
        for (char c : raw) QVERIFY2(static_cast<unsigned char>(c) < 0x80, "message must be 7-bit");
        const Parsed parsed = parse(raw);
        QCOMPARE(parsed.from, QStringLiteral("Sender <from@korvane.test>"));
        QVERIFY2(parsed.to.contains(QStringLiteral("to1@x.test")) &&
                     parsed.to.contains(QStringLiteral("to2@x.test")),
                 qPrintable(parsed.to));
        QCOMPARE(parsed.cc, QStringLiteral("cc@x.test"));
        QVERIFY(parsed.bcc.isEmpty());
        QVERIFY(!raw.contains("hidden@x.test"));
        QCOMPARE(parsed.subject, QStringLiteral("Zahlung für Bestellung № 42"));
        QCOMPARE(QString(parsed.body).replace(QStringLiteral("\r\n"), QStringLiteral("\n")),
                 QStringLiteral("Grüße aus Köln\nline two\n.\nend with dot line"));
        QCOMPARE(parsed.attachmentName, QStringLiteral("Rapport März €.pdf"));
        QCOMPARE(parsed.attachment, payload);
        QVERIFY(parsed.hasDate);
        QVERIFY(parsed.hasMessageId);

        // An attachment that is no ordinary file is an error, never silently left out.
        const QJsonValue firstConnection = got[0][QStringLiteral("peer")];
        ReceivedMessages::clearMail(store_);
        for (const QString& notAFile : {dir.filePath(QStringLiteral("none.pdf")), dir.path()}) {
            QVERIFY(Delivery::Refused ==
                    send(sender, QStringLiteral("from@korvane.test"), QStringLiteral("to@x.test"),
                         {}, {}, notAFile, QString(), QStringLiteral("x"),
                         QStringLiteral("127.0.0.1"), port_, QString(), QString(), false));
            QCOMPARE(takeLog(), QStringList{QStringLiteral("Error Occurred: 2002 --> Attachment "
                                                           "'%1' is not an ordinary file.")
                                                .arg(notAFile)});
        }
        // Blank CC and BCC are left out.
        QVERIFY(Delivery::Sent == send(sender, QStringLiteral("from@korvane.test"),
                                       QStringLiteral("to@x.test"), QStringLiteral("   "),
                                       QStringLiteral(" "), QString(), QString(),
                                       QStringLiteral("plain"), QStringLiteral("127.0.0.1"), port_,
                                       QString(), QString(), false));
        QVERIFY(takeLog().isEmpty());
        const QList<QJsonObject> plain = ReceivedMessages::mail(store_);
        QCOMPARE(plain.size(), 1);
        QCOMPARE(plain[0][QStringLiteral("rcpt_tos")].toArray().size(), 1);
        QVERIFY(
            parse(plain[0][QStringLiteral("data")].toString().toLatin1()).attachmentName.isEmpty());

        // Both went over one connection; the next session has a connection of its own.
        QCOMPARE(plain[0][QStringLiteral("peer")], firstConnection);
        sender.endSession();
        QVERIFY(Delivery::Sent == send(sender, QStringLiteral("from@korvane.test"),
                                       QStringLiteral("to@x.test"), {}, {}, {}, QString(),
                                       QStringLiteral("again"), QStringLiteral("127.0.0.1"), port_,
                                       QString(), QString(), false));
        QVERIFY(ReceivedMessages::mail(store_).last()[QStringLiteral("peer")] != firstConnection);
    }

    void loginOnlyWithAUserName() {
        EmailSender sender(transport_);
        const QString user = test::TestEnvironment::value("KORVANE_TEST_SMTP_AUTH_USER");
        const QString password = test::TestEnvironment::value("KORVANE_TEST_SMTP_AUTH_PASSWORD");
        QVERIFY(Delivery::Sent ==
                send(sender, QStringLiteral("a@korvane.test"), QStringLiteral("b@x.test"), {}, {},
                     {}, QStringLiteral("auth"), QStringLiteral("body"),
                     QStringLiteral("localhost"), authPort_, user, password, false));
        QCOMPARE(ReceivedMessages::mail(authStore_).size(), 1);

        QVERIFY(Delivery::Sent !=
                send(sender, QStringLiteral("a@korvane.test"), QStringLiteral("b@x.test"), {}, {},
                     {}, QStringLiteral("auth"), QStringLiteral("body"),
                     QStringLiteral("127.0.0.1"), authPort_, user, QStringLiteral("wrong"), true));
        QStringList log = takeLog();
        QCOMPARE(log.size(), 1);
        QVERIFY2(log[0].startsWith(QStringLiteral("Error Occurred: 2167 --> ")),
                 qPrintable(log[0]));
        QVERIFY2(log[0].contains(QStringLiteral("535")), qPrintable(log[0]));
        QVERIFY(!log[0].contains(QStringLiteral("wrong")));
        QCOMPARE(view_.messages, log);

        // Without a user name nothing authenticates, and the server asks for it.
        QVERIFY(Delivery::Sent !=
                send(sender, QStringLiteral("a@korvane.test"), QStringLiteral("b@x.test"), {}, {},
                     {}, QStringLiteral("auth"), QStringLiteral("body"),
                     QStringLiteral("127.0.0.1"), authPort_, QString(), password, false));
        log = takeLog();
        QCOMPARE(log.size(), 1);
        QVERIFY2(log[0].contains(QStringLiteral("530")), qPrintable(log[0]));
        QCOMPARE(ReceivedMessages::mail(authStore_).size(), 1);
    }

    // Against aiosmtpd taking XOAUTH2 alone and a token endpoint over HTTPS with the run's
    // own CA (SMTPCAFile): three mails on one token; a wrong secret is refused with the
    // endpoint's words; a password is refused by the server. No secret in any line.
    void oauth2ThroughATokenEndpointOverHttps() {
        KORVANE_REQUIRE_ENV("KORVANE_TEST_TOKEN_URL");
        const QString store = test::TestEnvironment::value("KORVANE_TEST_SMTP_OAUTH_STORE");
        QFile requests(test::TestEnvironment::value("KORVANE_TEST_TOKEN_REQUESTS"));
        const auto requestCount = [&requests] {
            return requests.open(QIODevice::ReadOnly) ? requests.readAll().count('\n') : 0;
        };
        const qsizetype before = requestCount();
        requests.close();
        // The store outlives one run of the suite (the sanitizer pass runs it again).
        const qsizetype stored = ReceivedMessages::mail(store).size();
        SmtpServer account{QStringLiteral("127.0.0.1"),
                           test::TestEnvironment::value("KORVANE_TEST_SMTP_OAUTH_PORT"),
                           QStringLiteral("sender@korvane.test"), QString()};
        account.auth = QStringLiteral("oauth2");
        account.tokenUrl = test::TestEnvironment::value("KORVANE_TEST_TOKEN_URL");
        account.clientId = test::TestEnvironment::value("KORVANE_TEST_TOKEN_CLIENT");
        account.clientSecret = test::TestEnvironment::value("KORVANE_TEST_TOKEN_SECRET");
        account.caFile = test::TestEnvironment::value("KORVANE_TEST_CA");
        MailMessage message;
        message.from = QStringLiteral("sender@korvane.test");
        message.to = QStringLiteral("to@x.test");
        message.subject = QStringLiteral("oauth");
        message.body = QStringLiteral("body");
        EmailSender sender(transport_);
        for (int n = 0; n < 3; ++n) {
            const SendResult sent = waitInPlace(sender.sendEmail(message, account));
            QVERIFY2(sent.delivery == Delivery::Sent, qPrintable(sent.failure));
        }
        sender.endSession();
        QCOMPARE(ReceivedMessages::mail(store).size() - stored, 3);
        QCOMPARE(requestCount() - before, 1);

        SmtpServer wrong = account;
        wrong.clientSecret = QStringLiteral("not-the-secret");
        const SendResult refused = waitInPlace(sender.sendEmail(message, wrong));
        QCOMPARE(int(refused.delivery), int(Delivery::AccountRefused));
        QCOMPARE(refused.failure,
                 QStringLiteral("Error Occurred: 2004 --> The sign-in service refused Korvane's "
                                "request: invalid_client (AADSTS7000215: Invalid client secret "
                                "provided.)"));
        SmtpServer untrusted = account;
        untrusted.caFile.clear();  // the system's store does not know the run's CA
        const SendResult unverified = waitInPlace(sender.sendEmail(message, untrusted));
        QVERIFY2(unverified.passing() && unverified.failure.contains(QStringLiteral("certificate")),
                 qPrintable(unverified.failure));
        SmtpServer password{account.server, account.port, account.userName,
                            QStringLiteral("a-password")};
        const SendResult byPassword = waitInPlace(sender.sendEmail(message, password));
        QVERIFY2(byPassword.failure.startsWith(QStringLiteral("Error Occurred: 2167 --> ")),
                 qPrintable(byPassword.failure));
        for (const SendResult& result : {refused, unverified, byPassword}) {
            QVERIFY(!result.failure.contains(account.clientSecret));
            QVERIFY(!result.failure.contains(QStringLiteral("a-password")));
        }
        QCOMPARE(ReceivedMessages::mail(store).size() - stored, 3);
    }

    void failuresGiveCurlCodeAndText() {
        EmailSender sender(transport_);
        sender.setTimeouts(5000, 5000, 10000);
        auto attempt = [&](const QString& to, const QString& server, const QString& port) {
            const bool sent =
                Delivery::Sent == send(sender, QStringLiteral("a@korvane.test"), to, {}, {}, {},
                                       QStringLiteral("s"), QStringLiteral("b"), server, port, {},
                                       {}, false);
            const QStringList log = takeLog();
            return sent || log.size() != 1 ? QStringLiteral("unexpected") : log[0];
        };
        const QString closed = test::closedPort();

        QString line = attempt(QStringLiteral("b@x.test"), QStringLiteral("127.0.0.1"), closed);
        QVERIFY2(line.startsWith(QStringLiteral("Error Occurred: 2107 --> ")), qPrintable(line));
        line = attempt(QStringLiteral("reject@x.test"), QStringLiteral("127.0.0.1"), port_);
        QVERIFY2(line.startsWith(QStringLiteral("Error Occurred: 2155 --> ")) &&
                     line.contains(QStringLiteral("550 5.1.1 Mailbox unavailable")),
                 qPrintable(line));
        line =
            attempt(QStringLiteral("b@x.test"), QStringLiteral("127.0.0.1"), QStringLiteral("25x"));
        QVERIFY2(line.startsWith(QStringLiteral("Error Occurred: 2103 --> ")), qPrintable(line));
        line = attempt(QStringLiteral("b@x.test, nobody"), QStringLiteral("127.0.0.1"), port_);
        QCOMPARE(line, QStringLiteral(
                           "Error Occurred: 2001 --> 'nobody' in To is not an e-mail address."));
        QVERIFY(ReceivedMessages::mail(store_).isEmpty());

        // After the data only a refusal of it is definite; silence leaves the mail in doubt.
        sender.setTimeouts(5000, 500, 10000);
        auto deliver = [&](const QString& to) {
            return send(sender, QStringLiteral("a@korvane.test"), to, {}, {}, {},
                        QStringLiteral("s"), QStringLiteral("b"), QStringLiteral("127.0.0.1"),
                        port_, {}, {}, false);
        };
        QVERIFY(deliver(QStringLiteral("refuse@x.test")) == Delivery::Refused);
        line = takeLog().value(0);
        QVERIFY2(line.contains(QStringLiteral("554")), qPrintable(line));
        QVERIFY(deliver(QStringLiteral("stall@x.test")) == Delivery::InDoubt);
        line = takeLog().value(0);
        QVERIFY2(line.startsWith(QStringLiteral("Error Occurred: 2128 --> ")) &&
                     line.endsWith(QStringLiteral("The message may have been sent.")),
                 qPrintable(line));
        QCOMPARE(ReceivedMessages::mail(store_).size(), 1);
        QVERIFY(view_.messages.isEmpty());
    }

    // The transport destroyed while a mail waits for its reply (the program ending): the
    // wait never runs on into what is gone, past the reply's limit included.
    void transportGoneWhileAMailWaits() {
        SmtpSettings settings;
        settings.server = QStringLiteral("127.0.0.1");
        settings.port = port_;
        settings.responseTimeoutMs = 30;
        QByteArray bytes("Subject: gone\r\n\r\nbody\r\n");
        QBuffer data(&bytes);
        data.open(QIODevice::ReadOnly);
        auto transport = std::make_unique<CurlMailTransport>();
        const QCoro::Task<QString> sending =
            transport->send(settings, "a@korvane.test", {"stall@x.test"}, data);
        QVERIFY(test::waitFor([&] { return ReceivedMessages::mail(store_).size() == 1; }));
        transport.reset();
        test::idleFor(60);
        QVERIFY(!sending.isReady());
    }
};

QTEST_GUILESS_MAIN(EmailTest)
#include "tst_email.moc"
