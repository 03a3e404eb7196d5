#include "core/ConfigurationLoader.h"

#include <algorithm>

#include "core/SettingsStore.h"

namespace korvane {

StartupOptionBox::~StartupOptionBox() = default;

namespace {
using C = RunConfiguration;
constexpr QString C::*kNoText = nullptr;
constexpr qint32 C::*kNoFlag = nullptr;
}  // namespace

const std::vector<Setting>& settings() {
    static const std::vector<Setting> all = {
        {"DSNSettings", "DSNPath", "Korvane", &C::dsnPath, kNoFlag, nullptr},
        {"DSNSettings", "DSNName", "Korvane", &C::dsnName, kNoFlag, "txtDSN"},
        {"DSNSettings", "DSNDBUser", "", &C::dsnDbUser, kNoFlag, "txtDBUser"},
        {"DSNSettings", "DSNDBPassword", "", &C::dsnDbPassword, kNoFlag, "txtDBPassword"},
        {"DSNSettings", "DSNType", DsnType::kFile, &C::dsnType, kNoFlag, nullptr},
        {"Telvoro", "CellServer", "127.0.0.1", &C::cellServer, kNoFlag, "txtCellServer"},
        {"Telvoro", "CellPort", "7070", &C::cellPort, kNoFlag, "txtCellPort"},
        {"Telvoro", "CellUserName", "guest", &C::cellUserName, kNoFlag, "txtCellUser"},
        {"Telvoro", "CellPassword", "quill", &C::cellPassword, kNoFlag, "txtCellPassword"},
        {"Telvoro", "SubmitsPerSecond", "0", &C::submitsPerSecond, kNoFlag, nullptr},
        {"Telvoro", "SmppReceiptIds", "", &C::smppReceiptIds, kNoFlag, nullptr},
        {"Email", "SMTPServer", "127.0.0.1", &C::smtpServer, kNoFlag, "txtSMTPServer"},
        {"Email", "SMTPPort", "25", &C::smtpPort, kNoFlag, "txtSMTPPort"},
        {"Email", "SMTPUserName", "", &C::smtpUserName, kNoFlag, "txtSMTPUser"},
        {"Email", "SMTPPassword", "", &C::smtpPassword, kNoFlag, "txtSMTPPassword"},
        {"Application", "RunAppOnStartup", "0", kNoText, &C::runAppOnStartup, "chkRunAppOnStartup"},
        {"Application", "DontSendProcessedMsgs", "1", kNoText, &C::dontSendProcessedMsgs,
         "chkDontSendProcessedMsgs"},
        {"Application", "MaxAttempts", "5", &C::maxAttempts, kNoFlag, nullptr},
    };
    return all;
}

const Setting& settingOf(qint32 RunConfiguration::*flag) {
    const std::vector<Setting>& all = settings();
    return *std::find_if(all.begin(), all.end(),
                         [flag](const Setting& setting) { return setting.flag == flag; });
}

QString Setting::read(const SettingsStore& store) const {
    return store.read(QLatin1String(section), QLatin1String(key),
                      QString::fromLatin1(defaultValue));
}

void Setting::load(const SettingsStore& store, RunConfiguration& config) const {
    if (isFlag()) {
        config.*flag = parseFlag(read(store), QString::fromLatin1(defaultValue).toInt());
    } else {
        config.*text = read(store);
    }
}

qint32 parseFlag(const QString& text, qint32 defaultValue) {
    bool ok = false;
    const qint32 value = text.trimmed().toInt(&ok, 10);
    return ok ? value : defaultValue;
}

bool LoadConfiguration(const SettingsStore& store, RunConfiguration& config,
                       StartupOptionBox& mainWindowBox) {
    for (const Setting& setting : settings()) {
        setting.load(store, config);
    }
    // Any number but 0 ticks the box; its change handling then stores "1".
    mainWindowBox.setRunAppOnStartup(config.runAppOnStartup != 0);
    return mainWindowBox.runAppOnStartup();
}

void storeFlag(SettingsStore& store, RunConfiguration& config, qint32 RunConfiguration::*flag,
               bool checked) {
    const Setting& setting = settingOf(flag);
    config.*flag = checked ? 1 : 0;
    store.write(QLatin1String(setting.section), QLatin1String(setting.key),
                QString::number(config.*flag));
}

}  // namespace korvane
