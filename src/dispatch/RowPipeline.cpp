#include "dispatch/RowPipeline.h"

#include <QRandomGenerator>
#include <algorithm>
#include <utility>

#include "core/ActivityLog.h"
#include "core/Clock.h"
#include "core/Meanwhile.h"
#include "core/RunConfiguration.h"
#include "dispatch/CycleControl.h"
#include "dispatch/EmailChannel.h"
#include "dispatch/ReceiptDesk.h"
#include "dispatch/ReplyDesk.h"
#include "dispatch/RowPreparation.h"
#include "dispatch/SmsChannel.h"

namespace korvane {

using MessageTable::Column;
namespace Status = MessageTable::Status;

namespace {
const char* const kStopped = "processing stopped before its message went out";
const char* const kSmsDown = "Telvoro Server cannot be reached now";
const char* const kMailDown = "the mail server cannot be reached now";

QString waitsLine(qint32 id, const char* why = kStopped) {
    return QStringLiteral("Record Id: %1 waits for the next cycle: %2.")
        .arg(QString::number(id), QLatin1String(why));
}
}  // namespace

RowPipeline::RowPipeline(CycleStore& store, MessageStore::TableFeatures features, Context context,
                         int rowsOut)
    : store_(store),
      c_(context),
      rowsOut_(std::max(1, rowsOut)),
      features_(features),
      rowLog_(context.log),
      reports_({rowLog_, context.counters, context.receipts, context.clock,
                context.config.attemptsAllowed(), features_.retries}),
      higherChecked_(context.clock.now()) {}

RowPipeline::~RowPipeline() = default;

QCoro::Task<> RowPipeline::serve(std::vector<TableRow>& page) {
    size_t next = 0;
    while (next < page.size() && !c_.control.StopRequested()) {
        // What is done is saved first: the answers that come in meanwhile free their places
        // in the gateway's window, and rows claimed ahead take them at once. The next rows
        // are claimed while those are out, so that a place never waits for the database; any
        // row but an SMS ends the batch and goes on its own.
        co_await handOver();
        co_await settle(false);
        co_await handOver();
        if (c_.control.StopRequested()) {
            break;
        }
        co_await takeHigher(page, next);
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
        const size_t taken = co_await claimSms(batch);
        co_await handOver();
        if (other != nullptr && other->kind == Kind::EmailReady) {
            co_await handOverAll();
            co_await sendEmail(*other);
        }
        if (taken >= 1 && 2 * taken >= batch.size() && next < page.size()) {
            // Most of the batch was taken: another instance works its way through the same
            // rows. Jumping a random way ahead puts this one where nobody claims yet; the
            // rows passed over are the other's, or wait for the next cycle.
            next += QRandomGenerator::global()->bounded(quint32(page.size() - next) + 1);
        }
    }
}

// With Priority: rows above the next one's that came in since its page was read go first.
// Looked for every kHigherCheckMs at most (each look is a round trip to the database).
QCoro::Task<> RowPipeline::takeHigher(std::vector<TableRow>& page, size_t next) {
    const QDateTime now = c_.clock.now();
    const qint64 since = higherChecked_.msecsTo(now);  // negative: the clock was set back
    if (!features_.priority || next >= page.size() || (since >= 0 && since < kHigherCheckMs)) {
        co_return;
    }
    higherChecked_ = now;
    std::vector<TableRow> higher =
        co_await store_.nextHigher(page[next].asRead(Column::Priority), 3 * rowsOut_);
    page.insert(page.begin() + std::ptrdiff_t(next), std::make_move_iterator(higher.begin()),
                std::make_move_iterator(higher.end()));
}

// Rows claimed and not handed over yet: at most a window ahead of the gateway. Rows out and
// rows waiting for their save take a window each besides.
size_t RowPipeline::claimRoom() const {
    const size_t ahead = size_t(std::count_if(pending_.begin(), pending_.end(), claimedAhead));
    const size_t most = 3 * size_t(rowsOut_);
    if (pending_.size() >= most || ahead >= size_t(rowsOut_)) {
        return 0;
    }
    const size_t free = std::min(size_t(rowsOut_) - ahead, most - pending_.size());
    return pending_.empty() ? std::max<size_t>(1, free) : free;
}

// The next row claimed ahead that may go to the gateway, in row order, while it has room and
// fewer than the cycle's window are out; none when it must wait. front: one at the front goes
// whatever the room, since nothing else of this cycle is out to wait for.
PendingRow* RowPipeline::nextToHandOver(bool front) {
    if (features_.retries && c_.sms.unreachable()) {
        return nullptr;
    }
    // A row whose answer is in holds no place, saved or not.
    const int out =
        int(std::count_if(pending_.begin(), pending_.end(), [this](const PendingRow& row) {
            return row.kind == Kind::Sms && !c_.sms.isSettled(row.ticket);
        }));
    const auto next = std::find_if(pending_.begin(), pending_.end(), claimedAhead);
    if (next == pending_.end() || c_.control.StopRequested()) {
        return nullptr;
    }
    const bool waits = out >= rowsOut_ || c_.sms.room() <= 0;
    return (front && next == pending_.begin()) || !waits ? &*next : nullptr;
}

QCoro::Task<> RowPipeline::handOver() {
    if (features_.retries && c_.sms.unreachable()) {
        co_await releaseAhead(kSmsDown);  // left as they are until the gateway can be bound
        co_return;
    }
    const QList<SmsGateway> gateways = c_.config.smsGateways();
    while (PendingRow* pending = nextToHandOver(true)) {
        rowLog_.note(*pending, QStringLiteral("Sending message via SMS."));
        pending->kind = Kind::Sms;
        pending->ticket = co_await c_.sms.submit(gateways, pending->mobile, pending->text,
                                                 pending->validUntil, pending->sender);
        if (features_.retries && c_.sms.unreachable()) {
            co_return;  // this row met the failed bind; the rest wait
        }
    }
}

// While a step waits for the database: the rows the gateway takes without a wait go now.
void RowPipeline::handOverNow() {
    const QList<SmsGateway> gateways = c_.config.smsGateways();
    while (PendingRow* pending = nextToHandOver(false)) {
        const std::optional<int> ticket = c_.sms.submitNow(gateways, pending->mobile, pending->text,
                                                           pending->validUntil, pending->sender);
        if (!ticket) {
            return;  // a bind to wait for: the next handOver() does that
        }
        rowLog_.note(*pending, QStringLiteral("Sending message via SMS."));
        pending->kind = Kind::Sms;
        pending->ticket = *ticket;
    }
}

// Stop came, or the gateway cannot be reached: the rows claimed and never handed over are
// given back as they were read.
QCoro::Task<> RowPipeline::releaseAhead(const char* why) {
    std::vector<TableRow> unsent;
    for (PendingRow& pending : pending_) {
        if (claimedAhead(pending)) {
            unsent.push_back(pending.row);
            pending.kind = Kind::Nothing;
            rowLog_.note(pending, waitsLine(pending.id, why));
        }
    }
    if (!unsent.empty()) {
        co_await store_.release(std::move(unsent));
    }
}

// Every row claimed ahead handed over, each as a place frees (Stop: given back instead).
QCoro::Task<> RowPipeline::handOverAll() {
    while (!c_.control.StopRequested() &&
           std::any_of(pending_.begin(), pending_.end(), claimedAhead)) {
        co_await handOver();
        if (std::any_of(pending_.begin(), pending_.end(), claimedAhead)) {
            co_await settle(false, true);
        }
    }
    if (c_.control.StopRequested()) {
        co_await releaseAhead(kStopped);
    }
}

QCoro::Task<> RowPipeline::drain() {
    co_await handOverAll();
    while (!pending_.empty() || !unsaved_.empty()) {
        co_await settle(true);
        const Committed step = co_await commit(std::vector<TableRow>());
        raise(step.failure);
    }
}

QCoro::Task<> RowPipeline::drainAfterError() {
    rowLog_.setQuiet();
    while (!pending_.empty() || !unsaved_.empty()) {
        try {
            co_await settle(true);
            co_await commit(std::vector<TableRow>());
        } catch (const KorvaneError&) {
        }
    }
}

PendingRow& RowPipeline::start(TableRow row) {
    PendingRow& pending = pending_.emplace_back();
    pending.head = pending_.size() == 1 && unsaved_.empty();
    pending.row = std::move(row);
    pending.id = pending.row.recordId();
    rowLog_.note(pending, QStringLiteral("\r\n"));
    rowLog_.note(pending, QStringLiteral("Processing message for Record Id: ") +
                              QString::number(pending.id));
    for (const QString& line : RowPreparation::prepare(pending, c_.clock.now())) {
        rowLog_.note(pending, line);
    }
    if (pending.status == QLatin1String(Status::kExpired)) {
        ++c_.counters.expired;
    }
    if (pending.kind == Kind::SmsReady && features_.retries && c_.sms.unreachable()) {
        pending.kind = Kind::Nothing;  // left as it is: no attempt counted
        rowLog_.note(pending, waitsLine(pending.id, kSmsDown));
    }
    return pending;
}

// Saves what is done and claims the batch in one step; the rows claimed wait for their room at
// the gateway (handOver). Returns how many of the batch another process had taken.
QCoro::Task<size_t> RowPipeline::claimSms(std::vector<PendingRow*> batch) {
    c_.counters.claimAttempts += batch.size();
    std::vector<TableRow> rows;
    for (const PendingRow* pending : batch) {
        rows.push_back(pending->row);
    }
    const Committed step = co_await commit(std::move(rows));
    if (batch.empty()) {
        raise(step.failure);
        co_return size_t(0);
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
            reports_.write(pending, step.claimed[i]);
            pending.kind = Kind::Nothing;
            c_.counters.count(Counters::Sms, Counters::Skipped, c_.clock.now().date());
            ++taken;
        }
    }
    co_return taken;
}

