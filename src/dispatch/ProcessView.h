#pragma once

#include <QString>

namespace korvane {

// What processing needs of the main window: the status line, the Start/Stop controls and the
// configuration window. The main window implements it; tests use their own.
class ProcessView {
public:
    virtual ~ProcessView() = default;
    // lblStatus, repainted at once.
    virtual void setStatusText(const QString& text) = 0;
    // Processing: Start entries off, Stop entries on, Configuration off; idle: the reverse.
    virtual void setProcessingControls(bool processing) = 0;
    // The Configuration entry alone: held off after Stop until the stopped cycle has saved
    // the row in hand.
    virtual void setConfigurationAvailable(bool available) = 0;
    // Returns when the user has closed the modal configuration window.
    virtual void showConfigurationModal() = 0;
};

}  // namespace korvane
