#include "core/LogView.h"

#include <QCoreApplication>

namespace korvane {

LogView::~LogView() = default;

void HeadlessLogView::appendToPane(const QString&) {}

void HeadlessLogView::showMessage(const QString&) {}

void HeadlessLogView::yield() {
    if (QCoreApplication::instance() != nullptr) {
        QCoreApplication::processEvents();
    }
}

}  // namespace korvane
