#pragma once

#include <QString>

#include "core/ConfigurationLoader.h"

namespace korvane {

// The object name of the configuration window's box that shows a setting (Shown::Box).
QString boxOf(const Setting& setting);

}  // namespace korvane
