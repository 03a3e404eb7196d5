#pragma once

#include <QDeadlineTimer>
#include <QObject>
#include <condition_variable>
#include <functional>
#include <memory>
#include <mutex>
#include <thread>

#include "dispatch/MessageStore.h"
#include "dispatch/OdbcStatement.h"

namespace korvane {

class OdbcMessageStore;
class StopDeadline;

// tblMessages through ODBC on a thread of its own: a statement waiting for a lock, or a slow
// database, never holds up the window. Each call waits for its answer on the event loop;
// when the program must end, the statement running is cancelled.
class BackgroundStore : public MessageStore {
public:
    explicit BackgroundStore(const StopDeadline* stop = nullptr,
                             int lockTimeoutS = OdbcStatement::kQueryTimeoutS);
    ~BackgroundStore() override;
    BackgroundStore(const BackgroundStore&) = delete;
    BackgroundStore& operator=(const BackgroundStore&) = delete;

    void open(const DataSourceSettings& source) override;
    bool isOpen() override;
    void select(qint32 dontSendProcessedMsgs) override;
    qint64 countWaiting(qint32 dontSendProcessedMsgs) override;
    std::vector<TableRow> nextPage(int limit) override;
    std::vector<Write> claim(const std::vector<TableRow>& rows, const QDateTime& at) override;
    std::vector<Saved> save(const std::vector<Outcome>& outcomes, const QDateTime& at) override;
    Step saveAndClaim(const std::vector<Outcome>& outcomes, const std::vector<TableRow>& rows,
                      const QDateTime& at) override;
    void release(const std::vector<TableRow>& rows) override;
    QList<Claim> claimsBefore(const QDateTime& cutoff) override;

private:
    // writes: how many guarded writes the job makes; it is cancelled when it outlasts their
    // lock timeouts, for drivers whose own timeouts do not hold. 0: never.
    template <typename Result>
    Result call(const std::function<Result(OdbcMessageStore&)>& job, size_t writes = 0);
    void runOnThread(const std::function<void()>& job, QDeadlineTimer cancelAt);
    void run();

    const StopDeadline* stop_;
    int lockTimeoutS_;
    QObject waker_;                            // the thread posts to it, which wakes the event loop
    std::unique_ptr<OdbcMessageStore> store_;  // used, and destroyed, on the thread alone
    std::mutex mutex_;
    std::condition_variable wake_;
    std::function<void()> job_;
    bool quit_ = false;
    std::thread thread_;
};

}  // namespace korvane
