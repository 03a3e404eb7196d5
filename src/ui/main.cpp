#include <QApplication>
#include <cstdio>
#include <cstdlib>

#ifdef Q_OS_UNIX
#include <sys/resource.h>
#include <unistd.h>

#include <QSocketNotifier>
#include <csignal>
#endif

#include "app/ChannelAdapters.h"
#include "app/MetricsServer.h"
#include "app/ServiceNotifier.h"
#include "channels/CurlMailTransport.h"
#include "core/ActivityLog.h"
#include "core/Clock.h"
#include "core/RunConfiguration.h"
#include "core/SettingsStore.h"
#include "core/StopDeadline.h"
#include "dispatch/ProcessingControl.h"
#include "ui/Guarded.h"
#include "ui/MessageBoxes.h"
#include "ui/SingleInstance.h"
#include "ui/fmMain.h"

namespace {

#ifdef Q_OS_UNIX
int signalPipe[2] = {-1, -1};

void onTerminate(int) {
    const char byte = 1;
    [[maybe_unused]] const ssize_t written = ::write(signalPipe[1], &byte, 1);
}

// SIGTERM and SIGINT (a service manager, Ctrl+C) stop processing after the row in hand and
// close the window.
void stopOnSignals(korvane::fmMain& window) {
    if (::pipe(signalPipe) != 0) {
        return;
    }
    std::signal(SIGTERM, onTerminate);
    std::signal(SIGINT, onTerminate);
    auto* notifier = new QSocketNotifier(signalPipe[0], QSocketNotifier::Read, &window);
    QObject::connect(notifier, &QSocketNotifier::activated, &window, [&window] {
        char byte = 0;
        [[maybe_unused]] const ssize_t got = ::read(signalPipe[0], &byte, 1);
        window.requestShutdown();
    });
}
#else
void stopOnSignals(korvane::fmMain&) {}
#endif

// A service gets a soft limit of 1,024 descriptors by default: raised to the hard limit, so
// that the log, the database and the channels always find one.
void raiseDescriptorLimit() {
#ifdef Q_OS_UNIX
    rlimit limit{};
    if (::getrlimit(RLIMIT_NOFILE, &limit) == 0 && limit.rlim_cur < limit.rlim_max) {
        limit.rlim_cur = limit.rlim_max;
        ::setrlimit(RLIMIT_NOFILE, &limit);
    }
#endif
}

// A service manager's status line and watchdog, and the metrics endpoint when
// KORVANE_METRICS asks for it.
struct ServiceReports {
    korvane::ServiceNotifier notifier;
    std::unique_ptr<korvane::MetricsServer> metrics;

