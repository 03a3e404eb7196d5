#include "core/Meanwhile.h"

#include <QAbstractEventDispatcher>

namespace korvane {

Meanwhile::Meanwhile(std::weak_ptr<const void> owner, std::function<void()> work)
    : turns_(QObject::connect(QAbstractEventDispatcher::instance(),
                              &QAbstractEventDispatcher::awake,
                              [owner = std::move(owner), work = std::move(work)] {
                                  if (!owner.expired()) {
                                      work();
                                  }
                              })) {}

Meanwhile::~Meanwhile() {
    QObject::disconnect(turns_);
}

}  // namespace korvane
