#include <QAction>
#include <QCheckBox>
#include <QLabel>
#include <QMenu>
#include <QPlainTextEdit>
#include <QPushButton>
#include <QSystemTrayIcon>
#include <QTest>

#include "app/Program.h"
#include "core/ActivityLog.h"
#include "core/RunConfiguration.h"
#include "core/SettingsStore.h"
#include "dispatch/ProcessingControl.h"
#include "support/CycleWait.h"
#include "support/FakeChannels.h"
#include "support/FakeClock.h"
#include "support/FakeTable.h"
#include "support/InlineStore.h"
#include "support/TempProfile.h"
#include "ui/MessageBoxes.h"
#include "ui/fmMain.h"

using namespace korvane;

namespace {

struct Rig {
    test::TempProfile profile;
    test::FakeClock clock{QDateTime(QDate(2026, 12, 6), QTime(9, 0, 0))};
    SettingsStore store;
    RunConfiguration config;
    ActivityLog log{profile.logsDir(), clock};
    test::FakeSms sms;
    test::FakeEmail email;
    test::FakeTable table;  // empty: every cycle finds nothing to send
    MessageBoxes::Answers answers;
    std::unique_ptr<Program> program;
    std::unique_ptr<fmMain> window;

    // shutdownFirst: SIGTERM arrives while the program loads.
    explicit Rig(const QString& runAppOnStartup = QString(), bool shutdownFirst = false) {
        MessageBoxes::setAnswers(&answers);
        store.write(QStringLiteral("DSNSettings"), QStringLiteral("DSNName"),
                    QStringLiteral("Korvane"));
        if (!runAppOnStartup.isEmpty()) {
            store.write(QStringLiteral("Application"), QStringLiteral("RunAppOnStartup"),
                        runAppOnStartup);
        }
        program = std::make_unique<Program>(Services{store, config, log, sms, email, clock}, false);
        program->processing().setStoreFactory(
            [this] { return test::inlineStore<test::FakeStore>(table); });
        window = std::make_unique<fmMain>(*program);
        if (shutdownFirst) {
            program->requestShutdown();
        }
        window->Form_Load();
    }
    ~Rig() {
        window.reset();
        MessageBoxes::setAnswers(nullptr);
    }
    template <typename T>
    T* child(const char* name) const {
        return window->findChild<T*>(QString::fromLatin1(name));
    }
    QAction* action(const char* name) const { return child<QAction>(name); }
    QStringList lines() const { return profile.logLines(QStringLiteral("Log_061226.log")); }
};

}  // namespace

class MainWindowTest : public QObject {
    Q_OBJECT

private Q_SLOTS:
    void loadShowsTheIdleState() {
        Rig rig;
        QCOMPARE(rig.window->windowTitle(), QStringLiteral("Korvane Ver. 1.0.0"));
        QCOMPARE(rig.action("mnuKorvaneTitle")->text(), QStringLiteral("Korvane Ver. 1.0.0"));
        QVERIFY(!rig.action("mnuKorvaneTitle")->isEnabled());
        QVERIFY(rig.child<QPushButton>("cmdStart")->isEnabled());
        QVERIFY(rig.action("mnuStart")->isEnabled());
        QVERIFY(!rig.child<QPushButton>("cmdStop")->isEnabled());
        QVERIFY(!rig.action("mnuStop")->isEnabled());
        QVERIFY(rig.action("mnuConfig")->isEnabled());
        QVERIFY(rig.child<QPushButton>("cmdStart")->isDefault());
        QCOMPARE(rig.child<QLabel>("lblStatus")->text(), QStringLiteral("Idle..."));
        rig.window->flushPane();
        QCOMPARE(rig.child<QPlainTextEdit>("ProcessText")->toPlainText(),
                 QStringLiteral("Application loaded.\nIdle..."));
        QVERIFY(rig.child<QPlainTextEdit>("ProcessText")->isReadOnly());
        QCOMPARE(rig.lines(),
                 (QStringList{QStringLiteral("Application loaded."), QStringLiteral("Idle...")}));
        QVERIFY(!rig.window->processing().isTimer1On());
        QVERIFY(!rig.window->autoStartPending());
        QVERIFY(!rig.child<QCheckBox>("chkRunAppOnStartup")->isChecked());
        QVERIFY(
            !QFile::exists(rig.profile.settingsFile()) ||
            !rig.store.contains(QStringLiteral("Application"), QStringLiteral("RunAppOnStartup")));
    }

    // Asked to end while loading, with the automatic start on: nothing starts.
    void shutdownBeforeTheAutomaticStartStartsNothing() {
        Rig rig(QStringLiteral("1"), true);
        QTest::qWait(0);
        QCoreApplication::processEvents();
        QVERIFY(!rig.window->processing().isStarted());
        QVERIFY(!rig.lines().contains(QStringLiteral("Process Started.")));
        QVERIFY(rig.sms.sent.isEmpty());
    }

