#include "support/TempProfile.h"

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

QString TempProfile::settingsFile() const {
    return configHome() + QStringLiteral("/Dravik_Korvane.conf");
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
        const int separator = line.indexOf(QStringLiteral(" : "));
        if (separator == 22 || separator == 20) {
            line = line.mid(separator + 3);
        }
    }
    return lines;
}

}  // namespace korvane::test
