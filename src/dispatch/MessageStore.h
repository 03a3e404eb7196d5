#pragma once

#include <QDateTime>
#include <QList>
#include <QString>
#include <QVariant>
#include <optional>
#include <vector>

#include "core/KorvaneError.h"
#include "dispatch/TableRow.h"

namespace korvane {

// The data source as configured.
struct DataSourceSettings {
    QString dsnName;
    QString user;
    QString password;
    QString fileDsnPath;  // a .dsn file to open instead, when its base name is dsnName
};

// What the dispatch cycle asks of tblMessages: one connection for one cycle, the waiting
// rows page by page, and guarded writes. Every write is keyed by RecId and guarded on the
// row's state, so that a row another instance has taken, or a RecId shared by several rows,
// is never written over.
class MessageStore {
public:
    enum class Write {
        Done,
        Changed,  // the row is no longer as read (another instance has it, or a producer
                  // changed it), or the database would not let go of it in time
        Shared,   // RecId names several rows; nothing was written
    };
    struct Outcome {
        TableRow row;
        QString isSent;
        QString status;
    };
    struct Claim {
        QVariant recId;
        QDateTime since;  // invalid when the stored date cannot be read
    };

    virtual ~MessageStore() = default;

    // Raises KorvaneError with the driver's own text when the data source cannot be opened.
    virtual void open(const DataSourceSettings& source) = 0;
    virtual bool isOpen() = 0;
    // Runs the selection; raises when the statement fails (missing table, bad SQL).
    virtual void select(const QString& statement) = 0;
    // The next waiting rows in the selection's order, at most limit; empty when none is left.
    // Rows being sent or in doubt are left out.
    virtual std::vector<TableRow> nextPage(int limit) = 0;
    // Marks waiting rows as being sent, guarded on IsSent and ProcessStatus as read.
    virtual std::vector<Write> claim(const std::vector<TableRow>& rows, const QDateTime& at) = 0;
    // The outcome of a row that was not claimed (nothing was sent), guarded as claim().
    virtual Write record(const Outcome& outcome, const QDateTime& at) = 0;
    // The outcomes of claimed rows, guarded on the claim alone, so that whatever the
    // producer's ProcessedDate holds the save finds it. One entry per row: empty when saved,
    // else why not (the row then stays claimed).
    virtual std::vector<std::optional<KorvaneError>> finish(const std::vector<Outcome>& outcomes,
                                                            const QDateTime& at) = 0;
    // Rows claimed before cutoff: an instance stopped between a send and its save.
    virtual QList<Claim> claimsBefore(const QDateTime& cutoff) = 0;
};

}  // namespace korvane
