#pragma once

#include <QStringList>
#include <functional>

#include "core/LogView.h"

namespace korvane::test {

// Records what the log sends to the pane and the message box instead of showing it.
class RecordingLogView : public LogView {
public:
    void appendToPane(const QString& entry) override;
    void showMessage(const QString& text) override;

    QString pane;
    QStringList messages;
    // Runs after every entry the pane gets, to act at a line's moment.
    std::function<void()> onAppend;
};

}  // namespace korvane::test
