#pragma once

#include "core/Clock.h"

namespace korvane::test {

class FakeClock : public Clock {
public:
    explicit FakeClock(QDateTime start = QDateTime(QDate(2026, 12, 5), QTime(18, 1, 30)))
        : now_(std::move(start)) {}
    QDateTime now() const override;
    void set(const QDateTime& at) { now_ = at; }
    // Every read moves time on by this much (zero by default).
    void setStepPerRead(qint64 msecs) { step_ = msecs; }

private:
    mutable QDateTime now_;
    qint64 step_ = 0;
};

}  // namespace korvane::test
