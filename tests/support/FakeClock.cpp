#include "support/FakeClock.h"

namespace korvane::test {

QDateTime FakeClock::now() const {
    const QDateTime result = now_;
    now_ = now_.addMSecs(step_);
    return result;
}

}  // namespace korvane::test
