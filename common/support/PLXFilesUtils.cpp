#include "support/PLXFilesUtils.h"

#include "platform/MountTable.h"
#include "platform/System.h"

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
    return mount && sys::isServerMount(*mount);
}

} // namespace quillet
