#pragma once

#include <QDialog>
#include <functional>

#include "app/ConnectionChecks.h"
#include "app/Services.h"
#include "ui/StartupOptionBox.h"

class QCheckBox;
class QLabel;
class QLineEdit;
class QPushButton;

class QGroupBox;

namespace korvane {

class ActivityLog;
class EmailChannel;
class SettingsStore;
class SmsChannel;
class fmMoreSettings;
struct RunConfiguration;

// What the configuration window works with: the program's services, its test actions, and
// the main window's start-up box that its own box keeps in step.
struct ConfigServices : Services {
    ConnectionChecks& checks;
    StartupOptionBox& mainWindowBox;
};

// The modal configuration window: every setting, the data source button and the three test
// buttons. It loads from the store when created and saves every text setting on every close.
class fmConfig : public QDialog, public CheckView {
    Q_OBJECT

public:
    fmConfig(ConfigServices services, QWidget* parent = nullptr);
    ~fmConfig() override;

    void cmdSelect_Click();
    void cmdTestConnection_Click();
    void cmdTestEmail_Click();
    void cmdTestSMS_Click();
    // The window of the settings without a box.
    void cmdMoreSettings_Click();

    // Tests answer the data-source selection here instead of a dialog.
    void setDataSourceSelector(std::function<QString()> selector) {
        selector_ = std::move(selector);
    }

    // Tests play the further settings window here instead of running it modally.
    void setMoreSettingsRunner(std::function<void(fmMoreSettings&)> run) {
        moreSettings_ = std::move(run);
    }

    // CheckView
    void setBusy(Test test, bool busy) override;
    QString prompt(const QString& text, const QString& title, const QString& defaultValue) override;

    // Ignored while a test runs: the window stays until the test has ended.
    void done(int result) override;
    // The program is ending: closes (and saves) now, or once the running test has ended.
    void closeWhenIdle();

private:
    void buildWindow();
    void buildOptions();
    void buildDsnFrame();
    void buildSmsFrame();
    void buildEmailFrame();
    QGroupBox* frame(const char* name, const QString& title, int top, int height);
    void plain(QWidget* widget);
    void connectControls();
    void Form_Load();
    void Form_Unload();
    QLineEdit* textBox(QWidget* parent, const char* name, int left, int top, int width, int height,
                       bool password = false);
    QLabel* label(QWidget* parent, const char* name, const QString& text, int left, int top,
                  int width, int height);
    QPushButton* button(QWidget* parent, const char* name, const QString& text, int left, int top);
    QLabel* waitLabel(QWidget* parent, const char* name, int left, int top);

    ConfigServices services_;
    std::function<QString()> selector_;
    std::function<void(fmMoreSettings&)> moreSettings_;
    QLineEdit* txtDSN_ = nullptr;
    QLineEdit* txtDBUser_ = nullptr;
    QLineEdit* txtDBPassword_ = nullptr;
    QLineEdit* txtCellServer_ = nullptr;
    QLineEdit* txtCellPort_ = nullptr;
    QLineEdit* txtCellUser_ = nullptr;
    QLineEdit* txtCellPassword_ = nullptr;
    QLineEdit* txtSMTPServer_ = nullptr;
    QLineEdit* txtSMTPPort_ = nullptr;
    QLineEdit* txtSMTPUser_ = nullptr;
    QLineEdit* txtSMTPPassword_ = nullptr;
    QPushButton* cmdSelect_ = nullptr;
    QPushButton* cmdTestConnection_ = nullptr;
    QPushButton* cmdTestSMS_ = nullptr;
    QPushButton* cmdTestEmail_ = nullptr;
    QPushButton* cmdMoreSettings_ = nullptr;
    QLabel* lblWait_ = nullptr;
    QLabel* lblWaitSMS_ = nullptr;
    QLabel* lblWaitEmail_ = nullptr;
    QCheckBox* chkRunAppOnStartup_ = nullptr;
    QCheckBox* chkDontSendProcessedMsgs_ = nullptr;
    bool saved_ = false;
    int testsRunning_ = 0;
    bool closeWanted_ = false;
};

}  // namespace korvane
