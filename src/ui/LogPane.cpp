#include "ui/LogPane.h"

#include <QPlainTextEdit>

namespace korvane {

LogPane::LogPane(QPlainTextEdit* pane, int lines) : QObject(pane), pane_(pane) {
    pane_->setMaximumBlockCount(lines);
    timer_.setSingleShot(true);
    timer_.setInterval(kBatchMs);
    connect(&timer_, &QTimer::timeout, this, &LogPane::flush);
}

void LogPane::append(const QString& entry) {
    QString text = entry;
    text.replace(QStringLiteral("\r\n"), QStringLiteral("\n"));
    if (text.endsWith(QLatin1Char('\n'))) {
        text.chop(1);  // each entry is one block
    }
    backlog_ << text;
    if (!timer_.isActive()) {
        timer_.start();
    }
}

void LogPane::flush() {
    timer_.stop();
    if (backlog_.isEmpty()) {
        return;
    }
    pane_->appendPlainText(backlog_.join(QLatin1Char('\n')));
    backlog_.clear();
    pane_->moveCursor(QTextCursor::End);
}

}  // namespace korvane
