#pragma once

#include <QColor>
#include <QFont>
#include <QIcon>

class QWidget;

namespace korvane::look {

// The windows' design unit: 15 twips to a pixel.
constexpr int px(int twips) {
    return (twips + 7) / 15;
}
void place(QWidget* widget, int left, int top, int width, int height);

// Verdana where installed, a close sans-serif otherwise.
QFont verdana(double pointSize, bool bold = false);
QFont msSansSerif(double pointSize, bool bold = false);

const QColor kFace(224, 224, 224);
const QColor kPlum(64, 0, 64);
const QColor kBlue(0, 0, 255);
void setTextColor(QWidget* widget, const QColor& color);
// A frame's caption; labels inside it set their own colour, buttons keep theirs.
void setCaptionColor(QWidget* frame, const QColor& color);
void setFace(QWidget* widget);

// The program's icon, from 16x16 to 256x256.
QIcon appIcon();

// Moves a window to the middle of the primary screen.
void centreOnScreen(QWidget* window);

}  // namespace korvane::look
