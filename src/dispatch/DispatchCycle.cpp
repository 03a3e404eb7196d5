#include "dispatch/DispatchCycle.h"

#include <QFileInfo>

#include "core/ActivityLog.h"
#include "core/Clock.h"
#include "core/Files.h"
#include "core/KorvaneError.h"
#include "core/RunConfiguration.h"
#include "dispatch/BackgroundStore.h"
#include "dispatch/CycleControl.h"
#include "dispatch/EmailChannel.h"
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
      clock_(clock),
      makeStore_([this] { return std::make_unique<BackgroundStore>(stop_); }) {}

void DispatchCycle::yield() {
    log_.yield();
}

void DispatchCycle::run() {
    std::unique_ptr<MessageStore> store;
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
        store = makeStore_();
        if (!connect(*store)) {
            store.reset();
            shortIdleEnding();
            return;
        }
        sendWaitingRows(*store);
        yield();
        yield();
        endSessions();
        store.reset();
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
    finishAfterError(store.get());
    store.reset();
    errorPath(failure);
}

// Opens the data source and runs the selection; false when the connection did not open.
bool DispatchCycle::connect(MessageStore& store) {
    store.open(DataSourceSettings{config_.dsnName, config_.dsnDbUser, config_.dsnDbPassword,
                                  config_.fileDsnPath()});
    yield();
    if (!store.isOpen()) {
        log(QStringLiteral("Connection is not opened, Please verify DSN Name."));
        return false;
    }
    yield();
    // A statement that cannot run raises here and takes the error path.
    store.select(MessageTable::selectionStatement(config_.dontSendProcessedMsgs));
    control_.setTimer1(false);
    reportOldClaims(store);
    return true;
}

void DispatchCycle::sendWaitingRows(MessageStore& store) {
    std::vector<TableRow> page = store.nextPage(kPageRows);
    if (page.empty()) {
        log(QStringLiteral("No message exists to be sent."));
        return;
    }
    yield();
    for (bool more = true; more && !page.empty();) {
        for (TableRow& row : page) {
            startRow(store, std::move(row));
            while (!pending_.empty() && (static_cast<int>(pending_.size()) >= rowsOut_ ||
                                         pending_.front().kind != Pending::Kind::Sms)) {
                finishRow(store);
            }
            if (control_.StopRequested()) {
                more = false;  // the rows in flight still finish and are saved
                break;
            }
        }
        if (more) {
            page = store.nextPage(kPageRows);
        }
    }
    while (!pending_.empty()) {
        finishRow(store);
    }
    if (control_.StopRequested()) {
        control_.setTimer1(false);
    }
}

