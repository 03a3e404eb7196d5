#include "dispatch/RowPreparation.h"

#include "core/Files.h"
#include "dispatch/MessageTable.h"
#include "dispatch/OutcomeLines.h"

namespace korvane::RowPreparation {

using MessageTable::Column;
using Kind = PendingRow::Kind;
namespace Status = MessageTable::Status;

namespace {
const QString kNo = QStringLiteral("N");

void prepareSms(PendingRow& pending, QStringList& lines) {
    lines << (QStringLiteral("Message Type is SMS."));
    pending.mobile = pending.row.text(Column::MobileNo);
    if (pending.mobile.trimmed().isEmpty()) {
        lines << (QStringLiteral("Mobile No. is not defined, so no message sent."));
        pending.setOutcome(Kind::Record, Status::kMobileMissing, kNo);
        return;
    }
    pending.where =
        QString::number(pending.id) + QStringLiteral(" on Mobile No.: ") + pending.mobile;
    if (const QString problem =
            OutcomeLines::unsendableText(pending.row.value(Column::MessageText), pending.text);
        !problem.isEmpty()) {
        lines << (errorLine(ErrorNumber::MessageNotText,
                            problem + QStringLiteral(", so no message sent.")));
        lines << (QStringLiteral("Message is not sent via SMS for Record Id: ") + pending.where);
        pending.setOutcome(Kind::Record, Status::kSmsNotSent, kNo);
        return;
    }
    // A table without the column reads Null here.
    pending.sender = MessageTable::toText(pending.row.asRead(Column::SmsSender)).trimmed();
    pending.kind = Kind::SmsReady;
}

// The checks before an e-mail goes out; true when one failed and set the row's outcome.
bool emailIncomplete(PendingRow& pending, QStringList& lines) {
    const MailMessage& mail = pending.mail;
    if (mail.to.trimmed().isEmpty()) {
        lines << (QStringLiteral(
            "Reciever's email id (EmailTo) is not defined, so no message sent."));
        pending.setOutcome(Kind::Record, Status::kEmailToMissing, kNo);
    } else if (mail.from.trimmed().isEmpty()) {
        lines << (QStringLiteral(
            "Sender's email id (EmailFrom) is not defined, so no message sent."));
        pending.setOutcome(Kind::Record, Status::kEmailFromMissing, kNo);
    } else if (!mail.attachmentPath.isEmpty() && !isOrdinaryFile(mail.attachmentPath)) {
        lines << (QStringLiteral("Attachment file '") + mail.attachmentPath +
                  QStringLiteral("' does not exist or not found."));
        pending.setOutcome(Kind::Record, Status::kAttachmentMissing, kNo);
    } else if (const QString problem =
                   OutcomeLines::unsendableText(pending.row.value(Column::MessageText), mail.body);
               !problem.isEmpty()) {
        lines << (errorLine(ErrorNumber::MessageNotText,
                            problem + QStringLiteral(", so no message sent.")));
        lines << (QStringLiteral("Message is not sent via Email for Record Id: ") +
                  QString::number(pending.id) + QStringLiteral(" to email id : ") + mail.to);
        pending.setOutcome(Kind::Record, Status::kEmailNotSent, kNo);
    } else {
        return false;
    }
    return true;
}

void prepareEmail(PendingRow& pending, QStringList& lines) {
    lines << (QStringLiteral("Message Type is Email."));
    const TableRow& row = pending.row;
    MailMessage& mail = pending.mail;
    mail.to = row.text(Column::EmailTo);
    mail.from = row.text(Column::EmailFrom);
    mail.subject = row.text(Column::EmailSubject);
    mail.cc = row.text(Column::EmailCC);
    mail.bcc = row.text(Column::EmailBCC);
    mail.attachmentPath = MessageTable::prepareAttachmentPath(row.text(Column::EmailAttachment));
    mail.body = pending.text;
    pending.kind = emailIncomplete(pending, lines) ? Kind::Record : Kind::EmailReady;
}

// ExpiresAt as read: a date and time, or text in the ISO form (SQLite); invalid when none.
QDateTime expiresAt(const TableRow& row) {
    const QVariant stored = row.asRead(Column::ExpiresAt);
    QDateTime at = stored.toDateTime();
    if (!at.isValid() && !stored.isNull()) {
        at = QDateTime::fromString(stored.toString().left(19), Qt::ISODate);
    }
    return at;
}

}  // namespace

QStringList prepare(PendingRow& pending, const QDateTime& now) {
    QStringList lines;
    pending.text = pending.row.text(Column::MessageText);
    pending.validUntil = expiresAt(pending.row);
    const QString kind = pending.row.text(Column::MessageType).trimmed().toUpper();
    if (pending.validUntil.isValid() && pending.validUntil <= now) {
        lines << QStringLiteral("Message expired at %1 before it was sent, so no message sent.")
                     .arg(pending.validUntil.toString(QStringLiteral("dd-MM-yyyy hh:mm:ss")));
        pending.setOutcome(Kind::Record, Status::kExpired, kNo);
    } else if (pending.text.isEmpty()) {
        lines << QStringLiteral("Message text is empty, so no message sent.");
        pending.setOutcome(Kind::Record, Status::kTextEmpty, kNo);
    } else if (kind == QStringLiteral("SMS")) {
        prepareSms(pending, lines);
    } else if (kind == QStringLiteral("EMAIL")) {
        prepareEmail(pending, lines);
    } else {
        lines << QStringLiteral("Message Type is not defined, so no message sent.");
        pending.setOutcome(Kind::Record, Status::kTypeUndefined, kNo);
    }
    return lines;
}

}  // namespace korvane::RowPreparation
