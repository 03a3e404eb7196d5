#include "ui/Look.h"
#include <QGuiApplication>
#include <QScreen>

#include <QPalette>
#include <QWidget>

// The icons live in this static library: a program linking it pulls them in only when asked.
static void initResources() {
    Q_INIT_RESOURCE(korvane);
}

namespace korvane::look {

void place(QWidget* widget, int left, int top, int width, int height) {
    widget->setGeometry(px(left), px(top), px(width), px(height));
}

QFont verdana(double pointSize, bool bold) {
    QFont font;
    font.setFamilies({QStringLiteral("Verdana"), QStringLiteral("DejaVu Sans Condensed"),
                      QStringLiteral("Bitstream Vera Sans"), QStringLiteral("Sans Serif")});
    font.setPointSizeF(pointSize);
    font.setBold(bold);
    return font;
}

QFont msSansSerif(double pointSize, bool bold) {
    QFont font;
    font.setFamilies({QStringLiteral("MS Sans Serif"), QStringLiteral("Microsoft Sans Serif"),
                      QStringLiteral("Liberation Sans"), QStringLiteral("DejaVu Sans"),
                      QStringLiteral("Sans Serif")});
    font.setPointSizeF(pointSize);
    font.setBold(bold);
    return font;
}

void setTextColor(QWidget* widget, const QColor& color) {
    // Active and inactive only: a disabled control keeps the greyed text that says so.
    QPalette palette = widget->palette();
    for (auto group : {QPalette::Active, QPalette::Inactive}) {
        palette.setColor(group, QPalette::WindowText, color);
        palette.setColor(group, QPalette::ButtonText, color);
    }
    widget->setPalette(palette);
}

void setCaptionColor(QWidget* frame, const QColor& color) {
    // WindowText alone: the buttons inside keep their own text colours, disabled ones included.
    QPalette palette = frame->palette();
    palette.setColor(QPalette::Active, QPalette::WindowText, color);
    palette.setColor(QPalette::Inactive, QPalette::WindowText, color);
    frame->setPalette(palette);
}

void setFace(QWidget* widget) {
    QPalette palette = widget->palette();
    palette.setColor(QPalette::Window, kFace);
    palette.setColor(QPalette::Button, kFace);
    widget->setPalette(palette);
    widget->setAutoFillBackground(true);
}

QIcon appIcon() {
    initResources();
    QIcon icon;
    for (int size : {16, 32, 48, 64, 128, 256}) {
        icon.addFile(QStringLiteral(":/korvane/korvane-%1.png").arg(size), QSize(size, size));
    }
    return icon;
}

void centreOnScreen(QWidget* window) {
    if (QScreen* screen = QGuiApplication::primaryScreen()) {
        window->move(screen->availableGeometry().center() - window->rect().center());
    }
}

}  // namespace korvane::look
