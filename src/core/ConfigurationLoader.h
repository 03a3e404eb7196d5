#pragma once

#include <QString>
#include <QtGlobal>
#include <vector>

#include "core/RunConfiguration.h"

namespace korvane {

class SettingsStore;

// One stored text setting: where it lives, its default and the field it fills.
struct TextSetting {
    const char* section;
    const char* key;
    const char* defaultValue;
    QString RunConfiguration::*field;
};

namespace SettingKeys {
extern const char* const kApplication;
extern const char* const kRunAppOnStartup;
extern const char* const kDontSendProcessedMsgs;
}  // namespace SettingKeys

// The thirteen text settings in the order they are read.
const std::vector<TextSetting>& textSettings();

// A stored flag: a whole number in 32-bit range is taken as it is; anything else (hand-edited
// text, an empty value, a number out of range) reads as the key's default.
qint32 parseFlag(const QString& text, qint32 defaultValue);

qint32 readRunAppOnStartup(const SettingsStore& store);
qint32 readDontSendProcessedMsgs(const SettingsStore& store);

// The main window's "Run Application On Startup" box, as start-up sees it.
class StartupOptionBox {
public:
    virtual ~StartupOptionBox();
    // Setting a different state runs the box's change handling (which stores the flag).
    virtual void setRunAppOnStartup(bool checked) = 0;
    virtual bool runAppOnStartup() const = 0;
};

// Fills every field from the store and sets the main window's box; returns AutoStartPending.
bool LoadConfiguration(const SettingsStore& store, RunConfiguration& config,
                       StartupOptionBox& mainWindowBox);

// Stores a check box's flag at once, as both windows' boxes do.
void storeRunAppOnStartup(SettingsStore& store, RunConfiguration& config, bool checked);
void storeDontSendProcessedMsgs(SettingsStore& store, RunConfiguration& config, bool checked);

}  // namespace korvane
