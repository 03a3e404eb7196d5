#pragma once

#include <QCoro/QCoroTask>
#include <QElapsedTimer>
#include <QString>
#include <algorithm>
#include <functional>
#include <memory>
#include <set>

#include "core/Messages.h"
#include "dispatch/CycleStore.h"
#include "dispatch/ReceiptDesk.h"
#include "dispatch/ReplyDesk.h"
#include "dispatch/RowPipeline.h"

namespace korvane {

class ActivityLog;
class Clock;
class EmailChannel;
class ProcessView;
class CycleControl;
class SmsChannel;
struct RunConfiguration;

// One pass over the waiting rows of tblMessages: select them, send each over its channel and
// save its outcome. A row is claimed before its message goes out, so that it goes out at most
// once whatever fails afterwards and however many instances share the table. SMS rows go out
// up to a window ahead; every row is logged and saved in row order. Every failure ends in the
// idle state; rows not reached wait for the next cycle.
class DispatchCycle {
public:
    using StoreFactory = std::function<std::unique_ptr<CycleStore>()>;

    // What a cycle works with; Program builds it, and the desks outlive every cycle.
    struct Parts {
        const RunConfiguration& config;
        ActivityLog& log;
        SmsChannel& sms;
        EmailChannel& email;
        const Clock& clock;
        Counters& counters;
        ReceiptDesk& receipts;
        ReplyDesk& replies;
        StoreFactory makeStore;  // a cycle's connection to the table
    };

    DispatchCycle(CycleControl& control, Parts parts, ProcessView& window);

    // Ends when the cycle has; a mail on its way suspends it, and the event loop goes on.
    QCoro::Task<> run();

    // A claim older than this is reported once per run: its instance stopped mid-send.
    static constexpr int kClaimAgeS = 15 * 60;
    // Waiting rows read from the table at a time.
    static constexpr int kPageRows = 500;

    // How many rows may be out at once (claimed and handed to the gateway, not yet saved).
    void setRowsOut(int rows) { rowsOut_ = std::max(1, rows); }
    // Where each cycle, and each desk between cycles, gets its connection to the table.
    void setStoreFactory(StoreFactory factory) { makeStore_ = std::move(factory); }
    std::unique_ptr<CycleStore> makeStore() const { return makeStore_(); }
    const Counters& counters() const { return counters_; }
    // Processing stopped between cycles: the gateway's session ends now.
    QCoro::Task<> endGatewaySession();
    // Start: a bind or a mail sign-in refused before is tried again at once.
    void retryGateway();

private:
    QCoro::Task<bool> connect(CycleStore& store);
    QCoro::Task<> sendWaitingRows(CycleStore& store);
    QCoro::Task<> reportOldClaims(CycleStore& store);
    QCoro::Task<> finishAfterError();
    // Counts a cycle that went as far as connecting; reachedTable: it read the table.
    void ended(const QElapsedTimer& took, bool reachedTable);
    QCoro::Task<> endSessions();
    void shortIdleEnding();
    void errorPath(const QString& line);
    void log(const QString& text);

    CycleControl& control_;
    const RunConfiguration& config_;
    ActivityLog& log_;
    ProcessView& window_;
    SmsChannel& sms_;
    EmailChannel& email_;
    const Clock& clock_;
    StoreFactory makeStore_;
    std::set<QString> reportedClaims_;
    Counters& counters_;
    ReceiptDesk& receipts_;
    ReplyDesk& replies_;
    std::unique_ptr<RowPipeline> rows_;  // the rows out, while a cycle sends
    int rowsOut_ = 10;
};

}  // namespace korvane
