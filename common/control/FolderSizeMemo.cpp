#include "control/FolderSizeMemo.h"

#include "platform/System.h"
#include "support/ZRAppUtils.h"

#include <algorithm>
#include <dirent.h>
#include <set>

namespace quillet {

bool FolderSizeMemo::stampsOf(const std::string &folder, std::vector<sys::FolderStamp> &stamps,
                              std::vector<std::string> &subfolders) {
    stamps.clear();
    subfolders.clear();
    auto dir = sys::openDirectory(folder, sys::FollowLinks::No);
    if (!dir)
        return false;
    auto own = sys::fstat(*dir);
    if (!own)
        return false;
    stamps.push_back(sys::FolderStamp::of(*own));
    auto names = sys::entryNames(*dir, sys::EntryOrder::Sorted);
    if (!names)
        return false;
    for (const std::string &name : *names) {
        auto st = sys::statAt(*dir, name, sys::FollowLinks::No);
        if (st && S_ISDIR(st->st_mode)) {
            subfolders.push_back(name);
            stamps.push_back(sys::FolderStamp::of(*st));
        }
    }
    return true;
}

uint64_t FolderSizeMemo::folderSize(const std::string &folder) {
    std::vector<sys::FolderStamp> stamps;
    std::vector<std::string> subfolders;
    const bool readable = stampsOf(folder, stamps, subfolders);
    const int64_t now = sys::monotonicMillis();
    auto known = _entries.find(folder);
    if (readable && known != _entries.end()) {
        const Entry &entry = known->second;
        const bool unchanged = entry.settled && entry.subfolders == subfolders &&
                               entry.stamps.size() == stamps.size() &&
                               std::equal(stamps.begin(), stamps.end(), entry.stamps.begin(),
                                          [](const sys::FolderStamp &a, const sys::FolderStamp &b) {
                                              return a.sameState(b);
                                          });
        if (unchanged && now - entry.walkedAt < kFolderSizeMemoMaxAge * 1000)
            return entry.size;
    }
    ++_walks;
    const uint64_t size = ZRAppUtils().getFolderSize(folder);
    if (!readable) {
        _entries.erase(folder);
        return size;
    }
    Entry entry;
    entry.settled = std::all_of(stamps.begin(), stamps.end(), [](const sys::FolderStamp &s) { return s.settled(); });
    entry.stamps = std::move(stamps);
    entry.subfolders = std::move(subfolders);
    entry.size = size;
    entry.walkedAt = now;
    _entries[folder] = std::move(entry);
    return size;
}

uint64_t FolderSizeMemo::totalSize(const std::vector<std::string> &folders) {
    uint64_t total = 0;
    for (const std::string &folder : folders)
        total += folderSize(folder);
    const std::set<std::string> asked(folders.begin(), folders.end());
    std::erase_if(_entries, [&](const auto &entry) { return !asked.contains(entry.first); });
    return total;
}

} // namespace quillet
