#include "support/RecordingLogView.h"

namespace korvane::test {

void RecordingLogView::appendToPane(const QString& entry) {
    pane += entry;
    if (onAppend) {
        onAppend();
    }
}

void RecordingLogView::showMessage(const QString& text) {
    messages << text;
}

void RecordingLogView::yield() {
    ++yields;
    if (onYield) {
        onYield();
    }
}

}  // namespace korvane::test
