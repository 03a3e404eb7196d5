#include <QCheckBox>
#include <QDir>
#include <QGroupBox>
#include <QLabel>
#include <QLineEdit>
#include <QPushButton>
#include <QStyle>
#include <QTest>

#include "app/ChannelAdapters.h"
#include "channels/CurlMailTransport.h"
#include "core/ActivityLog.h"
#include "core/ConfigurationLoader.h"
#include "core/RunConfiguration.h"
#include "core/SettingsStore.h"
#include "support/FakeClock.h"
#include "support/ReceivedMessages.h"
#include "support/RecordingLogView.h"
#include "support/ScriptedGateway.h"
#include "support/TempProfile.h"
#include "support/TestEnvironment.h"
#include "ui/MessageBoxes.h"
#include "ui/SettingBoxes.h"
#include "ui/fmConfig.h"
#include "ui/fmMoreSettings.h"

using namespace korvane;

namespace {

class MainBox : public StartupOptionBox {
public:
    void setRunAppOnStartup(bool checked) override { checked_ = checked; }
    bool runAppOnStartup() const override { return checked_; }

private:
    bool checked_ = false;
};

struct Rig {
    test::TempProfile profile;
    test::FakeClock clock{QDateTime(QDate(2026, 12, 6), QTime(9, 0, 0))};
    test::RecordingLogView view;
    SettingsStore store;
    RunConfiguration config;
    ActivityLog log{profile.logsDir(), clock, &view};
    CurlMailTransport transport;
    SmsSender sms{SmppTimeouts{2000, 1000}};  // a silent gateway is given up on within 1 s
    EmailSender email{transport};
    SmppChannel smsChannel{sms};
    SmtpChannel emailChannel{email};
    ConnectionChecks checks{log, smsChannel, emailChannel};
    MainBox mainBox;
    MessageBoxes::Answers answers;
    std::unique_ptr<fmConfig> window;

    Rig() { MessageBoxes::setAnswers(&answers); }
    ~Rig() { MessageBoxes::setAnswers(nullptr); }
    void open() {
        window = std::make_unique<fmConfig>(
            ConfigServices{{store, config, log, smsChannel, emailChannel, clock}, checks, mainBox});
        window->show();
    }
    QLineEdit* box(const char* name) const {
        return window->findChild<QLineEdit*>(QString::fromLatin1(name));
    }
    QPushButton* button(const char* name) const {
        return window->findChild<QPushButton*>(QString::fromLatin1(name));
    }
    QCheckBox* check(const char* name) const {
        return window->findChild<QCheckBox*>(QString::fromLatin1(name));
    }
    QLabel* label(const char* name) const {
        return window->findChild<QLabel*>(QString::fromLatin1(name));
    }
    QStringList lines() const { return profile.logLines(QStringLiteral("Log_061226.log")); }
    QString stored(const char* section, const char* key) const {
        return store.read(QString::fromLatin1(section), QString::fromLatin1(key),
                          QStringLiteral("<missing>"));
    }
};

}  // namespace

