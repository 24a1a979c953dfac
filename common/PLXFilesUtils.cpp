#include "PLXFilesUtils.h"

#include "platform/MountTable.h"

#include <strings.h>

#include <cstdlib>

namespace quillet {

bool PLXFilesUtils::getFSRef(std::string *reference, const std::string &path) {
    if (path.empty())
        return false;
    char *resolved = ::realpath(path.c_str(), nullptr);
    if (!resolved)
        return false;
    if (reference)
        *reference = resolved;
    std::free(resolved);
    return true;
}

bool PLXFilesUtils::isVolumeServer(const std::string &path) {
    std::string resolved;
    if (!getFSRef(&resolved, path))
        return false;
    auto mount = sys::mountHolding(resolved, sys::readMountTable());
    if (!mount || !sys::isNetworkFileSystem(mount->fsType))
        return false;
    auto host = sys::mountSourceHost(mount->source);
    return host && ::strcasecmp(host->c_str(), "localhost") != 0;
}

} // namespace quillet
