#include "PLXFilesUtils.h"

#include "platform/MountTable.h"
#include "platform/System.h"

#include <strings.h>

namespace quillet {

bool PLXFilesUtils::getFSRef(std::string *reference, const std::string &path) {
    if (path.empty() || !sys::stat(path, sys::FollowLinks::Yes))
        return false;
    if (reference)
        *reference = sys::canonicalPath(path);
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
