#pragma once

#include <QDateTime>
#include <QElapsedTimer>
#include <QString>
#include <QVariant>
#include <QtGlobal>
#include <algorithm>
#include <array>
#include <map>

namespace korvane {

// What processing has done since the program started, kept where each outcome is decided;
// read by whatever reports it (the service status line, the metrics endpoint).
struct Counters {
    enum Channel { Sms, Email, kChannels };
    enum Result { Sent, NotSent, InDoubt, Skipped, kResults };  // Skipped: changed or taken

    std::array<std::array<quint64, kResults>, kChannels> messages{};
    // The same over both channels, for the day of `day` only (what the window shows).
    std::array<quint64, kResults> today{};
    QDate day;
    quint64 claimAttempts = 0;  // rows a claim was tried on
    quint64 expired = 0;        // rows whose ExpiresAt passed before their turn
    quint64 retried = 0;        // passing failures put off to a later attempt
    quint64 cyclesEnded = 0;
    quint64 cycleErrors = 0;   // cycles that ended on the error path
    quint64 failedInARow = 0;  // the last cycles that could not reach the table
    QDateTime lastCycleEnd;
    QDateTime lastProgress;            // a row saved or a cycle ended
    qint64 waitingRows = -1;           // what the last selection found (-1: none yet)
    qint64 settledSinceSelection = 0;  // outcomes counted since then
    qint64 staleClaims = 0;            // rows claimed longer than the claim age, at the last cycle
    // The oldest waiting row (the first the selection returned) and when it was first seen.
    QVariant oldestWaitingKey;
    QDateTime oldestWaitingSince;
    // Runs while a database call is out (invalid between calls).
    QElapsedTimer databaseWait;
    // The database stopped answering while the program had to end, and was left behind.
    bool databaseGivenUp = false;
    // Delivery receipts taken in, by state, and those that matched no row.
    std::map<QString, quint64> receipts;
    quint64 receiptsUnmatched = 0;
    // Messages from phones stored, found stored already, and parts waiting for the rest.
    quint64 repliesStored = 0;
    quint64 repliesAlready = 0;
    quint64 replyPartsWaiting = 0;
    // With a second mail server set: mails taken, by the server that took them ("host:port").
    std::map<QString, quint64> mailsByServer;
    // Cycle durations: counts per upper bound in seconds, the last bucket open-ended.
    static constexpr std::array<double, 8> kDurationBounds{0.1, 0.5, 1, 5, 10, 30, 60, 300};
    std::array<quint64, kDurationBounds.size() + 1> durations{};
    double durationSum = 0;

    void count(Channel channel, Result result, const QDate& on) {
        if (on != day) {
            today = {};
            day = on;
        }
        ++messages[channel][result];
        ++today[result];
        ++settledSinceSelection;
    }
    // What still waits of what the last selection found; -1: no selection yet.
    qint64 stillWaiting() const {
        return waitingRows < 0 ? -1 : std::max<qint64>(0, waitingRows - settledSinceSelection);
    }
    // Today's count of a result; 0 when nothing was counted on that day yet.
    quint64 on(const QDate& date, Result result) const { return date == day ? today[result] : 0; }
    quint64 total(Result result) const {
        quint64 sum = 0;
        for (const auto& channel : messages) {
            sum += channel[result];
        }
        return sum;
    }
    void countDuration(double seconds) {
        size_t bucket = 0;
        while (bucket < kDurationBounds.size() && seconds > kDurationBounds[bucket]) {
            ++bucket;
        }
        ++durations[bucket];
        durationSum += seconds;
    }
};

}  // namespace korvane
