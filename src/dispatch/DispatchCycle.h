#pragma once

#include <QString>
#include <QVariant>
#include <functional>
#include <set>

#include "channels/Delivery.h"
#include "dispatch/MessageSnapshot.h"

namespace korvane {

class ActivityLog;
class Clock;
class EmailChannel;
class DatabaseConnection;
class KorvaneError;
class ProcessWindow;
class ProcessingControl;
class SmsChannel;
struct RunConfiguration;

// One pass over the waiting rows of tblMessages: select them, send each over its channel and
// save its outcome before touching the next. A row is claimed before its message goes out, so
// that it goes out at most once whatever fails afterwards and however many instances share the
// table. Every failure ends in the idle state; rows not reached wait for the next cycle.
class DispatchCycle {
public:
    DispatchCycle(ProcessingControl& control, const RunConfiguration& config, ActivityLog& log,
                  ProcessWindow& window, SmsChannel& sms, EmailChannel& email, const Clock& clock);

    void run();

    // A claim older than this is reported once per run: its instance stopped mid-send.
    static constexpr int kClaimAgeS = 15 * 60;

private:
    struct RowOutcome {
        QString status;
        QString isSent;
        bool claimed = false;  // already written (or skipped) through the claim
    };

    void reportOldClaims(DatabaseConnection& connection);
    void processRow(MessageSnapshot& snapshot, int row);
    RowOutcome sendSms(MessageSnapshot& snapshot, int row, qint32 id, const QString& text,
                       const QVariant& stored);
    RowOutcome sendEmail(MessageSnapshot& snapshot, int row, qint32 id, const QString& text,
                         const QVariant& stored);
    // Claim, deliver, report and save one row.
    RowOutcome send(MessageSnapshot& snapshot, int row, qint32 id,
                    const std::function<Delivery()>& deliver,
                    const std::function<void(Delivery)>& report, const char* sentStatus,
                    const char* notSentStatus);
    void reportWrite(MessageSnapshot::Write write, qint32 id);
    static RowOutcome notSent(const char* status);
    // Why the stored text cannot be sent as it stands, or "".
    static QString unsendableText(const QVariant& stored, const QString& text);
    void endSessions();
    void shortIdleEnding();
    void errorPath(const QString& line);
    void log(const QString& text);
    void yield();

    ProcessingControl& control_;
    const RunConfiguration& config_;
    ActivityLog& log_;
    ProcessWindow& window_;
    SmsChannel& sms_;
    EmailChannel& email_;
    const Clock& clock_;
    std::set<QString> reportedClaims_;
};

}  // namespace korvane
