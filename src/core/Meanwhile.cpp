#include "core/Meanwhile.h"

#include <QAbstractEventDispatcher>

namespace korvane {

Meanwhile::Meanwhile(std::function<void()> work)
    : turns_(QObject::connect(QAbstractEventDispatcher::instance(),
                              &QAbstractEventDispatcher::awake, std::move(work))) {}

Meanwhile::~Meanwhile() {
    QObject::disconnect(turns_);
}

}  // namespace korvane
