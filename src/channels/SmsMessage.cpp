#include "channels/SmsMessage.h"

#include <QRandomGenerator>
#include <QStringList>
#include <algorithm>

#include "channels/SmppPdu.h"
#include "channels/SmsEncoding.h"
#include "channels/SubmitPdu.h"
#include "core/KorvaneError.h"

namespace korvane {

using namespace smpp;

bool SmsMessage::has(PartState state) const {
    return count(state) > 0;
}

int SmsMessage::count(PartState state) const {
    return static_cast<int>(std::count_if(
        parts.begin(), parts.end(), [state](const Part& part) { return part.state == state; }));
}

bool SmsMessage::pending() const {
    return !done && (has(PartState::Waiting) || has(PartState::InFlight) || has(PartState::Retry));
}

void SmsMessage::giveUp() {
    for (Part& part : parts) {
        if (part.state == PartState::Waiting || part.state == PartState::Retry) {
            part.state = PartState::Refused;
        }
    }
}

void SmsMessage::failUnwritten(const QString& line) {
    if (!done && (has(PartState::Waiting) || has(PartState::Retry))) {
        giveUp();
        notSentAs = Delivery::Unreachable;
        if (failure.isEmpty()) {
            failure = line;
        }
    }
}

void SmsMessage::sessionLost(const QString& line) {
    if (done) {
        return;
    }
    for (Part& part : parts) {
        if (part.state == PartState::InFlight) {
            part.state = PartState::Lost;
        }
    }
    if (has(PartState::Lost) || has(PartState::Accepted) || has(PartState::Refused)) {
        giveUp();
        if (has(PartState::Lost) && failure.isEmpty()) {
            failure = line;
        }
    } else {
        for (Part& part : parts) {
            part.state = PartState::Waiting;
        }
    }
}

void SmsMessage::settle(const QString& refused) {
    if (done || pending()) {
        return;
    }
    const int total = static_cast<int>(parts.size());
    const int accepted = count(PartState::Accepted);
    const int lost = count(PartState::Lost);
    done = true;
    if (total > 0 && accepted == total) {
        // Every part taken; a message none of whose parts was written never gets here.
        result = SendResult{Delivery::Sent, QString()};
        QStringList ids;
        for (const Part& part : parts) {
            ids << part.id;
        }
        result.gatewayIds = ids.join(QLatin1Char(' ')).trimmed();
    } else if (accepted == 0 && lost == 0) {
        // Nothing of it reached the gateway, or the gateway refused all it got.
        result = SendResult{notSentAs, failure.isEmpty() ? refused : failure};
    } else {
        // Some of it may be with the recipient: sending it again could repeat it.
        const QString why = !failure.isEmpty()
                                ? failure
                                : errorLine(ErrorNumber::GatewayProtocol,
                                            QStringLiteral("Telvoro Server refused part of the "
                                                           "message."));
        result = SendResult{
            Delivery::InDoubt,
            why + QStringLiteral(" %1 of %2 parts accepted; the message may have been sent.")
                      .arg(accepted)
                      .arg(total)};
    }
    QStringList lines = notes;
    if (!via.isEmpty() && !result.notSent()) {
        lines << QStringLiteral("The message went through Telvoro Server %1.").arg(via);
    }
    if (!answer.isEmpty()) {
        lines << answer;
    }
    result.note = lines.join(QLatin1Char('\n'));
}

bool SmsMessage::leave(Part& part, const QString& gateway,
                       const std::function<bool(const QStringList&)>& boundElsewhere) {
    part.state = PartState::Retry;  // nothing of it was taken
    const QStringList without = avoid + QStringList{gateway};
    if (!untouched() || !boundElsewhere(without)) {
        part.state = PartState::InFlight;
        return false;
    }
    avoid = without;
    lane = -1;
    notes << QStringLiteral(
                 "Telvoro Server %1 answered %2: the message goes to another Telvoro "
                 "Server.")
                 .arg(gateway, describeStatus(Status::SystemError));
    return true;
}

void SmsMessage::stranded() {
    notSentAs = Delivery::Passing;
    answer = QStringLiteral("Telvoro Server answered %1.").arg(describeStatus(Status::SystemError));
    giveUp();
}

bool SmsMessage::untouched() const {
    return std::all_of(parts.begin(), parts.end(), [](const Part& part) {
        return part.state == PartState::Waiting || part.state == PartState::Retry;
    });
}

// The message's parts as submit_sm bodies; why it cannot be sent, or "".
QString SmsMessage::build(const QString& accountName, const QString& rowSender,
                          const QString& mobileNumber, const QString& text, bool receipt,
                          const QDateTime& validUntil) {
    SmppAddress sender;
    SmppAddress destination;
    const QString own = rowSender.trimmed();
    if (!parseSender(own.isEmpty() ? accountName : own, sender)) {
        return own.isEmpty()
                   ? QString::fromLatin1(SmsMessage::kSenderRefused)
                   : errorLine(
                         ErrorNumber::SmsSenderRefused,
                         QStringLiteral("The row's sender \"%1\" cannot be sent: a sender is a "
                                        "number of up to 20 digits, or up to 11 letters, "
                                        "digits, spaces and . _ & -.")
                             .arg(own));
    }
    if (!parseNumber(mobileNumber.trimmed(), destination)) {
        return QString::fromLatin1(SmsMessage::kNumberRefused);
    }
    if (text.isEmpty()) {
        return QString::fromLatin1(SmsMessage::kMessageRefused);
    }
    const EncodedSms sms =
        encodeSms(text, static_cast<quint8>(QRandomGenerator::global()->bounded(256)));
    if (sms.parts.empty()) {
        return errorLine(ErrorNumber::GatewayProtocol,
                         QStringLiteral("The message is too long: it needs more than 255 SMS "
                                        "parts."));
    }
    for (const QByteArray& part : sms.parts) {
        parts.emplace_back().body = submitBody(sender, destination, sms, part, receipt, validUntil);
    }
    return QString();
}

}  // namespace korvane