class ConfigWindowTest : public QObject {
    Q_OBJECT

private Q_SLOTS:
    void freshProfileShowsDefaults() {
        Rig rig;
        rig.open();
        QVERIFY(rig.window->isModal());
        QCOMPARE(rig.box("txtDSN")->text(), QStringLiteral("Korvane"));
        for (const char* secret : {"txtDBPassword", "txtCellPassword", "txtSMTPPassword"}) {
            QLineEdit* box = rig.box(secret);
            QCOMPARE(box->echoMode(), QLineEdit::Password);
            QCOMPARE(box->style()->styleHint(QStyle::SH_LineEdit_PasswordCharacter, nullptr, box),
                     int('*'));
        }
        // A disabled Test button looks disabled: the frames' colour is for their captions.
        rig.box("txtDSN")->clear();
        QPushButton* test = rig.button("cmdTestConnection");
        QVERIFY(!test->isEnabled());
        QVERIFY(test->palette().color(QPalette::Disabled, QPalette::ButtonText) !=
                test->palette().color(QPalette::Active, QPalette::ButtonText));
        QCOMPARE(rig.window->findChild<QGroupBox*>(QStringLiteral("Frame1"))
                     ->palette()
                     .color(QPalette::Active, QPalette::WindowText),
                 QColor(64, 0, 64));
        rig.box("txtDSN")->setText(QStringLiteral("Korvane"));
        QVERIFY(rig.check("chkDontSendProcessedMsgs")->isChecked());
        QVERIFY(!rig.check("chkRunAppOnStartup")->isChecked());
        QCOMPARE(rig.stored("Application", "DontSendProcessedMsgs"), QStringLiteral("1"));
        QCOMPARE(rig.stored("Application", "RunAppOnStartup"), QStringLiteral("<missing>"));
        QCOMPARE(rig.stored("DSNSettings", "DSNName"), QStringLiteral("<missing>"));
        for (const char* wait : {"lblWait", "lblWaitSMS", "lblWaitEmail"})
            QVERIFY(rig.label(wait)->isHidden());
        QVERIFY(rig.button("cmdTestConnection")->isEnabled());
        QCOMPARE(rig.lines(), QStringList{QStringLiteral("Configuration loaded.")});
        // Focus starts in the name box; the database credentials come last in the tab order.
        QCOMPARE(rig.window->focusWidget(), rig.box("txtDSN"));
        QWidget* w = rig.box("txtDSN");
        QStringList order;
        for (int i = 0; i < 17; ++i, w = w->nextInFocusChain()) {
            while (w->focusPolicy() == Qt::NoFocus) w = w->nextInFocusChain();
            order << w->objectName();
        }
        QCOMPARE(
            order.mid(0, 4),
            (QStringList{QStringLiteral("txtDSN"), QStringLiteral("cmdSelect"),
                         QStringLiteral("cmdTestConnection"), QStringLiteral("txtCellServer")}));
        QCOMPARE(order.mid(13),
                 (QStringList{QStringLiteral("chkRunAppOnStartup"),
                              QStringLiteral("chkDontSendProcessedMsgs"),
                              QStringLiteral("txtDBUser"), QStringLiteral("txtDBPassword")}));
    }

    void everyCloseSavesAllTextAsTyped() {
        Rig rig;
        rig.open();
        rig.box("txtSMTPServer")->setText(QStringLiteral("  mail.example.org "));
        rig.box("txtDBPassword")->setText(QStringLiteral("p;a=s\"s"));
        rig.box("txtDSN")->clear();
        rig.check("chkDontSendProcessedMsgs")->click();
        QCOMPARE(rig.stored("Application", "DontSendProcessedMsgs"), QStringLiteral("0"));
        rig.check("chkRunAppOnStartup")->click();
        QCOMPARE(rig.stored("Application", "RunAppOnStartup"), QStringLiteral("1"));
        QVERIFY(rig.mainBox.runAppOnStartup());
        QVERIFY(rig.window->isVisible());
        QVERIFY(rig.window->close());

        QCOMPARE(rig.stored("Email", "SMTPServer"), QStringLiteral("  mail.example.org "));
        QCOMPARE(rig.config.smtpServer, QStringLiteral("  mail.example.org "));
        QCOMPARE(rig.stored("DSNSettings", "DSNDBPassword"), QStringLiteral("p;a=s\"s"));
        QCOMPARE(rig.stored("DSNSettings", "DSNName"), QString());
        QCOMPARE(rig.config.dsnName, QString());
        for (const Setting& setting : settings()) {
            // Each setting shown in a box has one, and only those.
            QCOMPARE(setting.shown == Setting::Shown::Box,
                     rig.window->findChild<QWidget*>(boxOf(setting)) != nullptr &&
                         !boxOf(setting).isEmpty());
            // Further settings are written only by their own window, and only when changed.
            QCOMPARE(rig.store.contains(QLatin1String(setting.section), QLatin1String(setting.key)),
                     !setting.isFurther());
        }
        QCOMPARE(rig.lines(), (QStringList{QStringLiteral("Configuration loaded."),
                                           QStringLiteral("Saving configuration settings..."),
                                           QStringLiteral("Configuration settings saved."),
                                           QStringLiteral("Configuration unloaded.")}));
        // Opened again: the stored values, and an empty name disables the connection test.
        rig.open();
        QCOMPARE(rig.box("txtSMTPServer")->text(), QStringLiteral("  mail.example.org "));
        QVERIFY(!rig.check("chkDontSendProcessedMsgs")->isChecked());
        QVERIFY(!rig.button("cmdTestConnection")->isEnabled());
        rig.box("txtDSN")->setText(QStringLiteral("   "));
        QVERIFY(!rig.button("cmdTestConnection")->isEnabled());
        rig.box("txtDSN")->setText(QStringLiteral(" x"));
        QVERIFY(rig.button("cmdTestConnection")->isEnabled());
    }

