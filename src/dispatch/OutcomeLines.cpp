#include "dispatch/OutcomeLines.h"

#include <QFileInfo>

namespace korvane::OutcomeLines {

namespace Status = MessageTable::Status;
using Kind = PendingRow::Kind;

namespace {
const QString kNo = QStringLiteral("N");
const QString kYes = QStringLiteral("Y");
}  // namespace

QStringList smsOutcome(PendingRow& pending, const SendResult& result) {
    QStringList lines = result.note.split(QLatin1Char('\n'), Qt::SkipEmptyParts);
    if (!result.failure.isEmpty()) {
        lines << result.failure;
    }
    if (result.delivery == Delivery::Sent) {
        lines << QStringLiteral("Message is sent via SMS for Record Id: ") + pending.where;
        pending.setOutcome(Kind::Settled, Status::kSmsSent, kYes);
    } else if (result.delivery == Delivery::InDoubt) {
        lines << (QStringLiteral("Message may have been sent via SMS for Record Id: ") +
                  pending.where + QStringLiteral(", so it is not sent again."));
        pending.setOutcome(Kind::Settled, Status::kInDoubt, kNo);
    } else {
        lines << QStringLiteral("Message is not sent via SMS for Record Id: ") + pending.where;
        pending.setOutcome(Kind::Settled, Status::kSmsNotSent, kNo);
    }
    return lines;
}

QStringList emailOutcome(PendingRow& pending, const SendResult& result) {
    QStringList lines;
    const QString id = QString::number(pending.id);
    const MailMessage& mail = pending.mail;
    lines << result.note.split(QLatin1Char('\n'), Qt::SkipEmptyParts);
    if (!result.failure.isEmpty()) {
        lines << result.failure;
    }
    if (result.notSent()) {
        lines << (QStringLiteral("Message is not sent via Email for Record Id: ") + id +
                  QStringLiteral(" to email id : ") + mail.to);
        pending.setOutcome(Kind::Settled, Status::kEmailNotSent, kNo);
        return lines;
    }
    if (result.delivery == Delivery::InDoubt) {
        lines << (QStringLiteral("Message may have been sent via Email for Record Id: ") + id +
                  QStringLiteral(" to email id : ") + mail.to +
                  QStringLiteral(", so it is not sent again."));
        pending.setOutcome(Kind::Settled, Status::kInDoubt, kNo);
        return lines;
    }
    lines << (QStringLiteral(
                  "Message is sent via Email to following Email Address for Record Id: ") +
              id);
    lines << QStringLiteral("Email To: ") + mail.to;
    if (!mail.cc.isEmpty()) {
        lines << QStringLiteral("Email CC: ") + mail.cc;
    }
    if (!mail.bcc.isEmpty()) {
        lines << QStringLiteral("Email BCC: ") + mail.bcc;
    }
    if (!mail.attachmentPath.isEmpty()) {
        lines << QStringLiteral("File Attached: ") + QFileInfo(mail.attachmentPath).fileName();
    }
    pending.setOutcome(Kind::Settled, Status::kEmailSent, kYes);
    return lines;
}

QStringList writeOutcome(const PendingRow& pending, MessageStore::Write write) {
    QStringList lines;
    if (write == MessageStore::Write::Changed) {
        lines << (QStringLiteral("Record Id: ") + QString::number(pending.id) +
                  QStringLiteral(" was changed or taken by another process since it was "
                                 "read, so it is left as it is."));
    } else if (write == MessageStore::Write::Shared) {
        lines << (errorLine(ErrorNumber::RecordIdShared,
                            QStringLiteral("Record Id: %1 names more than one row of "
                                           "tblMessages, so it is left as it is.")
                                .arg(pending.id)));
    }
    return lines;
}

QString unsendableText(const QVariant& stored, const QString& text) {
    // Sent as far as the first NUL, or as the bytes' guessed text, it would not be the message.
    if (stored.userType() == QMetaType::QByteArray) {
        return QStringLiteral("MessageText is not text (a binary value)");
    }
    if (text.contains(QChar(0))) {
        return QStringLiteral("MessageText contains NUL characters");
    }
    return QString();
}

}  // namespace korvane::OutcomeLines
