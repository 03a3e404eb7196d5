#include "ui/Look.h"

#include <QPalette>
#include <QWidget>

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
    QPalette palette = widget->palette();
    palette.setColor(QPalette::WindowText, color);
    palette.setColor(QPalette::ButtonText, color);
    widget->setPalette(palette);
}

void setFace(QWidget* widget) {
    QPalette palette = widget->palette();
    palette.setColor(QPalette::Window, kFace);
    palette.setColor(QPalette::Button, kFace);
    widget->setPalette(palette);
    widget->setAutoFillBackground(true);
}

QIcon appIcon() {
    QIcon icon;
    for (int size : {16, 32, 48}) {
        icon.addFile(QStringLiteral(":/korvane/korvane-%1.png").arg(size), QSize(size, size));
    }
    return icon;
}

}  // namespace korvane::look