    // Asked to end while started: processing stops and the window closes once nothing holds
    // the end; with the configuration window open, once it has closed, and not before.
    void shutdownEndsOnceNothingHoldsIt() {
        Rig started;
        started.window->cmdStart_Click();
        test::untilCycleEnds(started.window->processing());
        started.program->requestShutdown();
        QTRY_VERIFY(!started.window->isVisible());
        QVERIFY(!started.window->processing().isStarted());

        Rig configuring;
        bool closedUnder = true;
        configuring.window->setConfigurationOpener([&] {
            configuring.program->requestShutdown();
            QCoreApplication::processEvents();  // the queued end comes, and waits
            closedUnder = !configuring.window->isVisible();
        });
        configuring.window->mnuConfig_Click();
        QVERIFY(!closedUnder);
        QTRY_VERIFY(!configuring.window->isVisible());
    }

    // A box raised while processing runs (the refused close, a failed setting) returns at
    // once: the cycle and its deadlines go on under it.
    void boxesDuringProcessingDoNotHoldTheCycle() {
        Rig rig;
        MessageBoxes::setAnswers(nullptr);
        rig.window->showMessage(QStringLiteral("Cannot save the setting."));
        QWidget* box = QApplication::activeModalWidget();
        QVERIFY(box != nullptr);
        QVERIFY(box->isVisible());
        box->close();
        MessageBoxes::setAnswers(&rig.answers);
    }

    void paneKeepsTheNewestLines() {
        Rig rig;
        auto* pane = rig.child<QPlainTextEdit>("ProcessText");
        for (int i = 0; i < fmMain::kPaneLines + 50; ++i) {
            rig.window->appendToPane(QStringLiteral("line %1\r\n").arg(i));
        }
        rig.window->flushPane();
        QCOMPARE(pane->blockCount(), fmMain::kPaneLines);
        QVERIFY(
            pane->toPlainText().endsWith(QStringLiteral("line %1").arg(fmMain::kPaneLines + 49)));
        QCOMPARE(pane->textCursor().position(), pane->document()->characterCount() - 1);
        // Tab order: Start, Stop, pane, check box.
        QCOMPARE(rig.child<QPushButton>("cmdStart")->nextInFocusChain(),
                 rig.child<QPushButton>("cmdStop"));
    }

    void startAndStopByButtonMenuAndShortcut() {
        Rig rig;
        QTest::mouseClick(rig.child<QPushButton>("cmdStart"), Qt::LeftButton);
        QVERIFY(rig.window->processing().isStarted());
        QVERIFY(!rig.child<QPushButton>("cmdStart")->isEnabled());
        QVERIFY(!rig.action("mnuConfig")->isEnabled());
        QVERIFY(rig.lines().contains(QStringLiteral("No message exists to be sent.")));
        QCOMPARE(rig.child<QLabel>("lblStatus")->text(), QStringLiteral("Idle..."));

        rig.action("mnuStop")->trigger();
        QVERIFY(!rig.window->processing().isStarted());
        QCOMPARE(rig.lines().mid(rig.lines().size() - 2),
                 (QStringList{QStringLiteral("Process Stopped..."), QStringLiteral("Idle...")}));
        rig.action("mnuStart")->trigger();
        QVERIFY(rig.window->processing().isStarted());
        QTest::mouseClick(rig.child<QPushButton>("cmdStop"), Qt::LeftButton);
        QVERIFY(!rig.window->processing().isStarted());

        // Shortcuts act only while their entry is enabled.
        rig.window->activateWindow();
        QVERIFY(QTest::qWaitForWindowActive(rig.window.get()));
        const int stops = static_cast<int>(rig.lines().count(QStringLiteral("Process Stopped...")));
        QTest::keyClick(rig.window.get(), Qt::Key_T, Qt::ControlModifier);
        QCOMPARE(rig.lines().count(QStringLiteral("Process Stopped...")), stops);
        QTest::keyClick(rig.window.get(), Qt::Key_S, Qt::ControlModifier);
        QVERIFY(rig.window->processing().isStarted());
        int opened = 0;
        rig.window->setConfigurationOpener([&] { ++opened; });
        QTest::keyClick(rig.window.get(), Qt::Key_C, Qt::ControlModifier);
        QCOMPARE(opened, 0);
        QTest::keyClick(rig.window.get(), Qt::Key_T, Qt::ControlModifier);
        QVERIFY(!rig.window->processing().isStarted());
        // Enter presses Start unless the focus is in the pane.
        rig.child<QCheckBox>("chkRunAppOnStartup")->setFocus();
        QTest::keyClick(rig.window.get(), Qt::Key_Return);
        QVERIFY(rig.window->processing().isStarted());
        rig.child<QPushButton>("cmdStop")->setFocus();
        QTest::keyClick(rig.child<QPushButton>("cmdStop"), Qt::Key_Return);
        QVERIFY(!rig.window->processing().isStarted());
        // The keypad's Enter as well.
        rig.child<QCheckBox>("chkRunAppOnStartup")->setFocus();
        QTest::keyClick(rig.window.get(), Qt::Key_Enter, Qt::KeypadModifier);
        QVERIFY(rig.window->processing().isStarted());
        rig.window->cmdStop_Click();
    }

