#include <QTest>
#include <QTimer>
#include <condition_variable>
#include <mutex>
#include <thread>

#include "core/StopDeadline.h"
#include "dispatch/BackgroundStore.h"
#include "support/CycleRig.h"
#include "support/CycleWait.h"

using namespace korvane;
using test::FakeTable;

namespace {

// Where a frozen database holds its caller: a statement, and a cancel, that wait until the
// test lets them go (or, so that a test that went wrong ends, a few seconds).
struct Gate {
    std::mutex mutex;
    std::condition_variable changed;
    bool statementHeld = false;  // a statement is waiting at the gate
    bool statementFree = false;
    bool statementDone = false;
    bool cancelFree = false;
    bool cancelling = false;  // a cancel is waiting at the gate
    int cancels = 0;
    std::thread::id cancelThread;
    std::thread::id statementThread;

    void holdStatement() {
        std::unique_lock<std::mutex> lock(mutex);
        statementHeld = true;
        statementThread = std::this_thread::get_id();
        changed.notify_all();
        changed.wait_for(lock, std::chrono::seconds(20), [this] { return statementFree; });
    }
    void cancel() {
        std::unique_lock<std::mutex> lock(mutex);
        ++cancels;
        cancelling = true;
        cancelThread = std::this_thread::get_id();
        changed.wait_for(lock, std::chrono::seconds(5), [this] { return cancelFree; });
        cancelling = false;
    }
    // Lets everything go and waits for the held statement to finish its work.
    void releaseAll() {
        std::unique_lock<std::mutex> lock(mutex);
        statementFree = cancelFree = true;
        changed.notify_all();
        changed.wait_for(lock, std::chrono::seconds(20),
                         [this] { return !statementHeld || statementDone; });
    }
    bool held() {
        const std::lock_guard<std::mutex> lock(mutex);
        return statementHeld && !statementDone;
    }
    bool cancelWaits() {
        const std::lock_guard<std::mutex> lock(mutex);
        return cancelling;
    }
};

// The in-memory table, whose first save of outcomes hangs at the gate as a statement to a
// frozen server would (and writes when let go, as that statement commits after a thaw).
class FreezingStore : public CancellableStore {
public:
    FreezingStore(FakeTable& table, Gate& gate) : table_(table), gate_(gate) {}

    void open(const DataSourceSettings& source) override { table_.open(source); }
    bool isOpen() override { return table_.isOpen(); }
    void select(qint32 dontSend, const QDateTime& now) override { table_.select(dontSend, now); }
    qint64 countWaiting(qint32 dontSend) override { return table_.countWaiting(dontSend); }
    std::vector<TableRow> nextPage(int limit) override { return table_.nextPage(limit); }
    std::vector<Write> claim(const std::vector<TableRow>& rows, const QDateTime& at) override {
        return table_.claim(rows, at);
    }
    std::vector<Saved> save(const std::vector<Outcome>& outcomes, const QDateTime& at) override {
        if (!outcomes.empty() && !frozeOnce_) {
            frozeOnce_ = true;
            gate_.holdStatement();
            std::vector<Saved> saved = table_.save(outcomes, at);
            const std::lock_guard<std::mutex> lock(gate_.mutex);
            gate_.statementDone = true;
            gate_.changed.notify_all();
            return saved;
        }
        return table_.save(outcomes, at);
    }
    Step saveAndClaim(const std::vector<Outcome>& outcomes, const std::vector<TableRow>& rows,
                      const QDateTime& at) override {
        return MessageStore::saveAndClaim(outcomes, rows, at);  // through save() and claim()
    }
    void release(const std::vector<TableRow>& rows) override { table_.release(rows); }
    QList<Claim> claimsBefore(const QDateTime& cutoff) override {
        return table_.claimsBefore(cutoff);
    }
    void cancel() override { gate_.cancel(); }

private:
    test::FakeStore table_;
    Gate& gate_;
    bool frozeOnce_ = false;
};

struct FreezeRig : test::CycleRig {
    Gate gate;
    StopDeadline stop;
    int storesMade = 0;

