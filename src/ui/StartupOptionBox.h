#pragma once

namespace korvane {

// The main window's "Run Application On Startup" box, which the configuration window's box
// keeps in step.
class StartupOptionBox {
public:
    virtual ~StartupOptionBox() = default;
    // Setting a different state runs the box's change handling (which stores the flag).
    virtual void setRunAppOnStartup(bool checked) = 0;
    virtual bool runAppOnStartup() const = 0;
};

}  // namespace korvane
