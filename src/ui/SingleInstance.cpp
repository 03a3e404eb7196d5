#include "ui/SingleInstance.h"

#include <QDir>
#include <QStandardPaths>

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
    return folder + QStringLiteral("/Dravik_Korvane.lock");
}

bool SingleInstance::tryAcquire() {
    return lock_.tryLock(0);
}

}  // namespace korvane
