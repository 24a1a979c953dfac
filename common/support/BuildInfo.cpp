#include "support/BuildInfo.h"

#include "platform/System.h"

// Both come from the build configuration, for this file alone: changing them rebuilds nothing
// else.
#ifndef QUILLET_VERSION
#error "QUILLET_VERSION must be defined by the build"
#endif
#ifndef QUILLET_UPDATE_URL
#error "QUILLET_UPDATE_URL must be defined by the build"
#endif

namespace quillet {

std::string applicationVersion() { return QUILLET_VERSION; }

std::string defaultUpdatePageUrl() {
    if (auto url = sys::environmentValue("QUILLET_UPDATE_URL"); url && !url->empty())
        return *url;
    return QUILLET_UPDATE_URL;
}

} // namespace quillet