    // More Settings lists every setting without a box, from the table, secrets masked; its
    // close stores what it changed and nothing else, so a hand edit of the file meanwhile
    // survives both windows' closes.
    void furtherSettingsWindow() {
        Rig rig;
        rig.open();
        QStringList keys;
        rig.window->setMoreSettingsRunner([&](fmMoreSettings& more) {
            for (const Setting& setting : settings()) {
                QLineEdit* field = more.field(QString::fromLatin1(setting.key));
                QCOMPARE(field != nullptr, setting.isFurther());
                if (field != nullptr) {
                    keys << field->objectName();
                    QCOMPARE(field->echoMode() == QLineEdit::Password, setting.secret);
                    QCOMPARE(field->text(), QString::fromLatin1(setting.defaultValue));
                }
            }
            more.field(QStringLiteral("SMTPAuth"))->setText(QStringLiteral("oauth2"));
            more.field(QStringLiteral("SMTPClientSecret"))->setText(QStringLiteral("top-secret"));
            rig.store.write(QStringLiteral("Telvoro"), QStringLiteral("SubmitsPerSecond"),
                            QStringLiteral("40"));  // by hand, while the window is open
            more.reject();                          // its Close button
        });
        rig.button("cmdMoreSettings")->click();
        QVERIFY(keys.contains(QStringLiteral("MaxAttempts")));
        QVERIFY(keys.contains(QStringLiteral("SMTPServer2")));
        QVERIFY(!keys.contains(QStringLiteral("DSNPath")));
        QCOMPARE(rig.stored("Email", "SMTPAuth"), QStringLiteral("oauth2"));
        QCOMPARE(rig.config.smtpClientSecret, QStringLiteral("top-secret"));
        // By hand again, with only the configuration window open.
        rig.store.write(QStringLiteral("Telvoro"), QStringLiteral("SmppReceiptIds"),
                        QStringLiteral("hex"));
        QVERIFY(rig.window->close());
        QCOMPARE(rig.stored("Telvoro", "SubmitsPerSecond"), QStringLiteral("40"));
        QCOMPARE(rig.stored("Telvoro", "SmppReceiptIds"), QStringLiteral("hex"));
        QCOMPARE(rig.stored("Application", "MaxAttempts"), QStringLiteral("<missing>"));
        QVERIFY(
            rig.lines().contains(QStringLiteral("Settings saved: SMTPAuth, SMTPClientSecret.")));
        QVERIFY(!rig.lines().join(QLatin1Char(' ')).contains(QStringLiteral("top-secret")));
    }

    // Test SMS kept waiting by a gateway that never answers a submit: while it waits the
    // window cannot be closed, and the program's own close comes once the test has ended.
    void testHoldsTheWindowUntilItEnds() {
        Rig rig;
        bool stayed = false;
        test::ScriptedGateway silent([&](int) {
            rig.window->close();
            rig.window->reject();
            rig.window->closeWhenIdle();  // as on SIGTERM
            stayed = rig.window->isVisible() && !rig.button("cmdTestSMS")->isEnabled();
            return test::ScriptedGateway::Step::stall();
        });
        rig.open();
        rig.box("txtCellServer")->setText(QStringLiteral("127.0.0.1"));
        rig.box("txtCellPort")->setText(silent.port());
        rig.answers.promptAnswers = {QStringLiteral("+447700900555")};
        rig.window->cmdTestSMS_Click();
        QVERIFY(stayed);
        QCOMPARE(silent.submits().size(), size_t(1));
        QVERIFY(rig.window->isVisible());  // the test's own result box came first
        QTRY_VERIFY(!rig.window->isVisible());
        QVERIFY(rig.lines().contains(QStringLiteral("Configuration settings saved.")));
    }

    // The picker cancelled empties a file data source's path while its name stays: a failed
    // connection says so, and nothing stored changes.
    void lostFilePathIsNamedInTheFailure() {
        Rig rig;
        rig.open();
        rig.config.dsnType = QStringLiteral("File");
        rig.window->setDataSourceSelector([] { return QString(); });
        rig.button("cmdSelect")->click();
        rig.box("txtDSN")->setText(QStringLiteral("KorvaneNowhere"));
        rig.window->cmdTestConnection_Click();
        QVERIFY2(rig.lines().last().endsWith(QStringLiteral(
                     "The data source's file path is empty: choose it again with the ... button.")),
                 qPrintable(rig.lines().last()));
    }

