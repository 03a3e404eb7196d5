#pragma once

#include <QDateTime>
#include <QSet>
#include <QVariant>
#include <vector>

#include "dispatch/MessageTable.h"
#include "dispatch/TableRow.h"

namespace korvane {

class CancelPoint;
class DatabaseConnection;

// The waiting rows of tblMessages read a page at a time, by key rather than by offset (rows
// claimed or written meanwhile do not shift the next page, and each page is an index range
// scan however far into the backlog it is), holding only the columns Korvane uses. With
// Priority, the rows above the one served now that came in since are read apart (higher()).
class WaitingRows {
public:
    WaitingRows(DatabaseConnection& connection, CancelPoint& cancel)
        : connection_(connection), cancel_(cancel) {}

    // The database's name, for the dialect of a row limit.
    void setDbms(const QString& dbms) { dbms_ = dbms; }
    // now: in whole seconds, Korvane's local time.
    void select(const MessageTable::Selection& selection, const QDateTime& now);
    qint64 countWaiting(qint32 dontSendProcessedMsgs);
    std::vector<TableRow> nextPage(int limit);
    std::vector<TableRow> nextHigher(const QVariant& priority, int limit);

private:
    QString limited(const QString& sql, int limit) const;
    // advance: the rows read move the selection's key on.
    std::vector<TableRow> readPage(MessageTable::Page kind, const QVariantList& keys, int limit,
                                   int& rowsRead, bool advance = true);

    DatabaseConnection& connection_;
    CancelPoint& cancel_;
    QString dbms_;
    MessageTable::Selection selection_;
    QDateTime now_;
    QVariant lastKey_;
    QVariant lastPriority_;
    bool sawNullKey_ = false;
    QSet<QString> served_;  // with Priority: RecIds read this selection
    enum class Stage {
        First,
        AfterKey,
        NullPriority,
        AfterNullPriority,
        NullKeys,
        Done
    } stage_ = Stage::Done;
};

}  // namespace korvane
