#pragma once

#include <QString>
#include <QVariant>

namespace korvane {

// The contract of tblMessages shared with every producer: the statements, the columns and
// the outcome texts written back.
namespace MessageTable {

// Which statement selects the waiting rows, and the optional columns that narrow and order
// it: SendAfter and NextAttemptAt hold rows back until their time, Priority orders them
// (higher first, then RecId). Without optional columns the statements are the contract's own.
struct Selection {
    qint32 dontSendProcessedMsgs = 0;
    bool sendAfter = false;
    bool priority = false;
    bool retries = false;  // Attempts and NextAttemptAt
    // How many ? markers each statement opens with, all for Korvane's local time now.
    int timeMarkers() const;
};

QString selectionStatement(qint32 dontSendProcessedMsgs);
QString selectionStatement(const Selection& selection);

// The selection read a page at a time: its WHERE predicate as it stands, narrowed to the rows
// after the last key read or to the rows without a RecId, in the selection's order. The key is
// RecId (one ? after the time markers) or, with Priority, Priority and RecId (three: Priority,
// Priority, RecId). Rows whose Priority is Null come after the others, by RecId (NullPriority
// and AfterNullPriority: one ?, RecId); Higher: the rows above a Priority (one ?).
enum class Page { First, AfterKey, NullKeys, Count, Higher, NullPriority, AfterNullPriority };
QString pageStatement(qint32 dontSendProcessedMsgs, Page page);
QString pageStatement(const Selection& selection, Page page);

enum class Column {
    RecId,
    MessageText,
    MessageType,
    MobileNo,
    EmailTo,
    EmailFrom,
    EmailSubject,
    EmailCC,
    EmailBCC,
    EmailAttachment,
    IsSent,
    ProcessStatus,
    ProcessedDate,
    // Optional: each switches a feature on where the table has it.
    Priority,
    SendAfter,
    ExpiresAt,
    Attempts,
    NextAttemptAt,
    SmsSender,
};
constexpr int kColumnCount = 19;
QString columnName(Column column);

namespace Status {
extern const char* const kTextEmpty;
extern const char* const kMobileMissing;
extern const char* const kSmsSent;
extern const char* const kSmsNotSent;
extern const char* const kEmailToMissing;
extern const char* const kEmailFromMissing;
extern const char* const kAttachmentMissing;
extern const char* const kEmailSent;
extern const char* const kEmailNotSent;
extern const char* const kTypeUndefined;
// Written before a message goes out; replaced by the outcome once it is known.
extern const char* const kBeingSent;
// The message may have reached the server but no answer came: never sent again by itself.
extern const char* const kInDoubt;
// Optional columns: ExpiresAt passed before the row's turn; a passing failure, tried again at
// NextAttemptAt.
extern const char* const kExpired;
extern const char* const kSendAgainLater;
}  // namespace Status

// A row whose status says it is being sent, or may have been sent, is never sent again
// automatically, whichever statement selected it.
bool isHeld(const QString& processStatus);

// RecId as a signed 32-bit number; raises 94 for Null, 13 for text that is no number and 6
// for a number out of range.
qint32 toRecordId(const QVariant& value);

// Null reads as empty text; other values in their text form.
QString toText(const QVariant& value);

// Trimmed, then every pair of backslashes collapsed to one (left to right, one pass).
QString prepareAttachmentPath(const QString& stored);

}  // namespace MessageTable
}  // namespace korvane
