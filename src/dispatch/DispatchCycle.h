#pragma once

#include <QString>
#include <QStringList>
#include <QVariant>
#include <algorithm>
#include <deque>
#include <functional>
#include <memory>
#include <optional>
#include <set>

#include "core/Messages.h"
#include "dispatch/MessageStore.h"

namespace korvane {

class ActivityLog;
class Clock;
class EmailChannel;
class ProcessWindow;
class CycleControl;
class SmsChannel;
class StopDeadline;
struct RunConfiguration;

// One pass over the waiting rows of tblMessages: select them, send each over its channel and
// save its outcome. A row is claimed before its message goes out, so that it goes out at most
// once whatever fails afterwards and however many instances share the table. SMS rows go out
// up to a window ahead; every row is logged and saved in row order. Every failure ends in the
// idle state; rows not reached wait for the next cycle.
class DispatchCycle {
public:
    using StoreFactory = std::function<std::unique_ptr<MessageStore>()>;

    DispatchCycle(CycleControl& control, const RunConfiguration& config, ActivityLog& log,
                  ProcessWindow& window, SmsChannel& sms, EmailChannel& email, const Clock& clock);

    void run();

    // A claim older than this is reported once per run: its instance stopped mid-send.
    static constexpr int kClaimAgeS = 15 * 60;
    // Waiting rows read from the table at a time.
    static constexpr int kPageRows = 500;

    // How many rows may be out at once (claimed and handed to the gateway, not yet saved).
    void setWindow(int rows) { rowsOut_ = std::max(1, rows); }
    // Where each cycle gets its connection to the table; ODBC on a thread of its own unless
    // set.
    void setStoreFactory(StoreFactory factory) { makeStore_ = std::move(factory); }
    // Database calls still running when it passes are cancelled.
    void setStopDeadline(const StopDeadline* stop) { stop_ = stop; }

private:
    // A row between its start and its save, with the log entries it has still to write.
    struct Pending {
        enum class Kind {
            Record,   // nothing to send: the outcome is written over the waiting state
            Claimed,  // sent (or tried): the outcome is written over the claim
            Sms,      // at the gateway, outcome to come
            Nothing,  // another process has it: nothing to write
        };
        TableRow row;
        qint32 id = 0;
        Kind kind = Kind::Nothing;
        QString status;
        QString isSent;
        int ticket = 0;
        QString where;         // "<id> on Mobile No.: <number>"
        bool head = false;     // nothing ahead of it: its entries are written as they come
        bool claimed = false;  // from here to its save the log must not stop it
        QStringList lines;     // entries held for row order
        std::optional<KorvaneError> logFailure;  // raised once the row is saved
        void setOutcome(Kind to, const char* outcome, const QString& sent);
    };

    bool connect(MessageStore& store);
    void sendWaitingRows(MessageStore& store);
    void reportOldClaims(MessageStore& store);
    void startRow(MessageStore& store, TableRow row);
    void finishRow(MessageStore& store);
    void save(MessageStore& store, Pending& pending);
    bool claim(MessageStore& store, Pending& pending);
    void startSms(MessageStore& store, Pending& pending, const QString& text);
    void reportSms(Pending& pending, const SendResult& result);
    void sendEmail(MessageStore& store, Pending& pending, const QString& text);
    MailMessage mailOf(const TableRow& row, const QString& text) const;
    bool emailIncomplete(Pending& pending, const MailMessage& mail);
    void reportEmail(Pending& pending, const MailMessage& mail, const SendResult& result);
    void reportWrite(Pending& pending, MessageStore::Write write);
    // Why the stored text cannot be sent as it stands, or "".
    static QString unsendableText(const QVariant& stored, const QString& text);
    void finishAfterError(MessageStore* store);
    void endSessions();
    void shortIdleEnding();
    void errorPath(const QString& line);
    void log(const QString& text);
    void note(Pending& pending, const QString& text);
    void writeRowLine(Pending& pending, const QString& text);
    void yield();

    CycleControl& control_;
    const RunConfiguration& config_;
    ActivityLog& log_;
    ProcessWindow& window_;
    SmsChannel& sms_;
    EmailChannel& email_;
    const Clock& clock_;
    const StopDeadline* stop_ = nullptr;
    StoreFactory makeStore_;
    std::set<QString> reportedClaims_;
    std::deque<Pending> pending_;
    int rowsOut_ = 10;
};

}  // namespace korvane
