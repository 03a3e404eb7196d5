#include <QApplication>

#include "app/Program.h"
#include "ui/DesktopSession.h"
#include "ui/MessageBoxes.h"
#include "ui/SingleInstance.h"
#include "ui/fmMain.h"

// Command-line arguments are accepted and ignored.
int main(int argc, char** argv) {
    korvane::offscreenWithoutDisplay();
    korvane::Program::raiseDescriptorLimit();
    QApplication application(argc, argv);
    QApplication::setApplicationName(QStringLiteral("Korvane"));
    QApplication::setQuitOnLastWindowClosed(false);
    const auto environment = korvane::EnvironmentSettings::fromProcess();
    if (environment.printMessageBoxes) {
        korvane::MessageBoxes::printInstead();
    }
    korvane::SingleInstance instance;
    if (!instance.tryAcquire()) {
        korvane::MessageBoxes::information(
            nullptr, QStringLiteral("Korvane Application is already running..."));
        return 0;
    }
    korvane::Program program(environment, korvane::drawnNowhere());
    korvane::fmMain window(program);
    window.Form_Load();
    return program.exec();
}
