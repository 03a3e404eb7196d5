#pragma once

#include <functional>

#include "core/ActivityLog.h"
#include "core/KorvaneError.h"

namespace korvane {

// Runs an action whose log entries may fail: the log has copied a failed entry to standard
// error already, and the window carries on.
inline void guarded(const std::function<void()>& action) {
    try {
        action();
    } catch (const KorvaneError&) {
    }
}

// Runs an action that may fail; the failure is logged and shown in a message box.
inline void reportFailure(ActivityLog& log, const std::function<void()>& action) {
    try {
        action();
    } catch (const KorvaneError& error) {
        guarded([&] { log.WriteLog(errorLine(error), true, true); });
    }
}

}  // namespace korvane
