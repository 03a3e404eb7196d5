#pragma once

#include <QDateTime>
#include <QString>
#include <QStringList>
#include <optional>

#include "core/KorvaneError.h"
#include "core/Messages.h"
#include "dispatch/TableRow.h"

namespace korvane {

// A row of the running cycle between its start and its save, with the log entries it has
// still to write.
struct PendingRow {
    enum class Kind {
        Record,      // nothing to send: the outcome is written over the row as read
        SmsReady,    // an SMS to claim and hand to the gateway
        EmailReady,  // an e-mail to claim and send
        Sms,         // at the gateway, outcome to come
        Settled,     // sent (or tried): the outcome is written over the claim
        Nothing,     // another process has it, or it waits for the next cycle: nothing to write
    };
    TableRow row;
    qint32 id = 0;
    Kind kind = Kind::Nothing;
    QString status;
    QString isSent;
    QString text;    // the message text
    QString mobile;  // SMS rows
    QString sender;  // SmsSender: the SMS's own sender; "": the account's
    QString where;   // "<id> on Mobile No.: <number>"
    MailMessage mail;
    int ticket = 0;
    QDateTime validUntil;  // ExpiresAt: the gateway gives up on an SMS then
    int attempts = 0;      // with the retry columns: this attempt's number once counted
    QDateTime nextAttemptAt;
    QString gatewayIds;  // an SMS sent with receipts on: its ids, and as they fit the column
    QString storedIds;
    bool head = false;     // nothing ahead of it: its entries are written as they come
    bool claimed = false;  // claimed in the table: from here to its save nothing may stop it
    QStringList lines;     // entries held for row order
    std::optional<KorvaneError> logFailure;  // raised once the row is saved

    void setOutcome(Kind to, const char* outcome, const QString& sent) {
        kind = to;
        status = QString::fromLatin1(outcome);
        isSent = sent;
    }
};

}  // namespace korvane
