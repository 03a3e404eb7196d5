#include "ui/fmConfig.h"

#include <QTimer>

#include <QCheckBox>
#include <QGroupBox>
#include <QGuiApplication>
#include <QLabel>
#include <QLineEdit>
#include <QPushButton>
#include <algorithm>
#include <cstdio>

#include "core/ActivityLog.h"
#include "core/ConfigurationLoader.h"
#include "core/Guarded.h"
#include "core/KorvaneError.h"
#include "core/RunConfiguration.h"
#include "core/SettingsStore.h"
#include "ui/DSNName.h"
#include "ui/Look.h"
#include "ui/MessageBoxes.h"
#include "ui/SettingBoxes.h"
#include "ui/fmMoreSettings.h"

namespace korvane {

using look::place;

fmConfig::fmConfig(ConfigServices services, QWidget* parent)
    : QDialog(parent),
      services_(services),
      selector_([this] { return DSNName().GetDSN(this); }),
      moreSettings_([](fmMoreSettings& window) { window.exec(); }) {
    buildWindow();
    Form_Load();
}

fmConfig::~fmConfig() = default;

QLineEdit* fmConfig::textBox(QWidget* parent, const char* name, int left, int top, int width,
                             int height, bool password) {
    auto* box = new QLineEdit(parent);
    box->setObjectName(QString::fromLatin1(name));
    place(box, left, top, width, height);
    if (password) {
        box->setEchoMode(QLineEdit::Password);
        box->setStyleSheet(QStringLiteral("lineedit-password-character: 42"));  // '*'
    }
    return box;
}

QLabel* fmConfig::label(QWidget* parent, const char* name, const QString& text, int left, int top,
                        int width, int height) {
    auto* caption = new QLabel(text, parent);
    caption->setObjectName(QString::fromLatin1(name));
    place(caption, left, top, width, height);
    return caption;
}

QPushButton* fmConfig::button(QWidget* parent, const char* name, const QString& text, int left,
                              int top) {
    auto* push = new QPushButton(text, parent);
    push->setObjectName(QString::fromLatin1(name));
    place(push, left, top, 1575, 465);
    push->setFont(look::msSansSerif(8.25, true));
    push->setAutoDefault(false);
    return push;
}

QLabel* fmConfig::waitLabel(QWidget* parent, const char* name, int left, int top) {
    QLabel* wait = label(parent, name, QStringLiteral("Please Wait..."), left, top, 1995, 375);
    wait->setFont(look::msSansSerif(13.5, true));
    wait->setAlignment(Qt::AlignCenter);
    look::setTextColor(wait, look::kPlum);
    wait->hide();
    return wait;
}

void fmConfig::buildWindow() {
    setObjectName(QStringLiteral("fmConfig"));
    setWindowTitle(QStringLiteral("Configuration"));
    setWindowFlags(Qt::Dialog | Qt::WindowTitleHint | Qt::WindowCloseButtonHint |
                   Qt::CustomizeWindowHint);
    setWindowIcon(look::appIcon());
    setModal(true);
    setFont(look::verdana(9.75));
    look::setFace(this);
    setFixedSize(look::px(6990), look::px(5655));

    buildDsnFrame();
    buildSmsFrame();
    buildEmailFrame();

    for (QLineEdit* box : findChildren<QLineEdit*>()) {
        plain(box);
    }

    buildOptions();
    // Beside the options, after every control of the window's own in the tab order.
    cmdMoreSettings_ =
        button(this, "cmdMoreSettings", QStringLiteral("&More Settings..."), 5280, 5010);
    place(cmdMoreSettings_, 5280, 5010, 1575, 315);
    setTabOrder(txtDBPassword_, cmdMoreSettings_);
    connectControls();
    look::centreOnScreen(this);
    txtDSN_->setFocus();
}

QGroupBox* fmConfig::frame(const char* name, const QString& title, int top, int height) {
    auto* group = new QGroupBox(title, this);
    group->setObjectName(QString::fromLatin1(name));
    place(group, 0, top, 6975, height);
    group->setFont(look::verdana(8.25, true));
    look::setCaptionColor(group, look::kPlum);
    return group;
}

// Children of a frame keep the window's own font and colour.
void fmConfig::plain(QWidget* widget) {
    widget->setFont(font());
    look::setTextColor(widget, Qt::black);
}

void fmConfig::buildDsnFrame() {
    QGroupBox* Frame1 = frame("Frame1", QStringLiteral("DSN Settings"), 120, 1575);
    plain(label(Frame1, "Label1", QStringLiteral("DSN Name"), 180, 270, 1050, 195));
    txtDSN_ = textBox(Frame1, "txtDSN", 1680, 315, 4635, 285);
    cmdSelect_ = button(Frame1, "cmdSelect", QStringLiteral("..."), 6420, 300);
    place(cmdSelect_, 6420, 300, 435, 285);
    plain(label(Frame1, "Label2_6", QStringLiteral("DB User Name"), 180, 660, 1395, 255));
    txtDBUser_ = textBox(Frame1, "txtDBUser", 1680, 690, 1995, 285);
    plain(label(Frame1, "Label2_7", QStringLiteral("Password"), 3780, 720, 915, 255));
    txtDBPassword_ = textBox(Frame1, "txtDBPassword", 4860, 690, 1995, 285, true);
    cmdTestConnection_ =
        button(Frame1, "cmdTestConnection", QStringLiteral("Test Connection"), 5280, 1020);
    lblWait_ = waitLabel(Frame1, "lblWait", 2505, 1020);
}

void fmConfig::buildSmsFrame() {
    QGroupBox* Frame2 =
        frame("Frame2", QStringLiteral("Telvoro Configuration (SMS Settings)"), 1800, 1575);
    plain(label(Frame2, "Label2_0", QStringLiteral("Server Address"), 120, 300, 1635, 255));
    txtCellServer_ = textBox(Frame2, "txtCellServer", 1680, 300, 1995, 270);
    plain(label(Frame2, "Label3", QStringLiteral("Port"), 3780, 300, 375, 255));
    txtCellPort_ = textBox(Frame2, "txtCellPort", 4860, 330, 1995, 285);
    plain(label(Frame2, "Label2_1", QStringLiteral("User Name"), 120, 630, 1455, 255));
    txtCellUser_ = textBox(Frame2, "txtCellUser", 1680, 660, 1995, 270);
    plain(label(Frame2, "Label2_2", QStringLiteral("Password"), 3780, 630, 915, 255));
    txtCellPassword_ = textBox(Frame2, "txtCellPassword", 4860, 675, 1995, 285, true);
    cmdTestSMS_ = button(Frame2, "cmdTestSMS", QStringLiteral("Test SMS"), 5280, 1020);
    lblWaitSMS_ = waitLabel(Frame2, "lblWaitSMS", 2498, 1020);
}

void fmConfig::buildEmailFrame() {
    QGroupBox* Frame3 =
        frame("Frame3", QStringLiteral("Email Configuration (SMTP Settings)"), 3480, 1515);
    plain(label(Frame3, "Label2_5", QStringLiteral("Server Address"), 120, 300, 1575, 255));
    txtSMTPServer_ = textBox(Frame3, "txtSMTPServer", 1680, 270, 1995, 285);
    plain(label(Frame3, "Label4", QStringLiteral("Port"), 3780, 300, 1095, 255));
    txtSMTPPort_ = textBox(Frame3, "txtSMTPPort", 4860, 270, 1995, 285);
    plain(label(Frame3, "Label2_4", QStringLiteral("User Name"), 120, 570, 1575, 255));
    txtSMTPUser_ = textBox(Frame3, "txtSMTPUser", 1680, 600, 1995, 285);
    plain(label(Frame3, "Label2_3", QStringLiteral("Password"), 3780, 600, 915, 255));
    txtSMTPPassword_ = textBox(Frame3, "txtSMTPPassword", 4860, 600, 1995, 285, true);
    cmdTestEmail_ = button(Frame3, "cmdTestEmail", QStringLiteral("Test Email"), 5280, 960);
    lblWaitEmail_ = waitLabel(Frame3, "lblWaitEmail", 2505, 960);
}

void fmConfig::buildOptions() {
    chkRunAppOnStartup_ = new QCheckBox(QStringLiteral("Run Application On Startup"), this);
    chkRunAppOnStartup_->setObjectName(QStringLiteral("chkRunAppOnStartup"));
    place(chkRunAppOnStartup_, 60, 5040, 3375, 255);
    chkDontSendProcessedMsgs_ = new QCheckBox(
        QStringLiteral("Do Not Send Messages Which Are Processed Earliar But Not Sent "), this);
    chkDontSendProcessedMsgs_->setObjectName(QStringLiteral("chkDontSendProcessedMsgs"));
    place(chkDontSendProcessedMsgs_, 60, 5340, 6855, 255);
    for (QCheckBox* box : {chkRunAppOnStartup_, chkDontSendProcessedMsgs_}) {
        box->setFont(look::verdana(8.25, true));
        look::setTextColor(box, look::kPlum);
    }

    const QList<QWidget*> order = {txtDSN_,          cmdSelect_,          cmdTestConnection_,
                                   txtCellServer_,   txtCellPort_,        txtCellUser_,
                                   txtCellPassword_, cmdTestSMS_,         txtSMTPServer_,
                                   txtSMTPPort_,     txtSMTPUser_,        txtSMTPPassword_,
                                   cmdTestEmail_,    chkRunAppOnStartup_, chkDontSendProcessedMsgs_,
                                   txtDBUser_,       txtDBPassword_};
    for (int i = 1; i < order.size(); ++i) {
        setTabOrder(order[i - 1], order[i]);
    }
}

void fmConfig::connectControls() {
    connect(txtDSN_, &QLineEdit::textChanged, this, [this](const QString& text) {
        cmdTestConnection_->setEnabled(!text.trimmed().isEmpty());
    });
    // Flags are stored as soon as their box changes.
    for (const Setting& setting : settings()) {
        if (setting.isFlag()) {
            connect(findChild<QCheckBox*>(boxOf(setting)), &QCheckBox::toggled, this,
                    [this, flag = setting.flag](bool checked) {
                        reportFailure(services_.log, [&] {
                            storeFlag(services_.store, services_.config, flag, checked);
                        });
                    });
        }
    }
    connect(chkRunAppOnStartup_, &QCheckBox::toggled, this,
            [this](bool checked) { services_.mainWindowBox.setRunAppOnStartup(checked); });
    connect(cmdSelect_, &QPushButton::clicked, this, &fmConfig::cmdSelect_Click);
    connect(cmdTestConnection_, &QPushButton::clicked, this, &fmConfig::cmdTestConnection_Click);
    connect(cmdTestSMS_, &QPushButton::clicked, this, &fmConfig::cmdTestSMS_Click);
    connect(cmdTestEmail_, &QPushButton::clicked, this, &fmConfig::cmdTestEmail_Click);
    connect(cmdMoreSettings_, &QPushButton::clicked, this, &fmConfig::cmdMoreSettings_Click);
}

void fmConfig::Form_Load() {
    for (const Setting& setting : settings()) {
        setting.load(services_.store, services_.config);
        if (setting.isFlag()) {
            findChild<QCheckBox*>(boxOf(setting))->setChecked(services_.config.*setting.flag != 0);
        } else if (setting.inTextBox()) {
            findChild<QLineEdit*>(boxOf(setting))->setText(services_.config.*setting.text);
        }
    }
    // Also when the stored name is empty and the box therefore does not change.
    cmdTestConnection_->setEnabled(!txtDSN_->text().trimmed().isEmpty());
    guarded(
        [this] { services_.log.WriteLog(QStringLiteral("Configuration loaded."), true, false); });
}

void fmConfig::done(int result) {
    if (testsRunning_ > 0) {
        return;
    }
    if (!saved_) {
        saved_ = true;
        Form_Unload();
    }
    QDialog::done(result);
}

void fmConfig::Form_Unload() {
    RunConfiguration& config = services_.config;
    guarded([this] {
        services_.log.WriteLog(QStringLiteral("Saving configuration settings..."), true, false);
    });
    // The data-source path and type have no box: they come from the "..." selection, kept in
    // the configuration. Settings without a box are the further settings window's, stored
    // when it closes: written here, they could undo an edit of the settings file.
    std::vector<SettingsStore::Entry> entries;
    for (const Setting& setting : settings()) {
        if (setting.isFlag() || setting.isFurther()) {
            continue;
        }
        if (setting.inTextBox()) {
            config.*setting.text = findChild<QLineEdit*>(boxOf(setting))->text();
        }
        entries.push_back(SettingsStore::Entry{QString::fromLatin1(setting.section),
                                               QString::fromLatin1(setting.key),
                                               config.*setting.text});
    }
    QString outcome = QStringLiteral("Configuration settings saved.");
    bool failed = false;
    try {
        services_.store.writeAll(entries);
    } catch (const KorvaneError& error) {
        outcome = errorLine(error);
        failed = true;
    }
    guarded([&] {
        services_.log.WriteLog(outcome, true, failed);
        services_.log.WriteLog(QStringLiteral("Configuration unloaded."), true, false);
    });
}

void fmConfig::cmdSelect_Click() {
    const QString result = selector_ ? selector_() : QString();
    services_.config.dsnPath = result;
    if (result.isEmpty()) {
        return;
    }
    try {
        if (result.right(3) == QStringLiteral("dsn")) {
            const qsizetype slash = std::max(result.lastIndexOf(QLatin1Char('\\')),
                                             result.lastIndexOf(QLatin1Char('/')));
            const QString file = result.mid(slash + 1);
            const qsizetype dot = file.lastIndexOf(QLatin1Char('.'));
            if (dot < 0) {
                throw KorvaneError(ErrorNumber::InvalidArgument,
                                   QStringLiteral("Invalid procedure call or argument"));
            }
            txtDSN_->setText(file.left(dot));
            services_.config.dsnType = QLatin1String(DsnType::kFile);
        } else {
            txtDSN_->setText(result);
            services_.config.dsnType = QLatin1String(DsnType::kSystem);
        }
    } catch (const KorvaneError& error) {
        guarded([&] { services_.log.WriteLog(errorLine(error), true, true); });
    }
}

void fmConfig::cmdTestConnection_Click() {
    const QString fileDsn = services_.config.fileDsnPath();
    guarded([&] {
        services_.checks.testConnection(*this, txtDSN_->text(), txtDBUser_->text(),
                                        txtDBPassword_->text(), fileDsn,
                                        services_.config.fileDsnPathLost());
    });
}

void fmConfig::cmdTestEmail_Click() {
    guarded([this] {
        // The boxes as typed, with the sign-in method of the further settings.
        SmtpServer server = services_.config.mailServers().first();
        server.server = txtSMTPServer_->text();
        server.port = txtSMTPPort_->text();
        server.userName = txtSMTPUser_->text();
        server.password = txtSMTPPassword_->text();
        services_.checks.testEmail(*this, server);
    });
}

void fmConfig::cmdMoreSettings_Click() {
    fmMoreSettings window(services_.store, services_.config, services_.log, this);
    moreSettings_(window);
}

void fmConfig::cmdTestSMS_Click() {
    guarded([this] {
        // The boxes as typed, reached as the further settings say (TLS), over one session.
        SmsGateway gateway = services_.config.smsGateway();
        gateway.server = txtCellServer_->text();
        gateway.port = txtCellPort_->text();
        gateway.user = txtCellUser_->text();
        gateway.password = txtCellPassword_->text();
        gateway.sessions = 1;
        services_.checks.testSms(*this, gateway);
    });
}

void fmConfig::setBusy(Test test, bool busy) {
    QLabel* wait = test == Test::Connection ? lblWait_
                   : test == Test::Email    ? lblWaitEmail_
                                            : lblWaitSMS_;
    QPushButton* push = test == Test::Connection ? cmdTestConnection_
                        : test == Test::Email    ? cmdTestEmail_
                                                 : cmdTestSMS_;
    wait->setVisible(busy);
    wait->repaint();
    push->setEnabled(!busy);
    testsRunning_ += busy ? 1 : -1;
    if (testsRunning_ == 0 && closeWanted_) {
        // After the test's own result box: its caller is still on the stack.
        QTimer::singleShot(0, this, &fmConfig::close);
    }
}

void fmConfig::closeWhenIdle() {
    closeWanted_ = true;
    if (testsRunning_ == 0) {
        close();
    }
}

QString fmConfig::prompt(const QString& text, const QString& title, const QString& defaultValue) {
    return MessageBoxes::prompt(this, text, title, defaultValue);
}

}  // namespace korvane
