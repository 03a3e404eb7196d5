#include "core/SettingsStore.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QSettings>
#include <QStringList>

#include "core/KorvaneError.h"

namespace korvane {

const QString SettingsStore::kApplicationName = QStringLiteral("Dravik_Korvane");

namespace {
QString keyPath(const QString& section, const QString& key) {
    return section + QLatin1Char('/') + key;
}
}  // namespace

SettingsStore::SettingsStore()
    : settings_(std::make_unique<QSettings>(QSettings::NativeFormat, QSettings::UserScope,
                                            kApplicationName)) {}

SettingsStore::~SettingsStore() = default;

QString SettingsStore::read(const QString& section, const QString& key,
                            const QString& defaultValue) const {
    const QVariant value = settings_->value(keyPath(section, key));
    if (!value.isValid()) {
        return defaultValue;
    }
    // A hand-edited value with unquoted commas comes back as a list: keep it as typed.
    if (value.userType() == QMetaType::QStringList) {
        return value.toStringList().join(QLatin1Char(','));
    }
    return value.toString();
}

bool SettingsStore::contains(const QString& section, const QString& key) const {
    return settings_->contains(keyPath(section, key));
}

void SettingsStore::write(const QString& section, const QString& key, const QString& value) {
    writeAll({Entry{section, key, value}});
}

void SettingsStore::writeAll(const std::vector<Entry>& entries) {
    restrictFileMode();
    for (const Entry& entry : entries) {
        settings_->setValue(keyPath(entry.section, entry.key), entry.value);
    }
    settings_->sync();
    restrictFileMode();
    if (settings_->status() != QSettings::NoError) {
        throw KorvaneError(ErrorNumber::PathFileAccess,
                           QStringLiteral("Path/File access error: the settings could not be "
                                          "written to ") +
                               settings_->fileName());
    }
}

QString SettingsStore::fileName() const {
    return settings_->fileName();
}

void SettingsStore::restrictFileMode() {
    // Created 0600 before the first write; the atomic rewrite keeps the mode it finds.
    const QString path = settings_->fileName();
    QFile file(path);
    if (!file.exists()) {
        QDir().mkpath(QFileInfo(path).absolutePath());
        if (!file.open(QIODevice::WriteOnly)) {
            return;
        }
        file.close();
    }
    file.setPermissions(QFileDevice::ReadOwner | QFileDevice::WriteOwner);
}

}  // namespace korvane
