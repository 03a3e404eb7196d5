#include "ui/DesktopSession.h"

#include <QGuiApplication>
#include <QSessionManager>
#include <QWidget>

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

}  // namespace korvane
