#pragma once

#include <QDeadlineTimer>
#include <QtGlobal>

namespace korvane {

// When the program must end (SIGTERM, the session closing): sends still in flight give up
// at this time instead of at their own, longer, limits. Forever until set.
class StopDeadline {
public:
    void set(QDeadlineTimer deadline) {
        deadline_ = deadline;
        ++changes_;
    }
    bool passed() const { return deadline_.hasExpired(); }
    // Counts set(): a wait that began before a change ends to take the new deadline in.
    quint64 changes() const { return changes_; }
    // The earlier of this and another deadline.
    QDeadlineTimer capped(QDeadlineTimer own) const {
        return deadline_.deadlineNSecs() < own.deadlineNSecs() ? deadline_ : own;
    }

private:
    QDeadlineTimer deadline_{QDeadlineTimer::Forever};
    quint64 changes_ = 0;
};

}  // namespace korvane
