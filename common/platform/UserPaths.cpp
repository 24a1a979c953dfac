#include "platform/UserPaths.h"

#include "CacheLayout.h"

#include <pwd.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>

namespace quillet::sys {
namespace {

std::string environmentFolder(const char *name, const std::string &fallback) {
    const char *value = std::getenv(name);
    // The freedesktop.org base directories must be absolute; anything else is ignored.
    if (value && value[0] == '/')
        return value;
    return fallback;
}

std::string withSlash(std::string path) {
    if (path.empty() || path.back() != '/')
        path += '/';
    return path;
}

Status makePrivateFolder(const std::string &path) {
    Status status = mkdir(path, 0700);
    if (!status && status.code() == EEXIST)
        return {};
    return status;
}

} // namespace

std::string homeFolder() {
    if (const char *home = std::getenv("HOME"); home && home[0] == '/')
        return home;
    if (struct passwd *entry = ::getpwuid(::getuid()); entry && entry->pw_dir)
        return entry->pw_dir;
    return "/";
}

std::string homeTrashRoot() { return environmentFolder("XDG_DATA_HOME", joinPath(homeFolder(), ".local/share")) + "/Trash"; }

std::string homeTrashFolder() { return homeTrashRoot() + "/files/"; }

std::string volumeTrashFolder(const std::string &mountPoint) {
    std::string uid = std::to_string(::getuid());
    std::string shared = joinPath(mountPoint, ".Trash/" + uid + "/files");
    auto st = stat(shared, FollowLinks::No);
    if (st && S_ISDIR(st->st_mode))
        return shared + "/";
    return joinPath(mountPoint, ".Trash-" + uid + "/files/");
}

std::string homeCacheFolder() { return withSlash(joinPath(homeFolder(), kCacheFolderName)); }

std::string volumeCacheFolder(const std::string &mountPoint) { return withSlash(joinPath(mountPoint, kCacheFolderName)); }

std::string configFolder() { return environmentFolder("XDG_CONFIG_HOME", joinPath(homeFolder(), ".config")); }

Status ensureHomeTrash() {
    std::string root = homeTrashRoot();
    std::string parent = parentPath(root);
    // The data folder itself may be missing on a fresh account.
    if (!exists(parent)) {
        std::string partial;
        size_t start = 1;
        while (start <= parent.size()) {
            size_t end = parent.find('/', start);
            if (end == std::string::npos)
                end = parent.size();
            partial = parent.substr(0, end);
            if (!exists(partial)) {
                Status status = mkdir(partial, 0700);
                if (!status && status.code() != EEXIST)
                    return status;
            }
            start = end + 1;
        }
    }
    for (const std::string &folder : {root, root + "/files", root + "/info"}) {
        Status status = makePrivateFolder(folder);
        if (!status)
            return status;
    }
    return {};
}

Status ensureCacheFolder(const std::string &path) {
    if (exists(path))
        return {};
    return makePrivateFolder(path);
}

} // namespace quillet::sys
