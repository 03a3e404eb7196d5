#pragma once

#include <QString>

#include "core/Messages.h"

namespace korvane {

class ActivityLog;
class EmailChannel;
class SmsChannel;

// What the three test actions need of the configuration window.
class CheckView {
public:
    enum class Test { Connection, Email, Sms };
    virtual ~CheckView() = default;
    // Shows and repaints the test's "Please Wait..." label and disables its button, or the
    // reverse.
    virtual void setBusy(Test test, bool busy) = 0;
    // A prompt box; "" when cancelled.
    virtual QString prompt(const QString& text, const QString& title,
                           const QString& defaultValue) = 0;
};

// Test Connection, Test Email and Test SMS with the values typed in the window: the same
// connection contract and senders as the dispatch cycle, results in the log and a message box.
class ConnectionChecks {
public:
    static const char* const kSampleAddress;
    static const char* const kSampleMobile;

    ConnectionChecks(ActivityLog& log, SmsChannel& sms, EmailChannel& email);

    // view: the window whose button was pressed. pathLost: a file data source whose path is
    // empty, said in a failure's line.
    void testConnection(CheckView& view, const QString& dsn, const QString& user,
                        const QString& password, const QString& fileDsnPath, bool pathLost = false);
    // server: the boxes' values and the sign-in method chosen (OAuth 2.0 included).
    void testEmail(CheckView& view, const SmtpServer& server);
    // gateway: the boxes' values, with TLS as configured.
    void testSms(CheckView& view, const SmsGateway& gateway);

private:
    ActivityLog& log_;
    SmsChannel& sms_;
    EmailChannel& email_;
};

}  // namespace korvane
