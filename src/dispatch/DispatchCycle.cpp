#include "dispatch/DispatchCycle.h"

#include <QFileInfo>
#include <memory>

#include "channels/EmailChannel.h"
#include "channels/SmsChannel.h"
#include "core/ActivityLog.h"
#include "core/Clock.h"
#include "core/Files.h"
#include "core/KorvaneError.h"
#include "core/RunConfiguration.h"
#include "dispatch/DatabaseConnection.h"
#include "dispatch/MessageSnapshot.h"
#include "dispatch/MessageTable.h"
#include "dispatch/ProcessWindow.h"
#include "dispatch/ProcessingControl.h"

namespace korvane {

using MessageTable::Column;
namespace Outcome = MessageTable::Outcome;

namespace {
const QString kIdle = QStringLiteral("Idle...");
const QString kNo = QStringLiteral("N");
const QString kYes = QStringLiteral("Y");
}  // namespace

DispatchCycle::DispatchCycle(ProcessingControl& control, const RunConfiguration& config,
                             ActivityLog& log, ProcessWindow& window, SmsChannel& sms,
                             EmailChannel& email, const Clock& clock)
    : control_(control),
      config_(config),
      log_(log),
      window_(window),
      sms_(sms),
      email_(email),
      clock_(clock) {}

void DispatchCycle::log(const QString& text) {
    log_.WriteLog(text, true, false);
}

void DispatchCycle::yield() {
    log_.yield();
}

void DispatchCycle::run() {
    std::unique_ptr<DatabaseConnection> connection;
    std::unique_ptr<MessageSnapshot> snapshot;
    QString failure;
    try {
        log(QStringLiteral("Process Started."));
        yield();
        if (!control_.ValidateConfiguration()) {
            control_.cmdStop_Click();
            window_.showConfigurationModal();
            return;
        }
        yield();
        control_.setTimer1(false);
        window_.setStatusText(QStringLiteral("Processing..."));

        connection = std::make_unique<DatabaseConnection>();
        connection->open(config_.dsnName, config_.dsnDbUser, config_.dsnDbPassword,
                         config_.dsnType == QStringLiteral("File") ? config_.dsnPath : QString());
        yield();
        if (!connection->isOpen()) {
            log(QStringLiteral("Connection is not opened, Please verify DSN Name."));
            connection.reset();
            shortIdleEnding();
            return;
        }
        yield();
        // A statement that cannot run raises here and takes the error path.
        snapshot = std::make_unique<MessageSnapshot>(
            *connection, MessageTable::selectionStatement(config_.dontSendProcessedMsgs));
        control_.setTimer1(false);

        if (snapshot->isEmpty()) {
            log(QStringLiteral("No message exists to be sent."));
        } else {
            yield();
            for (int row = 0; row < snapshot->size();) {
                processRow(*snapshot, row);
                if (control_.StopRequested()) {
                    control_.setTimer1(false);
                    break;
                }
                ++row;
                yield();
                if (control_.StopRequested()) {
                    control_.setTimer1(false);
                    break;
                }
            }
        }

        yield();
        yield();
        snapshot.reset();
        connection.reset();
        yield();
        control_.setTimer1(!control_.StopRequested());
        log(QStringLiteral("Process Completed..."));
        log(kIdle);
        log(QStringLiteral("\r\n"));
        window_.setStatusText(kIdle);
        yield();
        return;
    } catch (const KorvaneError& error) {
        failure = errorLine(error);
    } catch (const std::exception& error) {
        failure = errorLine(ErrorNumber::ProviderError, QString::fromLocal8Bit(error.what()));
    }
    // Saves are atomic, so nothing half-assigned is pending when the record set goes.
    snapshot.reset();
    connection.reset();
    errorPath(failure);
}

void DispatchCycle::processRow(MessageSnapshot& snapshot, int row) {
    QString status;
    const qint32 id = snapshot.recordId(row);
    log(QStringLiteral("\r\n"));
    log(QStringLiteral("Processing message for Record Id: ") + QString::number(id));
    yield();

    QString isSent = kNo;
    const QString text = snapshot.text(row, Column::MessageText);
    if (text.isEmpty()) {
        status = QString::fromLatin1(Outcome::kTextEmpty);
        log(QStringLiteral("Message text is empty, so no message sent."));
    } else {
        const QString kind = snapshot.text(row, Column::MessageType).trimmed().toUpper();
        if (kind == QStringLiteral("SMS")) {
            sendSms(snapshot, row, id, text, status, isSent);
        } else if (kind == QStringLiteral("EMAIL")) {
            sendEmail(snapshot, row, id, text, status, isSent);
        } else {
            status = QString::fromLatin1(Outcome::kTypeUndefined);
            log(QStringLiteral("Message Type is not defined, so no message sent."));
        }
    }
    snapshot.save(row, isSent, status, clock_.now());
}

void DispatchCycle::sendSms(MessageSnapshot& snapshot, int row, qint32 id, const QString& text,
                            QString& status, QString& isSent) {
    log(QStringLiteral("Message Type is SMS."));
    const QString mobile = snapshot.text(row, Column::MobileNo);
    if (mobile.trimmed().isEmpty()) {
        status = QString::fromLatin1(Outcome::kMobileMissing);
        log(QStringLiteral("Mobile No. is not defined, so no message sent."));
        return;
    }
    log(QStringLiteral("Sending message via SMS."));
    const bool sent = sms_.SendSMS(config_.cellServer, config_.cellPort, config_.cellUserName,
                                   config_.cellPassword, mobile, text, false);
    const QString where = QString::number(id) + QStringLiteral(" on Mobile No.: ") + mobile;
    if (sent) {
        status = QString::fromLatin1(Outcome::kSmsSent);
        log(QStringLiteral("Message is sent via SMS for Record Id: ") + where);
        isSent = kYes;
    } else {
        status = QString::fromLatin1(Outcome::kSmsNotSent);
        log(QStringLiteral("Message is not sent via SMS for Record Id: ") + where);
    }
    yield();
}

void DispatchCycle::sendEmail(MessageSnapshot& snapshot, int row, qint32 id, const QString& text,
                              QString& status, QString& isSent) {
    log(QStringLiteral("Message Type is Email."));
    const QString to = snapshot.text(row, Column::EmailTo);
    const QString from = snapshot.text(row, Column::EmailFrom);
    const QString subject = snapshot.text(row, Column::EmailSubject);
    const QString cc = snapshot.text(row, Column::EmailCC);
    const QString bcc = snapshot.text(row, Column::EmailBCC);
    const QString attachment =
        MessageTable::prepareAttachmentPath(snapshot.text(row, Column::EmailAttachment));

    if (to.trimmed().isEmpty()) {
        status = QString::fromLatin1(Outcome::kEmailToMissing);
        log(QStringLiteral("Reciever's email id (EmailTo) is not defined, so no message sent."));
        return;
    }
    if (from.trimmed().isEmpty()) {
        status = QString::fromLatin1(Outcome::kEmailFromMissing);
        log(QStringLiteral("Sender's email id (EmailFrom) is not defined, so no message sent."));
        return;
    }
    if (!attachment.isEmpty() && !isOrdinaryFile(attachment)) {
        status = QString::fromLatin1(Outcome::kAttachmentMissing);
        log(QStringLiteral("Attachment file '") + attachment +
            QStringLiteral("' does not exist or not found."));
        yield();
        return;
    }
    log(QStringLiteral("Sending message via Email."));
    const bool sent =
        email_.SendEmail(from, to, cc, bcc, attachment, subject, text, config_.smtpServer,
                         config_.smtpPort, config_.smtpUserName, config_.smtpPassword, false);
    if (sent) {
        status = QString::fromLatin1(Outcome::kEmailSent);
        log(QStringLiteral("Message is sent via Email to following Email Address for Record Id: ") +
            QString::number(id));
        log(QStringLiteral("Email To: ") + to);
        if (!cc.isEmpty()) {
            log(QStringLiteral("Email CC: ") + cc);
        }
        if (!bcc.isEmpty()) {
            log(QStringLiteral("Email BCC: ") + bcc);
        }
        if (!attachment.isEmpty()) {
            log(QStringLiteral("File Attached: ") + QFileInfo(attachment).fileName());
        }
        isSent = kYes;
    } else {
        status = QString::fromLatin1(Outcome::kEmailNotSent);
        log(QStringLiteral("Message is not sent via Email for Record Id: ") + QString::number(id) +
            QStringLiteral(" to email id : ") + to);
    }
    yield();
}

void DispatchCycle::shortIdleEnding() {
    control_.setTimer1(!control_.StopRequested());
    log(kIdle);
    window_.setStatusText(kIdle);
}

void DispatchCycle::errorPath(const QString& line) {
    // The log itself may be what failed: its entries are dropped so that the cycle still
    // reaches the idle state and the next one tries again.
    auto tryLog = [this](const QString& text) {
        try {
            log(text);
        } catch (const KorvaneError&) {
        }
    };
    yield();
    tryLog(line);
    control_.setTimer1(!control_.StopRequested());
    tryLog(kIdle);
    window_.setStatusText(kIdle);
    yield();
}

}  // namespace korvane
