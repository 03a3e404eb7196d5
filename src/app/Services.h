#pragma once

namespace korvane {

class ActivityLog;
class Clock;
class EmailChannel;
class SettingsStore;
class SmsChannel;
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

}  // namespace korvane
