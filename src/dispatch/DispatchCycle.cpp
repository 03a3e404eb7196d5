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
        reportOldClaims(*connection);

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
        endSessions();
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
    // Writes are atomic, so nothing half-assigned is pending when the record set goes.
    endSessions();
    snapshot.reset();
    connection.reset();
    errorPath(failure);
}

void DispatchCycle::reportOldClaims(DatabaseConnection& connection) {
    const QDateTime now = clock_.now();
    for (const MessageSnapshot::Claim& claim :
         MessageSnapshot::claimsBefore(connection, now.addSecs(-kClaimAgeS))) {
        const QString id = MessageTable::toText(claim.recId);
        if (!reportedClaims_.insert(id).second) {
            continue;
        }
        log(QStringLiteral("Record Id: ") + id + QStringLiteral(" is marked '") +
            QLatin1String(Outcome::kBeingSent) + QStringLiteral("' since ") +
            (claim.since.isValid() ? claim.since.toString(QStringLiteral("dd-MM-yyyy hh:mm:ss"))
                                   : QStringLiteral("an unknown time")) +
            QStringLiteral(" and its message may have gone out. To send it again, empty its "
                           "ProcessStatus."));
    }
}

void DispatchCycle::processRow(MessageSnapshot& snapshot, int row) {
    const qint32 id = snapshot.recordId(row);
    log(QStringLiteral("\r\n"));
    log(QStringLiteral("Processing message for Record Id: ") + QString::number(id));
    yield();

    const QVariant& stored = snapshot.value(row, Column::MessageText);
    const QString text = snapshot.text(row, Column::MessageText);
    const QString kind = snapshot.text(row, Column::MessageType).trimmed().toUpper();
    RowOutcome outcome;
    if (text.isEmpty()) {
        log(QStringLiteral("Message text is empty, so no message sent."));
        outcome = notSent(Outcome::kTextEmpty);
    } else if (kind == QStringLiteral("SMS")) {
        outcome = sendSms(snapshot, row, id, text, stored);
    } else if (kind == QStringLiteral("EMAIL")) {
        outcome = sendEmail(snapshot, row, id, text, stored);
    } else {
        log(QStringLiteral("Message Type is not defined, so no message sent."));
        outcome = notSent(Outcome::kTypeUndefined);
    }
    if (outcome.claimed) {
        return;  // saved (or skipped) by send()
    }
    reportWrite(snapshot.record(row, outcome.isSent, outcome.status, clock_.now()), id);
}

DispatchCycle::RowOutcome DispatchCycle::notSent(const char* status) {
    return RowOutcome{QString::fromLatin1(status), kNo, false};
}

QString DispatchCycle::unsendableText(const QVariant& stored, const QString& text) {
    // Sent as far as the first NUL, or as the bytes' guessed text, it would not be the message.
    if (stored.userType() == QMetaType::QByteArray) {
        return QStringLiteral("MessageText is not text (a binary value)");
    }
    if (text.contains(QChar(0))) {
        return QStringLiteral("MessageText contains NUL characters");
    }
    return QString();
}

void DispatchCycle::reportWrite(MessageSnapshot::Write write, qint32 id) {
    if (write == MessageSnapshot::Write::Changed) {
        log(QStringLiteral("Record Id: ") + QString::number(id) +
            QStringLiteral(" was changed or taken by another process since it was read, so it "
                           "is left as it is."));
    } else if (write == MessageSnapshot::Write::Shared) {
        log(errorLine(ErrorNumber::RecordIdShared,
                      QStringLiteral("Record Id: %1 names more than one row of tblMessages, so "
                                     "it is left as it is.")
                          .arg(id)));
    }
}

DispatchCycle::RowOutcome DispatchCycle::send(MessageSnapshot& snapshot, int row, qint32 id,
                                              const std::function<Delivery()>& deliver,
                                              const std::function<void(Delivery)>& report,
                                              const char* sentStatus, const char* notSentStatus) {
    const MessageSnapshot::Write claim = snapshot.claim(row, clock_.now());
    if (claim != MessageSnapshot::Write::Done) {
        reportWrite(claim, id);
        return RowOutcome{QString(), kNo, true};
    }
    // From here until the save the log must not stop the cycle: a failure to write it is
    // raised only once the outcome is in the row.
    struct Hold {
        ActivityLog& log;
        explicit Hold(ActivityLog& l) : log(l) { log.holdFailures(); }
        ~Hold() { log.releaseFailures(); }
    } hold(log_);
    const Delivery delivery = deliver();
    report(delivery);
    yield();
    const RowOutcome outcome =
        delivery == Delivery::Sent
            ? RowOutcome{QString::fromLatin1(sentStatus), kYes, true}
            : RowOutcome{QString::fromLatin1(delivery == Delivery::InDoubt ? Outcome::kInDoubt
                                                                           : notSentStatus),
                         kNo, true};
    snapshot.finish(row, outcome.isSent, outcome.status, clock_.now());
    if (std::optional<KorvaneError> failure = log_.releaseFailures()) {
        throw *failure;
    }
    return outcome;
}

