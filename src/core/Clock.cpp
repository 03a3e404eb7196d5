#include "core/Clock.h"

namespace korvane {

Clock::~Clock() = default;

QDateTime SystemClock::now() const {
    return QDateTime::currentDateTime();
}

}  // namespace korvane
