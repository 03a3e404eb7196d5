#pragma once

#include <QString>
#include <functional>

#include "core/KorvaneError.h"

namespace korvane::test {

// The number of the KorvaneError the action raises (and its description), or 0.
inline qint32 errorNumberOf(const std::function<void()>& action, QString* description = nullptr) {
    try {
        action();
    } catch (const KorvaneError& error) {
        if (description != nullptr) {
            *description = error.description();
        }
        return error.number();
    }
    return 0;
}

}  // namespace korvane::test
