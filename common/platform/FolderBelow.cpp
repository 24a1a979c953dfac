#include "platform/FolderBelow.h"

#include "platform/TrustedFolder.h"

#include <fcntl.h>

namespace quillet::sys {

Result<Fd> openFolderBelow(int root, const std::string &relative) {
    if (relative.empty())
        return openAt(root, ".", O_RDONLY | O_DIRECTORY);
    if (relative.size() < kLongRelativePath)
        return openDirectoryAt(root, relative, FollowLinks::No);
    return openPathWithoutLinksAt(root, relative, {});
}

} // namespace quillet::sys
