#pragma once

#include <QString>
#include <QVariantList>
#include <optional>
#include <utility>
#include <vector>

#include "core/KorvaneError.h"

namespace korvane {

class CancelPoint;
class DatabaseConnection;

// The guarded UPDATEs of one batch of rows, run in one transaction. A row's UPDATE finds it by
// RecId and changes it only while its guard columns still hold what was read, so every row
// tells whether it changed one row, none (taken or changed meanwhile) or several (a shared
// RecId).
//
// Each statement is a round trip to the server, and with a database across a network those
// round trips, not the commits, set the pace. So where RecId names at most one row, the rows
// that change alike go as one statement. PostgreSQL names the rows it changed (RETURNING), and
// a batch that is one statement needs no BEGIN and COMMIT there: one round trip in all.
// Elsewhere, grouped statements that change fewer rows than they name are rolled back and the
// batch runs again a row at a time to learn which.
class GuardedWrites {
public:
    struct Update {
        QString assignments;  // "A = ?, B = ?"
        QVariantList values;  // for the assignments' markers
        QVariant recId;
        std::vector<std::pair<QString, QVariant>> guards;  // column, value as read (Null too)
        bool raises = false;  // a failure other than a lock wait rolls back all and is raised
        // Columns set to values of the row's own: rows otherwise alike still go as one
        // statement, the values by "CASE RecId WHEN ? THEN ? ... END".
        std::vector<std::pair<QString, QVariant>> rowValues;
    };
    // What one row's UPDATE did.
    struct Done {
        qint64 changed = 0;
        std::optional<KorvaneError> error;
        bool timedOut = false;  // waited too long for another transaction's lock
    };

    GuardedWrites(DatabaseConnection& connection, CancelPoint& cancel, int lockTimeoutS)
        : connection_(connection), cancel_(cancel), lockTimeoutS_(lockTimeoutS) {}

    // Learns, once the connection is open, whether the table keeps RecId unique (its primary
    // key, or a unique index on it alone) and whether the database (dbms, its name) answers an
    // UPDATE with the rows it changed.
    void learn(const QString& dbms);
    // Whether each grouped statement names the rows it changed, and so is a transaction of
    // its own where a batch is one statement.
    bool answersEachRow() const { return keyUnique_ && returning_; }

    // Runs the batch in one transaction; a row that fails, or would change several rows, is
    // taken out and the rest run again without it.
    std::vector<Done> run(const std::vector<Update>& updates);

private:
    std::optional<std::vector<Done>> runGrouped(const std::vector<Update>& updates);
    std::vector<Done> runEach(const std::vector<Update>& updates);
    qint64 execute(const QString& sql, const QVariantList& values, QStringList* returned = nullptr);
    void begin();
    void commit();
    void rollback();

    DatabaseConnection& connection_;
    CancelPoint& cancel_;
    int lockTimeoutS_;
    bool keyUnique_ = false;
    bool returning_ = false;
};

}  // namespace korvane
