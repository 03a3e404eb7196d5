#include "app/ServiceNotifier.h"

#if KORVANE_HAVE_SYSTEMD
#include <systemd/sd-daemon.h>
#endif

namespace korvane {

ServiceNotifier::ServiceNotifier() {
#if KORVANE_HAVE_SYSTEMD
    uint64_t usec = 0;
    if (sd_watchdog_enabled(0, &usec) > 0 && usec > 0) {
        // Twice per period, as systemd advises.
        interval_ = static_cast<int>(std::max<uint64_t>(1, usec / 2000));
        connect(&watchdog_, &QTimer::timeout, this, [] { send("WATCHDOG=1"); });
        watchdog_.start(interval_);
    }
#endif
}

void ServiceNotifier::ready() {
    send("READY=1");
}

void ServiceNotifier::status(const QString& text) {
    // One line: the manager shows it as it is.
    send("STATUS=" + text.simplified().toUtf8());
}

void ServiceNotifier::stopping() {
    if (stopping_) {
        return;  // SIGTERM, then the window closing: said once
    }
    stopping_ = true;
    watchdog_.stop();
    send("STOPPING=1");
}

void ServiceNotifier::send(const QByteArray& state) {
#if KORVANE_HAVE_SYSTEMD
    sd_notify(0, state.constData());
#else
    Q_UNUSED(state);
#endif
}

}  // namespace korvane
