#pragma once

#include <vector>

#include "dispatch/MessageStore.h"

namespace korvane {

class CancelPoint;
class DatabaseConnection;

// The statements on tblReceivedMessages: each reply looked for among the rows stored already
// (by SmscMessageId, else by what it says within kReplySameWithinS), inserted where it is not
// there, and its RecId read back; all in one transaction.
class ReplyStatements {
public:
    ReplyStatements(DatabaseConnection& connection, CancelPoint& cancel, int lockTimeoutS)
        : connection_(connection), cancel_(cancel), lockTimeoutS_(lockTimeoutS) {}

    // Raises (rolled back) when a statement fails.
    std::vector<MessageStore::StoredReply> store(
        const std::vector<MessageStore::ReplyWrite>& replies);

private:
    QVariant stored(const MessageStore::ReplyWrite& reply);
    QStringList run(const QString& sql, const QVariantList& values, bool rows);

    DatabaseConnection& connection_;
    CancelPoint& cancel_;
    int lockTimeoutS_;
};

}  // namespace korvane
