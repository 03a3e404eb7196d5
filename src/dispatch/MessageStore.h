#pragma once

#include <QDateTime>
#include <QList>
#include <QString>
#include <QStringList>
#include <QVariant>
#include <functional>
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
    // A row's outcome to save: over its claim, or (nothing was sent) over the row as read.
    struct Outcome {
        Outcome(TableRow r = TableRow(), QString sent = QString(), QString text = QString(),
                bool onClaim = true, QString ids = QString())
            : row(std::move(r)),
              isSent(std::move(sent)),
              status(std::move(text)),
              claimed(onClaim),
              gatewayIds(std::move(ids)) {}
        TableRow row;
        QString isSent;
        QString status;
        bool claimed = true;
        QString gatewayIds;       // written to SmscMessageId when not empty (receipts on)
        int attempts = 0;         // written to Attempts when not 0 (retries on)
        QDateTime nextAttemptAt;  // written to NextAttemptAt when valid
    };
    // What became of one saved row: written, or why not. A claimed row that cannot be saved
    // has an error (it stays claimed); a row that was not claimed may find itself changed or
    // its RecId shared.
    struct Saved {
        Write write = Write::Done;
        std::optional<KorvaneError> error;
    };
    struct Claim {
        QVariant recId;
        QDateTime since;  // invalid when the stored date cannot be read
    };
    // What one step of saves and claims did.
    struct Step {
        std::vector<Saved> saved;
        std::vector<Write> claimed;
        std::optional<KorvaneError> claimFailure;  // nothing claimed; the saves stand
    };

    // Optional columns the selection found, each switching a feature on.
    struct TableFeatures {
        bool receipts = false;  // SmscMessageId, DeliveryStatus and DeliveredDate
        int idWidth = 0;        // characters SmscMessageId holds; 0: not known
        bool sendAfter = false;
        bool expiresAt = false;
        bool priority = false;
        bool retries = false;  // Attempts and NextAttemptAt
        bool replies = false;  // the data source has tblReceivedMessages
    };
    // A row that holds gateway message ids, as stored.
    struct SentRow {
        QVariant recId;
        QString ids;
    };
    // A receipt's state for a row, guarded on its ids as stored; a final state is never
    // written over.
    struct ReceiptWrite {
        QVariant recId;
        QString ids;
        QString state;
        QDateTime at;
    };

    // A message from a phone, whole or with its missing parts marked, for tblReceivedMessages.
    struct ReplyWrite {
        QDateTime receivedAt;
        QDateTime smscAt;  // invalid: none
        QString from;
        QString to;
        QString text;
        QString gatewayId;  // "": none
        int parts = 1;
    };
    // Where a reply is: stored now, or found stored already (offered again).
    struct StoredReply {
        QVariant recId;
        bool already = false;
    };
    static constexpr int kReplySameWithinS = 600;

    virtual ~MessageStore() = default;

    // Raises KorvaneError with the driver's own text when the data source cannot be opened.
    virtual void open(const DataSourceSettings& source) = 0;
    virtual bool isOpen() = 0;
    // Starts the selection (dontSendProcessedMsgs chooses the statement; now, Korvane's local
    // time, is what SendAfter and NextAttemptAt are compared with); rows then come a page at a
    // time, in the statement's order.
    virtual void select(qint32 dontSendProcessedMsgs, const QDateTime& now) = 0;
    // How many rows the selection's predicate finds now.
    virtual qint64 countWaiting(qint32 dontSendProcessedMsgs) = 0;
    // The next waiting rows, at most limit; empty when none is left. Raises when the statement
    // fails (missing table, bad SQL). Rows being sent or in doubt are left out.
    virtual std::vector<TableRow> nextPage(int limit) = 0;
    // Marks waiting rows as being sent, guarded on IsSent and ProcessStatus as read, in one
    // transaction; one result for each row. A row whose lock does not come in time counts as
    // changed. Raises (nothing claimed) when a statement fails.
    virtual std::vector<Write> claim(const std::vector<TableRow>& rows, const QDateTime& at) = 0;
    // Writes outcomes in one transaction: claimed rows guarded on the claim alone, so that
    // whatever the producer's ProcessedDate holds the save finds it; the others guarded as a
    // claim is. A row that cannot be saved is left out and the rest saved without it.
    virtual std::vector<Saved> save(const std::vector<Outcome>& outcomes, const QDateTime& at) = 0;
    // The outcomes known so far saved as save() does, then rows claimed as claim() does, in
    // one call: each call to a database on its own thread costs its hand-overs and waits.
    // A claim that fails leaves the saves standing and comes back in claimFailure.
    virtual Step saveAndClaim(const std::vector<Outcome>& outcomes,
                              const std::vector<TableRow>& rows, const QDateTime& at) {
        Step step;
        if (!outcomes.empty()) {
            step.saved = save(outcomes, at);
        }
        if (!rows.empty()) {
            try {
                step.claimed = claim(rows, at);
            } catch (const KorvaneError& error) {
                step.claimFailure = error;
            }
        }
        return step;
    }
    // Claimed rows whose message was surely never handed over: back to their values as read.
    // Rows that cannot be given back stay claimed.
    virtual void release(const std::vector<TableRow>& rows) = 0;
    // Rows claimed before cutoff: an instance stopped between a send and its save.
    virtual QList<Claim> claimsBefore(const QDateTime& cutoff) = 0;
    // The optional columns the table has, as found when it was opened.
    virtual TableFeatures features() { return {}; }
    // With Priority: waiting rows above priority not read yet, in the selection's order, at
    // most limit; the pages later leave them out. Empty without Priority.
    virtual std::vector<TableRow> nextHigher(const QVariant& priority, int limit) {
        static_cast<void>(priority);
        static_cast<void>(limit);
        return {};
    }
    // Rows whose SmscMessageId is one of ids; withinLists: rows that hold one of them among
    // a long message's space-separated parts (no index serves that: asked for the few left).
    virtual std::vector<SentRow> findSent(const QStringList& ids, bool withinLists) {
        static_cast<void>(ids);
        static_cast<void>(withinLists);
        return {};
    }
    // Writes receipts in one transaction; raises when it fails (nothing written).
    virtual void writeReceipts(const std::vector<ReceiptWrite>& writes) {
        static_cast<void>(writes);
    }
    // Stores replies in one transaction, each unless stored already: a row with its
    // SmscMessageId where the gateway named one, else a row with the same sender, recipient,
    // text and SmscDate received within kReplySameWithinS. Raises when it fails (nothing
    // stored).
    virtual std::vector<StoredReply> storeReplies(const std::vector<ReplyWrite>& replies) {
        return std::vector<StoredReply>(replies.size());
    }
};

}  // namespace korvane
