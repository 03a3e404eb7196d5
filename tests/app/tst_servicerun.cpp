#include <signal.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

#include <QElapsedTimer>
#include <QJsonDocument>
#include <QJsonObject>
#include <QProcess>
#include <QSocketNotifier>
#include <QTcpSocket>
#include <QTest>

#include "core/SettingsStore.h"
#include "support/ClosedPort.h"
#include "support/ReceivedMessages.h"
#include "support/TempProfile.h"
#include "support/TestDatabase.h"
#include "support/TestEnvironment.h"

using namespace korvane;
using test::TestDatabase;

namespace {

int freePort() {
    return test::closedPort().toInt();
}

// Settings for a headless run on db that starts processing by itself.
void writeSettings(const TestDatabase& db, const QString& smppPort) {
    SettingsStore settings;
    auto set = [&](const char* section, const char* key, const QString& value) {
        settings.write(QLatin1String(section), QLatin1String(key), value);
    };
    set("DSNSettings", "DSNName", db.dsn());
    set("DSNSettings", "DSNDBUser", db.user());
    set("DSNSettings", "DSNDBPassword", db.password());
    set("DSNSettings", "DSNType", QStringLiteral("Sys"));
    set("Telvoro", "CellServer", QStringLiteral("127.0.0.1"));
    set("Telvoro", "CellPort", smppPort);
    set("Email", "SMTPServer", QStringLiteral("127.0.0.1"));
    set("Email", "SMTPPort", test::TestEnvironment::value("KORVANE_TEST_SMTP_PORT"));
    set("Application", "RunAppOnStartup", QStringLiteral("1"));
}

// A waiting SMS row.
void insertSms(TestDatabase& db, int id, const QString& number,
               const QString& text = QStringLiteral("m")) {
    db.insert({{QStringLiteral("RecId"), id},
               {QStringLiteral("MessageType"), QStringLiteral("SMS")},
               {QStringLiteral("MessageText"), text},
               {QStringLiteral("MobileNo"), number}});
}

// A datagram socket of the test's own where NOTIFY_SOCKET points; -1 when it cannot bind.
int notifySocket(const QByteArray& path) {
    const int notify = ::socket(AF_UNIX, SOCK_DGRAM | SOCK_NONBLOCK, 0);
    sockaddr_un address{};
    address.sun_family = AF_UNIX;
    std::memcpy(address.sun_path, path.constData(), size_t(path.size()));
    if (::bind(notify, reinterpret_cast<sockaddr*>(&address), sizeof(address)) != 0) {
        ::close(notify);
        return -1;
    }
    return notify;
}

// The built program in the profile, reporting to a service manager's socket at notifyPath
// (if any) with a watchdog of watchdogUsec.
void start(QProcess& korvane, const test::TempProfile& profile, const QByteArray& notifyPath = {},
           const QString& watchdogUsec = {}, const QList<QPair<QString, QString>>& extra = {}) {
    QProcessEnvironment env = profile.programEnvironment();
    if (!notifyPath.isEmpty()) {
        env.insert(QStringLiteral("NOTIFY_SOCKET"), QString::fromLocal8Bit(notifyPath));
        env.insert(QStringLiteral("WATCHDOG_USEC"), watchdogUsec);
    }
    for (const auto& [name, value] : extra) {
        env.insert(name, value);
    }
    korvane.setProcessEnvironment(env);
    korvane.start(
        profile.installedProgram(test::TestEnvironment::value("KORVANE_TEST_KORVANE_BINARY")),
        QStringList());
}

bool listening(int port) {
    QTcpSocket probe;
    probe.connectToHost(QHostAddress::LocalHost, quint16(port));
    return probe.waitForConnected(200);
}

// The private PostgreSQL server's processes: the postmaster and its children.
QList<pid_t> postgresProcesses() {
    QFile pidFile(test::TestEnvironment::value("KORVANE_TEST_RUN_DIR") +
                  QStringLiteral("/pg/data/postmaster.pid"));
    if (!pidFile.open(QIODevice::ReadOnly)) {
        return {};
    }
    const pid_t postmaster = pid_t(pidFile.readLine().trimmed().toInt());
    QList<pid_t> all{postmaster};
    QProcess children;
    children.start(QStringLiteral("pgrep"), {QStringLiteral("-P"), QString::number(postmaster)});
    children.waitForFinished();
    for (const QByteArray& line : children.readAllStandardOutput().split('\n')) {
        if (!line.trimmed().isEmpty()) {
            all << pid_t(line.trimmed().toInt());
        }
    }
    return all;
}

void signalAll(const QList<pid_t>& pids, int signal) {
    for (pid_t pid : pids) {
        ::kill(pid, signal);
    }
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
            insertSms(db, id, number, QStringLiteral("metrics %1").arg(id));
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
        writeSettings(db, test::TestEnvironment::value("KORVANE_TEST_SMPP_PORT"));
        const QByteArray path = profile.path(QStringLiteral("notify")).toLocal8Bit();
        const int notify = notifySocket(path);
        QVERIFY(notify >= 0);

        const int port = freePort();
        QProcess korvane;
        start(korvane, profile, path, QStringLiteral("200000"),
              {{QStringLiteral("KORVANE_METRICS"), QString::number(port)}});
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

    // The database freezes (every server process stopped, as behind a partition) while rows
    // go out, and SIGTERM comes 5 s into the freeze: Korvane ends within its grace and the
    // cancel's, with the status that says it left the database behind; every row is decided or
    // still claimed, and no message went out twice.
    void databaseFrozenAtShutdown() {
        KORVANE_REQUIRE_ENV("KORVANE_TEST_KORVANE_BINARY");
        TestDatabase db(TestDatabase::Kind::PostgreSQL);
        db.recreate();
        const int rows = 300;
        for (int id = 1; id <= rows; ++id) {
            insertSms(db, id, QStringLiteral("+4420%1").arg(id, 5, 10, QLatin1Char('0')),
                      QStringLiteral("freeze %1").arg(id));
        }
        test::TempProfile profile;
        const QString smsStore = profile.path(QStringLiteral("sms.jsonl"));
        const int smppPort = freePort();
        QProcess gateway;  // answering after 100 ms, as over a network
        gateway.start(
            QStringLiteral("node"),
            {QStringLiteral(KORVANE_SOURCE_DIR "/tests/servers/smpp_server.js"),
             QStringLiteral("--port"), QString::number(smppPort), QStringLiteral("--store"),
             smsStore, QStringLiteral("--delay"), QStringLiteral("100")});
        QVERIFY(gateway.waitForStarted());
        QTRY_VERIFY_WITH_TIMEOUT(listening(smppPort), 10000);
        writeSettings(db, QString::number(smppPort));
        // The watchdog's pings, timed as they arrive: the loop must keep turning in the freeze.
        const QByteArray path = profile.path(QStringLiteral("notify")).toLocal8Bit();
        const int notify = notifySocket(path);
        QVERIFY(notify >= 0);
        QElapsedTimer clock;
        clock.start();
        qint64 lastPing = -1;
        qint64 longestGap = 0;
        QSocketNotifier pings(notify, QSocketNotifier::Read);
        connect(&pings, &QSocketNotifier::activated, this, [&] {
            char buffer[512];
            for (ssize_t got; (got = ::recv(notify, buffer, sizeof(buffer), 0)) > 0;) {
                if (QByteArray(buffer, int(got)).contains("WATCHDOG=1")) {
                    if (lastPing >= 0) {
                        longestGap = std::max(longestGap, clock.elapsed() - lastPing);
                    }
                    lastPing = clock.elapsed();
                }
            }
        });
        QProcess korvane;
        start(korvane, profile, path, QStringLiteral("2000000"));
        QVERIFY(korvane.waitForStarted());
        QTRY_VERIFY_WITH_TIMEOUT(test::ReceivedMessages::sms(smsStore, 0).size() >= 20, 30000);

        const QList<pid_t> server = postgresProcesses();
        QVERIFY(server.size() > 1);
        signalAll(server, SIGSTOP);
        lastPing = -1;
        struct Thaw {
            QList<pid_t> pids;
            ~Thaw() { signalAll(pids, SIGCONT); }
        } thaw{server};
        longestGap = 0;
        QTest::qWait(5000);
        const qint64 frozenGap = longestGap;  // the pings stop with STOPPING=1
        QElapsedTimer ending;
        ending.start();
        ::kill(static_cast<pid_t>(korvane.processId()), SIGTERM);
        QTRY_VERIFY_WITH_TIMEOUT(korvane.state() == QProcess::NotRunning, 30000);
        const qint64 tookMs = ending.elapsed();
        signalAll(server, SIGCONT);
        ::close(notify);
        qInfo(
            "ended %lld ms after SIGTERM; longest gap between watchdog pings in the freeze %lld ms",
            tookMs, frozenGap);
        QCOMPARE(korvane.exitCode(), 75);
        QVERIFY(korvane.readAllStandardError().contains("ending without the database"));

        QMap<QString, int> received;
        for (const QJsonObject& sms : test::ReceivedMessages::sms(smsStore, 0)) {
            ++received[sms[QStringLiteral("destination_addr")].toString()];
        }
        gateway.kill();
        gateway.waitForFinished();
        QVERIFY(std::all_of(received.begin(), received.end(), [](int n) { return n == 1; }));
        // Sent rows are saved or still claimed; rows never sent are untouched or given back.
        const int saved = db.count(QStringLiteral("IsSent = 'Y'"));
        const int claimed = db.count(QStringLiteral("ProcessStatus = 'Message Is Being Sent.'"));
        const int waiting = db.count(QStringLiteral("ProcessStatus IS NULL"));
        QCOMPARE(saved + claimed + waiting, rows);
        QVERIFY(saved <= int(received.size()));
        QVERIFY(saved + claimed >= int(received.size()));
        QCOMPARE(db.count(QStringLiteral("IsSent = 'N' AND ProcessStatus <> 'Message Is Being "
                                         "Sent.'")),
                 0);
    }

    // Korvane killed while what the gateway delivered waits for its write (the database
    // frozen): a receipt, or a reply in three parts. Nothing of it was answered, the gateway
    // offers it again on the next session, and the restarted Korvane stores it once, whole.
    void deliveryWaitingForItsWriteSurvivesAKill_data() {
        QTest::addColumn<bool>("reply");
        QTest::newRow("receipt") << false;
        QTest::newRow("reply in three parts") << true;
    }
    void deliveryWaitingForItsWriteSurvivesAKill() {
        KORVANE_REQUIRE_ENV("KORVANE_TEST_KORVANE_BINARY");
        QFETCH(bool, reply);
        TestDatabase db(TestDatabase::Kind::PostgreSQL);
        db.recreate(QString(), {reply ? QStringLiteral("Messages from phones")
                                      : QStringLiteral("Delivery receipts")});
        insertSms(db, 1, reply ? QStringLiteral("+447700904443") : QStringLiteral("+442071"),
                  QStringLiteral("Tell me more"));
        test::TempProfile profile;
        const QString store = profile.path(QStringLiteral("sms.jsonl"));
        const int smppPort = freePort();
        QProcess gateway;  // the receipt, or the phone's reply, 3 s after the submit's answer
        gateway.start(
            QStringLiteral("node"),
            {QStringLiteral(KORVANE_SOURCE_DIR "/tests/servers/smpp_server.js"),
             QStringLiteral("--port"), QString::number(smppPort), QStringLiteral("--store"), store,
             QStringLiteral("--receipt-delay"), QStringLiteral("3000")});
        QVERIFY(gateway.waitForStarted());
        QTRY_VERIFY_WITH_TIMEOUT(listening(smppPort), 10000);
        writeSettings(db, QString::number(smppPort));
        const QByteArray path = profile.path(QStringLiteral("notify")).toLocal8Bit();
        // The gateway's deliveries of this kind, offered ("sent") or answered.
        const auto deliveries = [&](const char* key) {
            int n = 0;
            for (const QJsonObject& entry : test::ReceivedMessages::sms(store, 0)) {
                n += entry.contains(QLatin1String("reply")) == reply &&
                     entry.contains(QLatin1String(key));
            }
            return n;
        };
        const QString table = QStringLiteral("tblReceivedMessages");
        const QString columns = QStringLiteral("MessageText, Parts");
        const auto stored = [&] {
            return reply ? int(db.rows(table, columns).size())
                         : int(!db.read(1, QStringLiteral(
                                               "DeliveryStatus"))[QStringLiteral("deliverystatus")]
                                    .isNull());
        };
        const int parts = reply ? 3 : 1;
        QProcess korvane;
        start(korvane, profile, path, QStringLiteral("0"));
        QTRY_COMPARE_WITH_TIMEOUT(db.outcome(1)[QStringLiteral("issent")].toString(),
                                  QStringLiteral("Y"), 30000);
        const QList<pid_t> server = postgresProcesses();
        signalAll(server, SIGSTOP);
        struct Thaw {
            QList<pid_t> pids;
            ~Thaw() { signalAll(pids, SIGCONT); }
        } thaw{server};
        QTRY_VERIFY_WITH_TIMEOUT(deliveries("sent") == parts, 10000);
        QTest::qWait(500);  // taken in, its write waiting for the database
        korvane.kill();
        QVERIFY(korvane.waitForFinished());
        signalAll(server, SIGCONT);
        QCOMPARE(deliveries("answered"), 0);
        QCOMPARE(stored(), 0);

        QProcess again;
        start(again, profile, path, QStringLiteral("0"));
        QTRY_COMPARE_WITH_TIMEOUT(deliveries("answered"), parts, 30000);
        QCOMPARE(deliveries("sent"), 2 * parts);
        QCOMPARE(stored(), 1);
        if (reply) {
            const QVariantMap row = db.rows(table, columns).value(0);
            QCOMPARE(row[QStringLiteral("messagetext")].toString(),
                     QStringLiteral("Part one of the answer, part two, and part three."));
            QCOMPARE(row[QStringLiteral("parts")].toInt(), 3);
        } else {
            QCOMPARE(db.read(1, QStringLiteral("DeliveryStatus"))[QStringLiteral("deliverystatus")]
                         .toString(),
                     QStringLiteral("DELIVRD"));
        }
        ::kill(static_cast<pid_t>(again.processId()), SIGTERM);
        QVERIFY(again.waitForFinished(30000));
        gateway.kill();
        gateway.waitForFinished();
    }

    // The process killed while a row is at the gateway: the row stays claimed and is not sent
    // by the next run, which serves the rows after it; SIGTERM while a row stalls at the
    // gateway gives it its grace, marks it in doubt and ends.
    void killedBetweenSendAndSaveIsNotSentAgain() {
        KORVANE_REQUIRE_ENV("KORVANE_TEST_KORVANE_BINARY");
        TestDatabase db(TestDatabase::Kind::SQLite);
        db.recreate();
        const QString store = test::TestEnvironment::value("KORVANE_TEST_SMPP_STORE");
        const qint64 mark = test::ReceivedMessages::smsMark(store);
        const auto count = [&](const QString& number) {
            int n = 0;
            for (const QJsonObject& entry : test::ReceivedMessages::sms(store, mark)) {
                n += entry[QStringLiteral("destination_addr")].toString() == number;
            }
            return n;
        };
        const auto status = [&](int id) {
            return db.outcome(id)[QStringLiteral("processstatus")].toString();
        };
        insertSms(db, 1, QStringLiteral("4420001"));
        insertSms(db, 2, QStringLiteral("4420777"));  // never answered
        test::TempProfile profile;
        writeSettings(db, test::TestEnvironment::value("KORVANE_TEST_SMPP_PORT"));
        QProcess korvane;
        start(korvane, profile);
        QTRY_VERIFY_WITH_TIMEOUT(count(QStringLiteral("4420777")) == 1, 20000);
        korvane.kill();
        QVERIFY(korvane.waitForFinished(10000));
        QCOMPARE(status(2), QStringLiteral("Message Is Being Sent."));

        insertSms(db, 3, QStringLiteral("4420003"));
        insertSms(db, 4, QStringLiteral("4420777"));
        start(korvane, profile);
        QTRY_VERIFY_WITH_TIMEOUT(count(QStringLiteral("4420777")) == 2, 20000);
        ::kill(static_cast<pid_t>(korvane.processId()), SIGTERM);
        QVERIFY(korvane.waitForFinished(20000));
        QCOMPARE(korvane.exitCode(), 0);
        QCOMPARE(status(3), QStringLiteral("Message Is Sent Via SMS."));
        QCOMPARE(status(4), QStringLiteral("Message May Have Been Sent."));
        QCOMPARE(count(QStringLiteral("4420001")), 1);
        QCOMPARE(count(QStringLiteral("4420003")), 1);
        QCOMPARE(count(QStringLiteral("4420777")), 2);  // rows 2 and 4, once each
        QCOMPARE(status(2), QStringLiteral("Message Is Being Sent."));
    }

    void secondInstanceIsRefused() {
        KORVANE_REQUIRE_ENV("KORVANE_TEST_KORVANE_BINARY");
        const QString built = test::TestEnvironment::value("KORVANE_TEST_KORVANE_BINARY");
        test::TempProfile profile;
        {
            // Without a screen the first instance must have work to wait for, or it ends.
            SettingsStore store;
            store.write(QStringLiteral("Application"), QStringLiteral("RunAppOnStartup"),
                        QStringLiteral("1"));
            store.write(QStringLiteral("DSNSettings"), QStringLiteral("DSNName"),
                        QStringLiteral("NoSuchSource"));
        }
        QProcessEnvironment env = profile.programEnvironment();
        const QString runtime = env.value(QStringLiteral("XDG_RUNTIME_DIR"));

        // A lock left by a crashed run names a process that is gone: it does not block.
        QFile stale(runtime + QLatin1Char('/') + SettingsStore::kApplicationName +
                    QStringLiteral(".lock"));
        QVERIFY(stale.open(QIODevice::WriteOnly));
        stale.write("999999\nkorvane\n" + QSysInfo::machineHostName().toUtf8() + "\n");
        stale.close();

        QProcess first;
        first.setProcessEnvironment(env);
        first.start(profile.installedProgram(built), {QStringLiteral("--ignored-argument")});
        QVERIFY(first.waitForStarted());
        auto lockOwner = [&] {
            QFile lock(stale.fileName());
            return lock.open(QIODevice::ReadOnly) ? lock.readLine().trimmed() : QByteArray();
        };
        // Wait until the first instance holds the lock.
        QTRY_COMPARE_WITH_TIMEOUT(lockOwner(), QByteArray::number(first.processId()), 20000);

        QFile settings(profile.settingsFile());
        QVERIFY(settings.open(QIODevice::ReadOnly));
        const QByteArray before = settings.readAll();
        settings.close();
        QProcess second;
        second.setProcessEnvironment(env);
        second.start(profile.installedProgram(built), QStringList());
        QVERIFY(second.waitForFinished(20000));
        QCOMPARE(second.exitCode(), 0);
        QCOMPARE(QString::fromUtf8(second.readAllStandardOutput()).trimmed(),
                 QStringLiteral("Korvane: Korvane Application is already running..."));
        QVERIFY(settings.open(QIODevice::ReadOnly));
        QCOMPARE(settings.readAll(), before);
        QCOMPARE(first.state(), QProcess::Running);

        ::kill(static_cast<pid_t>(first.processId()), SIGTERM);
        QVERIFY(first.waitForFinished(20000));
        QCOMPARE(first.exitCode(), 0);
    }

    // Without a screen nobody could complete the settings or press Start: the program says why
    // on standard error and ends with EX_CONFIG instead of waiting for ever.
    void headlessRunsEndWhenNothingCouldRun() {
        KORVANE_REQUIRE_ENV("KORVANE_TEST_KORVANE_BINARY");
        const QString built = test::TestEnvironment::value("KORVANE_TEST_KORVANE_BINARY");
        struct Case {
            QString runAppOnStartup;
            bool display;  // QT_QPA_PLATFORM=offscreen, or no display variables at all
            QString reason;
        };
        const QList<Case> cases = {
            {QStringLiteral("1"), true, QStringLiteral("korvane: DSN Name is empty.")},
            {QStringLiteral("0"), false,
             QStringLiteral("korvane: neither DISPLAY nor WAYLAND_DISPLAY is set")}};
        for (const Case& c : cases) {
            test::TempProfile profile;
            {
                SettingsStore store;
                store.write(QStringLiteral("Application"), QStringLiteral("RunAppOnStartup"),
                            c.runAppOnStartup);
                store.write(QStringLiteral("DSNSettings"), QStringLiteral("DSNName"), QString());
            }
            QProcessEnvironment env = profile.programEnvironment();
            if (!c.display) {
                for (const char* name : {"QT_QPA_PLATFORM", "DISPLAY", "WAYLAND_DISPLAY"})
                    env.remove(QString::fromLatin1(name));
            }
            QProcess korvane;
            korvane.setProcessEnvironment(env);
            korvane.start(profile.installedProgram(built), QStringList());
            QVERIFY(korvane.waitForFinished(20000));
            QCOMPARE(korvane.exitStatus(), QProcess::NormalExit);
            QCOMPARE(korvane.exitCode(), 78);
            const QString errors = QString::fromUtf8(korvane.readAllStandardError());
            QVERIFY2(errors.contains(c.reason), qPrintable(errors));
            QVERIFY2(errors.contains(QStringLiteral("korvane: Application unloaded.")),
                     qPrintable(errors));
        }
    }
};

QTEST_GUILESS_MAIN(ServiceRunTest)
#include "tst_servicerun.moc"
