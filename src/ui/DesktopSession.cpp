#include "ui/DesktopSession.h"

#include <QGuiApplication>
#include <QSessionManager>
#include <QWidget>
#include <cstdio>

#include "ui/MessageBoxes.h"

namespace korvane {

void watchDesktopSession(QWidget* window, std::function<bool()> busy,
                         std::function<void()> unloaded) {
    QObject::connect(qApp, &QCoreApplication::aboutToQuit, window, std::move(unloaded));
    QObject::connect(qApp, &QGuiApplication::commitDataRequest, window,
                     [window, busy = std::move(busy)](QSessionManager& manager) {
                         if (!busy()) {
                             return;
                         }
                         if (manager.allowsInteraction()) {
                             MessageBoxes::information(
                                 window, QStringLiteral("Please Stop the process before closing "
                                                        "the application."));
                             manager.release();
                         }
                         manager.cancel();
                     });
}

void offscreenWithoutDisplay() {
#if defined(Q_OS_UNIX) && !defined(Q_OS_MACOS)
    if (qEnvironmentVariableIsEmpty("QT_QPA_PLATFORM") && qEnvironmentVariableIsEmpty("DISPLAY") &&
        qEnvironmentVariableIsEmpty("WAYLAND_DISPLAY")) {
        qputenv("QT_QPA_PLATFORM", "offscreen");
        std::fprintf(stderr,
                     "korvane: neither DISPLAY nor WAYLAND_DISPLAY is set: running without a "
                     "window; the log follows here.\n");
    }
#endif
}

bool drawnNowhere() {
    const QString platform = QGuiApplication::platformName();
    return platform == QStringLiteral("offscreen") || platform == QStringLiteral("minimal");
}

}  // namespace korvane
