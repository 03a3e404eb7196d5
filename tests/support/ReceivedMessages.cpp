#include "support/ReceivedMessages.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QJsonDocument>

namespace korvane::test {

void ReceivedMessages::clearMail(const QString& storeDir) {
    QDir dir(storeDir);
    for (const QString& name : dir.entryList(QDir::Files)) {
        dir.remove(name);
    }
}

QList<QJsonObject> ReceivedMessages::mail(const QString& storeDir) {
    QList<QJsonObject> result;
    QDir dir(storeDir);
    for (const QString& name : dir.entryList({QStringLiteral("*.json")}, QDir::Files, QDir::Name)) {
        QFile file(dir.filePath(name));
        if (file.open(QIODevice::ReadOnly)) {
            result << QJsonDocument::fromJson(file.readAll()).object();
        }
    }
    return result;
}

qint64 ReceivedMessages::smsMark(const QString& storeFile) {
    return QFileInfo(storeFile).exists() ? QFileInfo(storeFile).size() : 0;
}

QList<QJsonObject> ReceivedMessages::sms(const QString& storeFile, qint64 mark) {
    QList<QJsonObject> result;
    QFile file(storeFile);
    if (!file.open(QIODevice::ReadOnly) || !file.seek(mark)) {
        return result;
    }
    for (const QByteArray& line : file.readAll().split('\n')) {
        if (!line.trimmed().isEmpty()) {
            result << QJsonDocument::fromJson(line).object();
        }
    }
    return result;
}

}  // namespace korvane::test
