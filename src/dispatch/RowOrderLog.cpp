#include "dispatch/RowOrderLog.h"

#include <utility>

#include "core/ActivityLog.h"

namespace korvane {

void RowOrderLog::note(PendingRow& pending, const QString& text) {
    if (pending.head) {
        write(pending, text);
    } else {
        pending.lines << text;
    }
}

void RowOrderLog::write(PendingRow& pending, const QString& text) {
    if (!pending.claimed && !quiet_) {
        log_.WriteLog(text, true, false);
        return;
    }
    log_.holdFailures();
    log_.WriteLog(text, true, false);
    if (std::optional<KorvaneError> failure = log_.releaseFailures();
        failure && !pending.logFailure && !quiet_) {
        pending.logFailure = failure;
    }
}

void RowOrderLog::becomeHead(PendingRow& pending) {
    pending.head = true;
    for (const QString& line : std::exchange(pending.lines, QStringList())) {
        write(pending, line);
    }
}

}  // namespace korvane
