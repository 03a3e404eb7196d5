#include "app/ConnectionChecks.h"

#include "core/ActivityLog.h"
#include "core/KorvaneError.h"
#include "core/Responsive.h"
#include "core/RunConfiguration.h"
#include "dispatch/DatabaseConnection.h"
#include "dispatch/EmailChannel.h"
#include "dispatch/SmsChannel.h"

namespace korvane {

const char* const ConnectionChecks::kSampleAddress = "korvane@example.com";
const char* const ConnectionChecks::kSampleMobile = "+447700900123";

namespace {
// Clears the busy state on every path out of a test.
class BusyScope {
public:
    BusyScope(CheckView& view, CheckView::Test test) : view_(view), test_(test) {
        view_.setBusy(test_, true);
    }
    ~BusyScope() { view_.setBusy(test_, false); }
    BusyScope(const BusyScope&) = delete;
    BusyScope& operator=(const BusyScope&) = delete;

private:
    CheckView& view_;
    CheckView::Test test_;
};
}  // namespace

ConnectionChecks::ConnectionChecks(ActivityLog& log, SmsChannel& sms, EmailChannel& email)
    : log_(log), sms_(sms), email_(email) {}

void ConnectionChecks::testConnection(CheckView& view, const QString& dsn, const QString& user,
                                      const QString& password, const QString& fileDsnPath,
                                      bool pathLost) {
    QString result;
    {
        BusyScope busy(view, CheckView::Test::Connection);
        // A server that does not answer must not freeze the window: the connection is opened,
        // and closed, on a thread of its own.
        result = onOwnThread<QString>([dsn, user, password, fileDsnPath, pathLost] {
            try {
                DatabaseConnection connection;
                connection.open(dsn, user, password, fileDsnPath);
                return connection.isOpen() ? QStringLiteral("Connection is Succeeded.")
                                           : QStringLiteral("Connection is Failed.");
            } catch (const KorvaneError& error) {
                return errorLine(error) + (pathLost
                                               ? QLatin1String(RunConfiguration::kFileDsnPathLost)
                                               : QLatin1String());
            }
        });
    }
    log_.WriteLog(result, true, true);
}

void ConnectionChecks::testEmail(CheckView& view, const SmtpServer& server) {
    const QString sample = QString::fromLatin1(kSampleAddress);
    const QString from = view.prompt(QStringLiteral("Please Enter 'From' Email Id"),
                                     QStringLiteral("From Email Id"), sample);
    if (from.isEmpty()) {
        return;
    }
    const QString to = view.prompt(QStringLiteral("Please Enter 'To' Email Id"),
                                   QStringLiteral("To Email Id"), sample);
    if (to.isEmpty()) {
        return;
    }
    log_.WriteLog(QStringLiteral("Testing Email..."), true, false);
    SendResult result;
    {
        BusyScope busy(view, CheckView::Test::Email);
        MailMessage message;
        message.from = from;
        message.to = to;
        message.subject = QStringLiteral("Email Testing");
        message.body = QStringLiteral("Email Testing");
        email_.retryNow();  // a test is a deliberate attempt, whatever the back-off says
        result = waitInPlace(email_.sendEmail(message, {server}));  // the button's modal wait
        email_.endSession();
    }
    log_.WriteLog(result.delivery == Delivery::Sent
                      ? QStringLiteral("Test Email is sent successfully.")
                      : result.failure,
                  true, true);
}

void ConnectionChecks::testSms(CheckView& view, const SmsGateway& gateway) {
    const QString number =
        view.prompt(QStringLiteral("Please Enter Mobile Number to send SMS"),
                    QStringLiteral("Mobile Number"), QString::fromLatin1(kSampleMobile));
    if (number.isEmpty()) {
        return;
    }
    log_.WriteLog(QStringLiteral("Testing SMS..."), true, false);
    SendResult result;
    {
        BusyScope busy(view, CheckView::Test::Sms);
        sms_.retryNow();  // a test is a deliberate attempt, whatever the back-off says
        result = waitInPlace(sms_.send(gateway, number, QStringLiteral("SMS Testing")));
        waitInPlace(sms_.endSession());
    }
    log_.WriteLog(result.delivery == Delivery::Sent
                      ? QStringLiteral("Test SMS is sent successfully to mobile number ") + number +
                            QLatin1Char('.')
                      : result.failure,
                  true, true);
}

}  // namespace korvane
