#include "FolderChildren.h"

#include <algorithm>
#include <memory>

#include "CacheFolders.h"
#include "CacheLayout.h"
#include "platform/System.h"

namespace quillet {

FolderChildren::FolderChildren(size_t capacity) : _capacity(std::max<size_t>(1, capacity)), _clock(sys::realtimeNow) {}

void FolderChildren::setClock(Clock clock) {
    std::lock_guard lock(_lock);
    _clock = clock ? std::move(clock) : Clock(sys::realtimeNow);
}

void FolderChildren::clear() {
    std::lock_guard lock(_lock);
    _entries.clear();
}

uint64_t FolderChildren::reads() const {
    std::lock_guard lock(_lock);
    return _reads;
}

RowSnapshot FolderChildren::rows(const std::vector<std::string> &caches, const std::string &path) {
    std::lock_guard lock(_lock);
    auto kept = _entries.find(path);
    if (kept != _entries.end()) {
        // One lstat of the path: the folder reached there now must be the one listed, as it
        // was. Whatever stands in the way (a link now, gone) makes the folder be opened again
        // from its cache folder, which refuses what it must.
        auto st = sys::stat(path, sys::FollowLinks::No);
        if (st && sys::FolderStamp::of(*st).sameState(kept->second.stamp)) {
            kept->second.lastUse = ++_uses;
            return kept->second.rows;
        }
        _entries.erase(kept);
    }

    // The moment is taken before the folder's times are read: a change after it gets a time
    // from this moment on, less the clock's tick.
    const struct timespec readTime = _clock();
    ++_reads;
    auto folder = openFolderInCache(caches, path);
    if (!folder)
        return noRows();
    auto st = sys::fstat(*folder);
    if (!st)
        return noRows();
    std::vector<std::string> names;
    (void)sys::forEachEntry(*folder, [&names](std::string_view name, unsigned char) {
        if (!isInternalName(name)) // the system's own work, no item: it takes no position
            names.emplace_back(name);
        return true;
    });
    RowSnapshot rows = std::make_shared<const std::vector<BrowserItem>>(makeChildRows(folder->get(), path, names));
    // A folder modified less than a second before this read may change again unseen: not kept.
    sys::FolderStamp stamp = sys::FolderStamp::of(*st);
    stamp.takenAt = readTime;
    if (!stamp.settled())
        return rows;
    if (_entries.size() >= _capacity) {
        auto oldest = std::min_element(_entries.begin(), _entries.end(), [](const auto &a, const auto &b) {
            return a.second.lastUse < b.second.lastUse;
        });
        _entries.erase(oldest);
    }
    _entries[path] = Entry{stamp, rows, ++_uses};
    return rows;
}

} // namespace quillet
