#pragma once

#include <QMainWindow>
#include <QPointer>
#include <QTimer>
#include <functional>
#include <memory>

#include "app/Services.h"
#include "core/ConfigurationLoader.h"
#include "core/LogView.h"
#include "dispatch/ProcessView.h"
#include "ui/LogPane.h"
#include "ui/StartupOptionBox.h"
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

class Program;
class fmConfig;
class ProcessingControl;

// The main window: status line, live log pane, Start/Stop, the start-up option, the menu and
// the tray icon. It shows what processing and the log show and drives processing; Program
// builds both and decides how the program ends.
class fmMain : public QMainWindow, public LogView, public ProcessView, public StartupOptionBox {
    Q_OBJECT

public:
    static constexpr int kPaneLines = 10000;
    // New entries reach the pane at most this often.

    explicit fmMain(Program& program, QWidget* parent = nullptr);
    ~fmMain() override;

    // The load: caption, idle state, settings, first log lines, shown, tray icon added.
    void Form_Load();

    void cmdStart_Click();
    void cmdStop_Click();
    void mnuConfig_Click();
    void mnuPopRestore_Click() { tray_->mnuPopRestore_Click(); }
    void mnuPopExit_Click() { close(); }
    void Timer2_Timer();
    // The end the program asked for, once nothing holds it.
    void endAsAsked();
    // The status bar and the tray's tooltip, where their counts changed.
    void showCounts();

    bool autoStartPending() const;
    ProcessingControl& processing();
    QSystemTrayIcon* trayIcon() const { return tray_->icon(); }
    QMenu* trayMenu() const { return tray_->menu(); }
    bool isConfigurationOpen() const { return configurationOpen_; }
    // Tests open their own configuration window here.
    void setConfigurationOpener(std::function<void()> opener) { opener_ = std::move(opener); }

    // LogView
    void appendToPane(const QString& entry) override;
    void showMessage(const QString& text) override;
    // ProcessView
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

private:
    void buildWindow();
    void buildMenu();
    void buildButtons(QWidget* client);
    void buildStatusBar();
    void maybeAutoStart();
    void openConfiguration();
    void logLine(const QString& text);

    Program& program_;
    QLabel* lblCounts_ = nullptr;
    Services services_;
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
    QPointer<fmConfig> configuration_;
    bool configurationOpen_ = false;
    bool loaded_ = false;
    bool unloaded_ = false;
    LogPane* pane_ = nullptr;
};

}  // namespace korvane
