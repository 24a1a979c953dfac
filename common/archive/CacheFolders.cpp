#include "archive/CacheFolders.h"

#include "archive/CacheLayout.h"

#include "platform/TrustedFolder.h"
#include "platform/UserPaths.h"

#include <cerrno>

namespace quillet {
namespace {

/// A folder is refused when it exists and is not a real folder of this user.
bool refused(const sys::Result<sys::Fd> &opened) { return !opened && opened.code() != ENOENT; }

std::string trashFolderOf(const sys::LocalVolume &volume) {
    return volume.isHomeVolume ? sys::homeTrashFolder() : sys::volumeTrashFolder(volume.mountPoint);
}

std::string cacheFolderOf(const sys::LocalVolume &volume) {
    return volume.isHomeVolume ? homeCacheFolder() : volumeCacheFolder(volume.mountPoint);
}

sys::Result<sys::Fd> openTrashOf(const sys::LocalVolume &volume, const std::string &trash) {
    return sys::openTrashFolder(trash, volume.isHomeVolume ? std::string() : volume.mountPoint);
}

} // namespace

std::string homeCacheFolder() { return sys::joinPath(sys::homeFolder(), kCacheFolderName) + "/"; }

std::string volumeCacheFolder(const std::string &mountPoint) { return sys::joinPath(mountPoint, kCacheFolderName) + "/"; }

void getCachesPaths(const std::vector<sys::LocalVolume> &volumes, std::vector<std::string> &list) {
    list.clear();
    for (const sys::LocalVolume &volume : volumes) {
        std::string cache = cacheFolderOf(volume);
        auto opened = sys::openOwnedFolder(cache);
        if (opened || (volume.isHomeVolume && !refused(opened)))
            list.push_back(std::move(cache));
    }
}

void getTrashedPaths(const std::vector<sys::LocalVolume> &volumes, std::vector<std::string> &list) {
    list.clear();
    for (const sys::LocalVolume &volume : volumes) {
        std::string trash = trashFolderOf(volume);
        auto opened = openTrashOf(volume, trash);
        if (opened || (volume.isHomeVolume && !refused(opened)))
            list.push_back(std::move(trash));
    }
}

std::vector<std::string> mountedCachesPaths() {
    std::vector<std::string> caches;
    getCachesPaths(sys::mountedLocalVolumes(), caches);
    return caches;
}

sys::Status volumeProtectionProblem(const sys::LocalVolume &volume) {
    if (auto cache = sys::openOwnedFolder(cacheFolderOf(volume)); refused(cache))
        return cache.status();
    if (auto trash = openTrashOf(volume, trashFolderOf(volume)); refused(trash))
        return trash.status();
    return {};
}

} // namespace quillet

namespace quillet {
namespace {

} // namespace

sys::Result<sys::Fd> openFolderInCache(const std::vector<std::string> &caches, const std::string &path) {
    const std::string wanted = sys::withoutTrailingSlashes(path);
    for (const std::string &cache : caches) {
        const std::string folder = sys::withoutTrailingSlashes(cache);
        if (wanted != folder && !wanted.starts_with(folder + "/"))
            continue;
        auto opened = sys::openOwnedFolder(folder);
        if (!opened)
            return opened;
        // The date folder must be the user's own too; below it lie the user's archived items,
        // whose folders are only never followed when they are links.
        std::string_view relative = std::string_view(wanted).substr(folder.size());
        while (relative.starts_with('/'))
            relative.remove_prefix(1);
        if (relative.empty())
            return opened;
        const size_t slash = relative.find('/');
        const std::string dateName(relative.substr(0, slash));
        if (!dateFromFinderCompatibleDateDescription(dateName))
            return sys::Status::refusal(EINVAL, sys::joinPath(folder, dateName), "not a date folder of the cache");
        auto date = sys::openOwnedFolderAt(*opened, dateName, sys::joinPath(folder, dateName));
        if (!date || slash == std::string_view::npos)
            return date;
        return sys::openPathWithoutLinksAt(*date, relative.substr(slash + 1), sys::joinPath(folder, dateName));
    }
    return sys::Status::refusal(EXDEV, path, "not inside a cache folder");
}

sys::Result<EntryInCache> openEntryInCache(const std::vector<std::string> &caches, const std::string &path) {
    const std::string entry = sys::withoutTrailingSlashes(path);
    const std::string name = sys::lastPathComponent(entry);
    if (name.empty() || name == "." || name == ".." || name == "/")
        return sys::Status::refusal(EINVAL, path, "not an item of a cache folder");
    const std::string parent = sys::parentPath(entry);
    // The cache folder itself is no entry of a cache folder.
    bool inside = false;
    for (const std::string &cache : caches)
        inside = inside || parent == sys::withoutTrailingSlashes(cache) || parent.starts_with(sys::withoutTrailingSlashes(cache) + "/");
    if (!inside)
        return sys::Status::refusal(EXDEV, path, "not inside a cache folder");
    auto folder = openFolderInCache(caches, parent);
    if (!folder)
        return folder.status();
    return EntryInCache{std::move(*folder), name};
}

std::optional<HoldingCacheFolder> cacheFolderHolding(const std::string &resolvedPath,
                                                     const std::vector<std::string> &caches) {
    for (const std::string &cache : caches) {
        const std::string folder = sys::canonicalPath(sys::withoutTrailingSlashes(cache));
        if (resolvedPath == folder || resolvedPath.starts_with(folder + "/"))
            return HoldingCacheFolder{sys::withoutTrailingSlashes(cache), folder};
    }
    return std::nullopt;
}


} // namespace quillet