    // A store that cannot be written: the close says so in a message box instead of "saved",
    // and the values typed still serve this run.
    void unwritableStoreIsReportedNotSaved() {
        Rig rig;
        QVERIFY(QDir().mkpath(rig.profile.settingsFile()));  // a folder where the file goes
        rig.open();
        rig.box("txtCellServer")->setText(QStringLiteral("gw.example.org"));
        rig.view.messages.clear();  // the check boxes, stored as the window opened, said so too
        QVERIFY(rig.window->close());
        QCOMPARE(rig.view.messages.size(), 1);
        QVERIFY2(rig.view.messages[0].startsWith(QStringLiteral("Error Occurred: 75 --> ")),
                 qPrintable(rig.view.messages[0]));
        QVERIFY(!rig.lines().contains(QStringLiteral("Configuration settings saved.")));
        QCOMPARE(rig.config.cellServer, QStringLiteral("gw.example.org"));
    }

    void dataSourceSelectionResults() {
        Rig rig;
        rig.open();
        QString answer;
        rig.window->setDataSourceSelector([&] { return answer; });
        struct Case {
            QString result, dsn, type;
        };
        const QList<Case> cases = {
            {QStringLiteral("/home/ann/odbc/Orders.dsn"), QStringLiteral("Orders"),
             QStringLiteral("File")},
            {QStringLiteral("C:\\Data Sources\\My.Orders.dsn"), QStringLiteral("My.Orders"),
             QStringLiteral("File")},
            {QStringLiteral("Orders"), QStringLiteral("Orders"), QStringLiteral("Sys")},
            {QStringLiteral("C:\\DS\\ORDERS.DSN"), QStringLiteral("C:\\DS\\ORDERS.DSN"),
             QStringLiteral("Sys")},
        };
        for (const Case& c : cases) {
            answer = c.result;
            rig.window->cmdSelect_Click();
            QCOMPARE(rig.box("txtDSN")->text(), c.dsn);
            QCOMPARE(rig.config.dsnType, c.type);
            QCOMPARE(rig.config.dsnPath, c.result);
        }
        answer.clear();  // cancelled
        rig.window->cmdSelect_Click();
        QCOMPARE(rig.box("txtDSN")->text(), QStringLiteral("C:\\DS\\ORDERS.DSN"));
        QCOMPARE(rig.config.dsnType, QStringLiteral("Sys"));
        QCOMPARE(rig.config.dsnPath, QString());
        answer = QStringLiteral("C:\\x.y\\nodotdsn");
        rig.window->cmdSelect_Click();
        QCOMPARE(rig.view.messages,
                 QStringList{
                     QStringLiteral("Error Occurred: 5 --> Invalid procedure call or argument")});
        QCOMPARE(rig.config.dsnPath, answer);
        QCOMPARE(rig.box("txtDSN")->text(), QStringLiteral("C:\\DS\\ORDERS.DSN"));
        // Reaches the store only when the window closes.
        QCOMPARE(rig.stored("DSNSettings", "DSNPath"), QStringLiteral("<missing>"));
        rig.window->close();
        QCOMPARE(rig.stored("DSNSettings", "DSNPath"), answer);
        QCOMPARE(rig.stored("DSNSettings", "DSNType"), QStringLiteral("Sys"));
    }

    void testConnection() {
        KORVANE_REQUIRE_ENV("KORVANE_TEST_SQLITE_DSN");
        Rig rig;
        rig.open();
        rig.box("txtDSN")->setText(test::TestEnvironment::value("KORVANE_TEST_SQLITE_DSN"));
        rig.window->cmdTestConnection_Click();
        QCOMPARE(rig.view.messages, QStringList{QStringLiteral("Connection is Succeeded.")});
        QVERIFY(rig.label("lblWait")->isHidden());
        QVERIFY(rig.button("cmdTestConnection")->isEnabled());
        rig.box("txtDSN")->setText(QStringLiteral("NoSuchSource"));
        rig.window->cmdTestConnection_Click();
        QCOMPARE(rig.view.messages.size(), 2);
        QVERIFY2(
            rig.view.messages[1].startsWith(QStringLiteral("Error Occurred: -2147467259 --> ")),
            qPrintable(rig.view.messages[1]));
        QCOMPARE(rig.lines().last(), rig.view.messages[1]);
        // Nothing typed for the test is stored.
        QCOMPARE(rig.stored("DSNSettings", "DSNName"), QStringLiteral("<missing>"));
    }

