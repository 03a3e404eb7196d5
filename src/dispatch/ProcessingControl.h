#pragma once

#include <QObject>
#include <QTimer>

#include "dispatch/CycleControl.h"
#include "dispatch/DispatchCycle.h"

namespace korvane {

// Started or stopped: the Start and Stop actions, the configuration check before each cycle,
// and Timer1, which runs one dispatch cycle ten seconds after the previous one ended.
class ProcessingControl : public QObject, public CycleControl {
    Q_OBJECT

public:
    static constexpr int kInterval = 10000;

    ProcessingControl(DispatchCycle::Parts parts, ProcessView& window);

    // The Start action; its first cycle begins at once and ends with cycleEnded. Raises, with
    // the controls back in the idle state, when the log cannot be written.
    void cmdStart_Click();
    // The Stop action; a running cycle finishes its row first.
    void cmdStop_Click() override;
    bool ValidateConfiguration() override;
    // Begins a dispatch cycle unless one is running; cycleEnded tells when it has ended.
    void Timer1_Timer();

    // Rows out at once in a cycle.
    void setRowsOut(int rows) { cycle_.setRowsOut(rows); }
    void setStoreFactory(DispatchCycle::StoreFactory factory) {
        cycle_.setStoreFactory(std::move(factory));
    }
    std::unique_ptr<CycleStore> makeStore() const { return cycle_.makeStore(); }
    const Counters& counters() const { return cycle_.counters(); }

    bool isStarted() const { return started_; }
    bool StopRequested() const override { return stopRequested_; }
    bool isCycleRunning() const { return cycleRunning_; }
    bool isTimer1On() const { return timer1_.isActive(); }
    // Timer1 on keeps a running interval; off stops it.
    void setTimer1(bool on) override;

Q_SIGNALS:
    // A cycle has ended (a program asked to end may now end).
    void cycleEnded();

private:
    QCoro::Task<> runCycle();
    QCoro::Task<> endSession();
    void cycleEnds();

    const RunConfiguration& config_;
    ActivityLog& log_;
    ProcessView& window_;
    DispatchCycle cycle_;
    QTimer timer1_;
    bool started_ = false;
    bool stopRequested_ = false;
    bool cycleRunning_ = false;  // or the gateway's session ends after a Stop
    bool inStop_ = false;
};

}  // namespace korvane
