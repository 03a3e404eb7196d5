// Renders the main window and the configuration window to PNG files, for the README.
// Usage: korvane_screenshots OUTPUT_FOLDER (run with a private XDG_CONFIG_HOME).
#include <QApplication>
#include <QDir>
#include <QPixmap>
#include <QTimer>

#include "app/ChannelAdapters.h"
#include "app/Program.h"
#include "channels/CurlMailTransport.h"
#include "core/ActivityLog.h"
#include "core/Clock.h"
#include "core/RunConfiguration.h"
#include "core/SettingsStore.h"
#include "ui/MessageBoxes.h"
#include "ui/fmConfig.h"
#include "ui/fmMain.h"

int main(int argc, char** argv) {
    QApplication app(argc, argv);
    const QString out = argc > 1 ? QString::fromLocal8Bit(argv[1]) : QStringLiteral(".");
    QDir().mkpath(out);
    korvane::MessageBoxes::Answers answers;
    korvane::MessageBoxes::setAnswers(&answers);
    korvane::SystemClock clock;
    korvane::SettingsStore store;
    korvane::ActivityLog log(QDir::tempPath() + QStringLiteral("/korvane-screens-logs"), clock);
    korvane::CurlMailTransport transport;
    korvane::SmsSender sms;
    korvane::EmailSender email(transport);
    korvane::SmppChannel smsChannel(sms);
    korvane::SmtpChannel emailChannel(email);
    korvane::RunConfiguration config;
    korvane::Program program(korvane::Services{store, config, log, smsChannel, emailChannel, clock},
                             false);
    korvane::fmMain window(program);
    window.setConfigurationOpener([&] {
        korvane::fmConfig dialog(
            korvane::ConfigServices{program.services(), program.checks(), window}, &window);
        dialog.show();
        QApplication::processEvents();
        dialog.grab().save(out + QStringLiteral("/configuration-window.png"));
        dialog.close();
    });
    window.Form_Load();
    QApplication::processEvents();
    window.mnuConfig_Click();
    QApplication::processEvents();
    window.flushPane();
    window.grab().save(out + QStringLiteral("/main-window.png"));
    return 0;
}
