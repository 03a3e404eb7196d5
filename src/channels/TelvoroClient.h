#pragma once

#include <QString>
#include <functional>
#include <memory>

namespace korvane {

// The SMS gateway's client: six operations used in this order for one message. Each returns
// whether the gateway accepted the step; transport failures raise KorvaneError.
class TelvoroClient {
public:
    virtual ~TelvoroClient();
    virtual bool Connect(const QString& server, qint32 port) = 0;
    virtual bool Login(const QString& user, const QString& password) = 0;
    virtual bool SetSender(const QString& name) = 0;
    virtual bool SetMobileNumber(const QString& number) = 0;
    virtual bool SetMessage(const QString& text) = 0;
    virtual bool Send() = 0;
};

using TelvoroClientFactory = std::function<std::unique_ptr<TelvoroClient>()>;

}  // namespace korvane
