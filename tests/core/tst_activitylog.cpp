#include <unistd.h>

#include <QDir>
#include <QFile>
#include <QTest>

#include "core/ActivityLog.h"
#include "core/KorvaneError.h"
#include "support/FakeClock.h"
#include "support/RecordingLogView.h"
#include "support/TempProfile.h"

using namespace korvane;

namespace {
QByteArray readAll(const QString& path) {
    QFile file(path);
    return file.open(QIODevice::ReadOnly) ? file.readAll() : QByteArray();
}
const QLocale kEnglish(QLocale::English, QLocale::UnitedStates);
}  // namespace

class ActivityLogTest : public QObject {
    Q_OBJECT

private Q_SLOTS:
    void entriesHaveTheExactBytes() {
        test::TempProfile profile;
        test::FakeClock clock;  // 05-12-2026 18:01:30
        test::RecordingLogView view;
        ActivityLog log(profile.logsDir(), clock, &view, kEnglish);

        log.WriteLog(QStringLiteral("Idle..."), true, false);
        log.WriteLog(QStringLiteral("\r\n"), true, false);
        log.WriteLog(QString(), true, false);
        log.WriteLog(
            QStringLiteral("first") + ActivityLog::kContinuation + QStringLiteral("second"), true,
            false);
        log.WriteLog(QStringLiteral("bare\r\nbreak"), false, false);

        const QByteArray s = "05-12-2026 06:01:30 PM : ";
        QCOMPARE(s.size(), 25);
        QCOMPARE(readAll(profile.logsDir() + QStringLiteral("/Log_051226.log")),
                 s + "Idle...\r\n" + s + "\r\n\r\n" + s + "\r\n" + s + "first\r\n" + s +
                     "second\r\n" + s + "bare\r\nbreak\r\n");
        QCOMPARE(view.pane, QStringLiteral("Idle...\r\n\r\n\r\n\r\nfirst\r\nsecond\r\n"));
        QVERIFY(view.messages.isEmpty());
    }

    void stampUsesTwelveHourClock() {
        test::FakeClock clock;
        ActivityLog log(QString(), clock, nullptr, kEnglish);
        QCOMPARE(log.stamp(QDateTime(QDate(2026, 1, 2), QTime(0, 5, 9))),
                 QStringLiteral("02-01-2026 12:05:09 AM"));
        QCOMPARE(log.stamp(QDateTime(QDate(2026, 1, 2), QTime(12, 0, 0))),
                 QStringLiteral("02-01-2026 12:00:00 PM"));
        QCOMPARE(log.stamp(QDateTime(QDate(2026, 1, 2), QTime(23, 59, 59))),
                 QStringLiteral("02-01-2026 11:59:59 PM"));
    }

    void messageBoxComesAfterFileAndPane() {
        test::TempProfile profile;
        test::FakeClock clock;
        test::RecordingLogView view;
        ActivityLog log(profile.logsDir(), clock, &view, kEnglish);
        QString fileAtMessage;
        QString paneAtMessage;
        struct Probe : test::RecordingLogView {
            std::function<void(const QString&)> seen;
            void showMessage(const QString& text) override { seen(text); }
        } probe;
        probe.seen = [&](const QString&) {
            fileAtMessage =
                QString::fromUtf8(readAll(profile.logsDir() + QStringLiteral("/Log_051226.log")));
            paneAtMessage = probe.pane;
        };
        log.setView(&probe);
        log.WriteLog(QStringLiteral("Connection is Succeeded."), true, true);
        QVERIFY(fileAtMessage.endsWith(QStringLiteral("Connection is Succeeded.\r\n")));
        QCOMPARE(paneAtMessage, QStringLiteral("Connection is Succeeded.\r\n"));
    }

