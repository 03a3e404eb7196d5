#include "dispatch/RowWindow.h"

#include <QRandomGenerator>
#include <algorithm>
#include <utility>

#include "core/ActivityLog.h"
#include "core/Clock.h"
#include "core/RunConfiguration.h"
#include "dispatch/CycleControl.h"
#include "dispatch/EmailChannel.h"
#include "dispatch/ReceiptDesk.h"
#include "dispatch/RowLines.h"
#include "dispatch/RowPreparation.h"
#include "dispatch/SmsChannel.h"

namespace korvane {

using MessageTable::Column;
namespace Outcome = MessageTable::Outcome;

namespace {
const QString kNo = QStringLiteral("N");
const QString kYes = QStringLiteral("Y");

QString waitsLine(qint32 id) {
    return QStringLiteral(
               "Record Id: %1 waits for the next cycle: processing stopped before its "
               "message went out.")
        .arg(id);
}
}  // namespace

RowWindow::RowWindow(MessageStore& store, Channels channels, int rowsOut)
    : store_(store), c_(channels), rowsOut_(std::max(1, rowsOut)) {
    // A place that frees while a step waits for the database goes to a row claimed ahead at
    // once, not when the step returns.
    store_.setWhileWaiting([this] {
        if (!quiet_) {
            handOver(false);
        }
    });
}

RowWindow::~RowWindow() {
    store_.setWhileWaiting({});
}

void RowWindow::serve(std::vector<TableRow>& page) {
    size_t next = 0;
    while (next < page.size() && !c_.control.StopRequested()) {
        // What is done is saved first: the answers that come in meanwhile free their places
        // in the gateway's window, and rows claimed ahead take them at once. The next rows
        // are claimed while those are out, so that a place never waits for the database; any
        // row but an SMS ends the batch and goes on its own.
        handOver();
        settle(false);
        handOver();
        if (c_.control.StopRequested()) {
            break;
        }
        const size_t room = claimRoom();
        std::vector<PendingRow*> batch;
        PendingRow* other = nullptr;
        while (next < page.size() && batch.size() < room) {
            PendingRow& row = start(std::move(page[next++]));
            if (row.kind != Kind::SmsReady) {
                other = &row;
                break;
            }
            batch.push_back(&row);
        }
        const size_t taken = claimSms(batch);
        handOver();
        if (other != nullptr && other->kind == Kind::EmailReady) {
            handOverAll();
            sendEmail(*other);
        }
        if (taken >= 1 && 2 * taken >= batch.size() && next < page.size()) {
            // Most of the batch was taken: another instance works its way through the same
            // rows. Jumping a random way ahead puts this one where nobody claims yet; the
            // rows passed over are the other's, or wait for the next cycle.
            next += QRandomGenerator::global()->bounded(quint32(page.size() - next) + 1);
        }
    }
}

// Rows claimed and not handed over yet: at most a window ahead of the gateway. Rows out and
// rows waiting for their save take a window each besides.
size_t RowWindow::claimRoom() const {
    const size_t ahead = size_t(std::count_if(pending_.begin(), pending_.end(), claimedAhead));
    const size_t most = 3 * size_t(rowsOut_);
    if (pending_.size() >= most || ahead >= size_t(rowsOut_)) {
        return 0;
    }
    const size_t free = std::min(size_t(rowsOut_) - ahead, most - pending_.size());
    return pending_.empty() ? std::max<size_t>(1, free) : free;
}

// Hands the rows claimed ahead to the gateway, in row order, while it has room and fewer
// than the cycle's window are out. One at the front goes whatever the room (front: nothing
// else of this cycle is out to wait for), unless the call comes from a wait.
void RowWindow::handOver(bool front) {
    const SmsGateway gateway = c_.config.smsGateway();
    // A row whose answer is in holds no place, saved or not.
    int out = int(std::count_if(pending_.begin(), pending_.end(), [this](const PendingRow& row) {
        return row.kind == Kind::Sms && !c_.sms.isSettled(row.ticket);
    }));
    for (PendingRow& pending : pending_) {
        if (!claimedAhead(pending)) {
            continue;
        }
        const bool waits = out >= rowsOut_ || c_.sms.room() <= 0;
        if (c_.control.StopRequested() || ((!front || &pending != &pending_.front()) && waits)) {
            return;
        }
        ++out;
        note(pending, QStringLiteral("Sending message via SMS."));
        pending.kind = Kind::Sms;
        pending.ticket = c_.sms.submit(gateway, pending.mobile, pending.text);
    }
}

// Stop came: the rows claimed and never handed over are given back as they were read.
void RowWindow::releaseAhead() {
    std::vector<TableRow> unsent;
    for (PendingRow& pending : pending_) {
        if (claimedAhead(pending)) {
            unsent.push_back(pending.row);
            pending.kind = Kind::Nothing;
            note(pending, waitsLine(pending.id));
        }
    }
    if (!unsent.empty()) {
        store_.release(unsent);
    }
}

// Every row claimed ahead handed over, each as a place frees (Stop: given back instead).
void RowWindow::handOverAll() {
    while (!c_.control.StopRequested() &&
           std::any_of(pending_.begin(), pending_.end(), claimedAhead)) {
        handOver();
        if (std::any_of(pending_.begin(), pending_.end(), claimedAhead)) {
            settle(false, true);
        }
    }
    if (c_.control.StopRequested()) {
        releaseAhead();
    }
}

void RowWindow::drain() {
    handOverAll();
    while (!pending_.empty() || !unsaved_.empty()) {
        settle(true);
        raise(commit({}).failure);
    }
}

void RowWindow::drainAfterError() {
    quiet_ = true;
    while (!pending_.empty() || !unsaved_.empty()) {
        try {
            settle(true);
            commit({});
        } catch (const KorvaneError&) {
        }
    }
}

PendingRow& RowWindow::start(TableRow row) {
    PendingRow& pending = pending_.emplace_back();
    pending.head = pending_.size() == 1 && unsaved_.empty();
    pending.row = std::move(row);
    pending.id = pending.row.recordId();
    note(pending, QStringLiteral("\r\n"));
    note(pending,
         QStringLiteral("Processing message for Record Id: ") + QString::number(pending.id));
    c_.log.yield();
    for (const QString& line : RowPreparation::prepare(pending)) {
        note(pending, line);
    }
    return pending;
}

// Saves what is done and claims the batch in one step; the rows claimed wait for their room at
// the gateway (handOver). Returns how many of the batch another process had taken.
size_t RowWindow::claimSms(const std::vector<PendingRow*>& batch) {
    c_.counters.claimAttempts += batch.size();
    std::vector<TableRow> rows;
    for (const PendingRow* pending : batch) {
        rows.push_back(pending->row);
    }
    const Committed step = commit(rows);
    if (batch.empty()) {
        raise(step.failure);
        return 0;
    }
    for (size_t i = 0; i < batch.size(); ++i) {
        batch[i]->claimed = !step.claimFailure && step.claimed[i] == MessageStore::Write::Done;
    }
    raise(step.failure);  // the error path gives the claimed rows back
    raise(step.claimFailure);
    size_t taken = 0;
    for (size_t i = 0; i < batch.size(); ++i) {
        PendingRow& pending = *batch[i];
        if (!pending.claimed) {
            reportWrite(pending, step.claimed[i]);
            pending.kind = Kind::Nothing;
            ++c_.counters.messages[Counters::Sms][Counters::Skipped];
            ++taken;
        }
    }
    return taken;
}

void RowWindow::sendEmail(PendingRow& pending) {
    if (c_.control.StopRequested()) {
        pending.kind = Kind::Nothing;
        note(pending, waitsLine(pending.id));
        return;
    }
    ++c_.counters.claimAttempts;
    const Committed step = commit({pending.row});
    raise(step.failure);
    raise(step.claimFailure);
    const MessageStore::Write claim = step.claimed.at(0);
    if (claim != MessageStore::Write::Done) {
        reportWrite(pending, claim);
        pending.kind = Kind::Nothing;
        ++c_.counters.messages[Counters::Email][Counters::Skipped];
        return;
    }
    pending.claimed = true;
    note(pending, QStringLiteral("Sending message via Email."));
    reportEmail(pending,
                c_.email.sendEmail(pending.mail,
                                   SmtpServer{c_.config.smtpServer, c_.config.smtpPort,
                                              c_.config.smtpUserName, c_.config.smtpPassword}));
    c_.log.yield();
}

// Finishes the rows at the front whose outcome is known: the head, waited for when nothing
// else can be done (or drain, or waitHead), and every row behind it that needs no wait. Their
// entries are written now and their outcomes saved with the next step. A row with nothing sent ends
// the run, so that what its write found is logged before the next row.
void RowWindow::settle(bool drain, bool waitHead) {
    while (!pending_.empty()) {
        PendingRow& front = pending_.front();
        // Nothing else to do: neither a row to claim nor one the gateway has room for.
        const bool stuck =
            std::exchange(waitHead, false) ||
            (claimRoom() == 0 &&
             (c_.sms.room() <= 0 || std::none_of(pending_.begin(), pending_.end(), claimedAhead)));
        if (front.kind == Kind::Sms && !drain && !stuck && !c_.sms.isSettled(front.ticket)) {
            break;
        }
        if (claimedAhead(front) && !drain) {
            break;  // handed over as soon as the gateway has room
        }
        if (front.kind == Kind::SmsReady || front.kind == Kind::EmailReady) {
            // Only after an error: claimed, never handed over. Marked first, so that a
            // release that fails too does not hold the row here.
            front.kind = Kind::Nothing;
            if (front.claimed) {
                store_.release({front.row});
            }
        }
        becomeHead(front);
        if (front.kind == Kind::Sms) {
            reportSms(front, c_.sms.outcome(front.ticket));
        }
        unsaved_.push_back(std::move(front));
        pending_.pop_front();
        if (unsaved_.back().kind == Kind::Record) {
            break;
        }
    }
}

// One step: the finished rows' outcomes saved and the given rows claimed. What the saves
// found is logged; then the next row is at the head. The first save that failed (its row
// stays claimed) or log failure of a saved row comes back for the caller to raise once it
// has taken in the claims.
RowWindow::Committed RowWindow::commit(const std::vector<TableRow>& claims) {
    // Taken out first: a step that raises has still dealt with them (they stay claimed).
    std::vector<PendingRow> saving = std::exchange(unsaved_, {});
    std::vector<MessageStore::Outcome> outcomes;
    std::vector<PendingRow*> rows;
    for (PendingRow& pending : saving) {
        if (pending.kind == Kind::Record || pending.kind == Kind::Claimed) {
            outcomes.push_back({pending.row, pending.isSent, pending.status,
                                pending.kind == Kind::Claimed, pending.storedIds});
            rows.push_back(&pending);
        }
    }
    Committed step;
    if (!outcomes.empty() || !claims.empty()) {
        static_cast<MessageStore::Step&>(step) =
            store_.saveAndClaim(outcomes, claims, c_.clock.now());
    }
    for (size_t i = 0; i < step.saved.size(); ++i) {
        if (step.saved[i].error) {
            step.failure = step.failure ? step.failure : step.saved[i].error;
        } else if (!outcomes[i].claimed) {
            reportWrite(*rows[i], step.saved[i].write);
        } else if (c_.receipts != nullptr && !rows[i]->gatewayIds.isEmpty()) {
            c_.receipts->saved(outcomes[i].row.value(Column::RecId), rows[i]->gatewayIds,
                               rows[i]->storedIds);
        }
    }
    if (c_.receipts != nullptr) {
        c_.receipts->writeThrough(store_);  // between the steps, on the cycle's connection
    }
    for (const PendingRow& pending : saving) {
        step.failure = step.failure ? step.failure : pending.logFailure;
    }
    if (!outcomes.empty()) {
        c_.counters.lastProgress = c_.clock.now();
    }
    if (!step.failure && !pending_.empty()) {
        becomeHead(pending_.front());
    }
    if (!saving.empty() && !step.failure) {
        c_.log.yield();
    }
    return step;
}

void RowWindow::reportSms(PendingRow& pending, const SendResult& result) {
    count(Counters::Sms, result.delivery);
    if (c_.receipts != nullptr && c_.receipts->on() && result.delivery == Delivery::Sent) {
        QString cut;
        pending.gatewayIds = result.gatewayIds;
        pending.storedIds = c_.receipts->fit(pending.id, result.gatewayIds, cut);
        if (!cut.isEmpty()) {
            note(pending, cut);
        }
    }
    for (const QString& line : RowLines::smsOutcome(pending, result)) {
        note(pending, line);
    }
}

void RowWindow::reportEmail(PendingRow& pending, const SendResult& result) {
    count(Counters::Email, result.delivery);
    for (const QString& line : RowLines::emailOutcome(pending, result)) {
        note(pending, line);
    }
}

void RowWindow::reportWrite(PendingRow& pending, MessageStore::Write write) {
    for (const QString& line : RowLines::writeOutcome(pending, write)) {
        note(pending, line);
    }
}

void RowWindow::count(Counters::Channel channel, Delivery delivery) {
    const Counters::Result result = delivery == Delivery::Sent      ? Counters::Sent
                                    : delivery == Delivery::InDoubt ? Counters::InDoubt
                                                                    : Counters::NotSent;
    ++c_.counters.messages[channel][result];
}

// A row's entry: written now by the row at the head, held for row order by the rows behind.
void RowWindow::note(PendingRow& pending, const QString& text) {
    if (pending.head) {
        write(pending, text);
    } else {
        pending.lines << text;
    }
}

// Once a row is claimed a log that cannot be written must not keep its outcome out of the
// row: the failure is held until the row is saved.
void RowWindow::write(PendingRow& pending, const QString& text) {
    if (!pending.claimed && !quiet_) {
        c_.log.WriteLog(text, true, false);
        return;
    }
    c_.log.holdFailures();
    c_.log.WriteLog(text, true, false);
    if (std::optional<KorvaneError> failure = c_.log.releaseFailures();
        failure && !pending.logFailure && !quiet_) {
        pending.logFailure = failure;
    }
}

// Nothing is ahead of the row any more: what it held goes out, and from here its entries are
// written as they come.
void RowWindow::becomeHead(PendingRow& pending) {
    pending.head = true;
    for (const QString& line : std::exchange(pending.lines, QStringList())) {
        write(pending, line);
    }
}

}  // namespace korvane
