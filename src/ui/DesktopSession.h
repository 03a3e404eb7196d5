#pragma once

#include <functional>

class QWidget;

namespace korvane {

// The desktop session around the main window. Ending, it may quit the program without
// closing the window first (unloaded then runs); and it asks first, where the close rule
// applies as to any other close: no end while processing runs (busy).
void watchDesktopSession(QWidget* window, std::function<bool()> busy,
                         std::function<void()> unloaded);

// Before the application is made: with no display at all (a server, a service) Korvane runs
// without a window rather than abort, and says so.
void offscreenWithoutDisplay();
// After: the window is drawn nowhere, so nobody could press Start or fill in the settings.
bool drawnNowhere();

}  // namespace korvane
