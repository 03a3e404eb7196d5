#pragma once

#include <QList>
#include <QString>
#include <QtGlobal>
#include <algorithm>

#include "core/Messages.h"

namespace korvane {

// How the data source is named: a file data source (a .dsn file, dsnPath) or a machine one.
namespace DsnType {
constexpr const char* kFile = "File";
constexpr const char* kSystem = "Sys";
}  // namespace DsnType

// The in-memory copy of every setting that the dispatch cycle and the senders read.
struct RunConfiguration {
    // CellSessions beyond this are taken as this: a provider sells a handful of binds.
    static constexpr int kMostSessions = 16;

    QString dsnPath;
    QString dsnName;
    QString dsnDbUser;
    QString dsnDbPassword;
    QString dsnType;
    QString cellServer;
    QString cellPort;
    QString cellUserName;
    QString cellPassword;
    QString submitsPerSecond;  // the gateway's rate by contract; "0" or "": none
    QString smppReceiptIds;    // how receipts spell ids: "" (as sent, or the one match), "hex"...
    QString cellTls;           // "1": TLS; anything else: plain TCP
    QString cellCaFile;
    QString cellCertFile;
    QString cellKeyFile;
    QString cellTlsInsecure;  // "1": a certificate that does not verify is taken
    QString cellSessions;     // sessions kept bound to each gateway; "": 1
    // The gateway kept bound beside the first; "": none. Its account is the first's unless
    // it names its own.
    QString cellServer2;
    QString cellPort2;
    QString cellUserName2;
    QString cellPassword2;
    QString smtpServer;
    QString smtpPort;
    QString smtpUserName;
    QString smtpPassword;
    QString smtpAuth;  // "password" or "oauth2"
    QString smtpTokenUrl;
    QString smtpClientId;
    QString smtpClientSecret;
    QString smtpRefreshToken;
    QString smtpScope;
    QString smtpCaFile;
    // The mail server tried when the first certainly took nothing of a mail; "": none. Each
    // empty key but the server's takes the first server's value.
    QString smtpServer2;
    QString smtpPort2;
    QString smtpUserName2;
    QString smtpPassword2;
    QString smtpAuth2;
    QString smtpTokenUrl2;
    QString smtpClientId2;
    QString smtpClientSecret2;
    QString smtpRefreshToken2;
    QString smtpScope2;
    qint32 runAppOnStartup = 0;
    qint32 dontSendProcessedMsgs = 0;
    QString maxAttempts;  // with the retry columns: attempts before a row fails for good

    // The .dsn file to open, when the data source is a file one.
    QString fileDsnPath() const {
        return dsnType == QLatin1String(DsnType::kFile) ? dsnPath : QString();
    }

    // The first gateway.
    // A file data source whose path was lost (the picker cancelled): the box still shows its
    // name, so a failed connection says why.
    bool fileDsnPathLost() const {
        return dsnType == QLatin1String(DsnType::kFile) && dsnPath.trimmed().isEmpty();
    }
    static constexpr const char* kFileDsnPathLost =
        " The data source's file path is empty: choose it again with the ... button.";

    SmsGateway smsGateway() const;
    // The gateways kept bound: the first, and the second when set.
    QList<SmsGateway> smsGateways() const;

    // The mail servers in the order they are tried: the first, and the second when set.
    QList<SmtpServer> mailServers() const;

    // MaxAttempts as a number: 5 when it is none, at least 1.
    int attemptsAllowed() const {
        bool ok = false;
        const int attempts = maxAttempts.trimmed().toInt(&ok);
        return ok ? std::max(1, attempts) : 5;
    }
};

}  // namespace korvane
