#include "dispatch/OutcomeRecorder.h"

#include "core/Clock.h"
#include "dispatch/OutcomeLines.h"
#include "dispatch/ReceiptDesk.h"
#include "dispatch/Retries.h"
#include "dispatch/RowOrderLog.h"

namespace korvane {

void OutcomeRecorder::sms(PendingRow& pending, const SendResult& result) {
    count(Counters::Sms, result.delivery);
    if (c_.receipts != nullptr && c_.receipts->on() && result.delivery == Delivery::Sent) {
        QString cut;
        pending.gatewayIds = result.gatewayIds;
        pending.storedIds = c_.receipts->fit(pending.id, result.gatewayIds, cut);
        if (!cut.isEmpty()) {
            note(pending, {cut});
        }
    }
    note(pending, OutcomeLines::smsOutcome(pending, result));
    retryLater(pending, result);
}

void OutcomeRecorder::email(PendingRow& pending, const SendResult& result) {
    count(Counters::Email, result.delivery);
    note(pending, OutcomeLines::emailOutcome(pending, result));
    retryLater(pending, result);
}

void OutcomeRecorder::write(PendingRow& pending, MessageStore::Write write) {
    note(pending, OutcomeLines::writeOutcome(pending, write));
}

void OutcomeRecorder::retryLater(PendingRow& pending, const SendResult& result) {
    if (!c_.retries) {
        return;
    }
    if (const QString line = Retries::settle(pending, result, c_.clock.now(), c_.maxAttempts);
        !line.isEmpty()) {
        note(pending, {line});
    }
    c_.counters.retried += pending.nextAttemptAt.isValid() ? 1 : 0;
}

void OutcomeRecorder::count(Counters::Channel channel, Delivery delivery) {
    const Counters::Result result = delivery == Delivery::Sent      ? Counters::Sent
                                    : delivery == Delivery::InDoubt ? Counters::InDoubt
                                                                    : Counters::NotSent;
    c_.counters.count(channel, result, c_.clock.now().date());
}

void OutcomeRecorder::note(PendingRow& pending, const QStringList& lines) {
    for (const QString& line : lines) {
        c_.log.note(pending, line);
    }
}

}  // namespace korvane
