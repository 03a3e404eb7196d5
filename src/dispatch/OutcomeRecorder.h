#pragma once

#include "core/Messages.h"
#include "dispatch/Counters.h"
#include "dispatch/MessageStore.h"
#include "dispatch/PendingRow.h"

namespace korvane {

class Clock;
class ReceiptDesk;
class RowOrderLog;

// What a row's outcome comes to once it is known: its log entries and the counters, the
// gateway's ids kept for receipts, and with the retry columns its attempt counted and a
// failure that may pass put off to a later attempt.
class OutcomeRecorder {
public:
    struct Context {
        RowOrderLog& log;
        Counters& counters;
        ReceiptDesk* receipts;
        const Clock& clock;
        int maxAttempts;
        bool retries;  // the table has Attempts and NextAttemptAt
    };
    explicit OutcomeRecorder(Context context) : c_(context) {}

    void sms(PendingRow& pending, const SendResult& result);
    void email(PendingRow& pending, const SendResult& result);
    // What a claim or a save over the row as read found, when not done.
    void write(PendingRow& pending, MessageStore::Write write);

private:
    void count(Counters::Channel channel, Delivery delivery);
    void retryLater(PendingRow& pending, const SendResult& result);
    void note(PendingRow& pending, const QStringList& lines);

    Context c_;
};

}  // namespace korvane
