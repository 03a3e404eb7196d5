#pragma once

#include <QDeadlineTimer>
#include <QTimer>
#include <functional>

#include "core/Responsive.h"

namespace korvane::test {

// Waits for done() while the event loop runs, looking again after every event and at least
// every 5 ms (for what another thread changes). QTest's own waits sleep 10 ms at a time, which
// every answer of a scripted peer would wait out.
inline bool waitFor(const std::function<bool()>& done, int timeoutMs = 8000) {
    QTimer poll;
    poll.start(5);
    return waitResponsively(done, QDeadlineTimer(timeoutMs));
}

// The event loop runs for ms, as an idle program's does.
inline void idleFor(int ms) {
    waitFor([] { return false; }, ms);
}

}  // namespace korvane::test
