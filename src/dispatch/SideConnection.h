#pragma once

#include <QTimer>
#include <functional>
#include <memory>

#include "dispatch/CycleStore.h"

namespace korvane {

struct RunConfiguration;

// A connection of a desk's own, for what the gateway delivers between cycles: opened when
// wanted, closed after kIdleCloseMs unused or when a call through it failed.
class SideConnection {
public:
    using StoreFactory = std::function<std::unique_ptr<CycleStore>()>;
    static constexpr int kIdleCloseMs = 30000;

    SideConnection(const RunConfiguration& config, StoreFactory makeStore);
    // The open store; raises KorvaneError when the data source cannot be opened.
    QCoro::Task<CycleStore*> store();
    // A call through it failed: the next one opens anew.
    void failed() { store_.reset(); }
    // Done for now: closed unless wanted again within kIdleCloseMs. busy: still in use.
    void idle(const std::function<bool()>& busy);

private:
    const RunConfiguration& config_;
    StoreFactory makeStore_;
    std::unique_ptr<CycleStore> store_;
    std::function<bool()> busy_;
    QTimer idle_;
};

}  // namespace korvane
