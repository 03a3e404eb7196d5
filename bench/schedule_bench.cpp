// The schedule's columns as production sees them, on the SQLite file:
//   schedule_bench urgent DSN SMPP_PORT    100,000 waiting rows of priority 0, a gateway that
//                                          answers after 20 ms: how long a row of priority 9
//                                          inserted during the cycle waits to be handed over
//   schedule_bench overhead DSN SMPP_PORT  a cycle's rows a second against a gateway that
//                                          answers at once, the table with the schedule's
//                                          columns and without, five runs each, alternating
#include <QCoreApplication>
#include <QElapsedTimer>
#include <QFile>
#include <QSqlQuery>
#include <QThread>
#include <QTimer>
#include <algorithm>

#include "BenchSupport.h"
#include "RealProcessing.h"
#include "app/ChannelAdapters.h"
#include "channels/CurlMailTransport.h"
#include "core/RunConfiguration.h"
#include "dispatch/DatabaseConnection.h"
#include "dispatch/ProcessView.h"
#include "dispatch/ProcessingControl.h"
#include "support/CycleWait.h"
#include "support/Processing.h"

using namespace korvane;

namespace {

using bench::NoWindow;

// The gateway's channel, noting when a row's number is handed over.
class WatchedSms : public SmppChannel {
public:
    using SmppChannel::SmppChannel;
    QCoro::Task<int> submit(QList<SmsGateway> gateways, QString number, QString text,
                            QDateTime until, QString sender) override {
        see(number);
        return SmppChannel::submit(std::move(gateways), std::move(number), std::move(text),
                                   std::move(until), std::move(sender));
    }
    std::optional<int> submitNow(const QList<SmsGateway>& gateways, const QString& number,
                                 const QString& text, const QDateTime& until,
                                 const QString& sender) override {
        std::optional<int> ticket = SmppChannel::submitNow(gateways, number, text, until, sender);
        if (ticket) {
            see(number);
        }
        return ticket;
    }
    void see(const QString& number) {
        if (number == watched && !handedOver.isValid()) {
            handedOver.start();
        }
    }
    QString watched;
    QElapsedTimer handedOver;  // started at the hand-over
};

// tblMessages from the SQLite DDL shipped in docs/, with the schedule's block or without, and
// rows SMS rows of priority 0.
void fill(const QString& dsn, bool schedule, int rows) {
    DatabaseConnection db;
    db.open(dsn, QString(), QString());
    QSqlQuery query(db.database());
    query.exec(QStringLiteral("DROP TABLE IF EXISTS tblMessages"));
    QFile ddl(QStringLiteral(KORVANE_SOURCE_DIR "/docs/tblMessages.sqlite.sql"));
    ddl.open(QIODevice::ReadOnly);
    QString create;
    QStringList blocks;
    bool taken = false;
    for (const QString& line : QString::fromUtf8(ddl.readAll()).split(QLatin1Char('\n'))) {
        if (line.startsWith(QStringLiteral("-- Scheduling"))) {
            taken = schedule;
        } else if (!line.startsWith(QStringLiteral("--"))) {
            create += line + QLatin1Char('\n');
        } else if (taken && line.startsWith(QStringLiteral("-- ALTER"))) {
            blocks << line.mid(3);
        } else if (taken && line.startsWith(QStringLiteral("-- CREATE"))) {
            blocks << line.mid(3);
        }
    }
    query.exec(create.section(QLatin1Char(';'), 0, 0));
    for (const QString& statement : blocks) {
        query.exec(statement);
    }
    db.database().transaction();
    query.prepare(
        QStringLiteral("INSERT INTO tblMessages (RecId, MessageType, MessageText, MobileNo, "
                       "IsSent) VALUES (?, 'SMS', 'Benchmark message', '+447700900123', "
                       "'N')"));
    for (int id = 1; id <= rows; ++id) {
        query.addBindValue(id);
        query.exec();
    }
    db.database().commit();
}

void urgent(const QString& dsn, const QString& smppPort) {
    constexpr int kRows = 100000;
    fill(dsn, true, kRows);
    const RunConfiguration config = bench::localPeers(dsn, smppPort);
    bench::Logging logging;
    CurlMailTransport transport;
    EmailSender emailSender(transport);
    SmsSender smsSender;
    WatchedSms sms(smsSender);
    sms.watched = QStringLiteral("+447700999999");
    SmtpChannel email(emailSender);
    NoWindow window;
    test::Processing processing(config, logging.log, window, sms, email, logging.clock);
    ProcessingControl& control = processing.control;
    QElapsedTimer inserted;
    // Three seconds into the cycle another connection inserts the urgent row.
    QThread* producer = QThread::create([&] {
        QThread::sleep(3);
        DatabaseConnection db;
        db.open(dsn, QString(), QString());
        QSqlQuery insert(db.database());
        insert.exec(QStringLiteral("INSERT INTO tblMessages (RecId, MessageType, MessageText, "
                                   "MobileNo, IsSent, Priority) VALUES (%1, 'SMS', 'Urgent', "
                                   "'+447700999999', 'N', 9)")
                        .arg(kRows + 1));
        inserted.start();
    });
    QTimer stop;
    QObject::connect(&stop, &QTimer::timeout, [&] {
        if (sms.handedOver.isValid() || (inserted.isValid() && inserted.elapsed() > 30000)) {
            control.cmdStop_Click();
        }
    });
    stop.start(100);
    producer->start();
    control.Timer1_Timer();
    test::untilCycleEnds(control);
    producer->wait();
    delete producer;
    const double waited = sms.handedOver.isValid()
                              ? double(inserted.elapsed() - sms.handedOver.elapsed()) / 1000.0
                              : -1;
    fill(dsn, false, 0);
    std::printf(
        "schedule_bench urgent   %-12s %d rows of priority 0, D=20 ms: a row of "
        "priority 9 handed over %.2f s after its insert (target <= 2)\n",
        qPrintable(dsn), kRows, waited);
    std::fflush(stdout);
}

void overhead(const QString& dsn, const QString& smppPort) {
    constexpr int kRows = 2000;
    std::vector<double> rates[2];
    for (int round = 0; round < 5; ++round) {
        for (const bool schedule : {false, true}) {
            fill(dsn, schedule, kRows);
            const RunConfiguration config = bench::localPeers(dsn, smppPort);
            bench::RealProcessing processing(config);
            const double seconds = bench::timed([&] {
                processing.control.Timer1_Timer();
                test::untilCycleEnds(processing.control);
            });
            rates[schedule].push_back(double(processing.smsSent()) / seconds);
        }
    }
    fill(dsn, false, 0);  // as the other benchmarks expect it
    const double without = bench::median(rates[0]);
    const double with = bench::median(rates[1]);
    std::printf(
        "schedule_bench overhead %-12s D=0: without the columns %.0f rows/s, with them "
        "%.0f rows/s: %.1f %% slower (target <= 5)\n",
        qPrintable(dsn), without, with, 100.0 * (without - with) / without);
}

}  // namespace

int main(int argc, char** argv) {
    QCoreApplication app(argc, argv);
    const QStringList args = app.arguments();
    if (args.size() >= 4 && args[1] == QStringLiteral("urgent")) {
        urgent(args[2], args[3]);
    } else if (args.size() >= 4 && args[1] == QStringLiteral("overhead")) {
        overhead(args[2], args[3]);
    } else {
        std::fprintf(stderr, "usage: schedule_bench urgent|overhead DSN SMPP_PORT\n");
        return 2;
    }
    return 0;
}
