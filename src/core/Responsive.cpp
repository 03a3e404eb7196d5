#include "core/Responsive.h"

#include <QAbstractEventDispatcher>
#include <QCoreApplication>
#include <QTimer>

namespace korvane {

bool waitResponsively(const std::function<bool()>& done, QDeadlineTimer deadline) {
    QTimer wake;  // an event at the deadline, so that the wait below ends there
    wake.setSingleShot(true);
    while (!done()) {
        if (deadline.hasExpired()) {
            return false;
        }
        const qint64 left = deadline.remainingTime();
        wake.start(left < 0 || left > 60000 ? 60000 : static_cast<int>(left));
        QCoreApplication::processEvents(QEventLoop::WaitForMoreEvents);
    }
    return true;
}

std::function<void()> eventLoopWaker() {
    // The dispatcher lives as long as its thread, the window's, which the program ends with.
    QAbstractEventDispatcher* dispatcher = QAbstractEventDispatcher::instance();
    return [dispatcher] {
        if (dispatcher != nullptr) {
            dispatcher->wakeUp();
        }
    };
}

}  // namespace korvane
