#include "support/TempProfile.h"

#include "core/SettingsStore.h"

#include <QDir>
#include <QFile>
#include <QSettings>

namespace korvane::test {

TempProfile::TempProfile() {
    QDir().mkpath(configHome());
    qputenv("XDG_CONFIG_HOME", configHome().toLocal8Bit());
    // QSettings caches its folders per process; point it at this profile explicitly.
    QSettings::setPath(QSettings::NativeFormat, QSettings::UserScope, configHome());
}

TempProfile::~TempProfile() = default;

QProcessEnvironment TempProfile::programEnvironment() const {
    QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
    const QString runtime = path(QStringLiteral("runtime"));
    QDir().mkpath(runtime);
    QFile::setPermissions(runtime,
                          QFileDevice::ReadOwner | QFileDevice::WriteOwner | QFileDevice::ExeOwner);
    env.insert(QStringLiteral("XDG_RUNTIME_DIR"), runtime);
    env.insert(QStringLiteral("XDG_CONFIG_HOME"), configHome());
    env.insert(QStringLiteral("XDG_DATA_HOME"), path(QStringLiteral("data")));
    env.insert(QStringLiteral("QT_QPA_PLATFORM"), QStringLiteral("offscreen"));
    env.insert(QStringLiteral("KORVANE_PRINT_MESSAGE_BOXES"), QStringLiteral("1"));
    return env;
}

QString TempProfile::installedProgram(const QString& built) const {
    // In a folder named bin the program logs per user (under XDG_DATA_HOME), as an installed
    // one does, rather than into the build folder.
    const QString copy = path(QStringLiteral("bin/korvane"));
    if (!QFile::exists(copy)) {
        QDir().mkpath(path(QStringLiteral("bin")));
        QFile::copy(built, copy);
    }
    return copy;
}

QString TempProfile::programLogsDir() const {
    return path(QStringLiteral("data/")) + SettingsStore::kApplicationName +
           QStringLiteral("/Logs");
}

QString TempProfile::settingsFile() const {
    return configHome() + QLatin1Char('/') + SettingsStore::kApplicationName +
           QStringLiteral(".conf");
}

QStringList TempProfile::logLines(const QString& fileName) const {
    QFile file(logsDir() + QLatin1Char('/') + fileName);
    if (!file.open(QIODevice::ReadOnly)) {
        return {};
    }
    QStringList lines = QString::fromUtf8(file.readAll()).split(QStringLiteral("\r\n"));
    if (!lines.isEmpty() && lines.last().isEmpty()) {
        lines.removeLast();
    }
    for (QString& line : lines) {
        const qsizetype separator = line.indexOf(QStringLiteral(" : "));
        if (separator == 22 || separator == 20) {
            line = line.mid(separator + 3);
        }
    }
    return lines;
}

}  // namespace korvane::test
