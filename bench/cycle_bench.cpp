// One dispatch cycle over 1,000 SMS rows and one over 1,000 e-mail rows, on SQLite,
// PostgreSQL and MariaDB, against the local servers; compared with the raw sends and saves of
// the same rows measured in the same run, with and without the claim before each send. Then
// 1, 2 and 3 instances sharing one PostgreSQL table.
#include <QFile>
#include <QFileInfo>
#include <QSqlQuery>
#include <QTemporaryDir>
#include <QThread>
#include <algorithm>

#include "BenchSupport.h"
#include "RealProcessing.h"
#include "app/ChannelAdapters.h"
#include "channels/CurlMailTransport.h"
#include "core/ActivityLog.h"
#include "core/Clock.h"
#include "core/KorvaneError.h"
#include "core/Responsive.h"
#include "core/RunConfiguration.h"
#include "dispatch/DatabaseConnection.h"
#include "dispatch/MessageTable.h"
#include "dispatch/OdbcMessageStore.h"
#include "dispatch/ProcessView.h"
#include "dispatch/ProcessingControl.h"
#include "support/CycleWait.h"
#include "support/Processing.h"

using namespace korvane;

namespace {

using bench::NoWindow;

constexpr int kRows = 1000;

void fill(const RunConfiguration& config, bool email, int rows = kRows) {
    DatabaseConnection db;
    db.open(config.dsnName, config.dsnDbUser, config.dsnDbPassword);
    QSqlQuery query(db.database());
    // TRUNCATE leaves no dead rows behind to slow the next run; SQLite has only DELETE.
    if (!query.exec(QStringLiteral("TRUNCATE TABLE tblMessages"))) {
        query.exec(QStringLiteral("DELETE FROM tblMessages"));
    }
    db.database().transaction();
    query.prepare(
        email ? QStringLiteral(
                    "INSERT INTO tblMessages (RecId, MessageType, MessageText, EmailTo, EmailFrom, "
                    "EmailSubject, IsSent) VALUES (?, 'EMAIL', 'Benchmark body', 'to@x.test', "
                    "'bench@korvane.test', 'Benchmark', 'N')")
              : QStringLiteral(
                    "INSERT INTO tblMessages (RecId, MessageType, MessageText, MobileNo, IsSent) "
                    "VALUES (?, 'SMS', 'Benchmark message', '+447700900123', 'N')"));
    for (int id = 1; id <= rows; ++id) {
        query.addBindValue(id);
        query.exec();
    }
    db.database().commit();
}

void run(const char* database, RunConfiguration config, ActivityLog& log, SmsChannel& sms,
         EmailChannel& email, const Clock& clock) {
    NoWindow window;
    for (bool isEmail : {false, true}) {
        fill(config, isEmail);
        test::Processing processing(config, log, window, sms, email, clock);
        ProcessingControl& control = processing.control;
        const double cycle = bench::timed([&] {
            control.Timer1_Timer();
            test::untilCycleEnds(control);
        });

        // The same work without the cycle: half the rows claimed, sent and saved on the claim,
        // half sent and saved with one write.
        fill(config, isEmail);
        OdbcMessageStore store;
        store.open(DataSourceSettings{config.dsnName, config.dsnDbUser, config.dsnDbPassword, {}});
        store.select(1, QDateTime::currentDateTime());
        const std::vector<TableRow> rows = store.nextPage(kRows);
        const int count = static_cast<int>(rows.size());
        const QString status = QStringLiteral("Message Is Sent Via SMS.");
        double sends = 0;
        double claimed = 0;
        double unclaimed = 0;
        int conflicts = 0;
        const int half = count / 2;
        for (int row = 0; row < count; ++row) {
            const TableRow& at = rows[static_cast<size_t>(row)];
            auto send = [&] {
                sends += bench::timed([&] {
                    if (isEmail) {
                        MailMessage message;
                        message.from = QStringLiteral("bench@korvane.test");
                        message.to = QStringLiteral("to@x.test");
                        message.subject = QStringLiteral("Benchmark");
                        message.body = QStringLiteral("Benchmark body");
                        waitInPlace(email.sendEmail(
                            message, {SmtpServer{config.smtpServer, config.smtpPort, {}, {}}}));
                    } else {
                        waitInPlace(sms.send(SmsGateway{config.cellServer, config.cellPort,
                                                        config.cellUserName, config.cellPassword},
                                             QStringLiteral("+447700900123"),
                                             QStringLiteral("Benchmark message")));
                    }
                });
            };
            try {
                if (row < half) {
                    claimed += bench::timed([&] { store.claim({at}, clock.now()); });
                    send();
                    claimed += bench::timed([&] {
                        if (auto failed =
                                store.save({{at, QStringLiteral("Y"), status}}, clock.now())
                                    .at(0)
                                    .error) {
                            throw *failed;
                        }
                    });
                } else {
                    send();
                    unclaimed += bench::timed([&] {
                        store.save({{at, QStringLiteral("Y"), status, false}}, clock.now());
                    });
                }
            } catch (const KorvaneError& error) {
                ++conflicts;  // reported, never fatal: the figures of the other rows stand
                std::fprintf(stderr, "cycle_bench: %s\n", error.what());
            }
        }
        const double perRow = 1000 * cycle / kRows;
        const double claimMs = 1000 * claimed / half;
        const double writeMs = 1000 * unclaimed / (count - half);
        const double raw = 1000 * sends / kRows + claimMs;
        std::printf(
            "cycle_bench %-10s %-5s %.0f rows/s; per row: cycle %.3f ms, raw send %.3f ms, claim "
            "and save %.3f ms (one write without the claim %.3f ms: the claim costs %.3f ms), "
            "outside send and save %.3f ms; ratio %.3f (target <= 1.1)%s\n",
            database, isEmail ? "Email" : "SMS", kRows / cycle, perRow, 1000 * sends / kRows,
            claimMs, writeMs, claimMs - writeMs, perRow - raw, perRow / raw,
            conflicts ? " [some writes failed, see above]" : "");
    }
}

// Instances, each with its own connection, log and gateway sessions, sharing one table: the
// rows per second of all of them together.
void shared(RunConfiguration config) {
    for (int count = 1; count <= 3; ++count) {
        fill(config, false);
        QList<QThread*> instances;
        std::vector<Counters> counters(static_cast<size_t>(count));
        for (int i = 0; i < count; ++i) {
            instances << QThread::create([config, &counters, i] {
                bench::RealProcessing processing(config);
                processing.control.Timer1_Timer();
                test::untilCycleEnds(processing.control);
                counters[static_cast<size_t>(i)] = processing.control.counters();
            });
        }
        const double seconds = bench::timed([&] {
            for (QThread* instance : instances) instance->start();
            for (QThread* instance : instances) instance->wait();
        });
        qDeleteAll(instances);
        quint64 attempts = 0;
        quint64 sent = 0;
        for (const Counters& one : counters) {
            attempts += one.claimAttempts;
            sent += one.messages[Counters::Sms][Counters::Sent];
        }
        std::printf(
            "cycle_bench shared     %d instance(s) on one PostgreSQL table: %.0f SMS rows/s, "
            "%.2f claim attempts per sent row (target <= 1.2)\n",
            count, static_cast<double>(sent) / seconds,
            sent ? static_cast<double>(attempts) / static_cast<double>(sent) : 0.0);
    }
}

// Accepted submits per second at the gateway, from its own receipt times of what it recorded
// after offset bytes of its store.
double peerRate(const QString& store, qint64 offset) {
    QFile received(store);
    QList<qint64> times;
    if (received.open(QIODevice::ReadOnly) && received.seek(offset)) {
        while (!received.atEnd()) {
            const QByteArray line = received.readLine();
            const qsizetype at = line.indexOf("\"at\":");
            if (at >= 0) {
                times << line.mid(at + 5).split(',').first().split('}').first().toLongLong();
            }
        }
    }
    std::sort(times.begin(), times.end());
    return times.size() > 1
               ? 1000.0 * double(times.size() - 1) / double(times.last() - times.first())
               : 0;
}

// Korvane's full cycle against peers that answer every request after D ms, as gateways and
// mail servers over a network do; scripts/bench runs reference clients against the same peers.
void delayed(RunConfiguration config, ActivityLog& log, SmsChannel& sms, EmailChannel& email,
             const Clock& clock) {
    NoWindow window;
    const QString database = bench::env("KORVANE_BENCH_DATABASE");
    const QStringList delays =
        qEnvironmentVariable("KORVANE_BENCH_DELAYS").split(QLatin1Char(' '), Qt::SkipEmptyParts);
    for (const QString& delay : delays) {
        config.cellPort = bench::env(qPrintable(QStringLiteral("KORVANE_BENCH_SMPP_") + delay));
        config.smtpPort = bench::env(qPrintable(QStringLiteral("KORVANE_BENCH_SMTP_") + delay));
        const QString store =
            bench::env(qPrintable(QStringLiteral("KORVANE_BENCH_SMPP_STORE_") + delay));
        const int d = delay.toInt();
        const int smsRows = d == 0 ? 5000 : 1000;
        const int mailRows = d == 0 ? 500 : d <= 5 ? 200 : 60;
        test::Processing processing(config, log, window, sms, email, clock);
        ProcessingControl& control = processing.control;
        fill(config, false, smsRows);
        const qint64 mark = QFileInfo(store).size();
        control.Timer1_Timer();
        test::untilCycleEnds(control);
        const double smsRate = peerRate(store, mark);
        fill(config, true, mailRows);
        const double mailSeconds = bench::timed([&] {
            control.Timer1_Timer();
            test::untilCycleEnds(control);
        });
        std::printf("cycle_bench %s delay %s ms: SMS %.1f rows/s, mail %.1f rows/s\n",
                    qPrintable(database), qPrintable(delay), smsRate, mailRows / mailSeconds);
        std::fflush(stdout);
    }
}

// Korvane's full cycle against a gateway whose contract takes at most N submits a second:
// its rate from the gateway's own receipt times, as a share of the quota, what the rows end
// as, and the CPU it costs.
void quota(RunConfiguration config, ActivityLog& log, SmsChannel& sms, EmailChannel& email,
           const Clock& clock) {
    const int perSecond = bench::env("KORVANE_BENCH_QUOTA").toInt();
    const QString store = bench::env("KORVANE_BENCH_QUOTA_STORE");
    config.cellPort = bench::env("KORVANE_BENCH_QUOTA_PORT");
    const int rows = 6 * perSecond;
    NoWindow window;
    test::Processing processing(config, log, window, sms, email, clock);
    ProcessingControl& control = processing.control;
    fill(config, false, rows);
    const double cpuBefore = bench::cpuSeconds();
    const double seconds = bench::timed([&] {
        control.Timer1_Timer();
        test::untilCycleEnds(control);
    });
    const double cpu = bench::cpuSeconds() - cpuBefore;
    const double rate = peerRate(store, 0);
    DatabaseConnection db;
    db.open(config.dsnName, config.dsnDbUser, config.dsnDbPassword);
    QSqlQuery query(db.database());
    query.exec(
        QStringLiteral("SELECT ProcessStatus, COUNT(*) FROM tblMessages GROUP BY "
                       "ProcessStatus"));
    QStringList outcomes;
    while (query.next()) {
        outcomes << query.value(1).toString() + QLatin1Char(' ') + query.value(0).toString();
    }
    std::printf(
        "cycle_bench quota %d/s, D = 20 ms: %d rows in %.1f s, %.1f accepted/s at the gateway "
        "(ratio to the quota %.2f, target >= 0.9); CPU %.2f s per 1,000 rows; rows: %s\n",
        perSecond, rows, seconds, rate, rate / perSecond, 1000 * cpu / rows,
        qPrintable(outcomes.join(QStringLiteral(", "))));
}

}  // namespace

