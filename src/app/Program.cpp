#include "app/Program.h"

#include <QCoreApplication>
#include <QTimer>
#include <cstdio>
#include <cstdlib>

#ifdef Q_OS_UNIX
#include <sys/resource.h>
#endif

#include "app/ChannelAdapters.h"
#include "app/MetricsServer.h"
#include "app/ServiceState.h"
#include "app/TerminationSignals.h"
#include "channels/CurlMailTransport.h"
#include "channels/CurlTokenEndpoint.h"
#include "channels/EmailSender.h"
#include "channels/SmsSender.h"
#include "core/ActivityLog.h"
#include "core/Clock.h"
#include "core/ConfigurationLoader.h"
#include "core/Guarded.h"
#include "core/RunConfiguration.h"
#include "core/SettingsStore.h"
#include "dispatch/BackgroundStore.h"
#include "dispatch/OdbcMessageStore.h"

namespace korvane {

// What the program runs on when nobody gives it anything else.
struct Program::Owned {
    SystemClock clock;
    SettingsStore store;
    RunConfiguration config;
    ActivityLog log{ActivityLog::defaultLogsDirectory(), clock};
    CurlMailTransport transport;
    CurlMailTransport secondTransport;
    CurlTokenEndpoint tokens;
    SmsSender sms;
    EmailSender email{transport, {&secondTransport, &tokens, &clock}};
    SmppChannel smsChannel{sms};
    SmtpChannel emailChannel{email};

