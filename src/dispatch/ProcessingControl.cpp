#include "dispatch/ProcessingControl.h"

#include "core/ActivityLog.h"
#include "core/KorvaneError.h"
#include "core/RunConfiguration.h"
#include "dispatch/ProcessView.h"

namespace korvane {

ProcessingControl::ProcessingControl(DispatchCycle::Parts parts, ProcessView& window)
    : config_(parts.config),
      log_(parts.log),
      window_(window),
      cycle_(*this, std::move(parts), window) {
    timer1_.setInterval(kInterval);
    connect(&timer1_, &QTimer::timeout, this, &ProcessingControl::Timer1_Timer);
}

void ProcessingControl::setTimer1(bool on) {
    if (!on) {
        timer1_.stop();
    } else if (!timer1_.isActive()) {
        timer1_.start();
    }
}

void ProcessingControl::cmdStart_Click() {
    stopRequested_ = false;
    started_ = true;
    cycle_.retryGateway();
    window_.setProcessingControls(true);
    try {
        log_.WriteLog(QStringLiteral("Starting Process..."), true, false);
    } catch (const KorvaneError&) {
        // No cycle could log its work: the controls stay true to what runs.
        started_ = false;
        window_.setProcessingControls(false);
        throw;
    }
    setTimer1(true);
    // Start pressed right after Stop, while the stopped cycle still finishes its row: that
    // cycle carries on as the running one.
    if (!cycleRunning_) {
        Timer1_Timer();
    }
}

void ProcessingControl::cmdStop_Click() {
    stopRequested_ = true;
    setTimer1(false);
    started_ = false;
    window_.setProcessingControls(false);
    if (cycleRunning_) {
        window_.setConfigurationAvailable(false);
    }
    log_.WriteLog(QStringLiteral("Process Stopped..."), true, false);
    log_.WriteLog(QStringLiteral("Idle..."), true, false);
    if (!cycleRunning_) {
        cycle_.endGatewaySession();  // a running cycle ends it as it finishes
    }
}

bool ProcessingControl::ValidateConfiguration() {
    const char* problem = nullptr;
    if (config_.dsnName.isEmpty()) {
        problem = "DSN Name is empty.";
    } else if (config_.cellServer.isEmpty() || config_.cellPort.isEmpty()) {
        problem = "Telvoro Server Address/Server Port is empty.";
    } else if (config_.cellUserName.isEmpty()) {
        problem = "Telvoro User Name is empty.";
    } else if (config_.smtpServer.isEmpty() || config_.smtpPort.isEmpty()) {
        problem = "SMTP Server Address/Server Port is empty.";
    }
    if (problem != nullptr) {
        log_.WriteLog(QString::fromLatin1(problem), true, false);
        return false;
    }
    return true;
}

void ProcessingControl::Timer1_Timer() {
    if (cycleRunning_) {
        return;
    }
    cycleRunning_ = true;
    runCycle();  // goes on by itself while it waits
}

QCoro::Task<> ProcessingControl::runCycle() {
    co_await cycle_.run();
    cycleRunning_ = false;
    if (!started_) {
        window_.setConfigurationAvailable(true);
    }
    Q_EMIT cycleEnded();
}

}  // namespace korvane
