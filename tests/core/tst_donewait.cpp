#include <QTest>
#include <atomic>
#include <thread>

#include "core/DoneWait.h"
#include "core/KorvaneError.h"
#include "core/Meanwhile.h"
#include "core/Responsive.h"

using namespace korvane;

namespace {
struct Waited {
    bool done = false;
    bool suspended = false;
    int beats = 0;  // the loop's timer ticks while the coroutine waits
};

// Waits for done, set from another thread after setAfterMs (< 0: never), at most deadlineMs.
QCoro::Task<Waited> waitFor(int setAfterMs, int deadlineMs) {
    auto done = std::make_shared<std::atomic<bool>>(setAfterMs == 0);
    if (setAfterMs > 0) {
        std::thread([done, setAfterMs, wake = eventLoopWaker()] {
            std::this_thread::sleep_for(std::chrono::milliseconds(setAfterMs));
            *done = true;
            wake();
        }).detach();
    }
    Waited waited;
    QTimer beat;
    QObject::connect(&beat, &QTimer::timeout, [&waited] { ++waited.beats; });
    beat.start(5);
    DoneWait wait([done] { return done->load(); }, QDeadlineTimer(deadlineMs));
    waited.suspended = !wait.await_ready();
    waited.done = co_await std::move(wait);
    co_return waited;
}

// Waits on behalf of owner for 20 ms, then marks resumed.
QCoro::Task<> ownedWait(std::weak_ptr<const void> owner, bool& resumed) {
    co_await DoneWait([] { return false; }, QDeadlineTimer(20), std::move(owner));
    resumed = true;
}

QCoro::Task<int> failing() {
    co_await DoneWait([] { return false; }, QDeadlineTimer(10));
    throw KorvaneError(ErrorNumber::ProviderError, QStringLiteral("failed while waiting"));
}
}  // namespace

class DoneWaitTest : public QObject {
    Q_OBJECT

private Q_SLOTS:
    void resumesWhenDoneOrAtItsDeadline_data() {
        QTest::addColumn<int>("setAfterMs");
        QTest::addColumn<int>("deadlineMs");
        QTest::addColumn<bool>("done");
        QTest::addColumn<bool>("suspended");
        QTest::newRow("done already") << 0 << 1000 << true << false;
        QTest::newRow("another thread's wake") << 40 << 60000 << true << true;
        QTest::newRow("deadline first") << -1 << 40 << false << true;
    }
    void resumesWhenDoneOrAtItsDeadline() {
        QFETCH(int, setAfterMs);
        QFETCH(int, deadlineMs);
        QFETCH(bool, done);
        QFETCH(bool, suspended);
        const Waited waited = waitInPlace(waitFor(setAfterMs, deadlineMs));
        QCOMPARE(waited.done, done);
        QCOMPARE(waited.suspended, suspended);
        if (waited.suspended) {
            QVERIFY(waited.beats > 0);  // the thread was not held while it waited
        }
    }

    // What a coroutine raises after a wait reaches the one waiting in place.
    void anExceptionAfterAWaitReachesTheCaller() {
        QVERIFY_THROWS_EXCEPTION(KorvaneError, waitInPlace(failing()));
    }

    // An object destroyed while its coroutine waits: the coroutine never runs on into it,
    // while the same wait with its owner alive resumes at its deadline.
    void aWaitWhoseOwnerIsGoneNeverResumes() {
        auto kept = std::make_shared<int>();
        auto gone = std::make_shared<int>();
        bool keptResumed = false;
        bool goneResumed = false;
        ownedWait(kept, keptResumed);
        ownedWait(gone, goneResumed);
        gone.reset();
        bool later = false;
        QTimer::singleShot(60, [&later] { later = true; });
        waitResponsively([&] { return keptResumed && later; }, QDeadlineTimer(5000));
        QVERIFY(keptResumed);
        QVERIFY(!goneResumed);
    }

    // Work beside a wait runs at each turn of the loop while its owner lives, never after.
    void meanwhileEndsWithItsOwner() {
        auto owner = std::make_shared<int>();
        int turns = 0;
        const Meanwhile meanwhile(owner, [&turns] { ++turns; });
        QTimer beat;
        beat.start(5);
        waitResponsively([&] { return turns > 2; }, QDeadlineTimer(5000));
        QVERIFY(turns > 2);
        owner.reset();
        const int before = turns;
        waitResponsively([&] { return false; }, QDeadlineTimer(30));
        QCOMPARE(turns, before);
    }
};

QTEST_GUILESS_MAIN(DoneWaitTest)
#include "tst_donewait.moc"
