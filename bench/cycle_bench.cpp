// One dispatch cycle over 1,000 SMS rows and one over 1,000 e-mail rows, on SQLite and on
// PostgreSQL, against the local servers; compared with the raw sends and saves of the same
// rows measured in the same run.
#include <QSqlQuery>
#include <QTemporaryDir>

#include "BenchSupport.h"
#include "channels/EmailSender.h"
#include "channels/SmppTelvoroClient.h"
#include "channels/SmsSender.h"
#include "core/ActivityLog.h"
#include "core/Clock.h"
#include "core/RunConfiguration.h"
#include "dispatch/DatabaseConnection.h"
#include "dispatch/MessageSnapshot.h"
#include "dispatch/MessageTable.h"
#include "dispatch/ProcessWindow.h"
#include "dispatch/ProcessingControl.h"

using namespace korvane;

namespace {

class NoWindow : public ProcessWindow {
public:
    void setStatusText(const QString&) override {}
    void setProcessingControls(bool) override {}
    void setConfigurationAvailable(bool) override {}
    void showConfigurationModal() override {}
};

constexpr int kRows = 1000;

void fill(const RunConfiguration& config, bool email) {
    DatabaseConnection db;
    db.open(config.dsnName, config.dsnDbUser, config.dsnDbPassword);
    QSqlQuery query(db.database());
    query.exec(QStringLiteral("DELETE FROM tblMessages"));
    db.database().transaction();
    query.prepare(
        email ? QStringLiteral(
                    "INSERT INTO tblMessages (RecId, MessageType, MessageText, EmailTo, EmailFrom, "
                    "EmailSubject, IsSent) VALUES (?, 'EMAIL', 'Benchmark body', 'to@x.test', "
                    "'bench@korvane.test', 'Benchmark', 'N')")
              : QStringLiteral(
                    "INSERT INTO tblMessages (RecId, MessageType, MessageText, MobileNo, IsSent) "
                    "VALUES (?, 'SMS', 'Benchmark message', '+447700900123', 'N')"));
    for (int id = 1; id <= kRows; ++id) {
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
        ProcessingControl control(config, log, window, sms, email, clock);
        const double cycle = bench::timed([&] { control.Timer1_Timer(); });

        // The same work without the cycle: send each row, then save it.
        fill(config, isEmail);
        DatabaseConnection db;
        db.open(config.dsnName, config.dsnDbUser, config.dsnDbPassword);
        MessageSnapshot snapshot(db, MessageTable::selectionStatement(1));
        double sends = 0;
        double saves = 0;
        for (int row = 0; row < snapshot.size(); ++row) {
            sends += bench::timed([&] {
                if (isEmail) {
                    email.SendEmail(QStringLiteral("bench@korvane.test"),
                                    QStringLiteral("to@x.test"), {}, {}, {},
                                    QStringLiteral("Benchmark"), QStringLiteral("Benchmark body"),
                                    config.smtpServer, config.smtpPort, {}, {}, false);
                } else {
                    sms.SendSMS(config.cellServer, config.cellPort, config.cellUserName,
                                config.cellPassword, QStringLiteral("+447700900123"),
                                QStringLiteral("Benchmark message"), false);
                }
            });
            saves += bench::timed([&] {
                snapshot.record(row, QStringLiteral("Y"),
                                QStringLiteral("Message Is Sent Via SMS."), clock.now());
            });
        }
        const double perRow = 1000 * cycle / kRows;
        const double raw = 1000 * (sends + saves) / kRows;
        std::printf(
            "cycle_bench %-10s %-5s %.0f rows/s; per row: cycle %.3f ms, raw send %.3f ms + save "
            "%.3f ms, "
            "outside send and save %.3f ms; ratio %.3f (target <= 1.1)\n",
            database, isEmail ? "Email" : "SMS", kRows / cycle, perRow, 1000 * sends / kRows,
            1000 * saves / kRows, perRow - raw, perRow / raw);
    }
}

}  // namespace

int main(int argc, char** argv) {
    QCoreApplication app(argc, argv);
    bench::Logging logging;
    ActivityLog& log = logging.log;
    CurlMailTransport transport;
    EmailSender email(log, transport);
    SmsSender sms(log, SmppTelvoroClient::factory());

    RunConfiguration config;
    config.cellServer = QStringLiteral("127.0.0.1");
    config.cellPort = bench::env("KORVANE_TEST_SMPP_PORT");
    config.cellUserName = QStringLiteral("bench");
    config.cellPassword = QStringLiteral("quill");
    config.smtpServer = QStringLiteral("127.0.0.1");
    config.smtpPort = bench::env("KORVANE_TEST_SMTP_PORT");
    config.dontSendProcessedMsgs = 1;

    config.dsnName = bench::env("KORVANE_TEST_SQLITE_DSN");
    run("SQLite", config, log, sms, email, logging.clock);
    config.dsnName = bench::env("KORVANE_TEST_PG_DSN");
    config.dsnDbUser = bench::env("KORVANE_TEST_PG_USER");
    config.dsnDbPassword = bench::env("KORVANE_TEST_PG_PASSWORD");
    run("PostgreSQL", config, log, sms, email, logging.clock);
    return 0;
}
