#pragma once

#include "dispatch/BackgroundStore.h"
#include "dispatch/OdbcMessageStore.h"
#include "dispatch/ProcessingControl.h"
#include "dispatch/ReceiptDesk.h"
#include "dispatch/ReplyDesk.h"
#include "support/CycleWait.h"

namespace korvane::test {

// Processing put together as the program puts it: the counters, the desks for receipts and
// replies, and the control over them, on ODBC on a thread of its own unless the store is set.
struct Processing {
    Counters counters;
    ReceiptDesk receipts;
    ReplyDesk replies;
    ProcessingControl control;

    Processing(const RunConfiguration& config, ActivityLog& log, ProcessView& window,
               SmsChannel& sms, EmailChannel& email, const Clock& clock)
        : receipts(sms, log, clock, counters, config, [this] { return control.makeStore(); }),
          replies(sms, log, clock, counters, config, [this] { return control.makeStore(); }),
          control({config, log, sms, email, clock, counters, receipts, replies,
                   [this] {
                       constexpr int timeoutS = OdbcStatement::kQueryTimeoutS;
                       return std::make_unique<BackgroundStore>(
                           std::make_unique<OdbcMessageStore>(timeoutS), nullptr, timeoutS,
                           &counters.databaseWait);
                   }},
                  window) {
        // A test waits for each receipt's and reply's write: nothing to gather them for.
        receipts.setGatherMs(0);
        replies.setGatherMs(0);
    }
    // As in the program, processing goes only once no cycle runs: a cycle's coroutine left
    // waiting would run on into what is gone.
    ~Processing() {
        untilCycleEnds(control);
        control.setTimer1(false);
    }
    Processing(const Processing&) = delete;
    Processing& operator=(const Processing&) = delete;
};

}  // namespace korvane::test
