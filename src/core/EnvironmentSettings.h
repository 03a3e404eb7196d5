#pragma once

#include <QString>
#include <optional>
#include <vector>

namespace korvane {

// What the process's environment sets, beside the stored settings: for service managers,
// scripted runs and contracts that the configuration window has no box for.
struct EnvironmentSettings {
    int smppWindow = 0;              // submit_sm out at once; 0: the sender's default
    double smppRate = 0;             // submits a second, over SubmitsPerSecond; 0: none
    std::optional<QString> metrics;  // where /metrics and /health are served; unset: nowhere
    bool printMessageBoxes = false;  // boxes printed to standard output, nobody asked

    // Read through every row, from this process's environment.
    static EnvironmentSettings fromProcess();
};

// One environment variable: its name, unchanged, and what it sets.
struct EnvironmentSetting {
    const char* name;
    void (*apply)(EnvironmentSettings& into, const QString& value);
};

// Every environment variable Korvane reads: adding one is a row here and its member above.
const std::vector<EnvironmentSetting>& environmentSettings();

}  // namespace korvane
