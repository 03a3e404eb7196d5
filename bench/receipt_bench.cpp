// Delivery receipts as production sees them, on the SQLite file and on durable PostgreSQL:
//   receipt_bench flood DSN           10,000 receipts arriving at once, for rows sent in this
//                                     run (ids known) and before it (looked up in the table)
//   receipt_bench cycle DSN SMPP_PORT SMS throughput with receipts on and off (the table with
//                                     and without the receipt columns), alternating, medians
#include <QCoreApplication>
#include <QSqlQuery>
#include <algorithm>

#include "BenchSupport.h"
#include "RealProcessing.h"
#include "app/ChannelAdapters.h"
#include "channels/CurlMailTransport.h"
#include "core/RunConfiguration.h"
#include "dispatch/BackgroundStore.h"
#include "dispatch/DatabaseConnection.h"
#include "dispatch/OdbcMessageStore.h"
#include "dispatch/ProcessView.h"
#include "dispatch/ProcessingControl.h"
#include "dispatch/ReceiptDesk.h"
#include "support/CycleWait.h"

using namespace korvane;

namespace {

using bench::NoWindow;

using bench::CountingSms;

RunConfiguration configFor(const QString& dsn, const QString& smppPort = QString()) {
    return bench::peersFor(dsn, smppPort);
}

// tblMessages with rows SMS rows, their receipt columns added or not; sent: each row already
// sent with SmscMessageId its RecId.
void fill(const RunConfiguration& config, bool receipts, int rows, bool sent) {
    DatabaseConnection db;
    db.open(config.dsnName, config.dsnDbUser, config.dsnDbPassword);
    QSqlQuery query(db.database());
    for (const char* column : {"SmscMessageId", "DeliveryStatus", "DeliveredDate"}) {
        query.exec(
            QStringLiteral("ALTER TABLE tblMessages DROP COLUMN %1").arg(QLatin1String(column)));
    }
    if (!query.exec(QStringLiteral("TRUNCATE TABLE tblMessages"))) {
        query.exec(QStringLiteral("DELETE FROM tblMessages"));
    }
    if (receipts) {
        query.exec(QStringLiteral("ALTER TABLE tblMessages ADD SmscMessageId VARCHAR(255)"));
        query.exec(QStringLiteral("ALTER TABLE tblMessages ADD DeliveryStatus VARCHAR(20)"));
        query.exec(QStringLiteral("ALTER TABLE tblMessages ADD DeliveredDate TIMESTAMP"));
        query.exec(
            QStringLiteral("CREATE INDEX ixMessagesSmscMessageId ON tblMessages (SmscMessageId)"));
    }
    db.database().transaction();
    query.prepare(sent ? QStringLiteral("INSERT INTO tblMessages (RecId, MessageType, MessageText, "
                                        "MobileNo, IsSent, ProcessStatus, SmscMessageId) VALUES "
                                        "(?, 'SMS', 'Bench', '+447700900123', 'Y', "
                                        "'Message Is Sent Via SMS.', ?)")
                       : QStringLiteral("INSERT INTO tblMessages (RecId, MessageType, MessageText, "
                                        "MobileNo, IsSent) VALUES (?, 'SMS', 'Benchmark message', "
                                        "'+447700900123', 'N')"));
    for (int id = 1; id <= rows; ++id) {
        query.addBindValue(id);
        if (sent) {
            query.addBindValue(QString::number(id));
        }
        query.exec();
    }
    db.database().commit();
}

void flood(const QString& dsn) {
    constexpr int kReceipts = 10000;
    for (const bool known : {true, false}) {
        const RunConfiguration config = configFor(dsn);
        fill(config, true, kReceipts, true);
        bench::Logging logging;
        Counters counters;
        CountingSms sms;
        ReceiptDesk desk(sms, logging.log, logging.clock, counters, config, [] {
            return std::make_unique<BackgroundStore>(std::make_unique<OdbcMessageStore>());
        });
        desk.tableFound(MessageStore::TableFeatures{true, 255});
        for (int id = 1; known && id <= kReceipts; ++id) {
            desk.saved(id, QString::number(id), QString::number(id));
        }
        const double seconds = bench::timed([&] {
            for (int id = 1; id <= kReceipts; ++id) {
                Receipt receipt;
                receipt.token = quint64(id);
                receipt.messageId = QString::number(id);
                receipt.state = QStringLiteral("DELIVRD");
                desk.receiptArrived(receipt);
            }
            while (sms.ok + sms.later < kReceipts) {
                QCoreApplication::processEvents(QEventLoop::WaitForMoreEvents, 50);
            }
        });
        std::printf(
            "receipt_bench flood %-12s %s: %d receipts written and answered in %.2f s: "
            "%.0f/s (target >= 1000)%s\n",
            qPrintable(dsn), known ? "ids known     " : "ids looked up", kReceipts, seconds,
            kReceipts / seconds, sms.later ? " [some answered ESME_RX_T_APPN]" : "");
    }
}

// One cycle of rows SMS rows against the gateway; rows a second, the receipts taken in during
// the cycle and after it, until every row has one.
void cycle(const QString& dsn, const QString& smppPort) {
    constexpr int kRows = 2000;
    std::vector<double> rates[2];
    for (int round = 0; round < 3; ++round) {
        for (const bool receipts : {false, true}) {
            const RunConfiguration config = configFor(dsn, smppPort);
            fill(config, receipts, kRows, false);
            bench::RealProcessing processing(config);
            const double seconds = bench::timed([&] {
                processing.control.Timer1_Timer();
                test::untilCycleEnds(processing.control);
            });
            rates[receipts].push_back(double(processing.smsSent()) / seconds);
            processing.control.cmdStop_Click();
        }
    }
    fill(configFor(dsn), false, 0, false);  // as the other benchmarks expect it
    const double off = bench::median(rates[0]);
    const double on = bench::median(rates[1]);
    std::printf(
        "receipt_bench cycle %-12s D=20 ms: receipts off %.0f rows/s, on %.0f rows/s; "
        "on / off %.2f (target >= 0.9)\n",
        qPrintable(dsn), off, on, on / off);
    std::fflush(stdout);
}

}  // namespace

int main(int argc, char** argv) {
    QCoreApplication app(argc, argv);
    const QStringList args = app.arguments();
    if (args.size() >= 3 && args[1] == QStringLiteral("flood")) {
        flood(args[2]);
    } else if (args.size() >= 4 && args[1] == QStringLiteral("cycle")) {
        cycle(args[2], args[3]);
    } else {
        std::fprintf(stderr, "usage: receipt_bench flood DSN | cycle DSN SMPP_PORT\n");
        return 2;
    }
    return 0;
}
