#include <QTest>

#include "channels/CurlMailTransport.h"
#include "channels/MailAddress.h"
#include "channels/MailComposer.h"
#include "core/KorvaneError.h"

using namespace korvane;

// Address lists, the composed message and the SMTP URL and TLS rules: no server needed.
class MailFormatTest : public QObject {
    Q_OBJECT

private Q_SLOTS:
    void addressListsAsPeopleWriteThem() {
        const auto list = parseAddressList(
            QStringLiteral(
                " a@x.org; \"Doe, Jane\" <jane@x.org>, 'b@y.org' ;Bob Smith < bob@z.org >;"),
            QStringLiteral("To"));
        QCOMPARE(list.size(), size_t(4));
        QCOMPARE(list[0].address, QStringLiteral("a@x.org"));
        QCOMPARE(list[1].name, QStringLiteral("Doe, Jane"));
        QCOMPARE(list[1].address, QStringLiteral("jane@x.org"));
        QCOMPARE(list[2].address, QStringLiteral("b@y.org"));
        QCOMPARE(list[3].name, QStringLiteral("Bob Smith"));
        QCOMPARE(list[3].address, QStringLiteral("bob@z.org"));
        for (const QString& bad :
             {QStringLiteral("a@x.org, bob"), QStringLiteral("@x.org"), QStringLiteral("a b@x.org"),
              QStringLiteral(" ; , "), QStringLiteral("Jane <jane@x.org")}) {
            QVERIFY_THROWS_EXCEPTION(KorvaneError, parseAddressList(bad, QStringLiteral("To")));
        }
        try {
            parseAddressList(QStringLiteral("a@x.org; bob"), QStringLiteral("CC"));
        } catch (const KorvaneError& error) {
            QCOMPARE(
                errorLine(error),
                QStringLiteral("Error Occurred: 2001 --> 'bob' in CC is not an e-mail address."));
        }
    }

    void subjectCannotAddHeaders() {
        MailMessage message;
        message.from = QStringLiteral("a@korvane.test");
        message.to = QStringLiteral("b@x.test");
        message.subject = QStringLiteral("Hello\r\nBcc: evil@x.test");
        message.body = QStringLiteral("body");
        const ComposedMail mail = composeMail(message);
        QCOMPARE(mail.recipients, QList<QByteArray>{QByteArray("b@x.test")});
        const QByteArray data = mail.data->readAll();
        const QByteArray headers = data.left(data.indexOf("\r\n\r\n"));
        QVERIFY2(!headers.contains("\r\nBcc:"), headers.constData());
        QVERIFY2(headers.contains("Subject: Hello  Bcc: evil@x.test"), headers.constData());
    }

    void transportRules() {
        SmtpSettings settings;
        settings.server = QStringLiteral("mail.example.org");
        settings.port = QStringLiteral("465");
        QCOMPARE(CurlMailTransport::url(settings), QByteArray("smtps://mail.example.org:465"));
        settings.port = QStringLiteral("587");
        QCOMPARE(CurlMailTransport::url(settings), QByteArray("smtp://mail.example.org:587"));
        settings.server = QStringLiteral("::1");
        QCOMPARE(CurlMailTransport::url(settings), QByteArray("smtp://[::1]:587"));
        QVERIFY(CurlMailTransport::isLoopback(QStringLiteral("127.0.0.1")));
        QVERIFY(CurlMailTransport::isLoopback(QStringLiteral("::1")));
        QVERIFY(CurlMailTransport::isLoopback(QStringLiteral("LOCALHOST")));
        QVERIFY(!CurlMailTransport::isLoopback(QStringLiteral("10.0.0.1")));
        QVERIFY(!CurlMailTransport::isLoopback(QStringLiteral("mail.example.org")));
    }
};

QTEST_GUILESS_MAIN(MailFormatTest)
#include "tst_mailformat.moc"
