#pragma once

#include <sys/resource.h>

#include <QCoreApplication>
#include <QElapsedTimer>
#include <QStringList>
#include <QTemporaryDir>
#include <algorithm>
#include <cstdio>
#include <vector>

#include "core/ActivityLog.h"
#include "core/Clock.h"
#include "core/LogView.h"
#include "core/RunConfiguration.h"
#include "dispatch/ProcessView.h"
#include "dispatch/SmsChannel.h"

namespace korvane::bench {

inline double median(std::vector<double> values) {
    std::sort(values.begin(), values.end());
    return values[values.size() / 2];
}

// A main window that shows nothing.
class NoWindow : public ProcessView {
public:
    void setStatusText(const QString&) override {}
    void setProcessingControls(bool) override {}
    void setConfigurationAvailable(bool) override {}
    void showConfigurationModal() override {}
};

// Settings for a cycle on the data source dsn, against a gateway on 127.0.0.1:smppPort and a
// mail server on 127.0.0.1:smtpPort.
inline RunConfiguration localPeers(const QString& dsn, const QString& smppPort,
                                   const QString& smtpPort = QStringLiteral("25")) {
    RunConfiguration config;
    config.dsnName = dsn;
    config.cellServer = QStringLiteral("127.0.0.1");
    config.cellPort = smppPort;
    config.cellUserName = QStringLiteral("bench");
    config.cellPassword = QStringLiteral("quill");
    config.smtpServer = QStringLiteral("127.0.0.1");
    config.smtpPort = smtpPort;
    config.dontSendProcessedMsgs = 1;
    return config;
}

// Keeps the newest lines only, as the main window's pane does.
class BoundedPane : public LogView {
public:
    void appendToPane(const QString& entry) override {
        lines_.append(entry);
        if (lines_.size() > 10000) {
            lines_.removeFirst();
        }
    }
    void showMessage(const QString&) override {}

private:
    QStringList lines_;
};

// Starts a new peak (Linux: writing 5 to clear_refs resets the high-water mark).
inline void resetPeak() {
    if (FILE* file = std::fopen("/proc/self/clear_refs", "w")) {
        std::fputs("5", file);
        std::fclose(file);
    }
}

// The peak resident size since the start or the last resetPeak().
// A real activity log in a throw-away folder, with a bounded pane.
struct Logging {
    QTemporaryDir dir;
    SystemClock clock;
    BoundedPane pane;
    ActivityLog log{dir.path() + QStringLiteral("/Logs"), clock, &pane};
};

inline double peakMegabytes() {
    if (FILE* file = std::fopen("/proc/self/status", "r")) {
        char line[256];
        while (std::fgets(line, sizeof(line), file)) {
            long kb = 0;
            if (std::sscanf(line, "VmHWM: %ld kB", &kb) == 1) {
                std::fclose(file);
                return static_cast<double>(kb) / 1024.0;
            }
        }
        std::fclose(file);
    }
    rusage usage{};
    getrusage(RUSAGE_SELF, &usage);
    return static_cast<double>(usage.ru_maxrss) / 1024.0;
}

// CPU time of this process so far, user and system.
inline double cpuSeconds() {
    rusage usage{};
    getrusage(RUSAGE_SELF, &usage);
    auto seconds = [](const timeval& t) {
        return static_cast<double>(t.tv_sec) + static_cast<double>(t.tv_usec) / 1e6;
    };
    return seconds(usage.ru_utime) + seconds(usage.ru_stime);
}

inline QString env(const char* name) {
    const QString value = qEnvironmentVariable(name);
    if (value.isEmpty()) {
        std::fprintf(stderr, "%s is not set: run through scripts/bench\n", name);
        std::exit(2);
    }
    return value;
}

// Seconds taken by fn.
template <typename Fn>
double timed(Fn&& fn) {
    QElapsedTimer timer;
    timer.start();
    fn();
    return static_cast<double>(timer.nsecsElapsed()) / 1e9;
}

// The data source, with PostgreSQL's account where the DSN is PostgreSQL's.
inline RunConfiguration peersFor(const QString& dsn, const QString& smppPort = QString()) {
    RunConfiguration config = localPeers(dsn, smppPort);
    if (dsn.startsWith(QStringLiteral("KorvanePg"))) {
        config.dsnDbUser = env("KORVANE_TEST_PG_USER");
        config.dsnDbPassword = env("KORVANE_TEST_PG_PASSWORD");
    }
    return config;
}

// A gateway's side of what it delivers (receipts, replies): it counts their answers.
class CountingSms : public SmsChannel {
public:
    QCoro::Task<int> submit(QList<SmsGateway>, QString, QString, QDateTime, QString) override {
        co_return 0;
    }
    std::optional<int> submitNow(const QList<SmsGateway>&, const QString&, const QString&,
                                 const QDateTime&, const QString&) override {
        return 0;
    }
    QCoro::Task<SendResult> outcome(int) override { co_return SendResult(); }
    bool isSettled(int) override { return true; }
    int room() override { return 0; }
    QCoro::Task<> endSession() override { co_return; }
    void answerReceipt(quint64, bool written) override { (written ? ok : later) += 1; }
    int ok = 0;
    int later = 0;
};

}  // namespace korvane::bench
