#pragma once

#include <QString>
#include <QtGlobal>

namespace korvane {

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
    QString smtpServer;
    QString smtpPort;
    QString smtpUserName;
    QString smtpPassword;
    qint32 runAppOnStartup = 0;
    qint32 dontSendProcessedMsgs = 0;

    // The program's one instance, alive for the whole run.
    static RunConfiguration& instance();
};

}  // namespace korvane