int main(int argc, char** argv) {
    QCoreApplication app(argc, argv);
    bench::Logging logging;
    ActivityLog& log = logging.log;
    CurlMailTransport transport;
    EmailSender emailSender(transport);
    SmsSender smsSender;
    SmtpChannel email(emailSender);
    SmppChannel sms(smsSender);

    RunConfiguration config;
    config.cellServer = QStringLiteral("127.0.0.1");
    config.cellPort = bench::env("KORVANE_TEST_SMPP_PORT");
    config.cellUserName = QStringLiteral("bench");
    config.cellPassword = QStringLiteral("quill");
    config.smtpServer = QStringLiteral("127.0.0.1");
    config.smtpPort = bench::env("KORVANE_TEST_SMTP_PORT");
    config.dontSendProcessedMsgs = 1;

    if (qEnvironmentVariableIsSet("KORVANE_BENCH_QUOTA")) {
        config.dsnName = bench::env("KORVANE_TEST_PG_DSN");
        config.dsnDbUser = bench::env("KORVANE_TEST_PG_USER");
        config.dsnDbPassword = bench::env("KORVANE_TEST_PG_PASSWORD");
        quota(config, log, sms, email, logging.clock);
        return 0;
    }
    if (qEnvironmentVariableIsSet("KORVANE_BENCH_DELAYS")) {
        config.dsnName = bench::env("KORVANE_BENCH_DSN");
        if (config.dsnName != bench::env("KORVANE_TEST_SQLITE_DSN")) {
            config.dsnDbUser = bench::env("KORVANE_TEST_PG_USER");
            config.dsnDbPassword = bench::env("KORVANE_TEST_PG_PASSWORD");
        }
        delayed(config, log, sms, email, logging.clock);
        return 0;
    }
    config.dsnName = bench::env("KORVANE_TEST_SQLITE_DSN");
    run("SQLite", config, log, sms, email, logging.clock);
    config.dsnName = bench::env("KORVANE_TEST_PG_DSN");
    config.dsnDbUser = bench::env("KORVANE_TEST_PG_USER");
    config.dsnDbPassword = bench::env("KORVANE_TEST_PG_PASSWORD");
    run("PostgreSQL", config, log, sms, email, logging.clock);
    shared(config);
    config.dsnName = bench::env("KORVANE_TEST_MARIA_DSN");
    run("MariaDB", config, log, sms, email, logging.clock);
    return 0;
}
