#include "core/DoneWait.h"

#include <QAbstractEventDispatcher>

namespace korvane {

namespace {
// A far deadline is looked at again now and then rather than armed whole.
constexpr qint64 kLongestArmMs = 60000;
}  // namespace

DoneWait::DoneWait(std::function<bool()> done, QDeadlineTimer deadline,
                   std::weak_ptr<const void> owner)
    : done_(std::move(done)),
      deadline_(deadline),
      owner_(std::move(owner)),
      owned_(!owner_.expired()),
      timer_(std::make_unique<QTimer>()) {
    timer_->setSingleShot(true);
}

DoneWait::~DoneWait() {
    QObject::disconnect(looking_);
}

void DoneWait::await_suspend(std::coroutine_handle<> waiting) {
    waiting_ = waiting;
    QObject::connect(timer_.get(), &QTimer::timeout, [this] {
        if (abandoned()) {
            letGo();
            return;
        }
        if (!over()) {
            armDeadline();
            return;
        }
        QObject::disconnect(looking_);
        timer_->disconnect();
        // Resumed from an event of its own: the coroutine goes on to destroy this wait, and
        // its timer with it, which is not to happen inside the timer's own signal.
        QTimer::singleShot(0, [waiting = waiting_] { waiting.resume(); });
    });
    // awake: after each turn of the loop, one that never sleeps too.
    looking_ = QObject::connect(QAbstractEventDispatcher::instance(),
                                &QAbstractEventDispatcher::awake, timer_.get(), [this] { look(); });
    armDeadline();
}

// The loop has handled what came: done() may hold now.
void DoneWait::look() {
    if (abandoned()) {
        letGo();
        return;
    }
    if (done_() && (!timer_->isActive() || timer_->remainingTime() > 0)) {
        timer_->start(0);
    }
}

// The owner is gone: nothing of this wait runs again.
void DoneWait::letGo() {
    QObject::disconnect(looking_);
    timer_->disconnect();
    timer_->stop();
}

void DoneWait::armDeadline() {
    if (deadline_.isForever()) {
        timer_->stop();
        return;
    }
    const qint64 left = std::max<qint64>(0, deadline_.remainingTime());
    timer_->start(static_cast<int>(std::min(left, kLongestArmMs)));
}

}  // namespace korvane
