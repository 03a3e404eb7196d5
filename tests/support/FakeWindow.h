#pragma once

#include <QList>
#include <QStringList>
#include <functional>

#include "dispatch/ProcessView.h"

namespace korvane::test {

// The main window as processing sees it: what it was told, recorded.
class FakeWindow : public ProcessView {
public:
    void setStatusText(const QString& text) override { statuses << text; }
    void setProcessingControls(bool processing) override {
        controls << processing;
        configurationAvailable = !processing;
    }
    void setConfigurationAvailable(bool available) override { configurationAvailable = available; }
    void showConfigurationModal() override {
        ++configurationShown;
        if (onConfiguration) {
            onConfiguration();
        }
    }
    bool configurationAvailable = true;
    QStringList statuses;
    QList<bool> controls;
    int configurationShown = 0;
    std::function<void()> onConfiguration;
};

}  // namespace korvane::test
