#include <QTest>
#include <algorithm>
#include <deque>
#include <memory>
#include <vector>

#include "channels/SubmitPacer.h"

using namespace korvane;

namespace {

// How a provider holds an account to its quota, as the gateway sees each submit arrive.
class Quota {
public:
    virtual ~Quota() = default;
    virtual bool take(double atMs) = 0;
};

// At least 1/quota between two submits it takes; one that comes sooner is throttled.
class MinimumGap : public Quota {
public:
    explicit MinimumGap(double perSecond) : gapMs_(1000 / perSecond) {}
    bool take(double atMs) override {
        if (atMs - lastMs_ < gapMs_) {
            return false;
        }
        lastMs_ = atMs;
        return true;
    }

private:
    double gapMs_;
    double lastMs_ = -1e9;
};

// A bucket of a second's quota, refilled as time goes: a burst goes through, then the rate.
class Bucket : public Quota {
public:
    explicit Bucket(double perSecond) : rate_(perSecond), tokens_(perSecond) {}
    bool take(double atMs) override {
        tokens_ = std::min(rate_, tokens_ + (atMs - lastMs_) * rate_ / 1000);
        lastMs_ = atMs;
        if (tokens_ < 1) {
            return false;
        }
        tokens_ -= 1;
        return true;
    }

private:
    double rate_;
    double tokens_;
    double lastMs_ = 0;
};

// At most a quota's submits within any second: a burst drains it, and nothing more is taken
// until the second after the burst's first submit has passed.
class SlidingSecond : public Quota {
public:
    explicit SlidingSecond(double perSecond) : quota_(size_t(perSecond)) {}
    bool take(double atMs) override {
        while (!taken_.empty() && taken_.front() <= atMs - 1000) {
            taken_.pop_front();
        }
        if (taken_.size() >= quota_) {
            return false;
        }
        taken_.push_back(atMs);
        return true;
    }

private:
    size_t quota_;
    std::deque<double> taken_;
};

struct Run {
    std::vector<int> acceptedPerSecond;
    int throttles = 0;
    double pacedAt = 0;  // submits a second the pacer ended at
};

// The engine's loop on a simulated clock: up to a window in flight, each written at its paced
// slot and answered rttMs later, throttled parts offered again; a backlog that never ends.
Run simulate(Quota& quota, double seconds, double rttMs, double configured = 0, int window = 10) {
    SubmitPacer pacer(configured);
    struct InFlight {
        double answerAtMs;
        long long submit;
        bool taken;
    };
    std::vector<InFlight> flight;
    Run run;
    run.acceptedPerSecond.assign(size_t(seconds), 0);
    double now = 0;
    double pausedUntil = 0;
    while (now < seconds * 1000) {
        std::sort(flight.begin(), flight.end(),
                  [](const InFlight& a, const InFlight& b) { return a.answerAtMs < b.answerAtMs; });
        while (!flight.empty() && flight.front().answerAtMs <= now) {
            const InFlight answer = flight.front();
            flight.erase(flight.begin());
            if (answer.taken) {
                pacer.accepted(answer.submit);
                ++run.acceptedPerSecond[size_t(now / 1000)];
            } else {
                ++run.throttles;
                if (pacer.throttled(answer.submit)) {
                    pausedUntil = now + 250;
                }
            }
        }
        if (int(flight.size()) < window && now >= pacer.nextSlotMs() && now >= pausedUntil) {
            const long long submit = pacer.written(now);
            flight.push_back({now + rttMs, submit, quota.take(now + rttMs / 2)});
            continue;
        }
        double next = seconds * 1000;
        for (const InFlight& f : flight) {
            next = std::min(next, f.answerAtMs);
        }
        if (int(flight.size()) < window) {
            next = std::min(next, std::max(pacer.nextSlotMs(), pausedUntil));
        }
        now = std::max(now, next);
    }
    run.pacedAt = pacer.perSecond();
    return run;
}

}  // namespace

