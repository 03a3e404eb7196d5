#include "ui/SingleInstance.h"

#include <QDir>
#include <QStandardPaths>

#include "core/SettingsStore.h"

namespace korvane {

SingleInstance::SingleInstance() : lock_(lockPath()) {
    // Age alone never makes a lock stale: a long-running Korvane holds it for weeks.
    lock_.setStaleLockTime(0);
}

QString SingleInstance::lockPath() {
    QString folder = QStandardPaths::writableLocation(QStandardPaths::RuntimeLocation);
    if (folder.isEmpty()) {
        folder = QDir::tempPath();
    }
    return folder + QLatin1Char('/') + SettingsStore::kApplicationName + QStringLiteral(".lock");
}

bool SingleInstance::tryAcquire() {
    return lock_.tryLock(0);
}

}  // namespace korvane
