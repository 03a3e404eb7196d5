// Writes 100,000 entries through the activity log and a bounded pane; prints the rate and
// the peak resident memory.
#include <sys/resource.h>

#include <QCoreApplication>
#include <QElapsedTimer>
#include <QTemporaryDir>
#include <cstdio>

#include "core/ActivityLog.h"
#include "core/Clock.h"
#include "core/LogView.h"

namespace {
// Keeps the newest lines only, as the main window's pane does.
class BoundedPane : public korvane::LogView {
public:
    void appendToPane(const QString& entry) override {
        lines_.append(entry);
        if (lines_.size() > 10000) {
            lines_.removeFirst();
        }
    }
    void showMessage(const QString&) override {}
    void yield() override { QCoreApplication::processEvents(); }

private:
    QStringList lines_;
};
}  // namespace

int main(int argc, char** argv) {
    QCoreApplication app(argc, argv);
    QTemporaryDir dir;
    korvane::SystemClock clock;
    BoundedPane pane;
    korvane::ActivityLog log(dir.path() + QStringLiteral("/Logs"), clock, &pane);
    const int entries = 100000;
    QElapsedTimer timer;
    timer.start();
    for (int i = 0; i < entries; ++i) {
        log.WriteLog(QStringLiteral("Processing message for Record Id: %1").arg(i), true, false);
    }
    const double seconds = timer.nsecsElapsed() / 1e9;
    rusage usage{};
    getrusage(RUSAGE_SELF, &usage);
    std::printf("log_bench: %d entries in %.2f s, %.0f entries/s, peak RSS %.1f MB\n", entries,
                seconds, entries / seconds, usage.ru_maxrss / 1024.0);
    return 0;
}
