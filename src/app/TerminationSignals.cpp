#include "app/TerminationSignals.h"

#include <QSocketNotifier>

#ifdef Q_OS_UNIX
#include <unistd.h>

#include <csignal>
#endif

namespace korvane {

#ifdef Q_OS_UNIX
namespace {
int signalPipe[2] = {-1, -1};

void onTerminate(int) {
    const char byte = 1;
    [[maybe_unused]] const ssize_t written = ::write(signalPipe[1], &byte, 1);
}
}  // namespace

TerminationSignals::TerminationSignals(QObject* parent) : QObject(parent) {
    if (signalPipe[0] < 0 && ::pipe(signalPipe) != 0) {
        return;
    }
    std::signal(SIGTERM, onTerminate);
    std::signal(SIGINT, onTerminate);
    notifier_ = new QSocketNotifier(signalPipe[0], QSocketNotifier::Read, this);
    connect(notifier_, &QSocketNotifier::activated, this, [this] {
        char byte = 0;
        [[maybe_unused]] const ssize_t got = ::read(signalPipe[0], &byte, 1);
        Q_EMIT received();
    });
}
#else
TerminationSignals::TerminationSignals(QObject* parent) : QObject(parent) {}
#endif

}  // namespace korvane
