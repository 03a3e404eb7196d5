#pragma once

#include <vector>

#include "dispatch/MessageStore.h"

namespace korvane {

class CancelPoint;
class DatabaseConnection;

// The statements of delivery receipts on tblMessages' optional columns: rows found by their
// gateway ids, and receipt states written a statement per state, each row guarded on its ids
// as stored and on its state not being final yet.
class ReceiptStatements {
public:
    // Values per statement, well within every driver's limit on parameters.
    static constexpr int kRowsPerStatement = 200;
    static const char* const kFinalStates;  // the SQL list of states never written over

    ReceiptStatements(DatabaseConnection& connection, CancelPoint& cancel, int lockTimeoutS)
        : connection_(connection), cancel_(cancel), lockTimeoutS_(lockTimeoutS) {}

    std::vector<MessageStore::SentRow> find(const QStringList& ids, bool withinLists);
    // One transaction; raises (rolled back) when a statement fails.
    void write(const std::vector<MessageStore::ReceiptWrite>& writes);

private:
    QStringList run(const QString& sql, const QVariantList& values, bool rows);

    DatabaseConnection& connection_;
    CancelPoint& cancel_;
    int lockTimeoutS_;
};

}  // namespace korvane
