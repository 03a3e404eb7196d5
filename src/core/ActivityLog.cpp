#include "core/ActivityLog.h"

#include <QCoreApplication>
#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QStandardPaths>
#include <cstdio>

#include "core/Clock.h"
#include "core/KorvaneError.h"
#include "core/LogView.h"
#include "core/SettingsStore.h"

namespace korvane {

namespace {
const QString kCrLf = QStringLiteral("\r\n");
const QString kSeparator = QStringLiteral(" : ");
}  // namespace

const QString ActivityLog::kContinuation = QStringLiteral("\r\n") + QString(25, QLatin1Char(' '));

ActivityLog::ActivityLog(QString logsDirectory, const Clock& clock, LogView* view, QLocale locale)
    : logsDirectory_(std::move(logsDirectory)), clock_(clock), view_(view), locale_(locale) {}

QString ActivityLog::stamp(const QDateTime& at) const {
    const QTime time = at.time();
    int hour12 = time.hour() % 12;
    if (hour12 == 0) {
        hour12 = 12;
    }
    const QString designator = time.hour() < 12 ? locale_.amText() : locale_.pmText();
    QString result = at.date().toString(QStringLiteral("dd-MM-yyyy")) + QLatin1Char(' ') +
                     QStringLiteral("%1:%2:%3")
                         .arg(hour12, 2, 10, QLatin1Char('0'))
                         .arg(time.minute(), 2, 10, QLatin1Char('0'))
                         .arg(time.second(), 2, 10, QLatin1Char('0'));
    if (!designator.isEmpty()) {
        result += QLatin1Char(' ') + designator;
    }
    return result;
}

QString ActivityLog::fileNameFor(const QDate& day) const {
    return logsDirectory_ + QStringLiteral("/Log_") + day.toString(QStringLiteral("ddMMyy")) +
           QStringLiteral(".log");
}

QString ActivityLog::fileEntry(const QString& text, const QString& stampAndSeparator) {
    QString body = text;
    body.replace(kContinuation, kCrLf + stampAndSeparator);
    return stampAndSeparator + body + kCrLf;
}

QString ActivityLog::paneEntry(const QString& text) {
    QString body = text;
    body.replace(kContinuation, kCrLf);
    return body + kCrLf;
}

void ActivityLog::WriteLog(const QString& text, bool toPane, bool showMessageBox) {
    try {
        writeEntry(text);
        if (echo_ && !text.trimmed().isEmpty()) {
            std::fprintf(stderr, "korvane: %s\n", qPrintable(text.trimmed()));
        }
    } catch (const KorvaneError& error) {
        // The entry must not vanish with the file: the journal or the terminal keeps it.
        std::fprintf(stderr, "korvane: %s [not logged: %s]\n", qPrintable(text.trimmed()),
                     error.what());
        if (!holding_) {
            throw;
        }
        if (!held_) {
            held_ = error;
        }
    }
    if (toPane && view_ != nullptr) {
        view_->appendToPane(paneEntry(text));
    }
    if (showMessageBox && view_ != nullptr) {
        view_->showMessage(text);
    }
}

void ActivityLog::holdFailures() {
    holding_ = true;
}

std::optional<KorvaneError> ActivityLog::releaseFailures() {
    holding_ = false;
    std::optional<KorvaneError> first;
    first.swap(held_);
    return first;
}

void ActivityLog::writeEntry(const QString& text) {
    // Anything at the path, even a file, counts as the folder: a file then fails the open.
    if (!QFileInfo::exists(logsDirectory_) && !QDir().mkdir(logsDirectory_)) {
        throw KorvaneError(ErrorNumber::PathNotFound,
                           QStringLiteral("Path not found: ") + logsDirectory_);
    }
    // The file is chosen by the date read first; the stamp is read afterwards, as one entry
    // written at midnight may carry the next day's stamp in the previous day's file.
    const QDate day = clock_.now().date();
    if (day != fileDay_) {
        fileDay_ = day;
        filePath_ = fileNameFor(day);
    }
    const QDateTime at = clock_.now();
    const QDateTime second = at.addMSecs(-at.time().msec());
    if (second != stampSecond_) {
        stampSecond_ = second;
        stampText_ = stamp(at) + kSeparator;
    }
    const QString& path = filePath_;
    const QString& stampText = stampText_;
    appendToFile(path, fileEntry(text, stampText).toUtf8());
}

void ActivityLog::appendToFile(const QString& path, const QByteArray& bytes) const {
    QFile file(path);
    if (!file.open(QIODevice::WriteOnly | QIODevice::Append)) {
        const bool folderMissing = !QFileInfo(logsDirectory_).isDir();
        const qint32 number = folderMissing ? ErrorNumber::PathNotFound
                              : file.error() == QFileDevice::PermissionsError
                                  ? ErrorNumber::PermissionDenied
                                  : ErrorNumber::PathFileAccess;
        throw KorvaneError(number, (folderMissing ? QStringLiteral("Path not found: ")
                                    : number == ErrorNumber::PermissionDenied
                                        ? QStringLiteral("Permission denied: ")
                                        : QStringLiteral("Path/File access error: ")) +
                                       path + QStringLiteral(" (") + file.errorString() +
                                       QLatin1Char(')'));
    }
    if (file.write(bytes) != bytes.size() || !file.flush()) {
        throw KorvaneError(ErrorNumber::DeviceIo, QStringLiteral("Device I/O error: ") + path +
                                                      QStringLiteral(" (") + file.errorString() +
                                                      QLatin1Char(')'));
    }
    file.close();
}

QString ActivityLog::defaultLogsDirectory() {
    return logsDirectoryFor(QCoreApplication::applicationDirPath());
}

QString ActivityLog::logsDirectoryFor(const QString& programDir) {
    const QString besideProgram = programDir + QStringLiteral("/Logs");
    const QFileInfo existing(besideProgram);
    // An installed program (in a bin folder) is shared by its users: each logs to their own.
    const bool installed = QFileInfo(programDir).fileName() == QStringLiteral("bin");
    if (!installed && (existing.exists() ? existing.isWritable() || !existing.isDir()
                                         : QFileInfo(programDir).isWritable())) {
        return besideProgram;
    }
    const QString dataHome = QStandardPaths::writableLocation(QStandardPaths::GenericDataLocation);
    const QString perUser = dataHome + QLatin1Char('/') + SettingsStore::kApplicationName;
    QDir().mkpath(perUser);
    return perUser + QStringLiteral("/Logs");
}

}  // namespace korvane
