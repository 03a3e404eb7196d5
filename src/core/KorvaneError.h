#pragma once

#include <QString>
#include <QtGlobal>
#include <exception>
#include <string>

namespace korvane {

// Every number an "Error Occurred: N -->" line can carry (the README lists them). Below 1000
// and the two negative ones: the numbers users of the old logs know. From 1000: Korvane's own,
// a range per subsystem.
namespace ErrorNumber {
constexpr qint32 InvalidArgument = 5;  // "Invalid procedure call or argument"
constexpr qint32 Overflow = 6;
constexpr qint32 TypeMismatch = 13;
constexpr qint32 DeviceIo = 57;
constexpr qint32 PermissionDenied = 70;
constexpr qint32 PathFileAccess = 75;
constexpr qint32 PathNotFound = 76;
constexpr qint32 InvalidUseOfNull = 94;
constexpr qint32 ItemNotFound = 3265;
// ADO's generic provider failure (0x80004005): what ODBC failures were reported as.
constexpr qint32 ProviderError = -2147467259;
constexpr qint32 RowNotLocated = -2147217864;
constexpr qint32 GatewayTimeout = 1001;
constexpr qint32 GatewayClosed = 1002;
constexpr qint32 GatewayProtocol = 1003;
constexpr qint32 GatewaySocket = 1004;
constexpr qint32 GatewayThrottled = 1005;
constexpr qint32 GatewayRefused = 1006;
constexpr qint32 GatewayTls = 1007;  // the TLS handshake failed, or its settings cannot be used
constexpr qint32 SmsSenderRefused = 1008;  // a row's own sender cannot be sent
constexpr qint32 InvalidAddress = 2001;
constexpr qint32 AttachmentUnreadable = 2002;
constexpr qint32 MailComposition = 2003;
constexpr qint32 SignInRefused = 2004;     // the token endpoint refused the client or its grant
constexpr qint32 SignInUnreadable = 2005;  // the token endpoint's answer is not a token
constexpr qint32 SignInSettings = 2006;    // the OAuth 2.0 settings cannot make a request
// The mail server or the way to it: 2100 plus libcurl's error code (2107: no connection,
// 2128: timed out, 2155: the connection broke, 2167: the login was refused).
constexpr qint32 kMailTransfer = 2100;
constexpr qint32 mailTransfer(int curlCode) {
    return kMailTransfer + curlCode;
}
constexpr qint32 RecordIdShared = 3001;
constexpr qint32 MessageNotText = 3002;
}  // namespace ErrorNumber

// A failure with a number and a description, raised to the caller whose handler logs it.
class KorvaneError : public std::exception {
public:
    KorvaneError(qint32 number, QString description);

    qint32 number() const { return number_; }
    const QString& description() const { return description_; }
    const char* what() const noexcept override { return what_.c_str(); }

private:
    qint32 number_;
    QString description_;
    std::string what_;
};

// A failure after the message may already have reached the server (written, then no answer;
// a later part of a long SMS refused): sending it again could deliver it twice.
class DeliveryInDoubt : public KorvaneError {
public:
    using KorvaneError::KorvaneError;
};

// A failure that left nothing of the message with the server and may pass: no connection, a
// refused login or bind, a timeout before anything was handed over, a server's "try again
// later". unreachable: the server could not be reached (or would not let Korvane in) at all.
// untouched: the server never had the message in hand (no answer to its data, no refusal of
// it), so another server may be given it.
class PassingFailure : public KorvaneError {
public:
    PassingFailure(qint32 number, const QString& description, bool unreachable,
                   bool untouched = false)
        : KorvaneError(number, description), unreachable_(unreachable), untouched_(untouched) {}
    bool unreachable() const { return unreachable_; }
    bool untouched() const { return untouched_; }

private:
    bool unreachable_;
    bool untouched_;
};

// "Error Occurred: <number> --> <description>", the one form every handler logs.
QString errorLine(qint32 number, const QString& description);
QString errorLine(const KorvaneError& error);

}  // namespace korvane
