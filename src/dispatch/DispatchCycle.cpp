#include "dispatch/DispatchCycle.h"

#include <QElapsedTimer>

#include "core/ActivityLog.h"
#include "core/Clock.h"
#include "core/KorvaneError.h"
#include "core/RunConfiguration.h"
#include "dispatch/BackgroundStore.h"
#include "dispatch/CycleControl.h"
#include "dispatch/EmailChannel.h"
#include "dispatch/MessageTable.h"
#include "dispatch/ProcessView.h"
#include "dispatch/SmsChannel.h"

namespace korvane {

using MessageTable::Column;
namespace Status = MessageTable::Status;

namespace {
const QString kIdle = QStringLiteral("Idle...");
}  // namespace

DispatchCycle::DispatchCycle(CycleControl& control, Parts parts, ProcessView& window)
    : control_(control),
      config_(parts.config),
      log_(parts.log),
      window_(window),
      sms_(parts.sms),
      email_(parts.email),
      clock_(parts.clock),
      makeStore_(std::move(parts.makeStore)),
      counters_(parts.counters),
      receipts_(parts.receipts),
      replies_(parts.replies) {}

QCoro::Task<> DispatchCycle::run() {
    receipts_.cycleRunning(true);
    replies_.cycleRunning(true);
    struct CycleOver {
        ReceiptDesk& receipts;
        ReplyDesk& replies;
        ~CycleOver() {
            receipts.cycleRunning(false);
            replies.cycleRunning(false);
        }
    } cycleOver{receipts_, replies_};
    std::unique_ptr<CycleStore> store;
    QString failure;
    QElapsedTimer took;
    try {
        log(QStringLiteral("Process Started."));
        if (!control_.ValidateConfiguration()) {
            control_.cmdStop_Click();
            window_.showConfigurationModal();
            co_return;
        }
        control_.setTimer1(false);
        window_.setStatusText(QStringLiteral("Processing..."));
        took.start();
        store = makeStore_();
        if (!co_await connect(*store)) {
            store.reset();
            shortIdleEnding();
            ended(took, false);
            co_return;
        }
        co_await sendWaitingRows(*store);
        co_await endSessions();
        store.reset();
        control_.setTimer1(!control_.StopRequested());
        log(QStringLiteral("Process Completed..."));
        log(kIdle);
        log(QStringLiteral("\r\n"));
        window_.setStatusText(kIdle);
        ended(took, true);
        co_return;
    } catch (const DatabaseUnanswered& error) {
        counters_.databaseGivenUp = true;
        failure = errorLine(error);
    } catch (const KorvaneError& error) {
        failure = errorLine(error);
    } catch (const std::exception& error) {
        failure = errorLine(ErrorNumber::ProviderError, QString::fromLocal8Bit(error.what()));
    }
    co_await finishAfterError();
    store.reset();
    errorPath(failure);
    ended(took, false);
}

void DispatchCycle::ended(const QElapsedTimer& took, bool reachedTable) {
    if (!took.isValid()) {
        return;  // stopped at the configuration check
    }
    ++counters_.cyclesEnded;
    counters_.cycleErrors += reachedTable ? 0 : 1;
    counters_.failedInARow = reachedTable ? 0 : counters_.failedInARow + 1;
    counters_.lastCycleEnd = clock_.now();
    if (reachedTable) {
        counters_.lastProgress = counters_.lastCycleEnd;
    }
    counters_.countDuration(static_cast<double>(took.nsecsElapsed()) / 1e9);
}

// Opens the data source and runs the selection; false when the connection did not open.
QCoro::Task<bool> DispatchCycle::connect(CycleStore& store) {
    std::optional<KorvaneError> failure;
    try {
        DataSourceSettings source{config_.dsnName, config_.dsnDbUser, config_.dsnDbPassword,
                                  config_.fileDsnPath()};
        co_await store.open(std::move(source));
    } catch (const KorvaneError& error) {
        failure = error;
    }
    if (failure) {
        if (!config_.fileDsnPathLost()) {
            throw *failure;
        }
        throw KorvaneError(
            failure->number(),
            failure->description() + QLatin1String(RunConfiguration::kFileDsnPathLost));
    }
    if (!co_await store.isOpen()) {
        log(QStringLiteral("Connection is not opened, Please verify DSN Name."));
        co_return false;
    }
    co_await store.select(config_.dontSendProcessedMsgs, clock_.now());
    counters_.waitingRows = co_await store.countWaiting(config_.dontSendProcessedMsgs);
    counters_.settledSinceSelection = 0;
    control_.setTimer1(false);
    co_await reportOldClaims(store);
    co_return true;
}

QCoro::Task<> DispatchCycle::sendWaitingRows(CycleStore& store) {
    std::vector<TableRow> page = co_await store.nextPage(kPageRows);
    const QVariant oldest =
        page.empty() ? QVariant() : page.front().asRead(MessageTable::Column::RecId);
    if (oldest.isNull() || oldest != counters_.oldestWaitingKey) {
        counters_.oldestWaitingKey = oldest;
        counters_.oldestWaitingSince = oldest.isNull() ? QDateTime() : clock_.now();
    }
    const MessageStore::TableFeatures features = co_await store.features();
    co_await receipts_.tableFound(features);
    co_await replies_.tableFound(features);
    if (page.empty()) {
        log(QStringLiteral("No message exists to be sent."));
        co_await receipts_.writeThrough(store);
        co_await replies_.writeThrough(store);
        co_return;
    }
    rows_ = std::make_unique<RowPipeline>(
        store, features,
        RowPipeline::Context{config_, log_, control_, sms_, email_, clock_, counters_, &receipts_,
                             &replies_},
        rowsOut_);
    while (!page.empty()) {
        co_await rows_->serve(page);
        if (control_.StopRequested()) {
            break;  // the rows in flight still finish and are saved
        }
        page = co_await store.nextPage(kPageRows);
    }
    co_await rows_->drain();
    rows_.reset();
    co_await receipts_.writeThrough(store);
    co_await replies_.writeThrough(store);
    if (control_.StopRequested()) {
        control_.setTimer1(false);
    }
}

QCoro::Task<> DispatchCycle::reportOldClaims(CycleStore& store) {
    const QDateTime now = clock_.now();
    const QList<MessageStore::Claim> claims = co_await store.claimsBefore(now.addSecs(-kClaimAgeS));
    counters_.staleClaims = claims.size();
    for (const MessageStore::Claim& claim : claims) {
        const QString id = MessageTable::toText(claim.recId);
        if (!reportedClaims_.insert(id).second) {
            continue;
        }
        log(QStringLiteral("Record Id: ") + id + QStringLiteral(" is marked '") +
            QLatin1String(Status::kBeingSent) + QStringLiteral("' since ") +
            (claim.since.isValid() ? claim.since.toString(QStringLiteral("dd-MM-yyyy hh:mm:ss"))
                                   : QStringLiteral("an unknown time")) +
            QStringLiteral(" and its message may have gone out. To send it again, empty its "
                           "ProcessStatus."));
    }
}

void DispatchCycle::log(const QString& text) {
    log_.WriteLog(text, true, false);
}

// The rows still out were sent (or tried): each is finished as far as it goes.
QCoro::Task<> DispatchCycle::finishAfterError() {
    if (rows_) {
        co_await rows_->drainAfterError();
        rows_.reset();
    }
    co_await endSessions();
}

QCoro::Task<> DispatchCycle::endGatewaySession() {
    return sms_.endSession();
}

void DispatchCycle::retryGateway() {
    sms_.retryNow();
    email_.retryNow();
}

// Mail goes over a connection per cycle; the gateway's session is kept until Stop.
QCoro::Task<> DispatchCycle::endSessions() {
    email_.endSession();
    if (control_.StopRequested()) {
        co_await sms_.endSession();
    }
}

void DispatchCycle::shortIdleEnding() {
    control_.setTimer1(!control_.StopRequested());
    log(kIdle);
    window_.setStatusText(kIdle);
}

void DispatchCycle::errorPath(const QString& line) {
    // The log itself may be what failed: its entries are dropped so that the cycle still
    // reaches the idle state and the next one tries again.
    auto tryLog = [this](const QString& text) {
        try {
            log(text);
        } catch (const KorvaneError&) {
        }
    };
    tryLog(line);
    control_.setTimer1(!control_.StopRequested());
    tryLog(kIdle);
    window_.setStatusText(kIdle);
}

}  // namespace korvane