    void testEmailAndSms() {
        KORVANE_REQUIRE_ENV("KORVANE_TEST_SMTP_PORT");
        KORVANE_REQUIRE_ENV("KORVANE_TEST_SMPP_PORT");
        const QString mailStore = test::TestEnvironment::value("KORVANE_TEST_SMTP_STORE");
        const QString smsStore = test::TestEnvironment::value("KORVANE_TEST_SMPP_STORE");
        Rig rig;
        rig.open();
        rig.box("txtSMTPPort")->setText(test::TestEnvironment::value("KORVANE_TEST_SMTP_PORT"));
        rig.box("txtCellPort")->setText(test::TestEnvironment::value("KORVANE_TEST_SMPP_PORT"));
        const int base = static_cast<int>(rig.lines().size());

        test::ReceivedMessages::clearMail(mailStore);
        rig.answers.promptAnswers = {QStringLiteral("from@korvane.test"),
                                     QStringLiteral("to@x.test")};
        rig.window->cmdTestEmail_Click();
        QCOMPARE(rig.answers.prompts,
                 (QStringList{QStringLiteral("From Email Id"), QStringLiteral("To Email Id")}));
        QCOMPARE(rig.view.messages,
                 QStringList{QStringLiteral("Test Email is sent successfully.")});
        QCOMPARE(test::ReceivedMessages::mail(mailStore).size(), 1);
        QVERIFY(
            test::ReceivedMessages::mail(mailStore)[0][QStringLiteral("data")].toString().contains(
                QStringLiteral("Subject: Email Testing")));
        QVERIFY(rig.label("lblWaitEmail")->isHidden());
        QVERIFY(rig.button("cmdTestEmail")->isEnabled());

        rig.view.messages.clear();
        rig.answers.promptAnswers = {QStringLiteral("from@korvane.test"),
                                     QStringLiteral("reject@x.test")};
        rig.window->cmdTestEmail_Click();
        QCOMPARE(rig.view.messages.size(), 1);
        QVERIFY2(rig.view.messages[0].startsWith(QStringLiteral("Error Occurred: 2155 --> ")),
                 qPrintable(rig.view.messages[0]));

        const qint64 mark = test::ReceivedMessages::smsMark(smsStore);
        rig.view.messages.clear();
        rig.answers.promptAnswers = {QStringLiteral("+447700900555")};
        rig.window->cmdTestSMS_Click();
        QCOMPARE(rig.view.messages,
                 QStringList{QStringLiteral(
                     "Test SMS is sent successfully to mobile number +447700900555.")});
        const QList<QJsonObject> texts = test::ReceivedMessages::sms(smsStore, mark);
        QCOMPARE(texts.size(), 1);
        QCOMPARE(texts[0][QStringLiteral("message")].toString(), QStringLiteral("SMS Testing"));

        rig.view.messages.clear();
        rig.box("txtCellPassword")->setText(QStringLiteral("wrong"));
        rig.answers.promptAnswers = {QStringLiteral("+447700900555")};
        rig.window->cmdTestSMS_Click();
        QCOMPARE(rig.view.messages, QStringList{QString::fromLatin1(SmsSender::kLoginFailed)});
        QVERIFY(rig.label("lblWaitSMS")->isHidden());
        QVERIFY(rig.button("cmdTestSMS")->isEnabled());

        // A cancelled prompt ends the test without a line.
        const int before = static_cast<int>(rig.lines().size());
        rig.view.messages.clear();
        rig.answers.promptAnswers = {QString()};
        rig.window->cmdTestSMS_Click();
        rig.answers.promptAnswers = {QStringLiteral("a@b.c"), QString()};
        rig.window->cmdTestEmail_Click();
        QCOMPARE(rig.lines().size(), before);
        QVERIFY(rig.view.messages.isEmpty());

        QCOMPARE(rig.lines().mid(base, 2),
                 (QStringList{QStringLiteral("Testing Email..."),
                              QStringLiteral("Test Email is sent successfully.")}));
        QCOMPARE(rig.stored("Email", "SMTPPort"), QStringLiteral("<missing>"));
    }
};

QTEST_MAIN(ConfigWindowTest)
#include "tst_configwindow.moc"
