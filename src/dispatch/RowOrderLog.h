#pragma once

#include <QString>

#include "dispatch/PendingRow.h"

namespace korvane {

class ActivityLog;

// A cycle's row entries in row order: the row at the head writes its entries as they come,
// the rows behind it hold theirs until it is done. Once a row is claimed a log that cannot be
// written must not keep its outcome out of the row: the failure is held until the row is
// saved.
class RowOrderLog {
public:
    explicit RowOrderLog(ActivityLog& log) : log_(log) {}

    void note(PendingRow& pending, const QString& text);
    // Nothing is ahead of the row any more: what it held goes out, and from here its entries
    // are written as they come.
    void becomeHead(PendingRow& pending);
    // After an error: entries that fail are dropped.
    void setQuiet() { quiet_ = true; }
    bool quiet() const { return quiet_; }

private:
    void write(PendingRow& pending, const QString& text);

    ActivityLog& log_;
    bool quiet_ = false;
};

}  // namespace korvane
