#include "core/ConfigurationLoader.h"

#include "core/SettingsStore.h"

namespace korvane {

namespace SettingKeys {
const char* const kApplication = "Application";
const char* const kRunAppOnStartup = "RunAppOnStartup";
const char* const kDontSendProcessedMsgs = "DontSendProcessedMsgs";
}  // namespace SettingKeys

StartupOptionBox::~StartupOptionBox() = default;

const std::vector<TextSetting>& textSettings() {
    static const std::vector<TextSetting> settings = {
        {"DSNSettings", "DSNPath", "Korvane", &RunConfiguration::dsnPath},
        {"DSNSettings", "DSNName", "Korvane", &RunConfiguration::dsnName},
        {"DSNSettings", "DSNDBUser", "", &RunConfiguration::dsnDbUser},
        {"DSNSettings", "DSNDBPassword", "", &RunConfiguration::dsnDbPassword},
        {"DSNSettings", "DSNType", "File", &RunConfiguration::dsnType},
        {"Telvoro", "CellServer", "127.0.0.1", &RunConfiguration::cellServer},
        {"Telvoro", "CellPort", "7070", &RunConfiguration::cellPort},
        {"Telvoro", "CellUserName", "guest", &RunConfiguration::cellUserName},
        {"Telvoro", "CellPassword", "quill", &RunConfiguration::cellPassword},
        {"Email", "SMTPServer", "127.0.0.1", &RunConfiguration::smtpServer},
        {"Email", "SMTPPort", "25", &RunConfiguration::smtpPort},
        {"Email", "SMTPUserName", "", &RunConfiguration::smtpUserName},
        {"Email", "SMTPPassword", "", &RunConfiguration::smtpPassword},
    };
    return settings;
}

qint32 parseFlag(const QString& text, qint32 defaultValue) {
    bool ok = false;
    const qint32 value = text.trimmed().toInt(&ok, 10);
    return ok ? value : defaultValue;
}

qint32 readRunAppOnStartup(const SettingsStore& store) {
    return parseFlag(store.read(QLatin1String(SettingKeys::kApplication),
                                QLatin1String(SettingKeys::kRunAppOnStartup), QStringLiteral("0")),
                     0);
}

qint32 readDontSendProcessedMsgs(const SettingsStore& store) {
    return parseFlag(
        store.read(QLatin1String(SettingKeys::kApplication),
                   QLatin1String(SettingKeys::kDontSendProcessedMsgs), QStringLiteral("1")),
        1);
}

bool LoadConfiguration(const SettingsStore& store, RunConfiguration& config,
                       StartupOptionBox& mainWindowBox) {
    for (const TextSetting& setting : textSettings()) {
        config.*setting.field =
            store.read(QLatin1String(setting.section), QLatin1String(setting.key),
                       QString::fromLatin1(setting.defaultValue));
    }
    config.runAppOnStartup = readRunAppOnStartup(store);
    // Any number but 0 ticks the box; its change handling then stores "1".
    mainWindowBox.setRunAppOnStartup(config.runAppOnStartup != 0);
    const bool autoStartPending = mainWindowBox.runAppOnStartup();
    config.dontSendProcessedMsgs = readDontSendProcessedMsgs(store);
    return autoStartPending;
}

void storeRunAppOnStartup(SettingsStore& store, RunConfiguration& config, bool checked) {
    config.runAppOnStartup = checked ? 1 : 0;
    store.write(QLatin1String(SettingKeys::kApplication),
                QLatin1String(SettingKeys::kRunAppOnStartup),
                QString::number(config.runAppOnStartup));
}

void storeDontSendProcessedMsgs(SettingsStore& store, RunConfiguration& config, bool checked) {
    config.dontSendProcessedMsgs = checked ? 1 : 0;
    store.write(QLatin1String(SettingKeys::kApplication),
                QLatin1String(SettingKeys::kDontSendProcessedMsgs),
                QString::number(config.dontSendProcessedMsgs));
}

}  // namespace korvane
