#pragma once
// What the build fixed about this system: its version and the address of the maker's download
// page that the update check reads.

#include <string>

namespace quillet {

/// The version of this build (the project version the build was configured with, "0.1.0").
std::string applicationVersion();

/// The download page the update check reads: the environment variable QUILLET_UPDATE_URL when
/// it is set and not empty (tests point it at a server of their own), else the address the
/// build was configured with (CMake cache variable QUILLET_UPDATE_URL).
std::string defaultUpdatePageUrl();

} // namespace quillet
