#pragma once

#include <QString>

namespace korvane {

// What the activity log reaches beyond its file: the live pane and the message box. The main window
// implements it; headless runs and tests use their own.
class LogView {
public:
    virtual ~LogView();
    // Appends an already formatted pane entry (ends with CR LF).
    virtual void appendToPane(const QString& entry) = 0;
    virtual void showMessage(const QString& text) = 0;
};

}  // namespace korvane
