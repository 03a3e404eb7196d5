#include "channels/TokenEndpoint.h"

#include <QJsonDocument>
#include <QJsonObject>
#include <QUrl>

#include "core/KorvaneError.h"

namespace korvane {

TokenEndpoint::~TokenEndpoint() = default;

namespace {
QByteArray field(const char* name, const QString& value) {
    return QByteArray(name) + '=' + QUrl::toPercentEncoding(value);
}

// The endpoint's words, kept to one line of reasonable length: they go into the log.
QString quoted(const QJsonValue& value) {
    QString text = value.toString().simplified();
    if (text.size() > 300) {
        text = text.left(300) + QStringLiteral("...");
    }
    return text;
}

// Errors that say the client or its grant will not do: the same request never succeeds.
bool isVerdict(const QString& error) {
    return error != QLatin1String("temporarily_unavailable") &&
           error != QLatin1String("server_error") && error != QLatin1String("slow_down");
}
}  // namespace

QByteArray TokenRequest::body() const {
    QByteArrayList fields;
    if (refreshToken.isEmpty()) {
        fields << "grant_type=client_credentials";
    } else {
        fields << "grant_type=refresh_token" << field("refresh_token", refreshToken);
    }
    fields << field("client_id", clientId);
    if (!clientSecret.isEmpty()) {
        fields << field("client_secret", clientSecret);
    }
    if (!scope.isEmpty()) {
        fields << field("scope", scope);
    }
    return fields.join('&');
}

TokenAnswer readTokenAnswer(long httpStatus, const QByteArray& body) {
    using Kind = TokenAnswer::Kind;
    QJsonParseError parse{};
    const QJsonObject answer = QJsonDocument::fromJson(body, &parse).object();
    const QString error = answer.value(QLatin1String("error")).toString();
    if (!error.isEmpty()) {
        const QString description = quoted(answer.value(QLatin1String("error_description")));
        const QString words =
            quoted(answer.value(QLatin1String("error"))) +
            (description.isEmpty() ? QString() : QStringLiteral(" (%1)").arg(description));
        const bool verdict = httpStatus < 500 && isVerdict(error);
        return TokenAnswer::failed(
            verdict ? Kind::Refused : Kind::Unreachable, ErrorNumber::SignInRefused,
            QStringLiteral("The sign-in service refused Korvane's request: %1").arg(words));
    }
    if (httpStatus != 200) {
        // A refusal without the endpoint's own words: 4xx is a verdict, anything else may pass.
        const bool verdict = httpStatus >= 400 && httpStatus < 500 && httpStatus != 429;
        return TokenAnswer::failed(
            verdict ? Kind::Refused : Kind::Unreachable, ErrorNumber::SignInRefused,
            QStringLiteral("The sign-in service answered HTTP %1 without a token.")
                .arg(httpStatus));
    }
    const QString token = answer.value(QLatin1String("access_token")).toString();
    if (token.isEmpty() || parse.error != QJsonParseError::NoError) {
        return TokenAnswer::failed(Kind::Unreachable, ErrorNumber::SignInUnreadable,
                                   QStringLiteral("The sign-in service's answer holds no access "
                                                  "token."));
    }
    TokenAnswer issued;
    issued.kind = Kind::Issued;
    issued.accessToken = token.toUtf8();
    // Some endpoints send the number as text.
    const QJsonValue expires = answer.value(QLatin1String("expires_in"));
    issued.expiresInS =
        expires.isString() ? expires.toString().toLongLong() : qint64(expires.toDouble());
    issued.refreshToken = answer.value(QLatin1String("refresh_token")).toString();
    return issued;
}

}  // namespace korvane
