#include "core/RunConfiguration.h"

namespace korvane {

RunConfiguration& RunConfiguration::instance() {
    static RunConfiguration configuration;
    return configuration;
}

}  // namespace korvane
