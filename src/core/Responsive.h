#pragma once

#include <QDeadlineTimer>
#include <functional>

namespace korvane {

// Waits for done() while the thread's event loop runs: sockets deliver, timers fire, and the
// window repaints and answers its controls. True when done() held before the deadline.
bool waitResponsively(const std::function<bool()>& done, QDeadlineTimer deadline);

}  // namespace korvane