    void midnightFilesByTheDateReadFirst() {
        test::TempProfile profile;
        test::FakeClock clock(QDateTime(QDate(2026, 12, 5), QTime(23, 59, 59, 999)));
        clock.setStepPerRead(1);  // the stamp is read one millisecond after the file name
        ActivityLog log(profile.logsDir(), clock, nullptr, kEnglish);
        log.WriteLog(QStringLiteral("turn of the day"), true, false);
        log.WriteLog(QStringLiteral("next day"), true, false);
        QCOMPARE(readAll(profile.logsDir() + QStringLiteral("/Log_051226.log")),
                 QByteArray("06-12-2026 12:00:00 AM : turn of the day\r\n"));
        QCOMPARE(readAll(profile.logsDir() + QStringLiteral("/Log_061226.log")),
                 QByteArray("06-12-2026 12:00:00 AM : next day\r\n"));
    }

    void folderProblemsRaiseToTheCaller() {
        test::TempProfile profile;
        test::FakeClock clock;
        test::RecordingLogView view;

        // Missing folder: created on first need, one level only.
        ActivityLog nested(profile.path(QStringLiteral("no/such/Logs")), clock, &view, kEnglish);
        try {
            nested.WriteLog(QStringLiteral("x"), true, false);
            QFAIL("expected an error");
        } catch (const KorvaneError& error) {
            QCOMPARE(error.number(), ErrorNumber::PathNotFound);
        }
        QVERIFY(view.pane.isEmpty());

        // A file named Logs counts as present, so the open fails.
        QFile blocker(profile.logsDir());
        QVERIFY(blocker.open(QIODevice::WriteOnly));
        blocker.close();
        ActivityLog blocked(profile.logsDir(), clock, &view, kEnglish);
        try {
            blocked.WriteLog(QStringLiteral("x"), true, false);
            QFAIL("expected an error");
        } catch (const KorvaneError& error) {
            QCOMPARE(error.number(), ErrorNumber::PathNotFound);
            QVERIFY(error.description().contains(QStringLiteral("Log_051226.log")));
        }

        // A read-only folder.
        if (geteuid() != 0) {
            const QString readOnly = profile.path(QStringLiteral("ro"));
            QDir().mkpath(readOnly + QStringLiteral("/Logs"));
            QFile::setPermissions(readOnly + QStringLiteral("/Logs"),
                                  QFileDevice::ReadOwner | QFileDevice::ExeOwner);
            ActivityLog denied(readOnly + QStringLiteral("/Logs"), clock, &view, kEnglish);
            QVERIFY_THROWS_EXCEPTION(KorvaneError,
                                     denied.WriteLog(QStringLiteral("x"), true, false));
        }
    }

    void logsFolderBesideTheProgramUnlessInstalled() {
        test::TempProfile profile;
        qputenv("XDG_DATA_HOME", profile.path(QStringLiteral("data")).toLocal8Bit());
        const QString perUser = profile.programLogsDir();
        // A build tree: beside the program, also when Logs is a file (the write then raises).
        const QString build = profile.path(QStringLiteral("build"));
        QDir().mkpath(build);
        QCOMPARE(ActivityLog::logsDirectoryFor(build), build + QStringLiteral("/Logs"));
        QFile(build + QStringLiteral("/Logs")).open(QIODevice::WriteOnly);
        QCOMPARE(ActivityLog::logsDirectoryFor(build), build + QStringLiteral("/Logs"));
        // An installed program, or one whose folder cannot be written: the per-user folder.
        const QString bin = profile.path(QStringLiteral("usr/bin"));
        QDir().mkpath(bin);
        QCOMPARE(ActivityLog::logsDirectoryFor(bin), perUser);
        QCOMPARE(ActivityLog::logsDirectoryFor(profile.path(QStringLiteral("missing/folder"))),
                 perUser);
        QVERIFY(QFileInfo(perUser).absoluteDir().exists());
    }
};

QTEST_GUILESS_MAIN(ActivityLogTest)
#include "tst_activitylog.moc"
