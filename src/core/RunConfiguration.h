#pragma once

#include <QString>
#include <QtGlobal>

#include "core/Messages.h"

namespace korvane {

// How the data source is named: a file data source (a .dsn file, dsnPath) or a machine one.
namespace DsnType {
constexpr const char* kFile = "File";
constexpr const char* kSystem = "Sys";
}  // namespace DsnType

// The in-memory copy of every setting that the dispatch cycle and the senders read.
struct RunConfiguration {
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
    QString smtpServer;
    QString smtpPort;
    QString smtpUserName;
    QString smtpPassword;
    qint32 runAppOnStartup = 0;
    qint32 dontSendProcessedMsgs = 0;
    qint32 maxAttempts = 5;  // with the retry columns: attempts before a row fails for good

    // The .dsn file to open, when the data source is a file one.
    QString fileDsnPath() const {
        return dsnType == QLatin1String(DsnType::kFile) ? dsnPath : QString();
    }

    SmsGateway smsGateway() const {
        return SmsGateway{cellServer, cellPort, cellUserName, cellPassword,
                          submitsPerSecond.toDouble()};
    }

    // The program's one instance, alive for the whole run.
    static RunConfiguration& instance();
};

}  // namespace korvane
