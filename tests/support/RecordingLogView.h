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
    void yield() override;

    QString pane;
    QStringList messages;
    int yields = 0;
    // Runs inside every yield, to act as the user would during long work.
    std::function<void()> onYield;
    // Runs after every entry the pane gets, to act at a line's moment.
    std::function<void()> onAppend;
};

}  // namespace korvane::test
