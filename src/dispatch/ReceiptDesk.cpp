#include "dispatch/ReceiptDesk.h"

#include "core/ActivityLog.h"
#include "core/Clock.h"
#include "core/KorvaneError.h"
#include "core/RunConfiguration.h"

namespace korvane {

namespace {

bool isFinal(const QString& state) {
    return state == QLatin1String("DELIVRD") || state == QLatin1String("UNDELIV") ||
           state == QLatin1String("EXPIRED") || state == QLatin1String("REJECTD") ||
           state == QLatin1String("DELETED");
}

constexpr size_t kMostLongMessages = 100000;
constexpr size_t kMostGivenUp = 10000;
constexpr int kRecheckMs = 1000;

}  // namespace

ReceiptDesk::ReceiptDesk(SmsChannel& sms, ActivityLog& log, const Clock& clock, Counters& counters,
                         const RunConfiguration& config, StoreFactory makeStore)
    : sms_(sms),
      log_(log),
      clock_(clock),
      counters_(counters),
      config_(config),
      own_(config, std::move(makeStore)) {
    gather_.setSingleShot(true);
    gather_.callOnTimeout([this] { writeOwn(); });
    sms_.setReceiptListener(this);
}

ReceiptDesk::~ReceiptDesk() {
    sms_.setReceiptListener(nullptr);
}

QCoro::Task<> ReceiptDesk::tableFound(MessageStore::TableFeatures features) {
    const bool was = features_.receipts;
    features_ = features;
    sms_.setReceipts(features.receipts);
    if (was != features.receipts) {
        log(features.receipts
                ? QStringLiteral("Delivery receipts are on: tblMessages has SmscMessageId, "
                                 "DeliveryStatus and DeliveredDate.")
                : QStringLiteral("Delivery receipts are off: tblMessages no longer has "
                                 "SmscMessageId, DeliveryStatus and DeliveredDate."));
    }
    if (!features.receipts) {
        for (const Waiting& waiting : std::exchange(waiting_, {})) {
            sms_.answerReceipt(waiting.receipt.token, false);
        }
        co_return;
    }
    if (const QString failure = co_await sms_.listen(config_.smsGateways()); !failure.isEmpty()) {
        logOnce(QStringLiteral("Delivery receipts cannot come now: ") + failure);
    }
}

void ReceiptDesk::cycleRunning(bool running) {
    cycle_ = running;
    if (!running && !waiting_.empty()) {
        gather_.start(gatherMs_);
    }
}

QString ReceiptDesk::fit(qint32 recordId, const QString& ids, QString& cut) const {
    if (features_.idWidth <= 0 || ids.size() <= features_.idWidth) {
        return ids;
    }
    cut = QStringLiteral(
              "Record Id: %1: the gateway's message ids \"%2\" are longer than "
              "SmscMessageId holds (%3 characters); saved cut.")
              .arg(recordId)
              .arg(ids)
              .arg(features_.idWidth);
    return ids.left(features_.idWidth);
}

void ReceiptDesk::saved(const QVariant& recId, const QString& ids, const QString& stored) {
    ids_.add(recId, ids, stored);
}

void ReceiptDesk::receiptArrived(const Receipt& receipt) {
    if (!on()) {
        sms_.answerReceipt(receipt.token, false);  // wanted again once the table takes them
        return;
    }
    if (givenUp_.count(SentIds::normal(receipt.messageId)) != 0) {
        sms_.answerReceipt(receipt.token, true);
        return;
    }
    waiting_.push_back(Waiting{receipt, clock_.now(), false});
    if (!cycle_ && !gather_.isActive()) {
        gather_.start(gatherMs_);
    }
}

void ReceiptDesk::gatewayNotice(const QString& line) {
    log(line);
}

// Between cycles: through a connection of the desk's own.
QCoro::Task<> ReceiptDesk::writeOwn() {
    if (cycle_ || writing_ || waiting_.empty()) {
        co_return;
    }
    try {
        CycleStore* store = co_await own_.store();
        co_await writeThrough(*store);
    } catch (const KorvaneError& error) {
        own_.failed();
        logOnce(QStringLiteral("Delivery receipts cannot be written now: ") + errorLine(error));
    }
    own_.idle([this] { return writing_; });
    if (!waiting_.empty() && !cycle_) {
        gather_.start(kRecheckMs);  // those that wait for their id, or for the database
    }
}

QCoro::Task<> ReceiptDesk::writeThrough(CycleStore& store) {
    if (writing_ || waiting_.empty() || !on()) {
        co_return;
    }
    writing_ = true;
    struct Done {
        bool& busy;
        ~Done() { busy = false; }
    } done{writing_};
    co_await lookUp(store);
    Batch batch;
    const QDateTime now = clock_.now();
    std::deque<Waiting> still;
    for (Waiting& waiting : waiting_) {
        if (const std::optional<SentIds::Hit> hit =
                ids_.find(waiting.receipt.messageId, SentIds::spellingOf(config_.smppReceiptIds))) {
            take(waiting, *hit, batch);
        } else if (waiting.arrived.secsTo(now) >= kMatchWaitS) {
            giveUp(waiting);
        } else {
            still.push_back(std::move(waiting));
        }
    }
    waiting_ = std::move(still);
    for (const quint64 token : batch.known) {
        sms_.answerReceipt(token, true);
    }
    if (batch.writes.empty()) {
        co_return;
    }
    bool written = false;
    try {
        co_await store.writeReceipts(batch.writes);
        written = true;
        lastFailure_.clear();
    } catch (const KorvaneError& error) {
        logOnce(QStringLiteral("Delivery receipts cannot be written now, so Telvoro Server will "
                               "offer them again: ") +
                errorLine(error));
    }
    for (const quint64 token : batch.tokens) {
        sms_.answerReceipt(token, written);
    }
    for (const MessageStore::ReceiptWrite& write :
         written ? batch.writes : decltype(batch.writes){}) {
        ++counters_.receipts[write.state];
    }
}

// The ids not known here, looked up in the table once each: rows sent before this run, or by
// another instance. Whole ids first; those still unknown among long messages' parts.
QCoro::Task<> ReceiptDesk::lookUp(CycleStore& store) {
    const SentIds::Spelling spelling = SentIds::spellingOf(config_.smppReceiptIds);
    // By id, not by place: receipts come and go while the table is asked.
    QStringList asked;
    for (const Waiting& waiting : waiting_) {
        if (!waiting.lookedUp && !ids_.find(waiting.receipt.messageId, spelling)) {
            asked << waiting.receipt.messageId;
        }
    }
    for (const bool withinLists : {false, true}) {
        QStringList ids;
        for (const QString& id : asked) {
            if (!ids_.find(id, spelling)) {
                ids << (withinLists ? QStringList{id.trimmed()} : SentIds::lookups(id, spelling));
            }
        }
        if (ids.isEmpty()) {
            break;
        }
        try {
            for (const MessageStore::SentRow& row : co_await store.findSent(ids, withinLists)) {
                ids_.add(row.recId, row.ids, row.ids);
            }
        } catch (const KorvaneError& error) {
            logOnce(QStringLiteral("Delivery receipts cannot be matched now: ") + errorLine(error));
            co_return;  // asked again at the next write
        }
    }
    for (Waiting& waiting : waiting_) {
        waiting.lookedUp = waiting.lookedUp || asked.contains(waiting.receipt.messageId);
    }
}

// A receipt's write, by its state and (a long SMS) its parts' states.
void ReceiptDesk::take(Waiting& waiting, const SentIds::Hit& hit, Batch& batch) {
    const Receipt& receipt = waiting.receipt;
    QString state = receipt.state;
    if (hit.parts > 1) {
        const QString key = hit.recId.toString() + QLatin1Char('\n') + hit.stored;
        if (partStates_.size() >= kMostLongMessages && partStates_.count(key) == 0) {
            partStates_.clear();
        }
        std::vector<QString>& parts = partStates_[key];
        parts.resize(size_t(hit.parts));
        parts[size_t(hit.part)] = state;
        const bool allDelivered = std::all_of(parts.begin(), parts.end(), [](const QString& part) {
            return part == QLatin1String("DELIVRD");
        });
        if (state == QLatin1String("DELIVRD") && !allDelivered) {
            batch.known.push_back(receipt.token);  // kept here until the other parts report
            return;
        }
        if (isFinal(state)) {
            partStates_.erase(key);
        }
    }
    batch.writes.push_back(MessageStore::ReceiptWrite{
        hit.recId, hit.stored, state, receipt.doneAt.isValid() ? receipt.doneAt : waiting.arrived});
    batch.tokens.push_back(receipt.token);
}

void ReceiptDesk::giveUp(const Waiting& waiting) {
    sms_.answerReceipt(waiting.receipt.token, true);
    const QString id = SentIds::normal(waiting.receipt.messageId);
    if (givenUp_.size() >= kMostGivenUp) {
        givenUp_.clear();
    }
    if (!givenUp_.insert(id).second) {
        return;  // offered again while it waited: logged once
    }
    ++counters_.receiptsUnmatched;
    log(QStringLiteral("Delivery receipt %1 for message id %2 matches no row of tblMessages; "
                       "answered.")
            .arg(waiting.receipt.state, waiting.receipt.messageId));
}

void ReceiptDesk::log(const QString& line) {
    try {
        log_.WriteLog(line, true, false);
    } catch (const KorvaneError&) {
        // The log is what failed; receipts go on.
    }
}

void ReceiptDesk::logOnce(const QString& line) {
    if (line != lastFailure_) {
        lastFailure_ = line;
        log(line);
    }
}

}  // namespace korvane
