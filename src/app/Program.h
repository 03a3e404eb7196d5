#pragma once

#include <QObject>
#include <memory>
#include <utility>

#include "app/ConnectionChecks.h"
#include "app/ServiceNotifier.h"
#include "app/Services.h"
#include "core/EnvironmentSettings.h"
#include "core/StopDeadline.h"
#include "dispatch/ProcessView.h"
#include "dispatch/ProcessingControl.h"
#include "dispatch/ReceiptDesk.h"
#include "dispatch/ReplyDesk.h"

namespace korvane {

class MetricsServer;
class TerminationSignals;
struct ServiceState;

// The program put together: the clock, the settings and the configuration read from them, the
// log, the senders and their channels, the cycle's connection to the table, the desks for
// receipts and replies, processing, the configuration window's test actions, and the
// service's reports (a service manager's status line, the metrics endpoint). It decides how
// the program ends: on a signal, when nothing could ever run without a screen, and with which
// exit status. The main window shows what processing shows (Program passes it on) and drives
// it.
class Program : public QObject, public ProcessView {
    Q_OBJECT

public:
    // EX_CONFIG: a service manager that sees it does not start the program again.
    static constexpr int kExitConfiguration = 78;
    // EX_TEMPFAIL: the program had to end while the database did not answer; its thread was
    // left behind, so the program ends without running its destructors.
    static constexpr int kExitDatabaseUnanswered = 75;
    // Set on shutdown: messages in flight get this long, then their sends are abandoned.
    static constexpr int kStopGraceMs = 10000;

    // headless: drawn nowhere, so nobody could press Start or fill in the configuration.
    Program(const EnvironmentSettings& environment, bool headless);
    // On the caller's services, without the service's reports (the windows' tests).
    Program(Services services, bool headless);
    ~Program() override;
    Program(const Program&) = delete;
    Program& operator=(const Program&) = delete;

    // A service gets a soft limit of 1,024 descriptors by default: raised to the hard limit,
    // so that the log, the database and the channels always find one.
    static void raiseDescriptorLimit();

    Services services() const { return services_; }
    ProcessingControl& processing() { return processing_; }
    ConnectionChecks& checks() { return checks_; }
    // The window that shows processing. From here on signals end the program and the
    // service's reports run.
    void attach(ProcessView& window);
    // The window is going: nothing more is passed on to it.
    void detach() { window_ = nullptr; }
    // The event loop, until the program ends; returns its exit status.
    int exec();

    // Asks for a stop and a close, as SIGTERM does; the window closes once the cycle ends
    // (readyToEnd).
    void requestShutdown();
    // Asked to end, and no cycle holds the end: readyToEnd. Whatever else holds it (an open
    // configuration window) asks again once it has let go.
    void endIfAsked();
    bool shutdownRequested() const { return shutdownRequested_; }
    // Reads the configuration from the settings store; a stored "Run Application On Startup"
    // arms the automatic start, once.
    void loadConfiguration();
    bool autoStartPending() const { return autoStartPending_; }
    // The automatic start, if armed; disarmed either way.
    bool takeAutoStart() { return std::exchange(autoStartPending_, false); }
    // The load ended without a start to come: without a screen, nothing ever would.
    void loadedIdle();
    // Start could not begin (the log cannot be written). Without a screen the program ends;
    // false when a person has to be told.
    bool startFailed();
    // The window has closed: the program ends.
    void unloaded();
    // The counts for the window's status bar and the tray (countsLine), from memory only.
    QString countsText() const;
    // 0, kExitConfiguration or kExitDatabaseUnanswered.
    int exitStatus() const { return exitStatus_; }

    // ProcessView: passed on to the window; the status line to a service manager too.
    void setStatusText(const QString& text) override;
    void setProcessingControls(bool processing) override;
    void setConfigurationAvailable(bool available) override;
    void showConfigurationModal() override;

Q_SIGNALS:
    // Asked to end (a signal, the session ending): an open configuration window closes (and
    // saves) as on any close.
    void stopping();
    // Asked to end and no cycle running: the window stops what is started and closes.
    void readyToEnd();

private:
    struct Owned;
    Program(std::unique_ptr<Owned> owned, const Services* given, const EnvironmentSettings& env,
            bool headless);
    void endWithoutScreen(const QString& why);
    void serveMetrics();
    ServiceState state() const;

    StopDeadline stop_;
    std::unique_ptr<Owned> owned_;  // what the program runs on, unless given
    Services services_;
    EnvironmentSettings environment_;
    bool headless_;
    Counters counters_;
    ReceiptDesk receipts_;
    ReplyDesk replies_;
    ProcessingControl processing_;
    ConnectionChecks checks_;
    ProcessView* window_ = nullptr;
    ServiceNotifier notifier_;
    std::unique_ptr<MetricsServer> metrics_;
    TerminationSignals* signals_ = nullptr;
    bool shutdownRequested_ = false;
    bool autoStartPending_ = false;
    int exitStatus_ = 0;
};

}  // namespace korvane