    // lockTimeoutS: a save of three rows is cancelled 3 × (lockTimeoutS s + 20 ms) after it
    // began.
    explicit FreezeRig(int lockTimeoutS = 30) {
        control.setStoreFactory([this, lockTimeoutS] {
            ++storesMade;
            auto store = std::make_unique<BackgroundStore>(
                std::make_unique<FreezingStore>(table, gate), &stop, lockTimeoutS);
            store->setGraces(20, 80);
            return store;
        });
        for (int id = 1; id <= 3; ++id) {
            table.rows.push_back(FakeTable::sms(id, QStringLiteral("+44%1").arg(id)));
        }
    }
    ~FreezeRig() { gate.releaseAll(); }
    // Runs action on the event loop once the statement hangs at the gate (and, with
    // cancelling, its cancel too).
    void whenHeld(const std::function<void()>& action, bool cancelling = false) {
        auto* poll = new QTimer(&window_);
        QObject::connect(poll, &QTimer::timeout, poll, [this, poll, action, cancelling] {
            if (gate.held() && (!cancelling || gate.cancelWaits())) {
                poll->deleteLater();
                poll->stop();
                action();
            }
        });
        poll->start(5);
    }

private:
    QObject window_;
};

}  // namespace

class DatabaseFreezeTest : public QObject {
    Q_OBJECT

private Q_SLOTS:
    // The program must end while a save hangs: the rows in flight had their time, the cancel
    // goes out from a thread of its own while the window's loop turns, and when even that
    // brings no answer the cycle ends without the database's thread. The rows it had sent stay
    // claimed (reported later, as after a crash), none is sent twice, none marked unsent.
    void endingWhileAStatementHangs() {
        FreezeRig rig;
        bool stopSeenWhileCancelling = false;
        rig.whenHeld([&] {
            rig.stop.set(QDeadlineTimer(0));  // SIGTERM, its grace for rows in flight over
            rig.whenHeld(
                [&] {
                    rig.control.cmdStop_Click();
                    stopSeenWhileCancelling = rig.gate.cancelWaits();
                },
                true);
        });
        rig.cycle();

        QVERIFY(rig.gate.held());  // the cycle ended; the statement still hangs
        QVERIFY(stopSeenWhileCancelling);
        QCOMPARE(rig.gate.cancels, 1);
        QVERIFY(rig.gate.cancelThread != std::this_thread::get_id());
        QVERIFY(rig.gate.cancelThread != rig.gate.statementThread);
        QVERIFY(rig.control.counters().databaseGivenUp);
        QCOMPARE(rig.sms.sent.size(), 3);
        for (int id = 1; id <= 3; ++id) {
            QCOMPARE(rig.table.status(id), QStringLiteral("Message Is Being Sent."));
        }
        QVERIFY(rig.lines().filter(QStringLiteral("has not answered")).size() == 1);
        QVERIFY(!rig.lines().contains(QStringLiteral("Process Completed...")));
        QCOMPARE(rig.window.statuses.last(), QStringLiteral("Idle..."));

        // The thawed statement commits on the thread left behind; nothing else is written.
        rig.gate.releaseAll();
        QCOMPARE(rig.table.status(1), QStringLiteral("Message Is Sent Via SMS."));
        QCOMPARE(rig.sms.sent.size(), 3);
    }

    // Outside shutdown a hanging statement is waited for as long as the driver takes, with the
    // loop turning: past its lock timeouts a cancel goes out from its own thread, Stop is taken
    // while that cancel waits too, Start starts no second cycle, and once the database answers
    // the rows are saved and the cycle completes.
    void stopAndStartWhileAStatementHangs() {
        FreezeRig rig(0);
        QStringList seenWhileCancelling;
        rig.whenHeld(
            [&] {
                rig.control.cmdStop_Click();
                rig.control.cmdStart_Click();
                if (rig.gate.cancelWaits()) {
                    seenWhileCancelling = rig.lines();
                }
                QTimer::singleShot(0, [&] { rig.gate.releaseAll(); });
            },
            true);
        rig.cycle();

        QVERIFY(seenWhileCancelling.contains(QStringLiteral("Process Stopped...")));
        QCOMPARE(seenWhileCancelling.count(QStringLiteral("Process Started.")), 1);
        QCOMPARE(rig.storesMade, 1);
        QCOMPARE(rig.gate.cancels, 1);
        QVERIFY(rig.gate.cancelThread != std::this_thread::get_id());
        QVERIFY(!rig.control.counters().databaseGivenUp);
        for (int id = 1; id <= 3; ++id) {
            QCOMPARE(rig.table.status(id), QStringLiteral("Message Is Sent Via SMS."));
        }
        QVERIFY(rig.lines().contains(QStringLiteral("Process Completed...")));
        QCOMPARE(rig.sms.sent.size(), 3);
    }
};

QTEST_GUILESS_MAIN(DatabaseFreezeTest)
#include "tst_databasefreeze.moc"
