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

}  // namespace korvane::test
