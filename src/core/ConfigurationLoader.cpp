#include "core/ConfigurationLoader.h"

#include <algorithm>

#include "core/SettingsStore.h"

namespace korvane {

namespace {
using C = RunConfiguration;
using Shown = Setting::Shown;
constexpr QString C::*kNoText = nullptr;
constexpr qint32 C::*kNoFlag = nullptr;
}  // namespace

const std::vector<Setting>& settings() {
    static const std::vector<Setting> all = {
        {"DSNSettings", "DSNPath", "Korvane", &C::dsnPath, kNoFlag, Shown::Selection, false},
        {"DSNSettings", "DSNName", "Korvane", &C::dsnName, kNoFlag, Shown::Box, false},
        {"DSNSettings", "DSNDBUser", "", &C::dsnDbUser, kNoFlag, Shown::Box, false},
        {"DSNSettings", "DSNDBPassword", "", &C::dsnDbPassword, kNoFlag, Shown::Box, true},
        {"DSNSettings", "DSNType", DsnType::kFile, &C::dsnType, kNoFlag, Shown::Selection, false},
        {"Telvoro", "CellServer", "127.0.0.1", &C::cellServer, kNoFlag, Shown::Box, false},
        {"Telvoro", "CellPort", "7070", &C::cellPort, kNoFlag, Shown::Box, false},
        {"Telvoro", "CellUserName", "guest", &C::cellUserName, kNoFlag, Shown::Box, false},
        {"Telvoro", "CellPassword", "quill", &C::cellPassword, kNoFlag, Shown::Box, true},
        {"Telvoro", "SubmitsPerSecond", "0", &C::submitsPerSecond, kNoFlag, Shown::Further, false},
        {"Telvoro", "SmppReceiptIds", "", &C::smppReceiptIds, kNoFlag, Shown::Further, false},
        {"Telvoro", "CellTls", "0", &C::cellTls, kNoFlag, Shown::Further, false},
        {"Telvoro", "CellCAFile", "", &C::cellCaFile, kNoFlag, Shown::Further, false},
        {"Telvoro", "CellCertFile", "", &C::cellCertFile, kNoFlag, Shown::Further, false},
        {"Telvoro", "CellKeyFile", "", &C::cellKeyFile, kNoFlag, Shown::Further, false},
        {"Telvoro", "CellTlsInsecure", "0", &C::cellTlsInsecure, kNoFlag, Shown::Further, false},
        {"Telvoro", "CellSessions", "1", &C::cellSessions, kNoFlag, Shown::Further, false},
        {"Telvoro", "CellServer2", "", &C::cellServer2, kNoFlag, Shown::Further, false},
        {"Telvoro", "CellPort2", "", &C::cellPort2, kNoFlag, Shown::Further, false},
        {"Telvoro", "CellUserName2", "", &C::cellUserName2, kNoFlag, Shown::Further, false},
        {"Telvoro", "CellPassword2", "", &C::cellPassword2, kNoFlag, Shown::Further, true},
        {"Email", "SMTPServer", "127.0.0.1", &C::smtpServer, kNoFlag, Shown::Box, false},
        {"Email", "SMTPPort", "25", &C::smtpPort, kNoFlag, Shown::Box, false},
        {"Email", "SMTPUserName", "", &C::smtpUserName, kNoFlag, Shown::Box, false},
        {"Email", "SMTPPassword", "", &C::smtpPassword, kNoFlag, Shown::Box, true},
        {"Email", "SMTPAuth", "password", &C::smtpAuth, kNoFlag, Shown::Further, false},
        {"Email", "SMTPTokenUrl", "", &C::smtpTokenUrl, kNoFlag, Shown::Further, false},
        {"Email", "SMTPClientId", "", &C::smtpClientId, kNoFlag, Shown::Further, false},
        {"Email", "SMTPClientSecret", "", &C::smtpClientSecret, kNoFlag, Shown::Further, true},
        {"Email", "SMTPRefreshToken", "", &C::smtpRefreshToken, kNoFlag, Shown::Further, true},
        {"Email", "SMTPScope", "", &C::smtpScope, kNoFlag, Shown::Further, false},
        {"Email", "SMTPCAFile", "", &C::smtpCaFile, kNoFlag, Shown::Further, false},
        {"Email", "SMTPServer2", "", &C::smtpServer2, kNoFlag, Shown::Further, false},
        {"Email", "SMTPPort2", "", &C::smtpPort2, kNoFlag, Shown::Further, false},
        {"Email", "SMTPUserName2", "", &C::smtpUserName2, kNoFlag, Shown::Further, false},
        {"Email", "SMTPPassword2", "", &C::smtpPassword2, kNoFlag, Shown::Further, true},
        {"Email", "SMTPAuth2", "", &C::smtpAuth2, kNoFlag, Shown::Further, false},
        {"Email", "SMTPTokenUrl2", "", &C::smtpTokenUrl2, kNoFlag, Shown::Further, false},
        {"Email", "SMTPClientId2", "", &C::smtpClientId2, kNoFlag, Shown::Further, false},
        {"Email", "SMTPClientSecret2", "", &C::smtpClientSecret2, kNoFlag, Shown::Further, true},
        {"Email", "SMTPRefreshToken2", "", &C::smtpRefreshToken2, kNoFlag, Shown::Further, true},
        {"Email", "SMTPScope2", "", &C::smtpScope2, kNoFlag, Shown::Further, false},
        {"Application", "RunAppOnStartup", "0", kNoText, &C::runAppOnStartup, Shown::Box, false},
        {"Application", "DontSendProcessedMsgs", "1", kNoText, &C::dontSendProcessedMsgs,
         Shown::Box, false},
        {"Application", "MaxAttempts", "5", &C::maxAttempts, kNoFlag, Shown::Further, false},
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

void LoadConfiguration(const SettingsStore& store, RunConfiguration& config) {
    for (const Setting& setting : settings()) {
        setting.load(store, config);
    }
}

bool armAutoStart(SettingsStore& store, RunConfiguration& config) {
    if (config.runAppOnStartup == 0) {
        return false;
    }
    storeFlag(store, config, &RunConfiguration::runAppOnStartup, true);
    return true;
}

void storeRotatedRefreshToken(SettingsStore& store, RunConfiguration& config, const QString& old,
                              const QString& fresh) {
    for (const Setting& setting : settings()) {
        if ((setting.text == &C::smtpRefreshToken || setting.text == &C::smtpRefreshToken2) &&
            config.*setting.text == old) {
            config.*setting.text = fresh;
            store.write(QLatin1String(setting.section), QLatin1String(setting.key), fresh);
        }
    }
}

void storeFlag(SettingsStore& store, RunConfiguration& config, qint32 RunConfiguration::*flag,
               bool checked) {
    const Setting& setting = settingOf(flag);
    config.*flag = checked ? 1 : 0;
    store.write(QLatin1String(setting.section), QLatin1String(setting.key),
                QString::number(config.*flag));
}

}  // namespace korvane
