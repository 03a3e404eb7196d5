#pragma once

#include "channels/EmailSender.h"
#include "channels/SmsSender.h"
#include "dispatch/EmailChannel.h"
#include "dispatch/SmsChannel.h"

namespace korvane {

// The senders as the channels that processing and the test actions use; the senders
// themselves know nothing of either.
class SmppChannel : public SmsChannel {
public:
    explicit SmppChannel(SmsSender& sender) : sender_(sender) {}
    QCoro::Task<int> submit(QList<SmsGateway> gateways, QString mobileNumber, QString text,
                            QDateTime validUntil, QString sender) override {
        return sender_.submit(std::move(gateways), std::move(mobileNumber), std::move(text),
                              std::move(validUntil), std::move(sender));
    }
    std::optional<int> submitNow(const QList<SmsGateway>& gateways, const QString& mobileNumber,
                                 const QString& text, const QDateTime& validUntil,
                                 const QString& sender) override {
        return sender_.submitNow(gateways, mobileNumber, text, validUntil, sender);
    }
    QCoro::Task<SendResult> outcome(int ticket) override { return sender_.outcome(ticket); }
    bool isSettled(int ticket) override { return sender_.isSettled(ticket); }
    int room() override { return sender_.room(); }
    QCoro::Task<> endSession() override { return sender_.endSession(); }
    void retryNow() override { sender_.retryNow(); }
    bool unreachable() override { return sender_.unreachable(); }
    void setReceipts(bool wanted) override { sender_.setReceipts(wanted); }
    void setReceiptListener(ReceiptListener* listener) override {
        if (listener == nullptr) {
            sender_.setReceiptListener({}, {});
            return;
        }
        sender_.setReceiptListener(
            [listener](const Receipt& receipt) { listener->receiptArrived(receipt); },
            [listener](const QString& line) { listener->gatewayNotice(line); });
    }
    void setReplyListener(ReplyListener* listener) override {
        sender_.setReplyListener(listener == nullptr ? ReceiptInbox::ReplyListener()
                                                     : [listener](const ReplyPart& part) {
                                                           listener->replyArrived(part);
                                                       });
    }
    void answerReceipt(quint64 token, bool written) override {
        sender_.answerReceipt(token, written);
    }
    QCoro::Task<QString> listen(QList<SmsGateway> gateways) override {
        return sender_.listen(std::move(gateways));
    }

private:
    SmsSender& sender_;
};

class SmtpChannel : public EmailChannel {
public:
    explicit SmtpChannel(EmailSender& sender) : sender_(sender) {}
    QCoro::Task<SendResult> sendEmail(const MailMessage& message,
                                      const QList<SmtpServer>& servers) override {
        return sender_.sendEmail(message, servers);
    }
    void endSession() override { sender_.endSession(); }
    void retryNow() override { sender_.retryNow(); }

private:
    EmailSender& sender_;
};

}  // namespace korvane
