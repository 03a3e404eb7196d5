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

    // The wait after the n-th refusal in a row (from 1): the first, doubled n - 1 times, never
    // more than the longest. Also for waits counted in the table (a row's attempts).
    static qint64 waitAfter(int refusals, qint64 first, qint64 longest) {
        qint64 wait = first;
        for (int n = 1; n < refusals && wait < longest; ++n) {
            wait *= 2;
        }
        return std::min(wait, longest);
    }

    // A refusal at nowMs, with the line that reported it.
    void refused(qint64 nowMs, const QString& line) {
        waitMs_ = waitAfter(++refusals_, firstMs_, longestMs_);
        retryAtMs_ = nowMs + waitMs_;
        line_ = line;
    }
    // It worked, or the refusals are forgotten on purpose (Start, a test): the next attempt
    // goes at once, and the next refusal waits the first wait again.
    void reset() {
        refusals_ = 0;
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
    int refusals_ = 0;
    qint64 waitMs_ = 0;
    qint64 retryAtMs_ = 0;
    QString line_;
};

}  // namespace korvane
