#pragma once

namespace korvane {

class ActivityLog;
class Clock;
class ConnectionChecks;
class EmailChannel;
class SettingsStore;
class SmsChannel;
class StartupOptionBox;
struct RunConfiguration;

// What processing and the windows work with; built once, by Program.
struct Services {
    SettingsStore& store;
    RunConfiguration& config;
    ActivityLog& log;
    SmsChannel& sms;
    EmailChannel& email;
    const Clock& clock;
};

// The configuration window's: the same, its test actions, and the main window's start-up box
// that its own box keeps in step.
struct ConfigServices : Services {
    ConnectionChecks& checks;
    StartupOptionBox& mainWindowBox;
};

}  // namespace korvane
