#include "dispatch/RowReports.h"

#include "core/Clock.h"
#include "dispatch/ReceiptDesk.h"
#include "dispatch/Retries.h"
#include "dispatch/RowLog.h"
#include "dispatch/RowOutcomes.h"

namespace korvane {

void RowReports::sms(PendingRow& pending, const SendResult& result) {
    count(Counters::Sms, result.delivery);
    if (c_.receipts != nullptr && c_.receipts->on() && result.delivery == Delivery::Sent) {
        QString cut;
        pending.gatewayIds = result.gatewayIds;
        pending.storedIds = c_.receipts->fit(pending.id, result.gatewayIds, cut);
        if (!cut.isEmpty()) {
            note(pending, {cut});
        }
    }
    note(pending, RowOutcomes::smsOutcome(pending, result));
    retryLater(pending, result);
}

void RowReports::email(PendingRow& pending, const SendResult& result) {
    count(Counters::Email, result.delivery);
    note(pending, RowOutcomes::emailOutcome(pending, result));
    retryLater(pending, result);
}

void RowReports::write(PendingRow& pending, MessageStore::Write write) {
    note(pending, RowOutcomes::writeOutcome(pending, write));
}

void RowReports::retryLater(PendingRow& pending, const SendResult& result) {
    if (!c_.retries) {
        return;
    }
    if (const QString line = Retries::settle(pending, result, c_.clock.now(), c_.maxAttempts);
        !line.isEmpty()) {
        note(pending, {line});
    }
    c_.counters.retried += pending.nextAttemptAt.isValid() ? 1 : 0;
}

void RowReports::count(Counters::Channel channel, Delivery delivery) {
    const Counters::Result result = delivery == Delivery::Sent      ? Counters::Sent
                                    : delivery == Delivery::InDoubt ? Counters::InDoubt
                                                                    : Counters::NotSent;
    c_.counters.count(channel, result, c_.clock.now().date());
}

void RowReports::note(PendingRow& pending, const QStringList& lines) {
    for (const QString& line : lines) {
        c_.log.note(pending, line);
    }
}

}  // namespace korvane
