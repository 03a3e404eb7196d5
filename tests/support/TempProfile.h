#pragma once

#include <QProcessEnvironment>
#include <QTemporaryDir>

namespace korvane::test {

// A settings profile and a Logs folder of their own, so a test never meets the real profile.
class TempProfile {
public:
    TempProfile();
    ~TempProfile();

    QString configHome() const { return dir_.path() + QStringLiteral("/config"); }
    QString settingsFile() const;
    QString logsDir() const { return dir_.path() + QStringLiteral("/Logs"); }
    QString path(const QString& name) const { return dir_.filePath(name); }
    // For the built program run offscreen with this profile and a runtime folder of its own;
    // message boxes are printed instead of shown.
    QProcessEnvironment programEnvironment() const;
    // A copy of the built program that logs into this profile.
    QString installedProgram(const QString& built) const;
    QString programLogsDir() const;
    // Every line of the day's log file with the stamps cut off.
    QStringList logLines(const QString& fileName) const;

private:
    QTemporaryDir dir_;
};

}  // namespace korvane::test
