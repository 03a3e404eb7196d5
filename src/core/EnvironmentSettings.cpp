#include "core/EnvironmentSettings.h"

namespace korvane {

const std::vector<EnvironmentSetting>& environmentSettings() {
    using E = EnvironmentSettings;
    static const std::vector<EnvironmentSetting> all = {
        // A number that is not a whole positive one leaves the sender's default.
        {"KORVANE_SMPP_WINDOW",
         [](E& into, const QString& value) { into.smppWindow = qMax(0, value.toInt()); }},
        // The contract's rate, where the gateway's account allows more than the stored one.
        {"KORVANE_SMPP_RATE",
         [](E& into, const QString& value) { into.smppRate = qMax(0.0, value.toDouble()); }},
        // PORT, HOST:PORT or [IPv6]:PORT; set but not valid, it is said in the log.
        {"KORVANE_METRICS", [](E& into, const QString& value) { into.metrics = value; }},
        // Tests and the headless demo: any value.
        {"KORVANE_PRINT_MESSAGE_BOXES",
         [](E& into, const QString&) { into.printMessageBoxes = true; }},
    };
    return all;
}

EnvironmentSettings EnvironmentSettings::fromProcess() {
    EnvironmentSettings settings;
    for (const EnvironmentSetting& row : environmentSettings()) {
        if (qEnvironmentVariableIsSet(row.name)) {
            row.apply(settings, qEnvironmentVariable(row.name));
        }
    }
    return settings;
}

}  // namespace korvane
