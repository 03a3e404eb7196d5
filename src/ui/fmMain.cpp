#include "ui/fmMain.h"

#include <QApplication>
#include <QCheckBox>
#include <QCloseEvent>
#include <QKeyEvent>
#include <QLabel>
#include <QMenu>
#include <QMenuBar>
#include <QPlainTextEdit>
#include <QPushButton>
#include <QSignalBlocker>
#include <QStatusBar>
#include <QSystemTrayIcon>

#include "Version.h"
#include "app/Program.h"
#include "core/ActivityLog.h"
#include "core/Guarded.h"
#include "core/KorvaneError.h"
#include "core/RunConfiguration.h"
#include "core/SettingsStore.h"
#include "dispatch/ProcessingControl.h"
#include "ui/DesktopSession.h"
#include "ui/Look.h"
#include "ui/MessageBoxes.h"
#include "ui/fmConfig.h"

namespace korvane {

using look::place;

fmMain::fmMain(Program& program, QWidget* parent)
    : QMainWindow(parent), program_(program), services_(program.services()) {
    setObjectName(QStringLiteral("fmMain"));
    buildWindow();
    tray_ = new TrayIcon(this);
    services_.log.setView(this);
    Timer2_.setObjectName(QStringLiteral("Timer2"));
    Timer2_.setInterval(200);
    connect(&Timer2_, &QTimer::timeout, this, &fmMain::Timer2_Timer);
    watchDesktopSession(
        this, [this] { return processing().isStarted(); },
        [this] {
            if (!unloaded_) {
                unloaded_ = true;
                guarded([this] { logLine(QStringLiteral("Application unloaded.")); });
                tray_->hide();
            }
        });
    program_.attach(*this);
    // Headless, nobody would ever close it: it closes (and saves) as on any close.
    connect(&program_, &Program::stopping, this, [this] {
        if (configuration_ != nullptr) {
            configuration_->closeWhenIdle();
        }
    });
    // Queued: the end comes from the event loop, never from inside the frame that asked.
    connect(&program_, &Program::readyToEnd, this, &fmMain::endAsAsked, Qt::QueuedConnection);
}

void fmMain::endAsAsked() {
    if (!loaded_ || configurationOpen_ || processing().isCycleRunning()) {
        return;  // asked again once the load, the configuration window or the cycle is done
    }
    if (processing().isStarted()) {
        cmdStop_Click();
    }
    close();
}

ProcessingControl& fmMain::processing() {
    return program_.processing();
}

fmMain::~fmMain() {
    program_.detach();
    if (services_.log.view() == this) {
        services_.log.setView(nullptr);
    }
}

void fmMain::buildWindow() {
    setWindowFlags(Qt::Window | Qt::WindowTitleHint | Qt::WindowSystemMenuHint |
                   Qt::WindowMinimizeButtonHint | Qt::WindowCloseButtonHint);
    setWindowTitle(QStringLiteral("Message Sender"));
    setWindowIcon(look::appIcon());
    setFont(look::verdana(9.75));

    auto* client = new QWidget(this);
    client->setObjectName(QStringLiteral("client"));
    client->setFixedSize(look::px(10185), look::px(5535));
    look::setFace(client);
    setCentralWidget(client);

    Label1_ = new QLabel(QStringLiteral("Current Status:"), client);
    Label1_->setObjectName(QStringLiteral("Label1"));
    place(Label1_, 60, 120, 1515, 195);
    Label1_->setFont(look::verdana(9, true));
    look::setTextColor(Label1_, look::kPlum);

    lblStatus_ = new QLabel(QStringLiteral("Idle..."), client);
    lblStatus_->setObjectName(QStringLiteral("lblStatus"));
    place(lblStatus_, 1620, 120, 570, 210);
    lblStatus_->setFont(look::verdana(9, true));
    look::setTextColor(lblStatus_, look::kBlue);
    lblStatus_->adjustSize();

    chkRunAppOnStartup_ = new QCheckBox(QStringLiteral("&Run Application On Startup"), client);
    chkRunAppOnStartup_->setObjectName(QStringLiteral("chkRunAppOnStartup"));
    place(chkRunAppOnStartup_, 3720, 120, 3015, 255);
    chkRunAppOnStartup_->setFont(look::verdana(9, true));
    look::setTextColor(chkRunAppOnStartup_, look::kPlum);
    connect(chkRunAppOnStartup_, &QCheckBox::toggled, this, [this](bool checked) {
        reportFailure(services_.log, [&] {
            storeFlag(services_.store, services_.config, &RunConfiguration::runAppOnStartup,
                      checked);
        });
    });

    buildButtons(client);
    ProcessText_ = new QPlainTextEdit(client);
    ProcessText_->setObjectName(QStringLiteral("ProcessText"));
    place(ProcessText_, 0, 480, 10190, 5060);
    ProcessText_->setReadOnly(true);
    pane_ = new LogPane(ProcessText_, kPaneLines);
    ProcessText_->setFont(look::verdana(9.75));
    ProcessText_->setTextInteractionFlags(Qt::TextSelectableByMouse | Qt::TextSelectableByKeyboard);

    setTabOrder(cmdStart_, cmdStop_);
    setTabOrder(cmdStop_, ProcessText_);
    setTabOrder(ProcessText_, chkRunAppOnStartup_);

    buildMenu();
    buildStatusBar();
    adjustSize();
    setFixedSize(sizeHint());
    // A Space pressed right after start-up presses Start, not the start-up box.
    cmdStart_->setFocus();
}

// Under the design's controls: the counts the service's status line and /metrics know.
void fmMain::buildStatusBar() {
    lblCounts_ = new QLabel(this);
    lblCounts_->setObjectName(QStringLiteral("lblCounts"));
    statusBar()->addWidget(lblCounts_, 1);
    statusBar()->setSizeGripEnabled(false);
}

void fmMain::buildButtons(QWidget* client) {
    cmdStart_ = new QPushButton(QStringLiteral("&Start"), client);
    cmdStart_->setObjectName(QStringLiteral("cmdStart"));
    place(cmdStart_, 6900, 60, 1575, 375);
    cmdStart_->setFont(look::verdana(9.75, true));
    cmdStart_->setDefault(true);
    connect(cmdStart_, &QPushButton::clicked, this, &fmMain::cmdStart_Click);

    cmdStop_ = new QPushButton(QStringLiteral("S&top"), client);
    cmdStop_->setObjectName(QStringLiteral("cmdStop"));
    place(cmdStop_, 8580, 60, 1575, 375);
    cmdStop_->setFont(look::verdana(9.75, true));
    cmdStop_->setAutoDefault(true);  // Enter on the focused Stop button presses Stop
    connect(cmdStop_, &QPushButton::clicked, this, &fmMain::cmdStop_Click);
}

void fmMain::buildMenu() {
    QMenu* mnuMain = menuBar()->addMenu(QStringLiteral("&Main"));
    mnuMain->setObjectName(QStringLiteral("mnuMain"));
    mnuStart_ = mnuMain->addAction(QStringLiteral("&Start Process"));
    mnuStart_->setObjectName(QStringLiteral("mnuStart"));
    mnuStart_->setShortcut(QKeySequence(QStringLiteral("Ctrl+S")));
    connect(mnuStart_, &QAction::triggered, this, &fmMain::cmdStart_Click);
    mnuStop_ = mnuMain->addAction(QStringLiteral("S&top Process"));
    mnuStop_->setObjectName(QStringLiteral("mnuStop"));
    mnuStop_->setShortcut(QKeySequence(QStringLiteral("Ctrl+T")));
    connect(mnuStop_, &QAction::triggered, this, &fmMain::cmdStop_Click);
    mnuConfig_ = mnuMain->addAction(QStringLiteral("&Configuration"));
    mnuConfig_->setObjectName(QStringLiteral("mnuConfig"));
    mnuConfig_->setShortcut(QKeySequence(QStringLiteral("Ctrl+C")));
    connect(mnuConfig_, &QAction::triggered, this, &fmMain::mnuConfig_Click);
    for (QAction* action : {mnuStart_, mnuStop_, mnuConfig_}) {
        // Only while the entry is enabled, and from anywhere in the window.
        action->setShortcutContext(Qt::WindowShortcut);
        addAction(action);
    }
}

void fmMain::Form_Load() {
    setWindowTitle(QStringLiteral("Korvane Ver. " KORVANE_VERSION_STRING));
    tray_->setTitle(windowTitle());
    setProcessingControls(false);
    processing().setTimer1(false);
    program_.loadConfiguration();
    {
        const QSignalBlocker stored(chkRunAppOnStartup_);  // stored by the load already
        chkRunAppOnStartup_->setChecked(program_.autoStartPending());
    }
    guarded([this] {
        logLine(QStringLiteral("Application loaded."));
        logLine(QStringLiteral("Idle..."));
    });
    look::centreOnScreen(this);
    show();
    repaint();
    tray_->show();
    showCounts();
    Timer2_.start();
    loaded_ = true;
    program_.endIfAsked();  // a signal that came during the load
    // Some platforms never activate a new window: the automatic start must not wait for it.
    QTimer::singleShot(0, this, &fmMain::maybeAutoStart);
}

bool fmMain::autoStartPending() const {
    return program_.autoStartPending();
}

void fmMain::maybeAutoStart() {
    if (program_.takeAutoStart() && !program_.shutdownRequested()) {
        cmdStart_Click();
    } else if (!program_.shutdownRequested()) {
        program_.loadedIdle();
    }
}

void fmMain::cmdStart_Click() {
    // A program asked to end starts nothing, however the Start came.
    if (!cmdStart_->isEnabled() || program_.shutdownRequested()) {
        return;
    }
    try {
        processing().cmdStart_Click();
    } catch (const KorvaneError& error) {
        // Nothing runs without a log: say so once, where the user pressed Start.
        if (!program_.startFailed()) {
            MessageBoxes::information(this, errorLine(error));
        }
    }
}

void fmMain::cmdStop_Click() {
    if (!cmdStop_->isEnabled()) {
        return;
    }
    guarded([this] { processing().cmdStop_Click(); });
}

void fmMain::mnuConfig_Click() {
    if (!mnuConfig_->isEnabled() || processing().isCycleRunning()) {
        return;
    }
    guarded([this] {
        logLine(QStringLiteral("Loading configuration..."));
        openConfiguration();
        logLine(QStringLiteral("Idle..."));
    });
}

void fmMain::showConfigurationModal() {
    openConfiguration();
}

void fmMain::openConfiguration() {
    configurationOpen_ = true;
    tray_->setAvailable(false);
    struct Reopen {
        fmMain* window;
        ~Reopen() {
            window->configurationOpen_ = false;
            window->tray_->setAvailable(true);
            window->program_.endIfAsked();
        }
    } reopen{this};
    if (opener_) {
        opener_();
        return;
    }
    fmConfig configuration(ConfigServices{services_, program_.checks(), *this}, this);
    configuration_ = &configuration;  // a QPointer: cleared when the window goes
    configuration.exec();
    configuration_ = nullptr;
}

void fmMain::Timer2_Timer() {
    tray_->follow();
    showCounts();
    lblStatus_->setHidden(!lblStatus_->isHidden());
}

void fmMain::closeEvent(QCloseEvent* event) {
    if (unloaded_) {
        event->accept();
        return;
    }
    if (cmdStop_->isEnabled()) {
        MessageBoxes::notice(
            this, QStringLiteral("Please Stop the process before closing the application."));
        event->ignore();
        return;
    }
    guarded([this] { logLine(QStringLiteral("Application unloaded.")); });
    unloaded_ = true;
    Timer2_.stop();
    tray_->hide();
    event->accept();
    program_.unloaded();
}

void fmMain::changeEvent(QEvent* event) {
    QMainWindow::changeEvent(event);
    // Hidden only where a tray icon can bring the window back.
    if (event->type() == QEvent::WindowStateChange && isMinimized() &&
        QSystemTrayIcon::isSystemTrayAvailable()) {
        QTimer::singleShot(0, this, [this] {
            if (isMinimized()) {
                hide();
            }
        });
    }
}

bool fmMain::event(QEvent* event) {
    if (event->type() == QEvent::WindowActivate) {
        QTimer::singleShot(0, this, &fmMain::maybeAutoStart);
    }
    if (event->type() == QEvent::KeyPress) {
        auto* key = static_cast<QKeyEvent*>(event);
        if ((key->key() == Qt::Key_Return || key->key() == Qt::Key_Enter) &&
            focusWidget() != ProcessText_ &&
            (key->modifiers() & ~Qt::KeypadModifier) == Qt::NoModifier) {
            cmdStart_Click();
            return true;
        }
    }
    return QMainWindow::event(event);
}

void fmMain::appendToPane(const QString& entry) {
    pane_->append(entry);
}

void fmMain::flushPane() {
    pane_->flush();
}

void fmMain::showMessage(const QString& text) {
    MessageBoxes::notice(this, text);
}

void fmMain::setStatusText(const QString& text) {
    lblStatus_->setText(text);
    lblStatus_->adjustSize();
    lblStatus_->repaint();
}

void fmMain::setProcessingControls(bool processing) {
    cmdStart_->setEnabled(!processing);
    mnuStart_->setEnabled(!processing);
    cmdStop_->setEnabled(processing);
    mnuStop_->setEnabled(processing);
    mnuConfig_->setEnabled(!processing);
}

// From what processing keeps in memory: nothing here asks the database.
void fmMain::showCounts() {
    const QString counts = program_.countsText();
    if (counts != lblCounts_->text()) {
        lblCounts_->setText(counts);
    }
    // The icon's own name first, as before there were counts.
    tray_->setToolTip(QStringLiteral("Korvane\n") + lblStatus_->text() + QLatin1Char('\n') +
                      counts);
}

void fmMain::setConfigurationAvailable(bool available) {
    mnuConfig_->setEnabled(available);
}

void fmMain::setRunAppOnStartup(bool checked) {
    chkRunAppOnStartup_->setChecked(checked);
}

bool fmMain::runAppOnStartup() const {
    return chkRunAppOnStartup_->isChecked();
}

void fmMain::logLine(const QString& text) {
    services_.log.WriteLog(text, true, false);
}

}  // namespace korvane
