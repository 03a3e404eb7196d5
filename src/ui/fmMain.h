#pragma once

#include <QMainWindow>
#include <QPointer>
#include <QTimer>
#include <functional>
#include <memory>

#include "core/ConfigurationLoader.h"
#include "core/LogView.h"
#include "dispatch/ProcessWindow.h"
#include "ui/LogPane.h"
#include "ui/Services.h"
#include "ui/TrayIcon.h"

class QAction;
class QDialog;
class QCheckBox;
class QLabel;
class QMenu;
class QPlainTextEdit;
class QPushButton;
class QSystemTrayIcon;

namespace korvane {

class ActivityLog;
class Clock;
class EmailChannel;
class ProcessingControl;
class SettingsStore;
class SmsChannel;
class StopDeadline;
struct RunConfiguration;

// The main window: status line, live log pane, Start/Stop, the start-up option, the menu and
// the tray icon. It only shows state and forwards actions; processing lives in
// ProcessingControl.
class fmMain : public QMainWindow, public LogView, public ProcessWindow, public StartupOptionBox {
    Q_OBJECT

public:
    static constexpr int kPaneLines = 10000;
    // New entries reach the pane at most this often.

    explicit fmMain(Services services, QWidget* parent = nullptr);
    ~fmMain() override;

    // The load: caption, idle state, settings, first log lines, shown, tray icon added.
    void Form_Load();

    void cmdStart_Click();
    void cmdStop_Click();
    void mnuConfig_Click();
    void mnuPopRestore_Click() { tray_->mnuPopRestore_Click(); }
    void mnuPopExit_Click() { close(); }
    void Timer2_Timer();

    bool autoStartPending() const { return autoStartPending_; }
    ProcessingControl& processing() { return *control_; }
    QSystemTrayIcon* trayIcon() const { return tray_->icon(); }
    QMenu* trayMenu() const { return tray_->menu(); }
    bool isConfigurationOpen() const { return configurationOpen_; }
    // Tests open their own configuration window here.
    void setConfigurationOpener(std::function<void()> opener) { opener_ = std::move(opener); }
    // Asks for a stop and a close, as a service manager's SIGTERM does.
    void requestShutdown();
    // EX_CONFIG: a service manager that sees it does not start the program again.
    static constexpr int kExitConfiguration = 78;
    // EX_TEMPFAIL: the program had to end while the database did not answer; its thread was
    // left behind, so the program ends without running its destructors.
    static constexpr int kExitDatabaseUnanswered = 75;
    // What the program ends with: 0, kExitConfiguration when it ended headless because
    // nothing could run, or kExitDatabaseUnanswered.
    int exitStatus() const { return exitStatus_; }
    // Running as a service: an invisible window must not wait for a user (the program's
    // start sets it; tests drive the window offscreen as a user would).
    void setHeadless(bool headless) { headless_ = headless; }
    // Set on shutdown: messages in flight get this long, then their sends are abandoned.
    static constexpr int kStopGraceMs = 10000;
    void setStopDeadline(StopDeadline* stop);

    // LogView
    void appendToPane(const QString& entry) override;
    void showMessage(const QString& text) override;
    void yield() override;
    // ProcessWindow
    void setStatusText(const QString& text) override;
    void setProcessingControls(bool processing) override;
    void setConfigurationAvailable(bool available) override;
    // Shows the entries still waiting for the next batch.
    void flushPane();
    void showConfigurationModal() override;
    // StartupOptionBox
    void setRunAppOnStartup(bool checked) override;
    bool runAppOnStartup() const override;

protected:
    void closeEvent(QCloseEvent* event) override;
    void changeEvent(QEvent* event) override;
    bool event(QEvent* event) override;

Q_SIGNALS:
    // lblStatus changed: a service manager's status line follows it.
    void statusTextChanged(const QString& text);
    // The program is on its way out (SIGTERM, the session ending, the window closed).
    void stopping();

private:
    void buildWindow();
    void buildMenu();
    void buildButtons(QWidget* client);
    void maybeAutoStart();
    // Ends a run without a screen in which nothing could ever run, with kExitConfiguration.
    void endHeadless();
    void openConfiguration();
    void logLine(const QString& text);

    Services services_;
    std::unique_ptr<ProcessingControl> control_;
    QLabel* Label1_ = nullptr;
    QLabel* lblStatus_ = nullptr;
    QCheckBox* chkRunAppOnStartup_ = nullptr;
    QPushButton* cmdStart_ = nullptr;
    QPushButton* cmdStop_ = nullptr;
    QPlainTextEdit* ProcessText_ = nullptr;
    QAction* mnuStart_ = nullptr;
    QAction* mnuStop_ = nullptr;
    QAction* mnuConfig_ = nullptr;
    TrayIcon* tray_ = nullptr;
    QTimer Timer2_;
    std::function<void()> opener_;
    QPointer<QDialog> configuration_;
    bool autoStartPending_ = false;
    bool configurationOpen_ = false;
    bool shutdownRequested_ = false;
    bool unloaded_ = false;
    int exitStatus_ = 0;
    LogPane* pane_ = nullptr;
    bool headless_ = false;
    StopDeadline* stop_ = nullptr;
};

}  // namespace korvane
