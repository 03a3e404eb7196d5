#include "core/RunConfiguration.h"

namespace korvane {

QList<SmtpServer> RunConfiguration::mailServers() const {
    SmtpServer first{smtpServer, smtpPort, smtpUserName, smtpPassword};
    first.auth = smtpAuth;
    first.tokenUrl = smtpTokenUrl;
    first.clientId = smtpClientId;
    first.clientSecret = smtpClientSecret;
    first.refreshToken = smtpRefreshToken;
    first.scope = smtpScope;
    first.caFile = smtpCaFile;
    if (smtpServer2.trimmed().isEmpty()) {
        return {first};
    }
    const auto own = [](const QString& value, const QString& fallback) {
        return value.isEmpty() ? fallback : value;
    };
    SmtpServer second = first;
    second.server = smtpServer2;
    second.port = own(smtpPort2, smtpPort);
    // The account goes as a whole: a user name of its own never takes the first's password.
    if (!smtpUserName2.isEmpty() || !smtpPassword2.isEmpty()) {
        second.userName = smtpUserName2;
        second.password = smtpPassword2;
    }
    second.auth = own(smtpAuth2, smtpAuth);
    second.tokenUrl = own(smtpTokenUrl2, smtpTokenUrl);
    second.clientId = own(smtpClientId2, smtpClientId);
    second.clientSecret = own(smtpClientSecret2, smtpClientSecret);
    second.refreshToken = own(smtpRefreshToken2, smtpRefreshToken);
    second.scope = own(smtpScope2, smtpScope);
    return {first, second};
}

namespace {
bool isOn(const QString& flag) {
    return flag.trimmed() == QLatin1String("1");
}
}  // namespace

SmsGateway RunConfiguration::smsGateway() const {
    SmsGateway gateway{cellServer, cellPort, cellUserName, cellPassword,
                       submitsPerSecond.toDouble()};
    gateway.tls.on = isOn(cellTls);
    gateway.tls.caFile = cellCaFile.trimmed();
    gateway.tls.certFile = cellCertFile.trimmed();
    gateway.tls.keyFile = cellKeyFile.trimmed();
    gateway.tls.insecure = isOn(cellTlsInsecure);
    bool ok = false;
    const int sessions = cellSessions.trimmed().toInt(&ok);
    gateway.sessions = ok ? std::clamp(sessions, 1, kMostSessions) : 1;
    return gateway;
}

QList<SmsGateway> RunConfiguration::smsGateways() const {
    const SmsGateway first = smsGateway();
    if (cellServer2.trimmed().isEmpty()) {
        return {first};
    }
    SmsGateway second = first;
    second.server = cellServer2;
    second.port = cellPort2.isEmpty() ? cellPort : cellPort2;
    // The account goes as a whole: a user name of its own never takes the first's password.
    if (!cellUserName2.isEmpty() || !cellPassword2.isEmpty()) {
        second.user = cellUserName2;
        second.password = cellPassword2;
    }
    return {first, second};
}

}  // namespace korvane
