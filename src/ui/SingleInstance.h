#pragma once

#include <QLockFile>
#include <QString>

namespace korvane {

// One Korvane per user: a lock file in the user's runtime folder. A lock left by a crashed
// run names a dead process and is taken over.
class SingleInstance {
public:
    SingleInstance();
    bool tryAcquire();
    static QString lockPath();

private:
    QLockFile lock_;
};

}  // namespace korvane