    // Start with a log that cannot be written: one message box, and the window stays idle
    // because nothing runs.
    void startWithoutALogSaysSoAndStaysIdle() {
        Rig rig;
        const QString logs = rig.profile.logsDir();
        QDir(logs).removeRecursively();
        QFile blocker(logs);
        QVERIFY(blocker.open(QIODevice::WriteOnly));
        blocker.close();
        rig.window->cmdStart_Click();
        test::untilCycleEnds(rig.window->processing());
        QCOMPARE(rig.answers.shown.size(), 1);
        QVERIFY2(rig.answers.shown[0].startsWith(QStringLiteral("Error Occurred: 76 --> ")),
                 qPrintable(rig.answers.shown[0]));
        QVERIFY(!rig.window->processing().isStarted());
        QVERIFY(!rig.window->processing().isTimer1On());
        QVERIFY(rig.child<QPushButton>("cmdStart")->isEnabled());
        QVERIFY(!rig.child<QPushButton>("cmdStop")->isEnabled());
        QVERIFY(rig.action("mnuConfig")->isEnabled());
        QVERIFY(rig.window->close());
    }

    // The program carries its icon, whatever links the window library.
    void iconHasSmallAndLargePixmaps() {
        Rig rig;
        for (int size : {16, 32, 256}) {
            QCOMPARE(rig.window->windowIcon().pixmap(size, size).size(), QSize(size, size));
        }
    }

    void closeIsRefusedWhileProcessing() {
        Rig rig;
        rig.window->cmdStart_Click();
        test::untilCycleEnds(rig.window->processing());
        QVERIFY(!rig.window->close());
        QCOMPARE(
            rig.answers.shown,
            QStringList{QStringLiteral("Please Stop the process before closing the application.")});
        QVERIFY(rig.window->isVisible());
        QVERIFY(rig.window->processing().isStarted());
        rig.window->mnuPopExit_Click();
        QCOMPARE(rig.answers.shown.size(), 2);
        QVERIFY(rig.window->isVisible());

        // Exit from the tray while the window is hidden away.
        rig.window->cmdStop_Click();
        rig.window->hide();
        rig.window->mnuPopExit_Click();
        QCOMPARE(rig.lines().last(), QStringLiteral("Application unloaded."));
        QVERIFY(!rig.window->trayIcon()->isVisible());
    }

    void configurationEntryLogsAroundTheWindow() {
        Rig rig;
        QStringList seenWhileOpen;
        rig.window->setConfigurationOpener([&] {
            seenWhileOpen = rig.lines();
            QVERIFY(rig.window->isConfigurationOpen());
            // The tray icon takes no clicks while the modal window is open.
            rig.window->hide();
            Q_EMIT rig.window->trayIcon()->activated(QSystemTrayIcon::Trigger);
            QVERIFY(rig.window->isHidden());
            QVERIFY(rig.window->trayIcon()->contextMenu() == nullptr);
        });
        rig.window->mnuConfig_Click();
        QCOMPARE(seenWhileOpen.last(), QStringLiteral("Loading configuration..."));
        QCOMPARE(rig.lines().mid(2), (QStringList{QStringLiteral("Loading configuration..."),
                                                  QStringLiteral("Idle...")}));
        QVERIFY(!rig.window->isConfigurationOpen());
        Q_EMIT rig.window->trayIcon()->activated(QSystemTrayIcon::DoubleClick);
        QVERIFY(rig.window->isVisible());
        QVERIFY(rig.window->trayIcon()->contextMenu() == rig.window->trayMenu());
    }

    void startupBoxStoresAtOnceWithoutStarting() {
        Rig rig;
        rig.child<QCheckBox>("chkRunAppOnStartup")->click();
        QCOMPARE(
            rig.store.read(QStringLiteral("Application"), QStringLiteral("RunAppOnStartup"), {}),
            QStringLiteral("1"));
        QCOMPARE(rig.config.runAppOnStartup, 1);
        QVERIFY(!rig.window->processing().isStarted());
        rig.child<QCheckBox>("chkRunAppOnStartup")->click();
        QCOMPARE(
            rig.store.read(QStringLiteral("Application"), QStringLiteral("RunAppOnStartup"), {}),
            QStringLiteral("0"));
    }

