#include <signal.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

#include <QJsonDocument>
#include <QJsonObject>
#include <QProcess>
#include <QTcpServer>
#include <QtTest>

#include "core/SettingsStore.h"
#include "support/ReceivedMessages.h"
#include "support/TempProfile.h"
#include "support/TestDatabase.h"
#include "support/TestEnvironment.h"

using namespace korvane;
using test::TestDatabase;

namespace {

int freePort() {
    QTcpServer probe;
    probe.listen(QHostAddress::LocalHost);
    return probe.serverPort();
}

}  // namespace

class ServiceRunTest : public QObject {
    Q_OBJECT

private Q_SLOTS:
    // Headless under a service manager, with metrics on: the manager hears READY, STATUS,
    // WATCHDOG and STOPPING, and a scrape counts exactly what the peers got and the rows say.
    void serviceManagerAndScrape() {
        KORVANE_REQUIRE_ENV("KORVANE_TEST_KORVANE_BINARY");
        TestDatabase db(TestDatabase::Kind::SQLite);
        db.recreate();
        auto sms = [&](int id, const QString& number) {
            db.insert({{QStringLiteral("RecId"), id},
                       {QStringLiteral("MessageType"), QStringLiteral("SMS")},
                       {QStringLiteral("MessageText"), QStringLiteral("metrics %1").arg(id)},
                       {QStringLiteral("MobileNo"), number}});
        };
        sms(1, QStringLiteral("+447700911001"));
        sms(2, QStringLiteral("+447700911002"));
        sms(3, QStringLiteral("+447700999003"));  // the gateway refuses it
        db.insert({{QStringLiteral("RecId"), 4},
                   {QStringLiteral("MessageType"), QStringLiteral("EMAIL")},
                   {QStringLiteral("MessageText"), QStringLiteral("body")},
                   {QStringLiteral("EmailTo"), QStringLiteral("ops@example.org")},
                   {QStringLiteral("EmailFrom"), QStringLiteral("korvane@example.org")}});
        const QString store = test::TestEnvironment::value("KORVANE_TEST_SMPP_STORE");
        const qint64 mark = test::ReceivedMessages::smsMark(store);

        test::TempProfile profile;
        {
            SettingsStore settings;
            auto set = [&](const char* section, const char* key, const QString& value) {
                settings.write(QLatin1String(section), QLatin1String(key), value);
            };
            set("DSNSettings", "DSNName", db.dsn());
            set("DSNSettings", "DSNType", QStringLiteral("Sys"));
            set("Telvoro", "CellServer", QStringLiteral("127.0.0.1"));
            set("Telvoro", "CellPort", test::TestEnvironment::value("KORVANE_TEST_SMPP_PORT"));
            set("Email", "SMTPServer", QStringLiteral("127.0.0.1"));
            set("Email", "SMTPPort", test::TestEnvironment::value("KORVANE_TEST_SMTP_PORT"));
            set("Application", "RunAppOnStartup", QStringLiteral("1"));
        }
        const int notify = ::socket(AF_UNIX, SOCK_DGRAM | SOCK_NONBLOCK, 0);
        sockaddr_un address{};
        address.sun_family = AF_UNIX;
        const QByteArray path = profile.path(QStringLiteral("notify")).toLocal8Bit();
        std::memcpy(address.sun_path, path.constData(), size_t(path.size()));
        QCOMPARE(::bind(notify, reinterpret_cast<sockaddr*>(&address), sizeof(address)), 0);

        const int port = freePort();
        QProcessEnvironment env = profile.programEnvironment();
        env.insert(QStringLiteral("NOTIFY_SOCKET"), QString::fromLocal8Bit(path));
        env.insert(QStringLiteral("WATCHDOG_USEC"), QStringLiteral("200000"));
        env.insert(QStringLiteral("KORVANE_METRICS"), QString::number(port));
        QProcess korvane;
        korvane.setProcessEnvironment(env);
        korvane.start(
            profile.installedProgram(test::TestEnvironment::value("KORVANE_TEST_KORVANE_BINARY")),
            QStringList());
        QVERIFY(korvane.waitForStarted());
        QTRY_COMPARE_WITH_TIMEOUT(db.count(QStringLiteral("ProcessStatus IS NOT NULL AND "
                                                          "ProcessStatus <> 'Message Is Being "
                                                          "Sent.'")),
                                  4, 30000);

        QProcess scrape;
        scrape.start(QStringLiteral("/usr/bin/python3"),
                     {QStringLiteral(KORVANE_SOURCE_DIR "/tests/app/scrape_metrics.py"),
                      QString::number(port)});
        QVERIFY(scrape.waitForFinished(20000));
        const QJsonObject scraped =
            QJsonDocument::fromJson(scrape.readAllStandardOutput()).object();
        const QJsonObject messages = scraped[QStringLiteral("messages")].toObject();
        QCOMPARE(messages[QStringLiteral("sms sent")].toInt(), 2);
        QCOMPARE(messages[QStringLiteral("sms not_sent")].toInt(), 1);
        QCOMPARE(messages[QStringLiteral("email sent")].toInt(), 1);
        QCOMPARE(messages[QStringLiteral("sms in_doubt")].toInt(), 0);
        QCOMPARE(test::ReceivedMessages::sms(store, mark).size(), 2);
        QCOMPARE(db.count(QStringLiteral("IsSent = 'Y'")), 3);
        QCOMPARE(scraped[QStringLiteral("health")].toInt(), 200);
        QCOMPARE(scraped[QStringLiteral("post")].toInt(), 405);

        ::kill(static_cast<pid_t>(korvane.processId()), SIGTERM);
        QVERIFY(korvane.waitForFinished(20000));
        QStringList heard;
        char buffer[4096];
        for (ssize_t got; (got = ::recv(notify, buffer, sizeof(buffer), 0)) > 0;) {
            heard << QString::fromUtf8(buffer, int(got));
        }
        ::close(notify);
        QCOMPARE(heard.first(), QStringLiteral("READY=1"));
        QVERIFY(heard.contains(QStringLiteral("WATCHDOG=1")));
        QVERIFY2(heard.contains(QStringLiteral("STATUS=Idle... (sent 3, not sent 1, in doubt 0)")),
                 qPrintable(heard.join(QLatin1Char('|'))));
        QCOMPARE(heard.filter(QStringLiteral("STOPPING=1")).size(), 1);
    }
};

QTEST_GUILESS_MAIN(ServiceRunTest)
#include "tst_servicerun.moc"