DispatchCycle::RowOutcome DispatchCycle::sendSms(MessageSnapshot& snapshot, int row, qint32 id,
                                                 const QString& text, const QVariant& stored) {
    log(QStringLiteral("Message Type is SMS."));
    const QString mobile = snapshot.text(row, Column::MobileNo);
    if (mobile.trimmed().isEmpty()) {
        log(QStringLiteral("Mobile No. is not defined, so no message sent."));
        return notSent(Outcome::kMobileMissing);
    }
    const QString where = QString::number(id) + QStringLiteral(" on Mobile No.: ") + mobile;
    if (const QString problem = unsendableText(stored, text); !problem.isEmpty()) {
        log(errorLine(ErrorNumber::MessageNotText,
                      problem + QStringLiteral(", so no message sent.")));
        log(QStringLiteral("Message is not sent via SMS for Record Id: ") + where);
        return notSent(Outcome::kSmsNotSent);
    }
    return send(
        snapshot, row, id,
        [&] {
            log(QStringLiteral("Sending message via SMS."));
            return sms_.SendSMS(config_.cellServer, config_.cellPort, config_.cellUserName,
                                config_.cellPassword, mobile, text, false);
        },
        [&](Delivery delivery) {
            if (delivery == Delivery::Sent) {
                log(QStringLiteral("Message is sent via SMS for Record Id: ") + where);
            } else if (delivery == Delivery::InDoubt) {
                log(QStringLiteral("Message may have been sent via SMS for Record Id: ") + where +
                    QStringLiteral(", so it is not sent again."));
            } else {
                log(QStringLiteral("Message is not sent via SMS for Record Id: ") + where);
            }
        },
        Outcome::kSmsSent, Outcome::kSmsNotSent);
}

DispatchCycle::RowOutcome DispatchCycle::sendEmail(MessageSnapshot& snapshot, int row, qint32 id,
                                                   const QString& text, const QVariant& stored) {
    log(QStringLiteral("Message Type is Email."));
    const QString to = snapshot.text(row, Column::EmailTo);
    const QString from = snapshot.text(row, Column::EmailFrom);
    const QString subject = snapshot.text(row, Column::EmailSubject);
    const QString cc = snapshot.text(row, Column::EmailCC);
    const QString bcc = snapshot.text(row, Column::EmailBCC);
    const QString attachment =
        MessageTable::prepareAttachmentPath(snapshot.text(row, Column::EmailAttachment));

    if (to.trimmed().isEmpty()) {
        log(QStringLiteral("Reciever's email id (EmailTo) is not defined, so no message sent."));
        return notSent(Outcome::kEmailToMissing);
    }
    if (from.trimmed().isEmpty()) {
        log(QStringLiteral("Sender's email id (EmailFrom) is not defined, so no message sent."));
        return notSent(Outcome::kEmailFromMissing);
    }
    if (!attachment.isEmpty() && !isOrdinaryFile(attachment)) {
        log(QStringLiteral("Attachment file '") + attachment +
            QStringLiteral("' does not exist or not found."));
        yield();
        return notSent(Outcome::kAttachmentMissing);
    }
    const QString notSentLine = QStringLiteral("Message is not sent via Email for Record Id: ") +
                                QString::number(id) + QStringLiteral(" to email id : ") + to;
    if (const QString problem = unsendableText(stored, text); !problem.isEmpty()) {
        log(errorLine(ErrorNumber::MessageNotText,
                      problem + QStringLiteral(", so no message sent.")));
        log(notSentLine);
        return notSent(Outcome::kEmailNotSent);
    }
    return send(
        snapshot, row, id,
        [&] {
            log(QStringLiteral("Sending message via Email."));
            return email_.SendEmail(from, to, cc, bcc, attachment, subject, text,
                                    config_.smtpServer, config_.smtpPort, config_.smtpUserName,
                                    config_.smtpPassword, false);
        },
        [&](Delivery delivery) {
            if (delivery == Delivery::NotSent) {
                log(notSentLine);
                return;
            }
            if (delivery == Delivery::InDoubt) {
                log(QStringLiteral("Message may have been sent via Email for Record Id: ") +
                    QString::number(id) + QStringLiteral(" to email id : ") + to +
                    QStringLiteral(", so it is not sent again."));
                return;
            }
            log(QStringLiteral(
                    "Message is sent via Email to following Email Address for Record Id: ") +
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
        },
        Outcome::kEmailSent, Outcome::kEmailNotSent);
}

void DispatchCycle::endSessions() {
    sms_.endSession();
    email_.endSession();
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
