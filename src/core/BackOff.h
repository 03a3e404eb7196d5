#pragma once

#include <QString>
#include <QtGlobal>
#include <algorithm>

namespace korvane {

// A refusal that is not tried again at once: the first wait, doubled after every refusal in
// a row up to the longest, forgotten on success. Times are milliseconds on whatever steady
// scale the owner reads (a monotonic timer, or a clock tests set), so the rule has no clock.
class BackOff {
public:
    BackOff(qint64 firstMs, qint64 longestMs) : firstMs_(firstMs), longestMs_(longestMs) {}

    // A refusal at nowMs, with the line that reported it.
    void refused(qint64 nowMs, const QString& line) {
        waitMs_ = waitMs_ == 0 ? firstMs_ : std::min(longestMs_, 2 * waitMs_);
        retryAtMs_ = nowMs + waitMs_;
        line_ = line;
    }
    // It worked, or the refusals are forgotten on purpose (Start, a test): the next attempt
    // goes at once, and the next refusal waits the first wait again.
    void reset() {
        waitMs_ = 0;
        retryAtMs_ = 0;
        line_.clear();
    }
    // A refusal's wait still runs.
    bool waiting(qint64 nowMs) const { return !line_.isEmpty() && nowMs < retryAtMs_; }
    // The last refusal's line, "" after a success.
    const QString& line() const { return line_; }
    qint64 waitMs() const { return waitMs_; }

private:
    qint64 firstMs_;
    qint64 longestMs_;
    qint64 waitMs_ = 0;
    qint64 retryAtMs_ = 0;
    QString line_;
};

}  // namespace korvane
