#pragma once

#include <QDeadlineTimer>

#include "core/Responsive.h"
#include "dispatch/ProcessingControl.h"

namespace korvane::test {

// A cycle goes on by itself while it waits for the network; a test that asserts on what it
// did waits for its end first, as only a test may.
inline void untilCycleEnds(const ProcessingControl& control) {
    waitResponsively([&control] { return !control.isCycleRunning(); }, QDeadlineTimer(120000));
}

}  // namespace korvane::test
