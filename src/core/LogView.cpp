#include "core/LogView.h"

namespace korvane {

LogView::~LogView() = default;

}  // namespace korvane
