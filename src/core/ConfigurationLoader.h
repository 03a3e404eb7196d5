#pragma once

#include <QByteArray>
#include <QString>
#include <QtGlobal>
#include <vector>

#include "core/RunConfiguration.h"

namespace korvane {

class SettingsStore;

// One stored setting: where it lives, its default, the RunConfiguration member it fills and
// where the configuration window shows it. Text settings are stored together when the
// configuration window closes; flags at once when their box changes.
struct Setting {
    enum class Shown {
        Box,        // a box of its own in the configuration window (the ui names it)
        Selection,  // the data source's path and type: from the "..." selection
        Further,    // listed in the window of further settings
    };
    const char* section;
    const char* key;
    const char* defaultValue;
    QString RunConfiguration::*text;  // a text setting, or
    qint32 RunConfiguration::*flag;   // a flag
    Shown shown;
    bool secret;  // shown masked, never logged

    bool isFlag() const { return flag != nullptr; }
    // A text setting with a box of its own in the configuration window.
    bool inTextBox() const { return !isFlag() && shown == Shown::Box; }
    bool isFurther() const { return shown == Shown::Further; }
    // The stored value, or the default where there is none.
    QString read(const SettingsStore& store) const;
    // Into the configuration, as read from the store.
    void load(const SettingsStore& store, RunConfiguration& config) const;
};

// Every setting, in the order they are read: adding one is a line here (and its box, or a
// field in the window of further settings, which lists every text setting without a box).
const std::vector<Setting>& settings();
// The setting of a configuration member.
const Setting& settingOf(qint32 RunConfiguration::*flag);

// A stored flag: a whole number in 32-bit range is taken as it is; anything else (hand-edited
// text, an empty value, a number out of range) reads as the key's default.
qint32 parseFlag(const QString& text, qint32 defaultValue);

// Fills every field from the store.
void LoadConfiguration(const SettingsStore& store, RunConfiguration& config);
// Whether processing starts by itself (AutoStartPending): any number but 0 says so, and is
// stored back as 1, as the main window's box stores it when ticked.
bool armAutoStart(SettingsStore& store, RunConfiguration& config);

// The token endpoint replaced a refresh token: every key that held the old one gets the new
// one, in the configuration and the store, at once (the old one may no longer work).
void storeRotatedRefreshToken(SettingsStore& store, RunConfiguration& config, const QString& old,
                              const QString& fresh);

// Stores a check box's flag at once, as both windows' boxes do.
void storeFlag(SettingsStore& store, RunConfiguration& config, qint32 RunConfiguration::*flag,
               bool checked);

}  // namespace korvane
