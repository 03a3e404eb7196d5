#pragma once

#include <QDeadlineTimer>
#include <functional>
#include <memory>
#include <thread>

#include "dispatch/CancellableStore.h"
#include "dispatch/OdbcStatement.h"

class QElapsedTimer;

namespace korvane {

class StopDeadline;

// The database stopped answering while the program must end: its thread is left behind.
class DatabaseUnanswered : public KorvaneError {
public:
    using KorvaneError::KorvaneError;
};

// tblMessages on a thread of its own: a statement waiting for a lock, or a database that
// stops answering, never holds up the window. Each call waits for its answer on the event
// loop. A statement that outlasts its lock timeouts, or runs when the program must end, is
// cancelled from a third thread, since a driver's cancel may itself wait on the network. When
// the program must end and even the cancel brings no answer within kCancelGraceMs, the
// database's thread is given up: the call raises DatabaseUnanswered, so do all later ones,
// and the thread is left to end whenever the driver lets it.
class BackgroundStore : public MessageStore {
public:
    static constexpr int kLockGraceMs = 2000;
    static constexpr int kCancelGraceMs = 3000;

    // store: ODBC (OdbcMessageStore) but in tests. waiting: runs while a call is out, invalid
    // otherwise.
    explicit BackgroundStore(std::unique_ptr<CancellableStore> store,
                             const StopDeadline* stop = nullptr,
                             int lockTimeoutS = OdbcStatement::kQueryTimeoutS,
                             QElapsedTimer* waiting = nullptr);
    ~BackgroundStore() override;
    // What a lock wait gets past its timeout before a cancel, and a cancel when the program must
    // end before the thread is given up.
    void setGraces(int lockGraceMs, int cancelGraceMs) {
        lockGraceMs_ = lockGraceMs;
        cancelGraceMs_ = cancelGraceMs;
    }
    BackgroundStore(const BackgroundStore&) = delete;
    BackgroundStore& operator=(const BackgroundStore&) = delete;

    void open(const DataSourceSettings& source) override;
    bool isOpen() override;
    void select(qint32 dontSendProcessedMsgs, const QDateTime& now) override;
    qint64 countWaiting(qint32 dontSendProcessedMsgs) override;
    std::vector<TableRow> nextPage(int limit) override;
    std::vector<Write> claim(const std::vector<TableRow>& rows, const QDateTime& at) override;
    std::vector<Saved> save(const std::vector<Outcome>& outcomes, const QDateTime& at) override;
    Step saveAndClaim(const std::vector<Outcome>& outcomes, const std::vector<TableRow>& rows,
                      const QDateTime& at) override;
    void release(const std::vector<TableRow>& rows) override;
    QList<Claim> claimsBefore(const QDateTime& cutoff) override;
    TableFeatures features() override;
    std::vector<TableRow> nextHigher(const QVariant& priority, int limit) override;
    std::vector<SentRow> findSent(const QStringList& ids, bool withinLists) override;
    void writeReceipts(const std::vector<ReceiptWrite>& writes) override;
    std::vector<StoredReply> storeReplies(const std::vector<ReplyWrite>& replies) override;
    void setWhileWaiting(std::function<void()> work) override { whileWaiting_ = std::move(work); }

private:
    struct Worker;

    // The job gets copies of what it needs: a call given up on returns while it still runs.
    // writes: how many guarded writes it makes; it is cancelled when it outlasts their lock
    // timeouts, for drivers whose own timeouts do not hold. 0: never.
    template <typename Result>
    Result call(std::function<Result(CancellableStore&)> job, size_t writes = 0);
    void runOnThread(std::function<void(CancellableStore&)> job, QDeadlineTimer cancelAt,
                     const std::function<bool()>& done);
    void waitFor(const std::function<bool()>& done, QDeadlineTimer cancelAt);
    void waitTurning(const std::function<bool()>& done, QDeadlineTimer until);
    void cancelOnOwnThread();

    const StopDeadline* stop_;
    int lockTimeoutS_;
    QElapsedTimer* waiting_;
    std::shared_ptr<Worker> worker_;  // shared with the threads, which may outlive this
    std::thread thread_;
    int lockGraceMs_ = kLockGraceMs;
    int cancelGraceMs_ = kCancelGraceMs;
    std::function<void()> whileWaiting_;
    bool working_ = false;  // whileWaiting_ runs: a call it makes does not run it again
    bool givenUp_ = false;
};

}  // namespace korvane