void DispatchCycle::reportOldClaims(MessageStore& store) {
    const QDateTime now = clock_.now();
    for (const MessageStore::Claim& claim : store.claimsBefore(now.addSecs(-kClaimAgeS))) {
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
    log_.WriteLog(text, true, false);
}

// A row's entry: written now by the row at the head, held for row order by the rows behind.
void DispatchCycle::note(Pending& pending, const QString& text) {
    if (pending.head) {
        writeRowLine(pending, text);
    } else {
        pending.lines << text;
    }
}

// Once a row is claimed a log that cannot be written must not keep its outcome out of the
// row: the failure is held until the row is saved.
void DispatchCycle::writeRowLine(Pending& pending, const QString& text) {
    if (!pending.claimed) {
        log_.WriteLog(text, true, false);
        return;
    }
    log_.holdFailures();
    log_.WriteLog(text, true, false);
    if (std::optional<KorvaneError> failure = log_.releaseFailures();
        failure && !pending.logFailure) {
        pending.logFailure = failure;
    }
}

void DispatchCycle::startRow(MessageStore& store, TableRow row) {
    Pending& pending = pending_.emplace_back();
    pending.head = pending_.size() == 1;
    pending.row = std::move(row);
    pending.id = pending.row.recordId();
    note(pending, QStringLiteral("\r\n"));
    note(pending,
         QStringLiteral("Processing message for Record Id: ") + QString::number(pending.id));
    yield();

    const QString text = pending.row.text(Column::MessageText);
    const QString kind = pending.row.text(Column::MessageType).trimmed().toUpper();
    if (text.isEmpty()) {
        note(pending, QStringLiteral("Message text is empty, so no message sent."));
        pending.setOutcome(Pending::Kind::Record, Outcome::kTextEmpty, kNo);
    } else if (kind == QStringLiteral("SMS")) {
        startSms(store, pending, text);
    } else if (kind == QStringLiteral("EMAIL")) {
        sendEmail(store, pending, text);
    } else {
        note(pending, QStringLiteral("Message Type is not defined, so no message sent."));
        pending.setOutcome(Pending::Kind::Record, Outcome::kTypeUndefined, kNo);
    }
}

void DispatchCycle::Pending::setOutcome(Kind to, const char* outcome, const QString& sent) {
    kind = to;
    status = QString::fromLatin1(outcome);
    isSent = sent;
}

void DispatchCycle::finishRow(MessageStore& store) {
    Pending pending = std::move(pending_.front());
    pending_.pop_front();
    pending.head = true;
    for (const QString& line : std::exchange(pending.lines, QStringList())) {
        writeRowLine(pending, line);
    }
    if (pending.kind == Pending::Kind::Sms) {
        reportSms(pending, sms_.outcome(pending.ticket));
    }
    save(store, pending);
    if (!pending_.empty()) {
        // The next row has nothing ahead of it now: what it held goes out, and from here its
        // entries are written as they come.
        Pending& next = pending_.front();
        next.head = true;
        for (const QString& line : std::exchange(next.lines, QStringList())) {
            writeRowLine(next, line);
        }
    }
    yield();
}

void DispatchCycle::save(MessageStore& store, Pending& pending) {
    const MessageStore::Outcome outcome{pending.row, pending.isSent, pending.status};
    if (pending.kind == Pending::Kind::Record) {
        reportWrite(pending, store.record(outcome, clock_.now()));
    } else if (pending.kind == Pending::Kind::Claimed) {
        if (std::optional<KorvaneError> failure = store.finish({outcome}, clock_.now()).at(0)) {
            throw *failure;  // the row stays claimed and is reported later
        }
    }
    if (pending.logFailure) {
        throw *pending.logFailure;
    }
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

void DispatchCycle::reportWrite(Pending& pending, MessageStore::Write write) {
    if (write == MessageStore::Write::Changed) {
        note(pending, QStringLiteral("Record Id: ") + QString::number(pending.id) +
                          QStringLiteral(" was changed or taken by another process since it was "
                                         "read, so it is left as it is."));
    } else if (write == MessageStore::Write::Shared) {
        note(pending, errorLine(ErrorNumber::RecordIdShared,
                                QStringLiteral("Record Id: %1 names more than one row of "
                                               "tblMessages, so it is left as it is.")
                                    .arg(pending.id)));
    }
}

bool DispatchCycle::claim(MessageStore& store, Pending& pending) {
    const MessageStore::Write claim = store.claim({pending.row}, clock_.now()).at(0);
    if (claim != MessageStore::Write::Done) {
        reportWrite(pending, claim);
        pending.kind = Pending::Kind::Nothing;
        return false;
    }
    pending.claimed = true;
    return true;
}

void DispatchCycle::startSms(MessageStore& store, Pending& pending, const QString& text) {
    note(pending, QStringLiteral("Message Type is SMS."));
    const QString mobile = pending.row.text(Column::MobileNo);
    if (mobile.trimmed().isEmpty()) {
        note(pending, QStringLiteral("Mobile No. is not defined, so no message sent."));
        pending.setOutcome(Pending::Kind::Record, Outcome::kMobileMissing, kNo);
        return;
    }
    pending.where = QString::number(pending.id) + QStringLiteral(" on Mobile No.: ") + mobile;
    if (const QString problem = unsendableText(pending.row.value(Column::MessageText), text);
        !problem.isEmpty()) {
        note(pending, errorLine(ErrorNumber::MessageNotText,
                                problem + QStringLiteral(", so no message sent.")));
        note(pending,
             QStringLiteral("Message is not sent via SMS for Record Id: ") + pending.where);
        pending.setOutcome(Pending::Kind::Record, Outcome::kSmsNotSent, kNo);
        return;
    }
    if (!claim(store, pending)) {
        return;
    }
    note(pending, QStringLiteral("Sending message via SMS."));
    pending.kind = Pending::Kind::Sms;
    pending.ticket = sms_.submit(SmsGateway{config_.cellServer, config_.cellPort,
                                            config_.cellUserName, config_.cellPassword},
                                 mobile, text);
}

void DispatchCycle::reportSms(Pending& pending, const SendResult& result) {
    if (!result.failure.isEmpty()) {
        note(pending, result.failure);
    }
    if (result.delivery == Delivery::Sent) {
        note(pending, QStringLiteral("Message is sent via SMS for Record Id: ") + pending.where);
        pending.setOutcome(Pending::Kind::Claimed, Outcome::kSmsSent, kYes);
    } else if (result.delivery == Delivery::InDoubt) {
        note(pending, QStringLiteral("Message may have been sent via SMS for Record Id: ") +
                          pending.where + QStringLiteral(", so it is not sent again."));
        pending.setOutcome(Pending::Kind::Claimed, Outcome::kInDoubt, kNo);
    } else {
        note(pending,
             QStringLiteral("Message is not sent via SMS for Record Id: ") + pending.where);
        pending.setOutcome(Pending::Kind::Claimed, Outcome::kSmsNotSent, kNo);
    }
}

MailMessage DispatchCycle::mailOf(const TableRow& row, const QString& text) const {
    MailMessage mail;
    mail.to = row.text(Column::EmailTo);
    mail.from = row.text(Column::EmailFrom);
    mail.subject = row.text(Column::EmailSubject);
    mail.cc = row.text(Column::EmailCC);
    mail.bcc = row.text(Column::EmailBCC);
    mail.attachmentPath = MessageTable::prepareAttachmentPath(row.text(Column::EmailAttachment));
    mail.body = text;
    return mail;
}

// The checks before an e-mail goes out; true when one failed and set the row's outcome.
bool DispatchCycle::emailIncomplete(Pending& pending, const MailMessage& mail) {
    if (mail.to.trimmed().isEmpty()) {
        note(pending,
             QStringLiteral("Reciever's email id (EmailTo) is not defined, so no message sent."));
        pending.setOutcome(Pending::Kind::Record, Outcome::kEmailToMissing, kNo);
    } else if (mail.from.trimmed().isEmpty()) {
        note(pending,
             QStringLiteral("Sender's email id (EmailFrom) is not defined, so no message sent."));
        pending.setOutcome(Pending::Kind::Record, Outcome::kEmailFromMissing, kNo);
    } else if (!mail.attachmentPath.isEmpty() && !isOrdinaryFile(mail.attachmentPath)) {
        note(pending, QStringLiteral("Attachment file '") + mail.attachmentPath +
                          QStringLiteral("' does not exist or not found."));
        yield();
        pending.setOutcome(Pending::Kind::Record, Outcome::kAttachmentMissing, kNo);
    } else if (const QString problem =
                   unsendableText(pending.row.value(Column::MessageText), mail.body);
               !problem.isEmpty()) {
        note(pending, errorLine(ErrorNumber::MessageNotText,
                                problem + QStringLiteral(", so no message sent.")));
        note(pending, QStringLiteral("Message is not sent via Email for Record Id: ") +
                          QString::number(pending.id) + QStringLiteral(" to email id : ") +
                          mail.to);
        pending.setOutcome(Pending::Kind::Record, Outcome::kEmailNotSent, kNo);
    } else {
        return false;
    }
    return true;
}

void DispatchCycle::sendEmail(MessageStore& store, Pending& pending, const QString& text) {
    note(pending, QStringLiteral("Message Type is Email."));
    const MailMessage mail = mailOf(pending.row, text);
    if (emailIncomplete(pending, mail) || !claim(store, pending)) {
        return;
    }
    note(pending, QStringLiteral("Sending message via Email."));
    reportEmail(pending, mail,
                email_.sendEmail(mail, SmtpServer{config_.smtpServer, config_.smtpPort,
                                                  config_.smtpUserName, config_.smtpPassword}));
    yield();
}

void DispatchCycle::reportEmail(Pending& pending, const MailMessage& mail,
                                const SendResult& result) {
    const QString id = QString::number(pending.id);
    if (!result.failure.isEmpty()) {
        note(pending, result.failure);
    }
    if (result.delivery == Delivery::NotSent) {
        note(pending, QStringLiteral("Message is not sent via Email for Record Id: ") + id +
                          QStringLiteral(" to email id : ") + mail.to);
        pending.setOutcome(Pending::Kind::Claimed, Outcome::kEmailNotSent, kNo);
        return;
    }
    if (result.delivery == Delivery::InDoubt) {
        note(pending, QStringLiteral("Message may have been sent via Email for Record Id: ") + id +
                          QStringLiteral(" to email id : ") + mail.to +
                          QStringLiteral(", so it is not sent again."));
        pending.setOutcome(Pending::Kind::Claimed, Outcome::kInDoubt, kNo);
        return;
    }
    note(pending,
         QStringLiteral("Message is sent via Email to following Email Address for Record Id: ") +
             id);
    note(pending, QStringLiteral("Email To: ") + mail.to);
    if (!mail.cc.isEmpty()) {
        note(pending, QStringLiteral("Email CC: ") + mail.cc);
    }
    if (!mail.bcc.isEmpty()) {
        note(pending, QStringLiteral("Email BCC: ") + mail.bcc);
    }
    if (!mail.attachmentPath.isEmpty()) {
        note(pending,
             QStringLiteral("File Attached: ") + QFileInfo(mail.attachmentPath).fileName());
    }
    pending.setOutcome(Pending::Kind::Claimed, Outcome::kEmailSent, kYes);
}

// The rows still out were sent (or tried): each is finished as far as it goes, and one whose
// save fails too stays claimed.
void DispatchCycle::finishAfterError(MessageStore* store) {
    while (!pending_.empty() && store != nullptr) {
        try {
            finishRow(*store);
        } catch (const KorvaneError&) {
        }
    }
    pending_.clear();
    endSessions();
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
