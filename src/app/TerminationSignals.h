#pragma once

#include <QObject>

class QSocketNotifier;

namespace korvane {

// SIGTERM and SIGINT (a service manager, Ctrl+C), turned into a signal on the event loop:
// a handler may only write a byte to a pipe, which the loop reads. One per process.
class TerminationSignals : public QObject {
    Q_OBJECT

public:
    explicit TerminationSignals(QObject* parent = nullptr);

Q_SIGNALS:
    void received();

private:
    QSocketNotifier* notifier_ = nullptr;
};

}  // namespace korvane
