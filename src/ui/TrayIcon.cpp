#include "ui/TrayIcon.h"

#include <QMainWindow>
#include <QMenu>
#include <QSystemTrayIcon>

namespace korvane {

namespace {
const QString kRestore = QStringLiteral("&Restore");
const QString kMinimize = QStringLiteral("Mi&nimize");
}  // namespace

TrayIcon::TrayIcon(QMainWindow* window) : QObject(window), window_(window) {
    mnuPopupSys_ = new QMenu(QStringLiteral("&SysTray"), window);
    mnuPopupSys_->setObjectName(QStringLiteral("mnuPopupSys"));
    mnuKorvaneTitle_ = mnuPopupSys_->addAction(QStringLiteral("Korvane"));
    mnuKorvaneTitle_->setObjectName(QStringLiteral("mnuKorvaneTitle"));
    mnuKorvaneTitle_->setEnabled(false);
    mnuPopupSys_->addSeparator()->setObjectName(QStringLiteral("mnuSep"));
    mnuPopRestore_ = mnuPopupSys_->addAction(kRestore);
    mnuPopRestore_->setObjectName(QStringLiteral("mnuPopRestore"));
    connect(mnuPopRestore_, &QAction::triggered, this, &TrayIcon::mnuPopRestore_Click);
    mnuPopExit_ = mnuPopupSys_->addAction(QStringLiteral("E&xit"));
    mnuPopExit_->setObjectName(QStringLiteral("mnuPopExit"));
    connect(mnuPopExit_, &QAction::triggered, window, &QMainWindow::close);

    tray_ = new QSystemTrayIcon(window->windowIcon(), window);
    tray_->setObjectName(QStringLiteral("TrayIcon"));
    tray_->setToolTip(QStringLiteral("Korvane"));
    tray_->setContextMenu(mnuPopupSys_);
    connect(tray_, &QSystemTrayIcon::activated, this,
            [this](QSystemTrayIcon::ActivationReason why) {
                if (available_ &&
                    (why == QSystemTrayIcon::Trigger || why == QSystemTrayIcon::DoubleClick)) {
                    restore();
                }
            });
}

void TrayIcon::show() {
    tray_->show();
}

void TrayIcon::hide() {
    tray_->hide();
}

void TrayIcon::setToolTip(const QString& text) {
    if (tray_->toolTip() != text) {
        tray_->setToolTip(text);
    }
}

void TrayIcon::setTitle(const QString& title) {
    mnuKorvaneTitle_->setText(title);
}

void TrayIcon::follow() {
    mnuPopRestore_->setText(window_->isMinimized() || window_->isHidden() ? kRestore : kMinimize);
}

void TrayIcon::setAvailable(bool available) {
    available_ = available;
    tray_->setContextMenu(available ? mnuPopupSys_ : nullptr);
}

void TrayIcon::mnuPopRestore_Click() {
    if (mnuPopRestore_->text() == kRestore) {
        mnuPopRestore_->setText(kMinimize);
        restore();
    } else {
        mnuPopRestore_->setText(kRestore);
        window_->showMinimized();
    }
}

void TrayIcon::restore() {
    window_->showNormal();
    window_->raise();
    window_->activateWindow();
}

}  // namespace korvane
