// Writes 100,000 entries through the activity log and a bounded pane; prints the rate and
// the peak resident memory.
#include <QCoreApplication>
#include <QElapsedTimer>
#include <QTemporaryDir>
#include <cstdio>
#include <cstdlib>

#include "BenchSupport.h"
#include "core/ActivityLog.h"
#include "core/Clock.h"

int main(int argc, char** argv) {
    QCoreApplication app(argc, argv);
    korvane::bench::Logging logging;
    korvane::ActivityLog& log = logging.log;
    const int entries = argc > 1 ? std::atoi(argv[1]) : 100000;
    QElapsedTimer timer;
    timer.start();
    for (int i = 0; i < entries; ++i) {
        log.WriteLog(QStringLiteral("Processing message for Record Id: %1").arg(i), true, false);
    }
    const double seconds = static_cast<double>(timer.nsecsElapsed()) / 1e9;
    std::printf("log_bench: %d entries in %.2f s, %.0f entries/s, peak RSS %.1f MB\n", entries,
                seconds, entries / seconds, korvane::bench::peakMegabytes());
    return 0;
}
