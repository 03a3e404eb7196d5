#pragma once

#include <deque>
#include <limits>

namespace korvane {

// Spaces submit_sm at the pace the gateway accepts. Providers hold their accounts to a quota
// either as a minimum gap between submits or as a bucket that lets a burst through; both
// answer ESME_RTHROTTLED (or ESME_RMSGQFUL) to what comes too soon, and take nothing of it.
//
// The pacer learns the gap from those answers. A submit's gap is counted from the last one
// before it that was not throttled, as a gateway counts from the last submit it took. Until
// the first throttle, submits go as fast
// as the window allows. A throttle names a gap that is too short, an accepted submit one that
// is long enough, and the gap is searched between the two: doubled until a submit is accepted,
// then the interval halved, so a quota is found within a few answers whatever its size. Once
// the two are within 5 %, the gap shrinks by 2 % a second while submits are accepted, so that a
// quota raised is found again; the next throttle takes it back to the gap last accepted. A
// configured rate (the contract's) is a floor under the gap that nothing lowers. Times are
// milliseconds on the caller's monotonic clock.
class SubmitPacer {
public:
    static constexpr double kNone = -1;
    // Never slower than a submit a second; throttles that go on even there pause the session.
    static constexpr double kSlowestGapMs = 1000;
    static constexpr int kThrottlesBeforePause = 3;
    static constexpr double kConvergedShare = 0.05;
    static constexpr double kRisePerSecond = 1.01;
    static constexpr double kBackOffShare = 0.03;

    explicit SubmitPacer(double configuredPerSecond = 0) { configure(configuredPerSecond); }
    // 0: no configured rate.
    void configure(double perSecond);

    // When the next submit may be written.
    double nextSlotMs() const;
    // A submit is written now; returns what its answer is reported with.
    long long written(double nowMs);
    // A new session: its first submit follows nothing.
    void sessionStarted();
    void accepted(long long submit);
    // True when the session should pause: throttles go on at the slowest pace.
    bool throttled(long long submit);

    // Submits a second paced at now; 0 while unpaced.
    double perSecond() const;
    double gapMs() const { return gapMs_; }

private:
    enum class Answer { Awaited, Accepted, Throttled };
    // The submit's gap from the last one before it not throttled; kNone when none is known.
    double gapOf(long long submit, Answer answer);
    // The gap that the submits taken in the second before submit's write make a rate of;
    // kNone when too few were taken to tell.
    double gapOfLastSecond(long long submit) const;
    void recompute();
    bool converged() const;

    static constexpr double kUnknown = std::numeric_limits<double>::infinity();
    double floorMs_ = 0;
    double gapMs_ = 0;
    double tooShortMs_ = 0;           // the longest gap lately answered throttled
    double longEnoughMs_ = kUnknown;  // the shortest gap above it lately accepted
    bool throttledEver_ = false;
    double lastWriteMs_ = kNone;
    struct Write {
        long long submit;
        double atMs;
        Answer answer;
    };
    std::deque<Write> writes_;  // the latest, oldest first
    long long nextSubmit_ = 1;
    long long heardUpTo_ = 0;  // submits written when the last throttle was taken in
    int throttlesAtSlowest_ = 0;
    int acceptedBelow_ = 0;             // accepted in a row at gaps once throttled
    int acceptedSinceThrottle_ = 1000;  // accepted since the last throttle taken in
    int closeThrottles_ = 0;            // throttles in a row with few accepted between
};

}  // namespace korvane
