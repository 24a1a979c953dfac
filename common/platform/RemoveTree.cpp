#include "platform/RemoveTree.h"

#include "platform/ItemLock.h"

#include <algorithm>
#include <cerrno>
#include <vector>

namespace quillet::sys {
namespace {

/// Names of the open folder's entries, ascending, so that a removal always goes the same way.
std::vector<std::string> sortedNames(FdRef dir) { return entryNames(dir, EntryOrder::Sorted).valueOr({}); }

} // namespace

Status removeEntry(FdRef dir, const std::string &name, bool isDirectory) {
    Status status = unlinkAt(dir, name, isDirectory);
    if (!status && (status.code() == EPERM || status.code() == EACCES)) {
        unlockItemAt(dir, name);
        status = unlinkAt(dir, name, isDirectory);
    }
    if (!status && status.code() == ENOENT)
        return {};
    return status;
}

Status removeTree(FdRef dir, const std::string &name, uint64_t *bytesRemoved) {
    auto st = statAt(dir, name, FollowLinks::No);
    if (!st)
        return st.code() == ENOENT ? Status() : st.status();
    if (!S_ISDIR(st->st_mode)) {
        Status status = removeEntry(dir, name, false);
        if (status && bytesRemoved)
            *bytesRemoved += static_cast<uint64_t>(std::max<off_t>(st->st_size, 0));
        return status;
    }
    if (auto folder = openDirectoryAt(dir, name, FollowLinks::No)) {
        unlockOpenItem(*folder, *st);
        for (const std::string &child : sortedNames(*folder))
            (void)removeTree(*folder, child, bytesRemoved);
    }
    return removeEntry(dir, name, true);
}

Status removeTreeAtPath(const std::string &path, uint64_t *bytesRemoved) {
    std::string name = lastPathComponent(path);
    if (name.empty() || name == "/" || name == "." || name == "..")
        return Status::failure(EINVAL, "removeTree", path);
    auto parent = openDirectory(parentPath(path));
    if (!parent)
        return parent.status();
    return removeTree(*parent, name, bytesRemoved);
}

} // namespace quillet::sys
