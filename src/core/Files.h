#pragma once

#include <QFileInfo>
#include <QString>

namespace korvane {

// An attachment must be an ordinary file that a directory listing shows: not a folder, not
// hidden.
inline bool isOrdinaryFile(const QString& path) {
    const QFileInfo info(path);
    return !path.isEmpty() && info.isFile() && !info.isHidden();
}

}  // namespace korvane
