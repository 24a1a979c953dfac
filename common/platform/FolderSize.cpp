#include "platform/FolderSize.h"

#include "platform/System.h"
#include "platform/TrustedFolder.h"

#include <dirent.h>
#include <sys/stat.h>

#include <algorithm>
#include <condition_variable>
#include <mutex>
#include <thread>
#include <vector>

namespace quillet::sys {
namespace {

// At most this many threads walk one tree; each extra one pays for itself only on trees with
// many folders, where the walk is nothing but one stat after another in the kernel.
constexpr unsigned kMaxWalkers = 4;
// Paths below the root at least this long are opened one component at a time.
constexpr size_t kLongRelativePath = 2048;

// One walk: the folders still to list (paths relative to the root, most recently found first)
// shared by the threads that list them.
class TreeWalk {
public:
    explicit TreeWalk(const Fd &root) : _root(root) {}

    uint64_t run() {
        _pending.push_back(".");
        // The first folder alone tells whether the tree has enough folders to share out.
        uint64_t total = walk(1);
        unsigned helpers = std::min(kMaxWalkers, std::max(1u, std::thread::hardware_concurrency())) - 1;
        std::vector<uint64_t> totals(helpers, 0);
        {
            std::vector<std::jthread> threads;
            if (_pending.size() > 1)
                for (unsigned i = 0; i < helpers; ++i)
                    threads.emplace_back([this, &totals, i] { totals[i] = walk(SIZE_MAX); });
            total += walk(SIZE_MAX);
        }
        for (uint64_t part : totals)
            total += part;
        return total;
    }

private:
    // Lists folders until none is left anywhere (or maxFolders were listed), returning the
    // sizes found.
    uint64_t walk(size_t maxFolders) {
        uint64_t total = 0;
        std::vector<std::string> found;
        for (size_t listed = 0; listed < maxFolders; ++listed) {
            std::string relative;
            {
                std::unique_lock lock(_mutex);
                _ready.wait(lock, [this] { return !_pending.empty() || _busy == 0; });
                if (_pending.empty())
                    break;
                relative = std::move(_pending.back());
                _pending.pop_back();
                ++_busy;
            }
            found.clear();
            total += listFolder(relative, found);
            {
                std::lock_guard lock(_mutex);
                --_busy;
                for (std::string &folder : found)
                    _pending.push_back(std::move(folder));
            }
            _ready.notify_all();
        }
        return total;
    }

    // Sizes of the non-folder entries of one folder; its sub-folders go to found.
    uint64_t listFolder(const std::string &relative, std::vector<std::string> &found) {
        // A folder may be nested deeper than a path can name: a long path is opened one folder
        // at a time.
        auto folder = relative.size() < kLongRelativePath ? openDirectoryAt(_root, relative, FollowLinks::No)
                                                          : openPathWithoutLinksAt(_root, relative, {});
        if (!folder)
            return 0;
        uint64_t total = 0;
        std::string entryName; // one buffer for the names of the folder, not one per entry
        (void)forEachEntry(*folder, [&](std::string_view name, unsigned char type) {
            if (type != DT_DIR) {
                entryName.assign(name);
                auto st = statAt(*folder, entryName, FollowLinks::No);
                if (!st)
                    return true;
                if (!S_ISDIR(st->st_mode)) {
                    total += static_cast<uint64_t>(st->st_size);
                    return true;
                }
            }
            std::string path = relative == "." ? std::string() : relative + "/";
            path.append(name);
            found.push_back(std::move(path));
            return true;
        });
        return total;
    }

    FdRef _root;
    std::mutex _mutex;
    std::condition_variable _ready;
    std::vector<std::string> _pending;
    unsigned _busy = 0;
};

} // namespace

uint64_t folderTreeDataSize(const std::string &folder) {
    auto root = openDirectory(folder, FollowLinks::Yes);
    if (!root)
        return 0;
    return TreeWalk(*root).run();
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
