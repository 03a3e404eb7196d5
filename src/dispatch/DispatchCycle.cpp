#include "dispatch/DispatchCycle.h"

#include <QFileInfo>
#include <memory>

#include "core/ActivityLog.h"
#include "core/Clock.h"
#include "core/Files.h"
#include "core/KorvaneError.h"
#include "core/RunConfiguration.h"
#include "dispatch/CycleControl.h"
#include "dispatch/DatabaseConnection.h"
#include "dispatch/EmailChannel.h"
#include "dispatch/MessageSnapshot.h"
#include "dispatch/MessageTable.h"
#include "dispatch/ProcessWindow.h"
#include "dispatch/SmsChannel.h"

namespace korvane {

using MessageTable::Column;
namespace Outcome = MessageTable::Outcome;

namespace {
const QString kIdle = QStringLiteral("Idle...");
const QString kNo = QStringLiteral("N");
const QString kYes = QStringLiteral("Y");
}  // namespace

DispatchCycle::DispatchCycle(CycleControl& control, const RunConfiguration& config,
                             ActivityLog& log, ProcessWindow& window, SmsChannel& sms,
                             EmailChannel& email, const Clock& clock)
    : control_(control),
      config_(config),
      log_(log),
      window_(window),
      sms_(sms),
      email_(email),
      clock_(clock) {}

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
            // Rows go out up to a window ahead; each is logged and saved in row order when
            // its outcome is known, so the log reads as if they were sent one by one.
            for (int row = 0; row < snapshot->size(); ++row) {
                startRow(*snapshot, row);
                while (!pending_.empty() && (static_cast<int>(pending_.size()) >= rowsOut_ ||
                                             pending_.front().kind != Pending::Kind::Sms)) {
                    finishRow(*snapshot);
                }
                if (control_.StopRequested()) {
                    break;  // the rows in flight still finish and are saved
                }
            }
            while (!pending_.empty()) {
                finishRow(*snapshot);
            }
            if (control_.StopRequested()) {
                control_.setTimer1(false);
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
    // The rows still out were sent (or tried): each is finished as far as it goes, and one
    // whose save fails too stays claimed.
    buffer_ = nullptr;
    while (!pending_.empty() && snapshot) {
        try {
            finishRow(*snapshot);
        } catch (const KorvaneError&) {
        }
    }
    pending_.clear();
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

void DispatchCycle::log(const QString& text) {
    if (buffer_ != nullptr) {
        buffer_->append(text);
    } else {
        log_.WriteLog(text, true, false);
    }
}

void DispatchCycle::startRow(MessageSnapshot& snapshot, int row) {
    Pending& pending = pending_.emplace_back();
    pending.row = row;
    buffer_ = &pending.lines;
    struct Unbuffer {
        QStringList*& buffer;
        ~Unbuffer() { buffer = nullptr; }
    } unbuffer{buffer_};

    pending.id = snapshot.recordId(row);
    log(QStringLiteral("\r\n"));
    log(QStringLiteral("Processing message for Record Id: ") + QString::number(pending.id));
    yield();

    const QVariant& stored = snapshot.value(row, Column::MessageText);
    const QString text = snapshot.text(row, Column::MessageText);
    const QString kind = snapshot.text(row, Column::MessageType).trimmed().toUpper();
    if (text.isEmpty()) {
        log(QStringLiteral("Message text is empty, so no message sent."));
        pending.setOutcome(Pending::Kind::Record, Outcome::kTextEmpty, kNo);
    } else if (kind == QStringLiteral("SMS")) {
        startSms(snapshot, pending, text, stored);
    } else if (kind == QStringLiteral("EMAIL")) {
        sendEmail(snapshot, pending, text, stored);
    } else {
        log(QStringLiteral("Message Type is not defined, so no message sent."));
        pending.setOutcome(Pending::Kind::Record, Outcome::kTypeUndefined, kNo);
    }
}

void DispatchCycle::Pending::setOutcome(Kind to, const char* outcome, const QString& sent) {
    kind = to;
    status = QString::fromLatin1(outcome);
    isSent = sent;
}

void DispatchCycle::finishRow(MessageSnapshot& snapshot) {
    Pending pending = std::move(pending_.front());
    pending_.pop_front();
    if (pending.kind == Pending::Kind::Sms) {
        const SendResult result = sms_.outcome(pending.ticket);
        buffer_ = &pending.lines;
        reportSms(pending, result);
        buffer_ = nullptr;
    }
    // From here until the save the log must not stop the cycle: a failure to write it is
    // raised only once the outcome is in the row.
    struct Hold {
        ActivityLog& log;
        explicit Hold(ActivityLog& l) : log(l) { log.holdFailures(); }
        ~Hold() { log.releaseFailures(); }
    } hold(log_);
    for (const QString& line : pending.lines) {
        log(line);
    }
    if (pending.kind == Pending::Kind::Record) {
        reportWrite(snapshot.record(pending.row, pending.isSent, pending.status, clock_.now()),
                    pending.id);
    } else if (pending.kind == Pending::Kind::Claimed) {
        snapshot.finish(pending.row, pending.isSent, pending.status, clock_.now());
    }
    if (std::optional<KorvaneError> failure = log_.releaseFailures()) {
        throw *failure;
    }
    yield();
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

bool DispatchCycle::claim(MessageSnapshot& snapshot, Pending& pending) {
    const MessageSnapshot::Write claim = snapshot.claim(pending.row, clock_.now());
    if (claim != MessageSnapshot::Write::Done) {
        reportWrite(claim, pending.id);
        pending.kind = Pending::Kind::Nothing;
        return false;
    }
    return true;
}

void DispatchCycle::startSms(MessageSnapshot& snapshot, Pending& pending, const QString& text,
                             const QVariant& stored) {
    log(QStringLiteral("Message Type is SMS."));
    const QString mobile = snapshot.text(pending.row, Column::MobileNo);
    if (mobile.trimmed().isEmpty()) {
        log(QStringLiteral("Mobile No. is not defined, so no message sent."));
        pending.setOutcome(Pending::Kind::Record, Outcome::kMobileMissing, kNo);
        return;
    }
    pending.where = QString::number(pending.id) + QStringLiteral(" on Mobile No.: ") + mobile;
    if (const QString problem = unsendableText(stored, text); !problem.isEmpty()) {
        log(errorLine(ErrorNumber::MessageNotText,
                      problem + QStringLiteral(", so no message sent.")));
        log(QStringLiteral("Message is not sent via SMS for Record Id: ") + pending.where);
        pending.setOutcome(Pending::Kind::Record, Outcome::kSmsNotSent, kNo);
        return;
    }
    if (!claim(snapshot, pending)) {
        return;
    }
    log(QStringLiteral("Sending message via SMS."));
    pending.kind = Pending::Kind::Sms;
    pending.ticket = sms_.submit(SmsGateway{config_.cellServer, config_.cellPort,
                                            config_.cellUserName, config_.cellPassword},
                                 mobile, text);
}

void DispatchCycle::reportSms(Pending& pending, const SendResult& result) {
    if (!result.failure.isEmpty()) {
        log(result.failure);
    }
    if (result.delivery == Delivery::Sent) {
        log(QStringLiteral("Message is sent via SMS for Record Id: ") + pending.where);
        pending.setOutcome(Pending::Kind::Claimed, Outcome::kSmsSent, kYes);
    } else if (result.delivery == Delivery::InDoubt) {
        log(QStringLiteral("Message may have been sent via SMS for Record Id: ") + pending.where +
            QStringLiteral(", so it is not sent again."));
        pending.setOutcome(Pending::Kind::Claimed, Outcome::kInDoubt, kNo);
    } else {
        log(QStringLiteral("Message is not sent via SMS for Record Id: ") + pending.where);
        pending.setOutcome(Pending::Kind::Claimed, Outcome::kSmsNotSent, kNo);
    }
}

void DispatchCycle::sendEmail(MessageSnapshot& snapshot, Pending& pending, const QString& text,
                              const QVariant& stored) {
    const int row = pending.row;
    const QString id = QString::number(pending.id);
    log(QStringLiteral("Message Type is Email."));
    MailMessage mail;
    mail.to = snapshot.text(row, Column::EmailTo);
    mail.from = snapshot.text(row, Column::EmailFrom);
    mail.subject = snapshot.text(row, Column::EmailSubject);
    mail.cc = snapshot.text(row, Column::EmailCC);
    mail.bcc = snapshot.text(row, Column::EmailBCC);
    mail.attachmentPath =
        MessageTable::prepareAttachmentPath(snapshot.text(row, Column::EmailAttachment));
    mail.body = text;

    if (mail.to.trimmed().isEmpty()) {
        log(QStringLiteral("Reciever's email id (EmailTo) is not defined, so no message sent."));
        pending.setOutcome(Pending::Kind::Record, Outcome::kEmailToMissing, kNo);
        return;
    }
    if (mail.from.trimmed().isEmpty()) {
        log(QStringLiteral("Sender's email id (EmailFrom) is not defined, so no message sent."));
        pending.setOutcome(Pending::Kind::Record, Outcome::kEmailFromMissing, kNo);
        return;
    }
    if (!mail.attachmentPath.isEmpty() && !isOrdinaryFile(mail.attachmentPath)) {
        log(QStringLiteral("Attachment file '") + mail.attachmentPath +
            QStringLiteral("' does not exist or not found."));
        yield();
        pending.setOutcome(Pending::Kind::Record, Outcome::kAttachmentMissing, kNo);
        return;
    }
    const QString notSentLine = QStringLiteral("Message is not sent via Email for Record Id: ") +
                                id + QStringLiteral(" to email id : ") + mail.to;
    if (const QString problem = unsendableText(stored, text); !problem.isEmpty()) {
        log(errorLine(ErrorNumber::MessageNotText,
                      problem + QStringLiteral(", so no message sent.")));
        log(notSentLine);
        pending.setOutcome(Pending::Kind::Record, Outcome::kEmailNotSent, kNo);
        return;
    }
    if (!claim(snapshot, pending)) {
        return;
    }
    log(QStringLiteral("Sending message via Email."));
    const SendResult result =
        email_.sendEmail(mail, SmtpServer{config_.smtpServer, config_.smtpPort,
                                          config_.smtpUserName, config_.smtpPassword});
    if (!result.failure.isEmpty()) {
        log(result.failure);
    }
    if (result.delivery == Delivery::NotSent) {
        log(notSentLine);
        pending.setOutcome(Pending::Kind::Claimed, Outcome::kEmailNotSent, kNo);
    } else if (result.delivery == Delivery::InDoubt) {
        log(QStringLiteral("Message may have been sent via Email for Record Id: ") + id +
            QStringLiteral(" to email id : ") + mail.to +
            QStringLiteral(", so it is not sent again."));
        pending.setOutcome(Pending::Kind::Claimed, Outcome::kInDoubt, kNo);
    } else {
        log(QStringLiteral("Message is sent via Email to following Email Address for Record Id: ") +
            id);
        log(QStringLiteral("Email To: ") + mail.to);
        if (!mail.cc.isEmpty()) {
            log(QStringLiteral("Email CC: ") + mail.cc);
        }
        if (!mail.bcc.isEmpty()) {
            log(QStringLiteral("Email BCC: ") + mail.bcc);
        }
        if (!mail.attachmentPath.isEmpty()) {
            log(QStringLiteral("File Attached: ") + QFileInfo(mail.attachmentPath).fileName());
        }
        pending.setOutcome(Pending::Kind::Claimed, Outcome::kEmailSent, kYes);
    }
    yield();
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
