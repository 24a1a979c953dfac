#pragma once
// Folder sizes for a window that shows them every 30 seconds: a folder is walked again only
// when something in it may have changed. What the programs add to or take from a cache or a
// trash folder always changes the times of the folder itself or of one of its direct
// subfolders (a date folder gets an item, a date folder goes, an entry is trashed); so a
// folder whose own stamp and whose subfolders' stamps are all as at the last walk, and were
// settled then (FolderStamp::settled), still has the size that walk found. A cache of 100,000
// items then costs one listing of its date folders per refresh instead of 100,000 stats.
//
// An edit made deep inside a folder by hand (a file rewritten in place) changes no such stamp:
// every folder is therefore walked again at least every kFolderSizeMemoMaxAge seconds.

#include "platform/FolderStamp.h"

#include <cstdint>
#include <map>
#include <string>
#include <vector>

namespace quillet {

inline constexpr int64_t kFolderSizeMemoMaxAge = 300;

class FolderSizeMemo {
public:
    /// ZRAppUtils::getFolderSize of folder, walked again only when it may have changed.
    uint64_t folderSize(const std::string &folder);
    /// The sum over folders; folders no longer asked for are forgotten.
    uint64_t totalSize(const std::vector<std::string> &folders);
    /// How many walks the memo has made (for tests and benchmarks).
    uint64_t walks() const { return _walks; }

private:
    struct Entry {
        std::vector<sys::FolderStamp> stamps; ///< the folder's, then its subfolders', by name order
        std::vector<std::string> subfolders;
        uint64_t size = 0;
        int64_t walkedAt = 0; ///< monotonic milliseconds
        bool settled = false;
    };
    /// The folder's stamp and its direct subfolders' (names sorted); false when it cannot be read.
    static bool stampsOf(const std::string &folder, std::vector<sys::FolderStamp> &stamps,
                         std::vector<std::string> &subfolders);

    std::map<std::string, Entry> _entries;
    uint64_t _walks = 0;
};

} // namespace quillet