    Owned(const EnvironmentSettings& environment, bool headless, const StopDeadline* stop)
        : transport(stop),
          secondTransport(stop),
          tokens(stop),
          sms(SmppTimeouts(), stop,
              environment.smppWindow > 0 ? environment.smppWindow : SmsSender::kDefaultWindow) {
        // Without a screen the log is all anybody sees.
        log.setEchoToStandardError(headless);
        sms.setRateOverride(environment.smppRate);
        email.setRotation([this](const QString& old, const QString& fresh) {
            // The cycle's log line, never a box: processing does not wait for a person.
            guarded([&] {
                try {
                    storeRotatedRefreshToken(store, config, old, fresh);
                    log.WriteLog(QStringLiteral("The sign-in service issued a new refresh "
                                                "token; it is stored."),
                                 true, false);
                } catch (const KorvaneError& error) {
                    log.WriteLog(errorLine(error), true, false);
                }
            });
        });
    }
    Services services() { return {store, config, log, smsChannel, emailChannel, clock}; }
};

Program::Program(const EnvironmentSettings& environment, bool headless)
    : Program(std::make_unique<Owned>(environment, headless, &stop_), nullptr, environment,
              headless) {}

Program::Program(Services services, bool headless)
    : Program(nullptr, &services, EnvironmentSettings(), headless) {}

Program::Program(std::unique_ptr<Owned> owned, const Services* given,
                 const EnvironmentSettings& environment, bool headless)
    : owned_(std::move(owned)),
      services_(owned_ ? owned_->services() : *given),
      environment_(environment),
      headless_(headless),
      receipts_(services_.sms, services_.log, services_.clock, counters_, services_.config,
                [this] { return processing_.makeStore(); }),
      replies_(services_.sms, services_.log, services_.clock, counters_, services_.config,
               [this] { return processing_.makeStore(); }),
      processing_({services_.config, services_.log, services_.sms, services_.email, services_.clock,
                   counters_, receipts_, replies_,
                   [this] {
                       // ODBC on a thread of its own; calls still running at the end are
                       // cancelled.
                       constexpr int timeoutS = OdbcStatement::kQueryTimeoutS;
                       return std::make_unique<BackgroundStore>(
                           std::make_unique<OdbcMessageStore>(timeoutS), &stop_, timeoutS,
                           &counters_.databaseWait);
                   }},
                  *this),
      checks_(services_.log, services_.sms, services_.email) {
    if (environment.smppWindow > 0) {
        processing_.setRowsOut(environment.smppWindow);
    }
    connect(qApp, &QCoreApplication::aboutToQuit, this, [this] { notifier_.stopping(); });
    connect(&processing_, &ProcessingControl::cycleEnded, this, &Program::endIfAsked);
}

Program::~Program() = default;

void Program::raiseDescriptorLimit() {
#ifdef Q_OS_UNIX
    rlimit limit{};
    if (::getrlimit(RLIMIT_NOFILE, &limit) == 0 && limit.rlim_cur < limit.rlim_max) {
        limit.rlim_cur = limit.rlim_max;
        ::setrlimit(RLIMIT_NOFILE, &limit);
    }
#endif
}

void Program::attach(ProcessView& window) {
    window_ = &window;
    if (signals_ == nullptr && owned_) {
        signals_ = new TerminationSignals(this);
        connect(signals_, &TerminationSignals::received, this, &Program::requestShutdown);
    }
    if (environment_.metrics && !metrics_) {
        serveMetrics();
    }
}

int Program::exec() {
    notifier_.ready();
    const int status = QCoreApplication::exec();
    if (status == kExitDatabaseUnanswered) {
        // A database thread may still be inside its driver: nothing is torn down under it.
        std::fputs(
            "korvane: ending without the database, which did not answer: rows it had "
            "claimed stay 'Message Is Being Sent.' and are reported later.\n",
            stderr);
        std::fflush(nullptr);
        std::_Exit(status);
    }
    return status;
}

void Program::requestShutdown() {
    const bool first = !shutdownRequested_;
    shutdownRequested_ = true;
    stop_.set(QDeadlineTimer(kStopGraceMs));
    if (first) {
        notifier_.stopping();
    }
    if (processing_.isStarted()) {
        guarded([this] { processing_.cmdStop_Click(); });
    }
    Q_EMIT stopping();
    endIfAsked();
}

void Program::endIfAsked() {
    if (shutdownRequested_ && !processing_.isCycleRunning()) {
        Q_EMIT readyToEnd();
    }
}

void Program::loadConfiguration() {
    LoadConfiguration(services_.store, services_.config);
    // Stored back as 1 before it is written: armed even when the write fails.
    reportFailure(services_.log, [this] { armAutoStart(services_.store, services_.config); });
    autoStartPending_ = services_.config.runAppOnStartup != 0;
}

void Program::loadedIdle() {
    if (headless_ && !processing_.isStarted() && !shutdownRequested_) {
        endWithoutScreen(
            QStringLiteral("Run Application On Startup is off and there is no screen to press "
                           "Start on: nothing would ever be sent."));
    }
}

bool Program::startFailed() {
    // Nothing runs without a log: the line has gone to standard error already.
    if (headless_) {
        endWithoutScreen(QString());
    }
    return headless_;
}

void Program::unloaded() {
    if (processing_.counters().databaseGivenUp) {
        exitStatus_ = kExitDatabaseUnanswered;
    }
    QTimer::singleShot(0, qApp, [status = exitStatus_] { QCoreApplication::exit(status); });
}

void Program::endWithoutScreen(const QString& why) {
    exitStatus_ = kExitConfiguration;
    requestShutdown();
    if (!why.isEmpty()) {
        guarded([&] { services_.log.WriteLog(why, true, false); });
    }
}

void Program::setStatusText(const QString& text) {
    if (window_ != nullptr) {
        window_->setStatusText(text);
    }
    notifier_.status(statusLine(text, processing_.counters()));
}

void Program::setProcessingControls(bool processing) {
    if (window_ != nullptr) {
        window_->setProcessingControls(processing);
    }
}

void Program::setConfigurationAvailable(bool available) {
    if (window_ != nullptr) {
        window_->setConfigurationAvailable(available);
    }
}

void Program::showConfigurationModal() {
    if (headless_ || window_ == nullptr) {
        endWithoutScreen(QStringLiteral("There is no screen to show the configuration window "
                                        "on: complete the settings in ") +
                         services_.store.fileName() + QStringLiteral("."));
        return;
    }
    window_->showConfigurationModal();
}

void Program::serveMetrics() {
    QString why;
    const auto address = MetricsServer::parse(*environment_.metrics, why);
    metrics_ = std::make_unique<MetricsServer>([this] { return state(); });
    const QString line = address && metrics_->listen(*address, why)
                             ? QStringLiteral("Metrics and health checks are served on %1 port %2.")
                                   .arg(address->host.toString())
                                   .arg(metrics_->port())
                             : why;
    guarded([&] { services_.log.WriteLog(line, true, false); });
}

QString Program::countsText() const {
    return countsLine(state());
}

ServiceState Program::state() const {
    ServiceState state;
    state.counters = processing_.counters();
    state.started = processing_.isStarted();
    state.cycleRunning = processing_.isCycleRunning();
    if (owned_) {
        const SmsSender& sms = owned_->sms;
        state.throttleAnswers = sms.throttleAnswers();
        state.smppBinds = sms.binds();
        state.smppLink = sms.linkCounts();
        state.smppPacedWaits = sms.pacedWaits();
        state.smppRate = sms.pacedRate();
        state.smppSessionsBound = sms.sessionsBound();
        state.smppSubmitsByServer = sms.submitsByServer();
        state.smtpConnections = owned_->transport.connections();
    }
    const QElapsedTimer& wait = state.counters.databaseWait;
    state.databaseWaitS = wait.isValid() ? double(wait.elapsed()) / 1000.0 : 0;
    state.now = services_.clock.now();
    return state;
}

}  // namespace korvane
