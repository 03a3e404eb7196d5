#pragma once

#include <QObject>

class QAction;
class QMainWindow;
class QMenu;
class QSystemTrayIcon;

namespace korvane {

// The notification-area icon of the main window and its popup menu: the title, Restore or
// Minimize as the window stands, and Exit. While the configuration window is open the icon
// offers nothing.
class TrayIcon : public QObject {
public:
    explicit TrayIcon(QMainWindow* window);

    void show();
    void hide();
    void setTitle(const QString& title);
    void setToolTip(const QString& text);
    // Restore/Minimize in step with the window.
    void follow();
    void setAvailable(bool available);

    QSystemTrayIcon* icon() const { return tray_; }
    QMenu* menu() const { return mnuPopupSys_; }
    // The popup's Restore/Minimize entry.
    void mnuPopRestore_Click();

private:
    void restore();

    QMainWindow* window_;
    QMenu* mnuPopupSys_;
    QAction* mnuKorvaneTitle_;
    QAction* mnuPopRestore_;
    QAction* mnuPopExit_;
    QSystemTrayIcon* tray_;
    bool available_ = true;
};

}  // namespace korvane
