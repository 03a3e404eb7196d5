#include "dispatch/MessageTable.h"

#include <QDateTime>
#include "core/Conversion.h"

namespace korvane::MessageTable {

QString selectionStatement(qint32 dontSendProcessedMsgs) {
    if (dontSendProcessedMsgs == 0) {
        return QStringLiteral(
            "Select * from tblMessages where (IsSent = 'N' OR IsSent IS NULL OR IsSent = '') "
            "order by RecId");
    }
    return QStringLiteral(
        "SELECT *  FROM tblMessages WHERE (IsSent = 'N' OR IsSent IS NULL OR IsSent = '') AND "
        "(ProcessStatus IS NULL OR ProcessStatus = '') ORDER BY RecId");
}

int Selection::timeMarkers() const {
    return (retries && dontSendProcessedMsgs != 0 ? 1 : 0) + (sendAfter ? 1 : 0) +
           (retries ? 1 : 0);
}

namespace {

// The selection's WHERE predicate (from "from" on) and its ORDER BY clause.
std::pair<QString, QString> predicate(const Selection& selection) {
    const QString statement = selectionStatement(selection.dontSendProcessedMsgs);
    const qsizetype order =
        statement.lastIndexOf(QStringLiteral("order by"), -1, Qt::CaseInsensitive);
    QString where = statement.left(order).trimmed();
    if (selection.retries && selection.dontSendProcessedMsgs != 0) {
        where.replace(QStringLiteral("(ProcessStatus IS NULL OR ProcessStatus = '')"),
                      QStringLiteral("((ProcessStatus IS NULL OR ProcessStatus = '') OR "
                                     "(ProcessStatus = '%1' AND NextAttemptAt <= ?))")
                          .arg(QLatin1String(Status::kSendAgainLater)));
    }
    if (selection.sendAfter) {
        where += QStringLiteral(" AND (SendAfter IS NULL OR SendAfter <= ?)");
    }
    if (selection.retries) {
        where += QStringLiteral(" AND (NextAttemptAt IS NULL OR NextAttemptAt <= ?)");
    }
    return {where, selection.priority ? QStringLiteral("ORDER BY Priority DESC, RecId")
                                      : statement.mid(order)};
}

}  // namespace

QString selectionStatement(const Selection& selection) {
    const Selection plain{selection.dontSendProcessedMsgs};
    if (!selection.sendAfter && !selection.priority && !selection.retries) {
        return selectionStatement(plain.dontSendProcessedMsgs);
    }
    const auto [where, order] = predicate(selection);
    return where + QLatin1Char(' ') + order;
}

QString pageStatement(qint32 dontSendProcessedMsgs, Page page) {
    return pageStatement(Selection{dontSendProcessedMsgs}, page);
}

QString pageStatement(const Selection& selection, Page page) {
    const auto [where, order] = predicate(selection);
    const QString byRecId = QStringLiteral(" ORDER BY RecId");
    switch (page) {
        case Page::First:
            // Rows without a Priority come after the others, whichever end the database
            // sorts Null to.
            return selection.priority ? where + QStringLiteral(" AND Priority IS NOT NULL ") + order
                                      : selectionStatement(selection);
        case Page::AfterKey:
            return where +
                   (selection.priority
                        ? QStringLiteral(" AND (Priority < ? OR (Priority = ? AND RecId > ?)) ")
                        : QStringLiteral(" AND RecId > ? ")) +
                   order;
        case Page::NullKeys:
            return where + QStringLiteral(" AND RecId IS NULL");
        case Page::Count:
            return QStringLiteral("SELECT COUNT(*) ") +
                   where.mid(where.indexOf(QStringLiteral("from"), 0, Qt::CaseInsensitive));
        case Page::Higher:
            return where + QStringLiteral(" AND Priority > ? ") + order;
        case Page::NullPriority:
            return where + QStringLiteral(" AND Priority IS NULL") + byRecId;
        case Page::AfterNullPriority:
            return where + QStringLiteral(" AND Priority IS NULL AND RecId > ?") + byRecId;
    }
    return selectionStatement(selection);
}

QString columnName(Column column) {
    static const char* const names[kColumnCount] = {
        "RecId",     "MessageText",   "MessageType",   "MobileNo", "EmailTo",
        "EmailFrom", "EmailSubject",  "EmailCC",       "EmailBCC", "EmailAttachment",
        "IsSent",    "ProcessStatus", "ProcessedDate", "Priority", "SendAfter",
        "ExpiresAt", "Attempts",      "NextAttemptAt", "SmsSender"};
    return QString::fromLatin1(names[static_cast<int>(column)]);
}

namespace Status {
const char* const kTextEmpty = "Message Text Is Empty.";
const char* const kMobileMissing = "Mobile No. Is Not Defined.";
const char* const kSmsSent = "Message Is Sent Via SMS.";
const char* const kSmsNotSent = "Message Is Not Sent Via SMS.";
const char* const kEmailToMissing = "Reciever's Email Id (EmailTo) Is Not Defined.";
const char* const kEmailFromMissing = "Sender's Email Id (EmailFrom) Is Not Defined.";
const char* const kAttachmentMissing = "Attachment File Does Not Exist Or Not Found.";
const char* const kEmailSent = "Message Is Sent Via Email.";
const char* const kEmailNotSent = "Message Is Not Sent Via Email.";
const char* const kTypeUndefined = "Message Type Is Not Defined.";
const char* const kBeingSent = "Message Is Being Sent.";
const char* const kInDoubt = "Message May Have Been Sent.";
const char* const kExpired = "Message Expired Before Sending.";
const char* const kSendAgainLater = "Message Will Be Sent Again Later.";
}  // namespace Status

bool isHeld(const QString& processStatus) {
    const QString status = processStatus.trimmed();
    return status == QLatin1String(Status::kBeingSent) || status == QLatin1String(Status::kInDoubt);
}

qint32 toRecordId(const QVariant& value) {
    return toInt32(value);
}

QString toText(const QVariant& value) {
    if (value.isNull()) {
        return QString();
    }
    if (value.userType() == QMetaType::QDateTime) {
        return value.toDateTime().toString(QStringLiteral("yyyy-MM-dd hh:mm:ss"));
    }
    return value.toString();
}

QString prepareAttachmentPath(const QString& stored) {
    const QString trimmed = stored.trimmed();
    QString result;
    result.reserve(trimmed.size());
    for (int i = 0; i < trimmed.size(); ++i) {
        result += trimmed[i];
        if (trimmed[i] == QLatin1Char('\\') && i + 1 < trimmed.size() &&
            trimmed[i + 1] == QLatin1Char('\\')) {
            ++i;
        }
    }
    return result;
}

}  // namespace korvane::MessageTable
