#pragma once

#include <QDeadlineTimer>
#include <functional>
#include <memory>
#include <thread>

#include "dispatch/CancellableStore.h"
#include "dispatch/CycleStore.h"
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
// stops answering, never holds up the window. Each call is awaited on the event loop. A
// statement that outlasts its lock timeouts, or runs when the program must end, is cancelled
// from a third thread, since a driver's cancel may itself wait on the network. When the
// program must end and even the cancel brings no answer within kCancelGraceMs, the database's
// thread is given up: the call raises DatabaseUnanswered, so do all later ones, and the thread
// is left to end whenever the driver lets it. A call still out when the store is destroyed
// never resumes.
class BackgroundStore : public CycleStore {
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

protected:
    QCoro::Task<> run(Work work, size_t writes) override;

private:
    struct Worker;

    QCoro::Task<> waitFor(std::function<bool()> done, QDeadlineTimer cancelAt);
    void cancelOnOwnThread();

    const StopDeadline* stop_;
    int lockTimeoutS_;
    QElapsedTimer* waiting_;
    std::shared_ptr<Worker> worker_;  // shared with the threads, which may outlive this
    std::thread thread_;
    int lockGraceMs_ = kLockGraceMs;
    int cancelGraceMs_ = kCancelGraceMs;
    bool givenUp_ = false;
    std::shared_ptr<const void> life_ = std::make_shared<int>(0);  // the waits' owner
};

}  // namespace korvane