class PacingTest : public QObject {
    Q_OBJECT

private Q_SLOTS:
    // Against each kind of quota, at 5, 20 and 100 submits a second and answers after 5 to
    // 50 ms: the pace is found within the first seconds and then holds at 0.9 of the quota or
    // better, with few throttles on the way where the quota is a minimum gap.
    void pacedToTheQuota_data() {
        QTest::addColumn<int>("kind");  // 0: minimum gap, 1: bucket, 2: a sliding second
        QTest::addColumn<double>("quota");
        QTest::addColumn<double>("rttMs");
        const char* const names[] = {"minimum gap", "bucket", "sliding second"};
        for (int kind : {0, 1, 2}) {
            for (double quota : {5.0, 20.0, 100.0}) {
                for (double rtt : {5.0, 50.0}) {
                    QTest::addRow("%s %g/s, %g ms", names[kind], quota, rtt)
                        << kind << quota << rtt;
                }
            }
        }
    }
    void pacedToTheQuota() {
        QFETCH(int, kind);
        QFETCH(double, quota);
        QFETCH(double, rttMs);
        std::unique_ptr<Quota> gateway;
        if (kind == 1) {
            gateway = std::make_unique<Bucket>(quota);
        } else if (kind == 2) {
            gateway = std::make_unique<SlidingSecond>(quota);
        } else {
            gateway = std::make_unique<MinimumGap>(quota);
        }
        const double seconds = 60;
        const Run run = simulate(*gateway, seconds, rttMs);
        // From the third second on: the search is over.
        int accepted = 0;
        for (size_t s = 2; s < run.acceptedPerSecond.size(); ++s) {
            accepted += run.acceptedPerSecond[s];
        }
        const double rate = accepted / (seconds - 2);
        QVERIFY2(rate >= 0.9 * quota && rate <= 1.05 * quota, qPrintable(QString::number(rate)));
        // A bucket lets the creep through until it runs dry, and then throttles a while; a
        // minimum gap answers at once.
        qInfo("%.1f submits a second accepted, %d throttles", rate, run.throttles);
        if (kind == 0) {
            QVERIFY2(run.throttles <= 0.05 * accepted + 30,
                     qPrintable(QString::number(run.throttles)));
        }
    }

    // A rate from the contract is a ceiling the learnt pace never passes, also when the
    // gateway would take more; below the gateway's quota nothing is throttled.
    void configuredRateIsACeiling() {
        MinimumGap gateway(100);
        const Run run = simulate(gateway, 10, 5, 40);
        QCOMPARE(run.throttles, 0);
        for (int perSecond : run.acceptedPerSecond) {
            QVERIFY(perSecond <= 41);
        }
        QVERIFY(run.acceptedPerSecond.back() >= 39);
    }

    // A gateway that throttles everything: the gap doubles to a submit a second, and only
    // then do throttles in a row ask for the session to pause.
    void throttlesAtTheSlowestPausesTheSession() {
        SubmitPacer pacer;
        double now = 0;
        int untilPause = 0;
        for (bool pause = false; !pause; ++untilPause) {
            now = std::max(now, pacer.nextSlotMs());
            pause = pacer.throttled(pacer.written(now));
        }
        QCOMPARE(pacer.gapMs(), SubmitPacer::kSlowestGapMs);
        QVERIFY2(untilPause <= 14, qPrintable(QString::number(untilPause)));
        pacer.accepted(pacer.written(now + 1000));
        QVERIFY(!pacer.throttled(pacer.written(now + 2000)));  // an accepted submit resets it
    }

    // What was learnt outlives the session: a new session starts at the same pace.
    void paceOutlivesTheSession() {
        MinimumGap gateway(20);
        SubmitPacer pacer;
        double now = 0;
        for (int i = 0; i < 200; ++i) {
            now = std::max(now, pacer.nextSlotMs());
            const long long submit = pacer.written(now);
            gateway.take(now) ? pacer.accepted(submit) : static_cast<void>(pacer.throttled(submit));
            now += 1;
        }
        const double learnt = pacer.gapMs();
        QVERIFY(learnt > 45 && learnt < 60);
        pacer.sessionStarted();
        QCOMPARE(pacer.gapMs(), learnt);
        QCOMPARE(pacer.nextSlotMs(), 0.0);  // the new session's first goes at once
    }
};

QTEST_GUILESS_MAIN(PacingTest)
#include "tst_pacing.moc"
