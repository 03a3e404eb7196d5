#pragma once

#include <QStringList>
#include <algorithm>
#include <functional>
#include <map>

#include "dispatch/EmailChannel.h"
#include "dispatch/SmsChannel.h"

namespace korvane::test {

// Channels that answer by destination (sent unless told otherwise) and remember what they
// were asked to send; onSend runs as each message is handed over.
class FakeSms : public SmsChannel {
public:
    QCoro::Task<int> submit(QList<SmsGateway>, QString number, QString text, QDateTime until,
                            QString sender) override {
        co_return take(number, text, until, sender);
    }
    std::optional<int> submitNow(const QList<SmsGateway>&, const QString& number,
                                 const QString& text, const QDateTime& until,
                                 const QString& sender) override {
        return take(number, text, until, sender);
    }
    QCoro::Task<SendResult> outcome(int ticket) override {
        ++outcomes;
        auto it = results.find(numbers.at(ticket - 1));
        co_return it != results.end() ? it->second : result;
    }
    bool isSettled(int) override { return settleAtOnce; }
    // The room left by what was handed over and not yet waited for.
    int room() override { return std::max(0, window - int(sent.size()) + outcomes); }
    QCoro::Task<> endSession() override {
        ++sessionsEnded;
        co_return;
    }
    bool unreachable() override { return down; }
    QStringList sent;
    bool down = false;            // a bind failed lately
    QList<QDateTime> validUntil;  // each submit's
    QStringList senders;          // each submit's own sender
    SendResult result{Delivery::Sent, QString()};
    std::map<QString, SendResult> results;
    std::function<void(const QString&)> onSend;
    bool settleAtOnce = true;  // false: an outcome is known only once it is waited for
    int window = 1000;
    int outcomes = 0;
    int sessionsEnded = 0;

private:
    int take(const QString& number, const QString& text, const QDateTime& until,
             const QString& sender) {
        validUntil << until;
        senders << sender;
        sent << number + QLatin1Char(':') + text;
        numbers << number;
        if (onSend) {
            onSend(number);
        }
        return static_cast<int>(sent.size());
    }

    QStringList numbers;
};

class FakeEmail : public EmailChannel {
public:
    QCoro::Task<SendResult> sendEmail(const MailMessage& message,
                                      const QList<SmtpServer>&) override {
        sent << message.to + QLatin1Char(':') + message.subject;
        if (onSend) {
            onSend(message.to);
        }
        auto it = results.find(message.to);
        co_return it != results.end() ? it->second : result;
    }
    void endSession() override {}
    QStringList sent;
    SendResult result{Delivery::Sent, QString()};
    std::map<QString, SendResult> results;
    std::function<void(const QString&)> onSend;
};

}  // namespace korvane::test