    void trayEntryFollowsTheWindowAndStatusBlinks() {
        Rig rig;
        QAction* restore = rig.action("mnuPopRestore");
        auto* status = rig.child<QLabel>("lblStatus");
        const bool shown = !status->isHidden();
        rig.window->Timer2_Timer();
        QCOMPARE(restore->text(), QStringLiteral("Mi&nimize"));
        QCOMPARE(!status->isHidden(), !shown);
        rig.window->Timer2_Timer();
        QCOMPARE(!status->isHidden(), shown);
        rig.window->mnuPopRestore_Click();
        QCOMPARE(restore->text(), QStringLiteral("&Restore"));
        QVERIFY(rig.window->isMinimized());
        QCoreApplication::processEvents();
        if (!QSystemTrayIcon::isSystemTrayAvailable()) {
            QVERIFY(rig.window->isVisible());  // without a tray, never lost
        }
        rig.window->Timer2_Timer();
        QCOMPARE(restore->text(), QStringLiteral("&Restore"));
        rig.window->mnuPopRestore_Click();
        QCOMPARE(restore->text(), QStringLiteral("Mi&nimize"));
        QVERIFY(!rig.window->isMinimized());
        QVERIFY(rig.window->isVisible());
        QCOMPARE(rig.window->trayIcon()->toolTip(),
                 QStringLiteral("Korvane\nIdle...\nWaiting: - | Sent today: 0 | Not sent: 0 | "
                                "In doubt: 0"));
        QCOMPARE(rig.window->trayMenu()->actions().size(), 4);
    }

    // Focus starts on Start: a Space right after start-up starts, and stores nothing.
    void firstFocusIsOnStart() {
        Rig rig;
        rig.window->activateWindow();
        QVERIFY(QTest::qWaitForWindowActive(rig.window.get()));
        QCOMPARE(QApplication::focusWidget(), rig.child<QPushButton>("cmdStart"));
        QTest::keyClick(QApplication::focusWidget(), Qt::Key_Space);
        QVERIFY(rig.window->processing().isStarted());
        QVERIFY(!rig.child<QCheckBox>("chkRunAppOnStartup")->isChecked());
        rig.window->cmdStop_Click();
    }

    // After a cycle with each outcome: the rows waiting and today's counts, in the status bar
    // and the tray's tooltip.
    void countsAfterACycle() {
        Rig rig;
        rig.table.rows = {test::FakeTable::sms(1, QStringLiteral("+441")),
                          test::FakeTable::sms(2, QStringLiteral("+442")),
                          test::FakeTable::sms(3, QStringLiteral("+443")),
                          test::FakeTable::sms(4, QStringLiteral("+444"))};
        rig.sms.results[QStringLiteral("+442")] =
            SendResult{Delivery::Refused, QStringLiteral("no")};
        rig.sms.results[QStringLiteral("+443")] =
            SendResult{Delivery::InDoubt, QStringLiteral("?")};
        rig.window->cmdStart_Click();
        test::untilCycleEnds(rig.window->processing());
        rig.window->cmdStop_Click();
        rig.window->Timer2_Timer();
        const QString counts =
            QStringLiteral("Waiting: 0 | Sent today: 2 | Not sent: 1 | In doubt: 1");
        QCOMPARE(rig.child<QLabel>("lblCounts")->text(), counts);
        QVERIFY(rig.window->trayIcon()->toolTip().endsWith(counts));
        // A new day starts from nothing.
        rig.clock.set(rig.clock.now().addDays(1));
        rig.window->Timer2_Timer();
        QCOMPARE(rig.child<QLabel>("lblCounts")->text(),
                 QStringLiteral("Waiting: 0 | Sent today: 0 | Not sent: 0 | In doubt: 0"));
    }

    void automaticStartHappensOnce() {
        Rig rig(QStringLiteral("1"));
        QVERIFY(rig.window->autoStartPending());
        QVERIFY(rig.child<QCheckBox>("chkRunAppOnStartup")->isChecked());
        QTRY_VERIFY(rig.window->processing().isStarted());
        QVERIFY(!rig.window->autoStartPending());
        rig.window->cmdStop_Click();
        QEvent activate(QEvent::WindowActivate);
        QCoreApplication::sendEvent(rig.window.get(), &activate);
        rig.window->mnuPopRestore_Click();
        rig.window->mnuPopRestore_Click();
        QCoreApplication::processEvents();
        QCoreApplication::processEvents();
        QVERIFY(!rig.window->processing().isStarted());
        QCOMPARE(rig.lines().count(QStringLiteral("Starting Process...")), 1);
    }
};

QTEST_MAIN(MainWindowTest)
#include "tst_mainwindow.moc"
