#pragma once

#include <QByteArray>
#include <QCoro/QCoroTask>
#include <QString>
#include <QtGlobal>

namespace korvane {

// One request for an OAuth 2.0 access token: the refresh-token grant when a refresh token is
// given, the client-credentials grant otherwise.
struct TokenRequest {
    QString url;
    QString clientId;
    QString clientSecret;
    QString refreshToken;
    QString scope;
    QString caFile;  // "": the system's certificates
    long connectTimeoutMs = 30000;
    long totalTimeoutMs = 300000;

    // The form the endpoint reads (application/x-www-form-urlencoded).
    QByteArray body() const;
};

// What came of a request.
struct TokenAnswer {
    enum class Kind {
        Issued,
        Refused,     // the endpoint said no to the client or its grant: for good
        Unreachable  // no answer, a server in trouble, or one that is not an answer: may pass
    };
    Kind kind = Kind::Unreachable;
    QByteArray accessToken;
    qint64 expiresInS = 0;
    QString refreshToken;  // a new one, when the endpoint rotates them
    qint32 number = 0;     // for the log line, with failure
    QString failure;       // "" when issued

    static TokenAnswer failed(Kind kind, qint32 number, const QString& why) {
        TokenAnswer answer;
        answer.kind = kind;
        answer.number = number;
        answer.failure = why;
        return answer;
    }
};

// Reads the endpoint's answer: its token, or its own error and error_description.
TokenAnswer readTokenAnswer(long httpStatus, const QByteArray& body);

// Where access tokens come from; what the mail sender depends on.
class TokenEndpoint {
public:
    virtual ~TokenEndpoint();
    virtual QCoro::Task<TokenAnswer> request(const TokenRequest& request) = 0;
};

}  // namespace korvane
