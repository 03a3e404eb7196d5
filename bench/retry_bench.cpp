// Retries as the motivating case has them: 200 e-mail rows, the table with the retry columns,
// and the mail server stopped for 30 s once 60 messages went out. Prints how long until every
// row is sent, how many arrived twice, and the most attempts a row counted.
//   retry_bench DSN
#include <QCoreApplication>
#include <QDir>
#include <QElapsedTimer>
#include <QEventLoop>
#include <QFile>
#include <QProcess>
#include <QSqlQuery>
#include <QTcpServer>
#include <QTemporaryDir>
#include <QThread>
#include <QTimer>
#include <set>

#include "BenchSupport.h"
#include "RealProcessing.h"
#include "app/ChannelAdapters.h"
#include "channels/CurlMailTransport.h"
#include "core/RunConfiguration.h"
#include "dispatch/DatabaseConnection.h"
#include "dispatch/ProcessView.h"
#include "dispatch/ProcessingControl.h"
#include "support/CycleWait.h"

using namespace korvane;

namespace {

using bench::NoWindow;

constexpr int kRows = 200;

// tblMessages as the SQLite DDL in docs/ has it; retries: with Attempts and NextAttemptAt, and
// the rows.
void fill(DatabaseConnection& db, bool retries) {
    QSqlQuery query(db.database());
    query.exec(QStringLiteral("DROP TABLE IF EXISTS tblMessages"));
    QFile ddl(QStringLiteral(KORVANE_SOURCE_DIR "/docs/tblMessages.sqlite.sql"));
    ddl.open(QIODevice::ReadOnly);
    const QString text = QString::fromUtf8(ddl.readAll());
    query.exec(text.left(text.indexOf(QLatin1Char(';'))).section(QStringLiteral("\n"), 1));
    if (!retries) {
        return;
    }
    query.exec(QStringLiteral("ALTER TABLE tblMessages ADD Attempts INTEGER"));
    query.exec(QStringLiteral("ALTER TABLE tblMessages ADD NextAttemptAt TIMESTAMP"));
    db.database().transaction();
    query.prepare(QStringLiteral(
        "INSERT INTO tblMessages (RecId, MessageType, MessageText, EmailTo, EmailFrom, "
        "EmailSubject, IsSent) VALUES (?, 'EMAIL', 'Body', 'to@x.test', 'bench@korvane.test', ?, "
        "'N')"));
    for (int id = 1; id <= kRows; ++id) {
        query.addBindValue(id);
        query.addBindValue(QStringLiteral("Retry %1").arg(id));
        query.exec();
    }
    db.database().commit();
}

int scalar(DatabaseConnection& db, const QString& sql) {
    QSqlQuery query(db.database());
    return query.exec(sql) && query.next() ? query.value(0).toInt() : -1;
}

}  // namespace

int main(int argc, char** argv) {
    QCoreApplication app(argc, argv);
    if (argc < 2) {
        std::fprintf(stderr, "usage: retry_bench DSN\n");
        return 2;
    }
    const QString dsn = app.arguments().at(1);
    DatabaseConnection db;
    db.open(dsn, QString(), QString());
    fill(db, true);
    QTemporaryDir store;
    QTcpServer probe;
    probe.listen(QHostAddress::LocalHost);
    const QString port = QString::number(probe.serverPort());
    probe.close();
    QProcess server;
    const auto startServer = [&] {
        server.start(QStringLiteral("/usr/bin/python3"),
                     {QStringLiteral(KORVANE_SOURCE_DIR "/tests/servers/smtp_server.py"),
                      QStringLiteral("--port"), port, QStringLiteral("--store"), store.path()});
        server.waitForStarted();
        QThread::msleep(500);
    };
    startServer();
    const RunConfiguration config = bench::localPeers(dsn, QStringLiteral("1"), port);
    bench::RealProcessing processing(config);
    ProcessingControl& control = processing.control;
    QElapsedTimer clock;
    clock.start();
    bool stopped = false;
    QEventLoop loop;
    QTimer watch;
    QObject::connect(&watch, &QTimer::timeout, [&] {
        const int received = int(QDir(store.path()).entryList({QStringLiteral("*.json")}).size());
        if (!stopped && received >= 60) {
            stopped = true;
            server.kill();
            server.waitForFinished();
            QTimer::singleShot(30000, [&] { startServer(); });
        }
        if (!control.isCycleRunning() &&
            (scalar(db, QStringLiteral("SELECT COUNT(*) FROM tblMessages WHERE IsSent = 'Y' OR "
                                       "ProcessStatus = 'Message May Have Been Sent.'")) == kRows ||
             clock.elapsed() > 300000)) {
            loop.quit();
        }
    });
    watch.start(100);
    control.cmdStart_Click();
    test::untilCycleEnds(control);
    loop.exec();
    const double seconds = double(clock.elapsed()) / 1000.0;
    control.cmdStop_Click();
    std::multiset<QString> subjects;
    for (const QString& name : QDir(store.path()).entryList({QStringLiteral("*.json")})) {
        QFile file(store.filePath(name));
        file.open(QIODevice::ReadOnly);
        const QByteArray data = file.readAll();
        const qsizetype at = data.indexOf("Subject: Retry ");
        subjects.insert(QString::fromLatin1(data.mid(at, data.indexOf("\\r\\n", at) - at)));
    }
    int twice = 0;
    for (auto it = subjects.begin(); it != subjects.end(); it = subjects.upper_bound(*it)) {
        twice += subjects.count(*it) > 1 ? 1 : 0;
    }
    const int sent =
        scalar(db, QStringLiteral("SELECT COUNT(*) FROM tblMessages WHERE IsSent = 'Y'"));
    std::printf(
        "retry_bench %s: %d rows, the mail server stopped for 30 s after 60: %d sent, %d "
        "in doubt, after %.0f s (target: all within 300); %d arrived twice; at most %d "
        "attempts a row\n",
        qPrintable(dsn), kRows, sent,
        scalar(db, QStringLiteral("SELECT COUNT(*) FROM tblMessages WHERE ProcessStatus = "
                                  "'Message May Have Been Sent.'")),
        seconds, twice, scalar(db, QStringLiteral("SELECT MAX(Attempts) FROM tblMessages")));
    fill(db, false);  // as the other benchmarks expect it
    server.kill();
    server.waitForFinished();
    return 0;
}