QCoro::Task<> RowPipeline::sendEmail(PendingRow& pending) {
    if (c_.control.StopRequested()) {
        pending.kind = Kind::Nothing;
        rowLog_.note(pending, waitsLine(pending.id));
        co_return;
    }
    if (mailDown_) {
        pending.kind = Kind::Nothing;
        rowLog_.note(pending, waitsLine(pending.id, kMailDown));
        co_return;
    }
    ++c_.counters.claimAttempts;
    std::vector<TableRow> claims{pending.row};
    const Committed step = co_await commit(std::move(claims));
    raise(step.failure);
    raise(step.claimFailure);
    const MessageStore::Write claim = step.claimed.at(0);
    if (claim != MessageStore::Write::Done) {
        reports_.write(pending, claim);
        pending.kind = Kind::Nothing;
        c_.counters.count(Counters::Email, Counters::Skipped, c_.clock.now().date());
        co_return;
    }
    pending.claimed = true;
    rowLog_.note(pending, QStringLiteral("Sending message via Email."));
    const QList<SmtpServer> servers = c_.config.mailServers();
    const SendResult result = co_await c_.email.sendEmail(pending.mail, servers);
    if (result.delivery == Delivery::Sent && servers.size() > 1) {
        ++c_.counters.mailsByServer[result.server];
    }
    reports_.email(pending, result);
    mailDown_ = mailDown_ || (features_.retries && result.unreachable());
}

