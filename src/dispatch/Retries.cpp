#include "dispatch/Retries.h"

#include <QRandomGenerator>
#include <algorithm>

#include "core/BackOff.h"
#include "dispatch/MessageTable.h"

namespace korvane::Retries {

qint64 waitS(int attempts) {
    const qint64 wait = BackOff::waitAfter(std::max(1, attempts), kFirstWaitS, kLongestWaitS);
    return wait - qint64(QRandomGenerator::global()->bounded(quint32(wait / 5 + 1)));
}

QString settle(PendingRow& pending, const SendResult& result, const QDateTime& now,
               int maxAttempts) {
    using MessageTable::Column;
    pending.attempts =
        MessageTable::toText(pending.row.asRead(Column::Attempts)).trimmed().toInt() + 1;
    if (!result.passing()) {
        return QString();
    }
    if (pending.attempts >= maxAttempts) {
        return QStringLiteral("Record Id: %1 was tried %2 times, so it is not tried again.")
            .arg(pending.id)
            .arg(pending.attempts);
    }
    pending.nextAttemptAt = now.addSecs(waitS(pending.attempts));
    pending.status = QString::fromLatin1(MessageTable::Status::kSendAgainLater);
    return QStringLiteral(
               "Record Id: %1 will be sent again after %2 (attempt %3 of %4 failed "
               "for a cause that may pass).")
        .arg(pending.id)
        .arg(pending.nextAttemptAt.toString(QStringLiteral("dd-MM-yyyy hh:mm:ss")))
        .arg(pending.attempts)
        .arg(maxAttempts);
}

}  // namespace korvane::Retries