    ServiceReports(korvane::fmMain& window, const korvane::SmsSender& sms,
                   const korvane::CurlMailTransport& transport, const korvane::Clock& clock,
                   korvane::ActivityLog& log) {
        korvane::ProcessingControl& processing = window.processing();
        QObject::connect(&window, &korvane::fmMain::statusTextChanged, &notifier,
                         [this, &processing](const QString& text) {
                             notifier.status(korvane::statusLine(text, processing.counters()));
                         });
        QObject::connect(&window, &korvane::fmMain::stopping, &notifier,
                         [this] { notifier.stopping(); });
        QObject::connect(qApp, &QCoreApplication::aboutToQuit, &notifier,
                         [this] { notifier.stopping(); });
        if (!qEnvironmentVariableIsSet("KORVANE_METRICS")) {
            return;
        }
        QString why;
        const auto address =
            korvane::MetricsServer::parse(qEnvironmentVariable("KORVANE_METRICS"), why);
        metrics = std::make_unique<korvane::MetricsServer>([&, &processing = processing] {
            korvane::ServiceState state;
            state.counters = processing.counters();
            state.started = processing.isStarted();
            state.cycleRunning = processing.isCycleRunning();
            state.throttleAnswers = sms.throttleAnswers();
            state.smppBinds = sms.binds();
            state.smppLink = sms.linkCounts();
            state.smppPacedWaits = sms.pacedWaits();
            state.smppRate = sms.pacedRate();
            state.smtpConnections = transport.connections();
            const QElapsedTimer& wait = state.counters.databaseWait;
            state.databaseWaitS = wait.isValid() ? double(wait.elapsed()) / 1000.0 : 0;
            state.now = clock.now();
            return state;
        });
        const QString line =
            address && metrics->listen(*address, why)
                ? QStringLiteral("Metrics and health checks are served on %1 port %2.")
                      .arg(address->host.toString())
                      .arg(metrics->port())
                : why;
        korvane::guarded([&] { log.WriteLog(line, true, false); });
    }
};

// Scripted runs (tests, the headless demo) answer message boxes by printing them.
korvane::MessageBoxes::Answers scriptedAnswers;

// No display at all (a server, a service): run without a window rather than abort.
void offscreenWithoutDisplay() {
#if defined(Q_OS_UNIX) && !defined(Q_OS_MACOS)
    if (qEnvironmentVariableIsEmpty("QT_QPA_PLATFORM") && qEnvironmentVariableIsEmpty("DISPLAY") &&
        qEnvironmentVariableIsEmpty("WAYLAND_DISPLAY")) {
        qputenv("QT_QPA_PLATFORM", "offscreen");
        std::fprintf(stderr,
                     "korvane: neither DISPLAY nor WAYLAND_DISPLAY is set: running without a "
                     "window; the log follows here.\n");
    }
#endif
}

// Messages out at once to the SMS gateway (submit_sm without an answer yet).
int smsWindow() {
    bool set = false;
    const int size = qEnvironmentVariableIntValue("KORVANE_SMPP_WINDOW", &set);
    return set && size > 0 ? size : korvane::SmsSender::kDefaultWindow;
}

// The window's exit status. A database thread may still be inside its driver when the
// database was given up: then nothing is torn down under it.
int finish(int status) {
    if (status == korvane::fmMain::kExitDatabaseUnanswered) {
        std::fputs(
            "korvane: ending without the database, which did not answer: rows it had "
            "claimed stay 'Message Is Being Sent.' and are reported later.\n",
            stderr);
        std::fflush(nullptr);
        std::_Exit(status);
    }
    return status;
}

}  // namespace

// Command-line arguments are accepted and ignored.
int main(int argc, char** argv) {
    offscreenWithoutDisplay();
    raiseDescriptorLimit();
    QApplication app(argc, argv);
    QApplication::setApplicationName(QStringLiteral("Korvane"));
    QApplication::setQuitOnLastWindowClosed(false);
    if (qEnvironmentVariableIsSet("KORVANE_PRINT_MESSAGE_BOXES")) {
        scriptedAnswers.onInformation = [](const QString& text) {
            std::printf("Korvane: %s\n", qPrintable(text));
            std::fflush(stdout);
        };
        korvane::MessageBoxes::setAnswers(&scriptedAnswers);
    }

    korvane::SingleInstance instance;
    if (!instance.tryAcquire()) {
        korvane::MessageBoxes::information(
            nullptr, QStringLiteral("Korvane Application is already running..."));
        return 0;
    }

    korvane::SystemClock clock;
    korvane::SettingsStore store;
    korvane::ActivityLog log(korvane::ActivityLog::defaultLogsDirectory(), clock);
    const QString platform = QGuiApplication::platformName();
    // Drawn nowhere: nobody could press Start or fill in the configuration.
    const bool headless =
        platform == QStringLiteral("offscreen") || platform == QStringLiteral("minimal");
    log.setEchoToStandardError(headless);
    korvane::StopDeadline stop;
    korvane::CurlMailTransport transport(&stop);
    korvane::SmsSender sms(korvane::SmppTimeouts(), &stop, smsWindow());
    // Submits a second the contract allows, over the settings file's SubmitsPerSecond.
    sms.setRateOverride(qEnvironmentVariable("KORVANE_SMPP_RATE").toDouble());
    korvane::EmailSender email(transport);
    korvane::SmppChannel smsChannel(sms);
    korvane::SmtpChannel emailChannel(email);
    korvane::fmMain window(korvane::Services{store, korvane::RunConfiguration::instance(), log,
                                             smsChannel, emailChannel, clock});
    window.processing().setWindow(smsWindow());
    window.setStopDeadline(&stop);
    window.setHeadless(headless);
    stopOnSignals(window);
    ServiceReports reports(window, sms, transport, clock, log);
    window.Form_Load();
    reports.notifier.ready();
    return finish(QApplication::exec());
}
