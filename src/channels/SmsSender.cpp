#include "channels/SmsSender.h"

#include "core/ActivityLog.h"
#include "core/Conversion.h"
#include "core/KorvaneError.h"

namespace korvane {

const char* const SmsSender::kConnectFailed =
    "Cannot connect to Telvoro Server... Please check Telvoro Server address And/Or Port No.";
const char* const SmsSender::kLoginFailed =
    "Cannot connect to Telvoro Server... Please check telvoro User Name And/Or Password.";
const char* const SmsSender::kSenderRefused = "Please check telvoro sender name.";
const char* const SmsSender::kNumberRefused = "Please check mobile number.";
const char* const SmsSender::kMessageRefused = "Please check message.";
const char* const SmsSender::kSendRefused = "Message is not accepted by Telvoro Server.";

SmsSender::SmsSender(ActivityLog& log, TelvoroClientFactory factory)
    : log_(log), factory_(std::move(factory)) {}

Delivery SmsSender::SendSMS(const QString& server, const QString& port, const QString& user,
                            const QString& password, const QString& mobileNumber,
                            const QString& text, bool showMessages) {
    const char* refusal = nullptr;
    try {
        std::unique_ptr<TelvoroClient> client = factory_();
        const qint32 portNumber = toInt32(port);
        if (!client->Connect(server, portNumber)) {
            refusal = kConnectFailed;
        } else if (!client->Login(user, password)) {
            refusal = kLoginFailed;
        } else if (!client->SetSender(user)) {
            refusal = kSenderRefused;
        } else if (!client->SetMobileNumber(mobileNumber)) {
            refusal = kNumberRefused;
        } else if (!client->SetMessage(text)) {
            refusal = kMessageRefused;
        } else if (!client->Send()) {
            // A refused submit is a failure: the message did not go out.
            refusal = kSendRefused;
        }
    } catch (const DeliveryInDoubt& error) {
        log_.WriteLog(errorLine(error), true, showMessages);
        return Delivery::InDoubt;
    } catch (const KorvaneError& error) {
        log_.WriteLog(errorLine(error), true, showMessages);
        return Delivery::NotSent;
    }
    if (refusal != nullptr) {
        log_.WriteLog(QString::fromLatin1(refusal), true, showMessages);
        return Delivery::NotSent;
    }
    return Delivery::Sent;
}

}  // namespace korvane
