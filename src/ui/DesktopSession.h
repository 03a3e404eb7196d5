#pragma once

#include <functional>

class QWidget;

namespace korvane {

// The desktop session around the main window. Ending, it may quit the program without
// closing the window first (unloaded then runs); and it asks first, where the close rule
// applies as to any other close: no end while processing runs (busy).
void watchDesktopSession(QWidget* window, std::function<bool()> busy,
                         std::function<void()> unloaded);

}  // namespace korvane
