#pragma once

#include <QDateTime>
#include <QLocale>
#include <QString>
#include <optional>

#include "core/KorvaneError.h"

namespace korvane {

class Clock;
class LogView;

// The daily log file under Logs plus the live pane: every part of Korvane reports here.
// Each entry opens, appends to and closes the day's file, so readers never meet a held handle.
class ActivityLog {
public:
    // CR LF followed by this indent continues an entry on a new, re-stamped line.
    static const QString kContinuation;

    ActivityLog(QString logsDirectory, const Clock& clock, LogView* view = nullptr,
                QLocale locale = QLocale::system());

    // Raises KorvaneError when the folder or the file cannot be written; the message box
    // comes only after file and pane hold the entry. Never turns the event loop.
    void WriteLog(const QString& text, bool toPane, bool showMessageBox);

    // Between a send and its save a log that cannot be written must not stop the save: while
    // failures are held, entries that fail go to standard error only, and the first failure
    // is handed back by releaseFailures().
    void holdFailures();
    // Without a screen the journal is the only reader: every entry also goes to stderr.
    void setEchoToStandardError(bool echo) { echo_ = echo; }
    std::optional<KorvaneError> releaseFailures();

    void setView(LogView* view) { view_ = view; }
    LogView* view() const { return view_; }

    QString stamp(const QDateTime& at) const;
    QString fileNameFor(const QDate& day) const;
    static QString fileEntry(const QString& text, const QString& stampAndSeparator);
    static QString paneEntry(const QString& text);

    // Logs beside the program, or the per-user data folder when the program's folder is
    // read-only (an installed program).
    static QString defaultLogsDirectory();
    static QString logsDirectoryFor(const QString& programDir);

private:
    void writeEntry(const QString& text);
    void appendToFile(const QString& path, const QByteArray& bytes) const;

    QString logsDirectory_;
    const Clock& clock_;
    LogView* view_;
    QLocale locale_;
    // Formatting is cached: many entries share a day and a second.
    QDate fileDay_;
    QString filePath_;
    QDateTime stampSecond_;
    QString stampText_;
    bool holding_ = false;
    bool echo_ = false;
    std::optional<KorvaneError> held_;
};

}  // namespace korvane
