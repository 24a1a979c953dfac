#include "CacheFolders.h"

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
    return volume.isHomeVolume ? sys::homeCacheFolder() : sys::volumeCacheFolder(volume.mountPoint);
}

sys::Result<sys::Fd> openTrashOf(const sys::LocalVolume &volume, const std::string &trash) {
    return sys::openTrashFolder(trash, volume.isHomeVolume ? std::string() : volume.mountPoint);
}

} // namespace

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

sys::Status volumeProtectionProblem(const sys::LocalVolume &volume) {
    if (auto cache = sys::openOwnedFolder(cacheFolderOf(volume)); refused(cache))
        return cache.status();
    if (auto trash = openTrashOf(volume, trashFolderOf(volume)); refused(trash))
        return trash.status();
    return {};
}

} // namespace quillet
