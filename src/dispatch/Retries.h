#pragma once

#include <QDateTime>
#include <QString>

#include "core/Messages.h"
#include "dispatch/PendingRow.h"

namespace korvane::Retries {

constexpr int kFirstWaitS = 60;
constexpr int kLongestWaitS = 3600;

// The wait before the attempt after the attempts-th: a minute, doubling per attempt up to an
// hour, less up to a fifth at random so that rows failed together do not all come back at
// once.
qint64 waitS(int attempts);

// With the retry columns (Attempts, NextAttemptAt), once a claimed row's outcome is known:
// its attempt counted, and a failure whose cause may pass put off to its next attempt while
// attempts are left (maxAttempts). Returns the line that says so, or "".
QString settle(PendingRow& pending, const SendResult& result, const QDateTime& now,
               int maxAttempts);

}  // namespace korvane::Retries
