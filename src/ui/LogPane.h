#pragma once

#include <QObject>
#include <QStringList>
#include <QTimer>

class QPlainTextEdit;

namespace korvane {

// The live log pane: entries arrive far faster than they are worth painting, so the pane
// takes them in batches, at most 20 times a second, and keeps the newest lines.
class LogPane : public QObject {
public:
    static constexpr int kBatchMs = 50;

    LogPane(QPlainTextEdit* pane, int lines);
    void append(const QString& entry);
    // What is waiting goes in now.
    void flush();

private:
    QPlainTextEdit* pane_;
    QTimer timer_;
    QStringList backlog_;
};

}  // namespace korvane
