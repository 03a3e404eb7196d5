#include "dispatch/ReplyDesk.h"

#include "core/ActivityLog.h"
#include "core/Clock.h"
#include "core/KorvaneError.h"
#include "core/RunConfiguration.h"

namespace korvane {

namespace {

constexpr int kReplyRecheckMs = 1000;
constexpr int kLongestDueMs = 60000;

}  // namespace

ReplyDesk::ReplyDesk(SmsChannel& sms, ActivityLog& log, const Clock& clock, Counters& counters,
                     const RunConfiguration& config, SideConnection::StoreFactory makeStore)
    : sms_(sms),
      log_(log),
      clock_(clock),
      counters_(counters),
      config_(config),
      own_(config, std::move(makeStore)) {
    gather_.setSingleShot(true);
    gather_.callOnTimeout([this] { writeOwn(); });
    due_.setSingleShot(true);
    due_.callOnTimeout([this] { giveUpOverdue(); });
}

ReplyDesk::~ReplyDesk() {
    if (on_) {
        sms_.setReplyListener(nullptr);
    }
}

QCoro::Task<> ReplyDesk::tableFound(MessageStore::TableFeatures features) {
    const bool was = on_;
    on_ = features.replies;
    if (was != on_) {
        sms_.setReplyListener(on_ ? this : nullptr);
        log(on_ ? QStringLiteral("Messages from phones are on: the data source has "
                                 "tblReceivedMessages.")
                : QStringLiteral("Messages from phones are off: the data source no longer has "
                                 "tblReceivedMessages."));
    }
    if (!on_) {
        for (const ReplyAssembler::Reply& reply : std::exchange(ready_, {})) {
            answer(reply, false);
        }
        for (const ReplyAssembler::Reply& reply : assembler_.overdue(clock_.now(), true)) {
            answer(reply, false);
        }
        assembler_ = ReplyAssembler();
        counters_.replyPartsWaiting = 0;
        co_return;
    }
    giveUpOverdue();  // every cycle, beside the timer: a clock set forward counts too
    if (const QString failure = co_await sms_.listen(config_.smsGateways()); !failure.isEmpty()) {
        log(QStringLiteral("Messages from phones cannot come now: ") + failure);
    }
}

void ReplyDesk::cycleRunning(bool running) {
    cycle_ = running;
    if (!running && !ready_.empty()) {
        gather_.start(gatherMs_);
    }
}

void ReplyDesk::replyArrived(const ReplyPart& part) {
    if (!on_) {
        sms_.answerReceipt(part.token, false);
        return;
    }
    ReplyAssembler::Taken taken = assembler_.add(part, clock_.now());
    if (taken.replaced) {
        sms_.answerReceipt(*taken.replaced, false);  // offered anew: that offer is the one kept
    }
    if (taken.storedAlready) {
        sms_.answerReceipt(*taken.storedAlready, true);
        ++counters_.repliesAlready;
    }
    if (taken.reply) {
        queue(std::move(*taken.reply));
    }
    counters_.replyPartsWaiting = assembler_.partsWaiting();
    armDue();
}

void ReplyDesk::giveUpOverdue() {
    for (ReplyAssembler::Reply& reply : assembler_.overdue(clock_.now())) {
        log(QStringLiteral("The message from Mobile No.: %1 is stored without %2 of its %3 "
                           "parts: they did not come within %4 minutes.")
                .arg(reply.write.from)
                .arg(reply.missing)
                .arg(reply.missing + reply.write.parts)
                .arg(ReplyAssembler::kWaitS / 60));
        queue(std::move(reply));
    }
    counters_.replyPartsWaiting = assembler_.partsWaiting();
    armDue();
}

void ReplyDesk::queue(ReplyAssembler::Reply reply) {
    ready_.push_back(std::move(reply));
    if (!cycle_ && !gather_.isActive()) {
        gather_.start(gatherMs_);
    }
}

void ReplyDesk::armDue() {
    const QDateTime due = assembler_.nextDue();
    if (!due.isValid()) {
        due_.stop();
        return;
    }
    due_.start(int(std::clamp<qint64>(clock_.now().msecsTo(due), 0, kLongestDueMs)));
}

QCoro::Task<> ReplyDesk::writeOwn() {
    if (cycle_ || writing_ || ready_.empty()) {
        co_return;
    }
    try {
        CycleStore* store = co_await own_.store();
        co_await writeThrough(*store);
    } catch (const KorvaneError& error) {
        own_.failed();
        for (const ReplyAssembler::Reply& reply : std::exchange(ready_, {})) {
            answer(reply, false);
        }
        if (const QString line = errorLine(error); line != lastFailure_) {
            lastFailure_ = line;
            log(QStringLiteral("Messages from phones cannot be stored now, so Telvoro Server "
                               "will offer them again: ") +
                line);
        }
    }
    own_.idle([this] { return writing_; });
    if (!ready_.empty() && !cycle_) {
        gather_.start(kReplyRecheckMs);
    }
}

// A write that fails answers its replies so that the gateway offers them again: nothing of
// them is kept here, and nothing was stored.
QCoro::Task<> ReplyDesk::writeThrough(CycleStore& store) {
    if (writing_ || ready_.empty() || !on_) {
        co_return;
    }
    writing_ = true;
    struct Done {
        bool& busy;
        ~Done() { busy = false; }
    } done{writing_};
    while (!ready_.empty()) {
        const auto end = ready_.begin() + std::ptrdiff_t(std::min(ready_.size(), kMostPerWrite));
        std::vector<ReplyAssembler::Reply> batch(std::make_move_iterator(ready_.begin()),
                                                 std::make_move_iterator(end));
        ready_.erase(ready_.begin(), end);
        std::vector<MessageStore::ReplyWrite> writes;
        for (const ReplyAssembler::Reply& reply : batch) {
            writes.push_back(reply.write);
        }
        std::vector<MessageStore::StoredReply> stored;
        try {
            stored = co_await store.storeReplies(writes);
            lastFailure_.clear();
        } catch (const KorvaneError& error) {
            for (const ReplyAssembler::Reply& reply : batch) {
                answer(reply, false);
            }
            log(QStringLiteral("Messages from phones cannot be stored now, so Telvoro Server "
                               "will offer them again: ") +
                errorLine(error));
            continue;
        }
        for (size_t i = 0; i < batch.size(); ++i) {
            answer(batch[i], true);
            assembler_.stored(batch[i], clock_.now());
            logStored(batch[i], stored.at(i));
        }
    }
}

void ReplyDesk::answer(const ReplyAssembler::Reply& reply, bool written) {
    for (const quint64 token : reply.tokens) {
        sms_.answerReceipt(token, written);
    }
}

void ReplyDesk::logStored(const ReplyAssembler::Reply& reply,
                          const MessageStore::StoredReply& stored) {
    if (stored.already) {
        ++counters_.repliesAlready;
        log(QStringLiteral("The message from Mobile No.: %1 was offered again; RecId %2 of "
                           "tblReceivedMessages holds it already.")
                .arg(reply.write.from, stored.recId.toString()));
        return;
    }
    ++counters_.repliesStored;
    log(QStringLiteral("Message received from Mobile No.: %1 (RecId %2 of tblReceivedMessages).")
            .arg(reply.write.from, stored.recId.toString()));
}

void ReplyDesk::log(const QString& line) {
    try {
        log_.WriteLog(line, true, false);
    } catch (const KorvaneError&) {
        // The log is what failed; replies go on.
    }
}

}  // namespace korvane
