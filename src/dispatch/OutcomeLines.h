#pragma once

#include <QStringList>

#include "dispatch/MessageStore.h"
#include "dispatch/PendingRow.h"

namespace korvane::OutcomeLines {

// What a row's log says once its outcome is known, with the outcome set on the row.
QStringList smsOutcome(PendingRow& pending, const SendResult& result);
QStringList emailOutcome(PendingRow& pending, const SendResult& result);
// What a claim or a write that found the row changed or shared says; nothing when done.
QStringList writeOutcome(const PendingRow& pending, MessageStore::Write write);
// Why the stored text cannot be sent as it stands, or "".
QString unsendableText(const QVariant& stored, const QString& text);

}  // namespace korvane::OutcomeLines
