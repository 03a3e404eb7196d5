#include "channels/SubmitPacer.h"

#include <algorithm>
#include <cmath>
#include <iterator>

namespace korvane {

namespace {
// Accepted in a row at gaps once throttled: the quota has room again.
constexpr int kStaleAfter = 3;
constexpr double kShortestSearchGapMs = 1;
constexpr size_t kWritesKept = 256;
// Fewer accepted than this between two throttles: they keep coming.
constexpr int kAcceptedBetweenThrottles = 10;
constexpr double kEscalateShare = 0.15;
// Throttles close after the one before that make the pacer back off further.
constexpr int kCloseThrottles = 2;
// Accepted within the second before a throttle that make that second's count a rate.
constexpr int kRateEvidence = 5;
}  // namespace

void SubmitPacer::configure(double perSecond) {
    floorMs_ = perSecond > 0 ? 1000.0 / perSecond : 0;
    gapMs_ = std::max(gapMs_, floorMs_);
}

double SubmitPacer::nextSlotMs() const {
    return lastWriteMs_ == kNone ? 0 : lastWriteMs_ + gapMs_;
}

long long SubmitPacer::written(double nowMs) {
    lastWriteMs_ = nowMs;
    writes_.push_back(Write{nextSubmit_, nowMs, Answer::Awaited});
    if (writes_.size() > kWritesKept) {
        writes_.pop_front();
    }
    return nextSubmit_++;
}

void SubmitPacer::sessionStarted() {
    lastWriteMs_ = kNone;
    heardUpTo_ = nextSubmit_ - 1;
    writes_.clear();
}

double SubmitPacer::gapOf(long long submit, Answer answer) {
    auto it = std::find_if(writes_.begin(), writes_.end(),
                           [submit](const Write& write) { return write.submit == submit; });
    if (it == writes_.end()) {
        return kNone;  // a session ago, or long forgotten
    }
    it->answer = answer;
    const double at = it->atMs;
    if (it == writes_.begin()) {
        return kNone;
    }
    const double previous = std::prev(it)->atMs;
    while (it != writes_.begin()) {
        --it;
        if (it->answer != Answer::Throttled) {
            return at - it->atMs;
        }
    }
    return at - previous;  // nothing taken yet: from the submit before
}

void SubmitPacer::accepted(long long submit) {
    const double gapMs = gapOf(submit, Answer::Accepted);
    ++acceptedSinceThrottle_;
    throttlesAtSlowest_ = 0;
    if (gapMs == kNone || !throttledEver_) {
        return;
    }
    if (gapMs <= tooShortMs_) {
        // A gap once throttled goes through: after a few in a row, that throttle is stale.
        if (++acceptedBelow_ >= kStaleAfter) {
            tooShortMs_ = 0;
            longEnoughMs_ = std::min(longEnoughMs_, gapMs);
            acceptedBelow_ = 0;
        }
    } else {
        acceptedBelow_ = 0;
        longEnoughMs_ = std::min(longEnoughMs_, gapMs);
    }
    if (converged()) {
        // Found: rise slowly, as far as the floor allows.
        gapMs_ = std::max(floorMs_, gapMs_ / std::pow(kRisePerSecond, gapMs / 1000.0));
    } else {
        recompute();
    }
}

bool SubmitPacer::throttled(long long submit) {
    const double gapMs = gapOf(submit, Answer::Throttled);
    throttledEver_ = true;
    acceptedBelow_ = 0;
    // Submits written before the last throttle was heard of went at the old pace: their
    // answers repeat what that throttle said.
    if (submit <= heardUpTo_) {
        return false;
    }
    heardUpTo_ = nextSubmit_ - 1;
    const double rateGap = gapOfLastSecond(submit);
    if (rateGap != kNone && gapMs != kNone && gapMs > rateGap) {
        // Throttled after a longer wait than the gaps it took in the second before: a count
        // over a second, drained. The wait tells nothing; the rate it took is the quota.
        tooShortMs_ = rateGap * (1 - kConvergedShare);
        longEnoughMs_ = rateGap;
    } else if (gapMs != kNone) {
        tooShortMs_ = std::max(tooShortMs_, gapMs);
    }
    if (longEnoughMs_ <= tooShortMs_) {
        longEnoughMs_ = kUnknown;
    }
    closeThrottles_ = acceptedSinceThrottle_ < kAcceptedBetweenThrottles ? closeThrottles_ + 1 : 0;
    const bool again = closeThrottles_ >= kCloseThrottles;
    acceptedSinceThrottle_ = 0;
    const double before = gapMs_;
    recompute();
    if (converged()) {
        // Found, and crept past: back off a little, so that the next throttle is seconds away.
        // Throttles that keep coming (a bucket drained by the creep) back off further, and
        // what was accepted on the way down no longer counts as long enough.
        gapMs_ = std::max(gapMs_, longEnoughMs_) * (1 + kBackOffShare);
        if (again) {
            gapMs_ = std::max(gapMs_, before * (1 + kEscalateShare));
            longEnoughMs_ = gapMs_;
        }
        gapMs_ = std::clamp(gapMs_, floorMs_, std::max(floorMs_, kSlowestGapMs));
    }
    if (rateGap != kNone) {
        // A bucket, or a count over a sliding second, throttles whatever the gap once it is
        // drained: what it took in the second before is its rate, and the gap goes no
        // further than that.
        gapMs_ = std::clamp(std::min(gapMs_, rateGap), floorMs_, std::max(floorMs_, kSlowestGapMs));
    }
    if (gapMs_ >= kSlowestGapMs) {
        return ++throttlesAtSlowest_ >= kThrottlesBeforePause;
    }
    throttlesAtSlowest_ = 0;
    return false;
}

double SubmitPacer::gapOfLastSecond(long long submit) const {
    const auto it = std::find_if(writes_.begin(), writes_.end(),
                                 [submit](const Write& write) { return write.submit == submit; });
    if (it == writes_.end()) {
        return kNone;
    }
    const long taken = std::count_if(writes_.begin(), it, [&](const Write& write) {
        return write.answer == Answer::Accepted && write.atMs > it->atMs - 1000;
    });
    return taken >= kRateEvidence ? 1000.0 / double(taken) : kNone;
}

void SubmitPacer::recompute() {
    double gap = 0;
    if (longEnoughMs_ == kUnknown) {
        gap = std::max(2 * tooShortMs_, kShortestSearchGapMs);
    } else if (!converged()) {
        gap = (tooShortMs_ + longEnoughMs_) / 2;
    } else {
        gap = longEnoughMs_;
    }
    gapMs_ = std::clamp(gap, floorMs_, std::max(floorMs_, kSlowestGapMs));
}

bool SubmitPacer::converged() const {
    return longEnoughMs_ != kUnknown &&
           longEnoughMs_ - tooShortMs_ <= kConvergedShare * longEnoughMs_;
}

double SubmitPacer::perSecond() const {
    return gapMs_ > 0 ? 1000.0 / gapMs_ : 0;
}

}  // namespace korvane
