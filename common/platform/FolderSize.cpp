#include "platform/FolderSize.h"

#include "platform/System.h"

#include <dirent.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <vector>

namespace quillet::sys {

uint64_t folderTreeDataSize(const std::string &folder) {
    auto root = openDirectory(folder, FollowLinks::Yes);
    if (!root)
        return 0;
    uint64_t total = 0;
    // Folders still to list, as paths relative to the root, most recently found first.
    std::vector<std::string> pending = {"."};
    while (!pending.empty()) {
        std::string relative = std::move(pending.back());
        pending.pop_back();
        int fd = ::openat(root->get(), relative.c_str(), O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC);
        if (fd < 0)
            continue;
        DIR *dir = ::fdopendir(fd);
        if (!dir) {
            ::close(fd);
            continue;
        }
        while (struct dirent *entry = ::readdir(dir)) {
            const char *name = entry->d_name;
            if (name[0] == '.' && (name[1] == 0 || (name[1] == '.' && name[2] == 0)))
                continue;
            unsigned char type = entry->d_type;
            struct stat st {};
            if (type != DT_DIR) {
                if (::fstatat(fd, name, &st, AT_SYMLINK_NOFOLLOW) != 0)
                    continue;
                if (!S_ISDIR(st.st_mode)) {
                    total += static_cast<uint64_t>(st.st_size);
                    continue;
                }
            }
            pending.push_back(relative == "." ? std::string(name) : relative + "/" + name);
        }
        ::closedir(dir);
    }
    return total;
}

bool isVolumeRoot(const std::string &path) {
    auto self = stat(path, FollowLinks::Yes);
    if (!self || !S_ISDIR(self->st_mode))
        return false;
    auto parent = stat(joinPath(path, ".."), FollowLinks::Yes);
    if (!parent)
        return false;
    // The root of a mount is on another device than its parent, or is its own parent ("/").
    return self->st_dev != parent->st_dev || self->st_ino == parent->st_ino;
}

} // namespace quillet::sys
