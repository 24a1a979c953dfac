#include "CacheFolders.h"

#include "platform/System.h"
#include "platform/UserPaths.h"

namespace quillet {

void getCachesPaths(const std::vector<sys::LocalVolume> &volumes, std::vector<std::string> &list) {
    list.clear();
    for (const sys::LocalVolume &volume : volumes) {
        if (volume.isHomeVolume) {
            list.push_back(sys::homeCacheFolder());
            continue;
        }
        std::string cache = sys::volumeCacheFolder(volume.mountPoint);
        if (sys::exists(cache))
            list.push_back(std::move(cache));
    }
}

void getTrashedPaths(const std::vector<sys::LocalVolume> &volumes, std::vector<std::string> &list) {
    list.clear();
    for (const sys::LocalVolume &volume : volumes) {
        if (volume.isHomeVolume) {
            list.push_back(sys::homeTrashFolder());
            continue;
        }
        std::string trash = sys::volumeTrashFolder(volume.mountPoint);
        if (sys::exists(trash))
            list.push_back(std::move(trash));
    }
}

} // namespace quillet