// Finishes the rows at the front whose outcome is known: the head, waited for when nothing
// else can be done (or drain, or waitHead), and every row behind it that needs no wait. Their
// entries are written now and their outcomes saved with the next step. A row with nothing sent ends
// the run, so that what its write found is logged before the next row.
QCoro::Task<> RowPipeline::settle(bool drain, bool waitHead) {
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
                std::vector<TableRow> given{front.row};
                co_await store_.release(std::move(given));
            }
        }
        rowLog_.becomeHead(front);
        if (front.kind == Kind::Sms) {
            const SendResult result = co_await c_.sms.outcome(front.ticket);
            reports_.sms(front, result);
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
QCoro::Task<RowPipeline::Committed> RowPipeline::commit(std::vector<TableRow> claims) {
    // Taken out first: a step that raises has still dealt with them (they stay claimed).
    std::vector<PendingRow> saving = std::exchange(unsaved_, {});
    std::vector<MessageStore::Outcome> outcomes;
    std::vector<PendingRow*> rows;
    for (PendingRow& pending : saving) {
        if (pending.kind == Kind::Record || pending.kind == Kind::Settled) {
            outcomes.emplace_back(pending.row, pending.isSent, pending.status,
                                  pending.kind == Kind::Settled, pending.storedIds);
            outcomes.back().attempts = pending.attempts;
            outcomes.back().nextAttemptAt = pending.nextAttemptAt;
            rows.push_back(&pending);
        }
    }
    Committed step;
    if (!outcomes.empty() || !claims.empty()) {
        // While the step is out, a place the gateway's answers free goes to a row claimed
        // ahead at once, not when the step returns.
        const Meanwhile meanwhile(life_, [this] {
            if (!rowLog_.quiet()) {
                handOverNow();
            }
        });
        static_cast<MessageStore::Step&>(step) =
            co_await store_.saveAndClaim(outcomes, std::move(claims), c_.clock.now());
    }
    for (size_t i = 0; i < step.saved.size(); ++i) {
        if (step.saved[i].error) {
            step.failure = step.failure ? step.failure : step.saved[i].error;
        } else if (!outcomes[i].claimed) {
            reports_.write(*rows[i], step.saved[i].write);
        } else if (c_.receipts != nullptr && !rows[i]->gatewayIds.isEmpty()) {
            c_.receipts->saved(outcomes[i].row.value(Column::RecId), rows[i]->gatewayIds,
                               rows[i]->storedIds);
        }
    }
    if (c_.receipts != nullptr) {
        co_await c_.receipts->writeThrough(store_);  // between the steps, on the cycle's connection
    }
    if (c_.replies != nullptr) {
        co_await c_.replies->writeThrough(store_);
    }
    for (const PendingRow& pending : saving) {
        step.failure = step.failure ? step.failure : pending.logFailure;
    }
    if (!outcomes.empty()) {
        c_.counters.lastProgress = c_.clock.now();
    }
    if (!step.failure && !pending_.empty()) {
        rowLog_.becomeHead(pending_.front());
    }
    co_return step;
}

}  // namespace korvane
