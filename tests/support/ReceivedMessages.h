#pragma once

#include <QJsonObject>
#include <QList>
#include <QString>

namespace korvane::test {

// What the local SMTP and SMPP servers received, read from the files they write.
class ReceivedMessages {
public:
    // Forgets everything received so far.
    static void clearMail(const QString& storeDir);
    static QList<QJsonObject> mail(const QString& storeDir);
    // Marks the current end of the SMS log; sms() returns what came after it.
    static qint64 smsMark(const QString& storeFile);
    static QList<QJsonObject> sms(const QString& storeFile, qint64 mark);
};

}  // namespace korvane::test
