#pragma once

#include <QDeadlineTimer>
#include <QString>
#include <map>
#include <memory>
#include <vector>

#include "channels/SmppSession.h"
#include "core/Messages.h"

namespace korvane {

class StopDeadline;

// SMS over one SMPP transmitter session, bound at the first message and kept until
// endSession(), with up to a window of submit_sm in flight. A long text goes out as several
// parts; the message is sent only when every part was accepted.
class SmsSender {
public:
    static constexpr int kDefaultWindow = 10;
    // How long a throttled message keeps being offered again before it counts as not sent.
    static constexpr int kThrottleLimitMs = 60000;

    explicit SmsSender(SmppTimeouts timeouts = SmppTimeouts(), const StopDeadline* stop = nullptr,
                       int window = kDefaultWindow);
    ~SmsSender();

    // Hands one message over and returns its ticket; waits only to connect and bind (once per
    // session) and for room in the window.
    int submit(const SmsGateway& gateway, const QString& mobileNumber, const QString& text);
    // Waits for the message's outcome; the failure line is for the caller to log.
    SendResult outcome(int ticket);
    // Waits for what is in flight, then unbinds; the next submit binds again.
    void endSession();
    SendResult send(const SmsGateway& gateway, const QString& mobileNumber, const QString& text) {
        return outcome(submit(gateway, mobileNumber, text));
    }

    static const char* const kConnectFailed;
    static const char* const kLoginFailed;
    static const char* const kSenderRefused;
    static const char* const kNumberRefused;
    static const char* const kMessageRefused;
    static const char* const kSendRefused;

private:
    struct Part {
        QByteArray body;
        quint32 sequence = 0;
        bool unwritten = true;  // waiting for room in the window
        bool inFlight = false;  // written, not answered
        bool accepted = false;
        bool refused = false;
        bool lost = false;  // written, and the session ended before an answer
        int throttled = 0;
        QDeadlineTimer due;      // answer expected by
        QDeadlineTimer retryAt;  // a throttled part is offered again at
    };
    struct Message {
        std::vector<Part> parts;
        QDeadlineTimer throttleLimit;
        bool done = false;
        SendResult result;
    };

    QString openSession(const SmsGateway& gateway);
    void pump();
    void writePart(Part& part);
    void loseSession(qint32 number, const QString& description);
    void settle(Message& message);
    int inFlight() const;
    QDeadlineTimer nextWake() const;

    SmppTimeouts timeouts_;
    const StopDeadline* stop_;
    int maxWindow_;
    int window_;
    std::unique_ptr<SmppSession> session_;
    SmsGateway boundTo_;
    std::map<int, Message> messages_;
    int nextTicket_ = 1;
};

}  // namespace korvane
