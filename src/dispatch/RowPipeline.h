#pragma once

#include <QCoro/QCoroTask>
#include <QDateTime>
#include <deque>
#include <memory>
#include <vector>

#include "dispatch/Counters.h"
#include "dispatch/CycleStore.h"
#include "dispatch/OutcomeRecorder.h"
#include "dispatch/PendingRow.h"
#include "dispatch/RowOrderLog.h"

namespace korvane {

class ActivityLog;
class Clock;
class CycleControl;
class EmailChannel;
class ReceiptDesk;
class ReplyDesk;
class SmsChannel;
struct RunConfiguration;

// The rows of one cycle between their start and their save. SMS rows go out up to the
// gateway's window ahead: as many as it has room for are claimed together and handed over at
// once. The outcomes known by then are saved in the same step (one call to the database's
// thread: the saves, then the claims). Every row is logged and saved in row order: the row at
// the head writes its entries as they come, the rows behind it hold theirs until it is done.
class RowPipeline {
public:
    // What serving the rows uses, beside the table.
    struct Context {
        const RunConfiguration& config;
        ActivityLog& log;
        CycleControl& control;
        SmsChannel& sms;
        EmailChannel& email;
        const Clock& clock;
        Counters& counters;
        ReceiptDesk* receipts = nullptr;
        ReplyDesk* replies = nullptr;
    };
    RowPipeline(CycleStore& store, MessageStore::TableFeatures features, Context context,
                int rowsOut);
    ~RowPipeline();
    RowPipeline(const RowPipeline&) = delete;
    RowPipeline& operator=(const RowPipeline&) = delete;

    // Serves the rows of a page in order, until the page ends or Stop is pressed.
    QCoro::Task<> serve(std::vector<TableRow>& page);
    // Waits for every row still out and saves it.
    QCoro::Task<> drain();
    // After an error: every row still out is finished as far as it goes, and one whose save
    // fails too stays claimed; claimed rows never handed over are given back.
    QCoro::Task<> drainAfterError();

private:
    using Kind = PendingRow::Kind;

    // How often rows of a higher Priority than the next are looked for.
    static constexpr qint64 kHigherCheckMs = 500;
    QCoro::Task<> takeHigher(std::vector<TableRow>& page, size_t next);
    size_t claimRoom() const;
    PendingRow* nextToHandOver(bool front);
    QCoro::Task<> handOver();
    void handOverNow();
    QCoro::Task<> handOverAll();
    QCoro::Task<> releaseAhead(const char* why);
    static bool claimedAhead(const PendingRow& pending) {
        return pending.kind == Kind::SmsReady && pending.claimed;
    }
    PendingRow& start(TableRow row);
    QCoro::Task<size_t> claimSms(std::vector<PendingRow*> batch);
    QCoro::Task<> sendEmail(PendingRow& pending);
    bool claim(PendingRow& pending);
    struct Committed : MessageStore::Step {
        std::optional<KorvaneError> failure;
    };
    // Finishes the rows at the front whose outcome is known; waitHead: waits for the first.
    QCoro::Task<> settle(bool drain, bool waitHead = false);
    QCoro::Task<Committed> commit(std::vector<TableRow> claims);
    static void raise(const std::optional<KorvaneError>& failure) {
        if (failure) {
            throw *failure;
        }
    }

    CycleStore& store_;
    Context c_;
    int rowsOut_;
    std::deque<PendingRow> pending_;
    std::vector<PendingRow> unsaved_;  // finished and logged; saved with the next step
    MessageStore::TableFeatures features_;
    RowOrderLog rowLog_;
    OutcomeRecorder reports_;
    bool mailDown_ = false;  // with the retry columns: the mail server could not be reached
    QDateTime higherChecked_;
    std::shared_ptr<const void> life_ = std::make_shared<int>(0);  // what Meanwhile's work is of
};

}  // namespace korvane
