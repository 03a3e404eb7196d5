#pragma once

#include <QString>

namespace korvane {

class ActivityLog;
class Clock;
class EmailChannel;
class KorvaneError;
class MessageSnapshot;
class ProcessWindow;
class ProcessingControl;
class SmsChannel;
struct RunConfiguration;

// One pass over the waiting rows of tblMessages: select them, send each over its channel and
// save its outcome before touching the next. Every failure ends in the idle state; rows not
// reached wait for the next cycle.
class DispatchCycle {
public:
    DispatchCycle(ProcessingControl& control, const RunConfiguration& config, ActivityLog& log,
                  ProcessWindow& window, SmsChannel& sms, EmailChannel& email, const Clock& clock);

    void run();

private:
    void processRow(MessageSnapshot& snapshot, int row);
    void sendSms(MessageSnapshot& snapshot, int row, qint32 id, const QString& text,
                 QString& status, QString& isSent);
    void sendEmail(MessageSnapshot& snapshot, int row, qint32 id, const QString& text,
                   QString& status, QString& isSent);
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
};

}  // namespace korvane
