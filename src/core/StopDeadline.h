#pragma once

#include <QDeadlineTimer>

namespace korvane {

// When the program must end (SIGTERM, the session closing): sends still in flight give up
// at this time instead of at their own, longer, limits. Forever until set.
class StopDeadline {
public:
    void set(QDeadlineTimer deadline) { deadline_ = deadline; }
    QDeadlineTimer get() const { return deadline_; }
    bool passed() const { return deadline_.hasExpired(); }
    // The earlier of this and another deadline.
    QDeadlineTimer capped(QDeadlineTimer own) const {
        return deadline_.deadlineNSecs() < own.deadlineNSecs() ? deadline_ : own;
    }

private:
    QDeadlineTimer deadline_{QDeadlineTimer::Forever};
};

}  // namespace korvane
