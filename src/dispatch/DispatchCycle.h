#pragma once

#include <QString>
#include <QStringList>
#include <QVariant>
#include <algorithm>
#include <deque>
#include <set>

#include "core/Messages.h"
#include "dispatch/MessageSnapshot.h"

namespace korvane {

class ActivityLog;
class Clock;
class EmailChannel;
class DatabaseConnection;
class KorvaneError;
class ProcessWindow;
class CycleControl;
class SmsChannel;
struct RunConfiguration;

// One pass over the waiting rows of tblMessages: select them, send each over its channel and
// save its outcome before touching the next. A row is claimed before its message goes out, so
// that it goes out at most once whatever fails afterwards and however many instances share the
// table. Every failure ends in the idle state; rows not reached wait for the next cycle.
class DispatchCycle {
public:
    DispatchCycle(CycleControl& control, const RunConfiguration& config, ActivityLog& log,
                  ProcessWindow& window, SmsChannel& sms, EmailChannel& email, const Clock& clock);

    void run();

    // A claim older than this is reported once per run: its instance stopped mid-send.
    static constexpr int kClaimAgeS = 15 * 60;

    // How many rows may be out at once (claimed and handed to the gateway, not yet saved).
    void setWindow(int rows) { rowsOut_ = std::max(1, rows); }

private:
    // A row between its start and its save, with the log entries it will write.
    struct Pending {
        enum class Kind {
            Record,   // nothing to send: the outcome is written over the waiting state
            Claimed,  // sent (or tried): the outcome is written over the claim
            Sms,      // at the gateway, outcome to come
            Nothing,  // another process has it: nothing to write
        };
        int row = 0;
        qint32 id = 0;
        Kind kind = Kind::Nothing;
        QString status;
        QString isSent;
        int ticket = 0;
        QString where;  // "<id> on Mobile No.: <number>"
        QStringList lines;
        void setOutcome(Kind to, const char* outcome, const QString& sent);
    };

    void reportOldClaims(DatabaseConnection& connection);
    void startRow(MessageSnapshot& snapshot, int row);
    void finishRow(MessageSnapshot& snapshot);
    bool claim(MessageSnapshot& snapshot, Pending& pending);
    void startSms(MessageSnapshot& snapshot, Pending& pending, const QString& text,
                  const QVariant& stored);
    void reportSms(Pending& pending, const SendResult& result);
    void sendEmail(MessageSnapshot& snapshot, Pending& pending, const QString& text,
                   const QVariant& stored);
    void reportWrite(MessageSnapshot::Write write, qint32 id);
    // Why the stored text cannot be sent as it stands, or "".
    static QString unsendableText(const QVariant& stored, const QString& text);
    void endSessions();
    void shortIdleEnding();
    void errorPath(const QString& line);
    void log(const QString& text);
    void yield();

    CycleControl& control_;
    const RunConfiguration& config_;
    ActivityLog& log_;
    ProcessWindow& window_;
    SmsChannel& sms_;
    EmailChannel& email_;
    const Clock& clock_;
    std::set<QString> reportedClaims_;
    std::deque<Pending> pending_;
    QStringList* buffer_ = nullptr;  // where log() collects a row's entries while it is out
    int rowsOut_ = 10;
};

}  // namespace korvane
