#pragma once

#include <QStringList>

#include "dispatch/PendingRow.h"

namespace korvane::RowPreparation {

// What a row just read is: an SMS or an e-mail ready to claim, or a row with nothing to send
// whose outcome is set here (ExpiresAt before now, where the table has it, too). Returns the
// entries its checks write, in order.
QStringList prepare(PendingRow& pending, const QDateTime& now);

}  // namespace korvane::RowPreparation
