#pragma once

#include <QByteArray>
#include <QTcpSocket>

#include "channels/SmppPdu.h"
#include "channels/TelvoroClient.h"
#include "core/KorvaneError.h"

namespace korvane {

// TelvoroClient over SMPP 3.4 as a transmitter: bind_transmitter, submit_sm (one per part of
// a long text), unbind. Blocking calls with timeouts; the socket is closed on every path.
struct SmppTimeouts {
    int connectMs = 15000;
    int responseMs = 30000;
};

class SmppTelvoroClient : public TelvoroClient {
public:
    using Timeouts = SmppTimeouts;

    SmppTelvoroClient();
    explicit SmppTelvoroClient(Timeouts timeouts);
    ~SmppTelvoroClient() override;

    bool Connect(const QString& server, qint32 port) override;
    bool Login(const QString& user, const QString& password) override;
    bool SetSender(const QString& name) override;
    bool SetMobileNumber(const QString& number) override;
    bool SetMessage(const QString& text) override;
    bool Send() override;

    static TelvoroClientFactory factory(SmppTimeouts timeouts = SmppTimeouts());

private:
    struct Address {
        quint8 ton = 0;
        quint8 npi = 0;
        QByteArray digits;
    };
    static bool parseNumber(const QString& text, Address& address);

    // A generic_nack for the request raises, unless nackAnswers: then it is returned.
    smpp::Pdu request(quint32 commandId, const QByteArray& body, quint32 expectedResponse,
                      bool nackAnswers = false);
    smpp::Pdu nextPdu(int timeoutMs);
    void sendRaw(const QByteArray& bytes);
    void unbindAndClose();
    template <typename Error = KorvaneError>
    [[noreturn]] void fail(qint32 number, const QString& description);

    Timeouts timeouts_;
    QTcpSocket socket_;
    QByteArray buffer_;
    quint32 sequence_ = 0;
    bool bound_ = false;
    bool written_ = false;  // the request in hand reached the socket
    Address sender_;
    Address destination_;
    QString message_;
    bool haveSender_ = false;
    bool haveDestination_ = false;
};

}  // namespace korvane
