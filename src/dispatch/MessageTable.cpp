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

QString pageStatement(qint32 dontSendProcessedMsgs, Page page) {
    const QString statement = selectionStatement(dontSendProcessedMsgs);
    const qsizetype order =
        statement.lastIndexOf(QStringLiteral("order by"), -1, Qt::CaseInsensitive);
    const QString where = statement.left(order).trimmed();
    switch (page) {
        case Page::First:
            return statement;
        case Page::AfterKey:
            return where + QStringLiteral(" AND RecId > ? ") + statement.mid(order);
        case Page::NullKeys:
            return where + QStringLiteral(" AND RecId IS NULL");
        case Page::Count:
            return QStringLiteral("SELECT COUNT(*) ") +
                   where.mid(where.indexOf(QStringLiteral("from"), 0, Qt::CaseInsensitive));
    }
    return statement;
}

QString columnName(Column column) {
    static const char* const names[kColumnCount] = {
        "RecId",     "MessageText",   "MessageType",  "MobileNo", "EmailTo",
        "EmailFrom", "EmailSubject",  "EmailCC",      "EmailBCC", "EmailAttachment",
        "IsSent",    "ProcessStatus", "ProcessedDate"};
    return QString::fromLatin1(names[static_cast<int>(column)]);
}

namespace Outcome {
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
}  // namespace Outcome

bool isHeld(const QString& processStatus) {
    const QString status = processStatus.trimmed();
    return status == QLatin1String(Outcome::kBeingSent) ||
           status == QLatin1String(Outcome::kInDoubt);
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
