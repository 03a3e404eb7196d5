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
        // A running cycle ends the session as it finishes.
        cycleRunning_ = true;
        inStop_ = true;
        endSession();
        inStop_ = false;
        if (cycleRunning_) {
            window_.setConfigurationAvailable(false);  // until the gateway has answered the unbind
        }
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
    cycleEnds();
}

// The unbind is waited for as a cycle is: no cycle begins, and the program does not end,
// before the gateway's session is over.
QCoro::Task<> ProcessingControl::endSession() {
    co_await cycle_.endGatewaySession();
    if (inStop_) {
        cycleRunning_ = false;  // over at once: nothing was bound
        co_return;
    }
    cycleEnds();
    if (started_) {
        Timer1_Timer();  // Start came meanwhile: its first cycle begins now
    }
}

void ProcessingControl::cycleEnds() {
    cycleRunning_ = false;
    if (!started_) {
        window_.setConfigurationAvailable(true);
    }
    Q_EMIT cycleEnded();
}

}  // namespace korvane
