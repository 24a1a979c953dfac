#include "browser/FolderChildren.h"

#include <dirent.h>

#include <algorithm>
#include <memory>

#include "archive/CacheFolders.h"
#include "archive/CacheLayout.h"
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

uint64_t FolderChildren::attributeReads() const {
    std::lock_guard lock(_lock);
    return _attributeReads;
}

FolderChildren::Entry *FolderChildren::current(const std::vector<std::string> &caches, const std::string &path,
                                               Entry &unkept) {
    auto kept = _entries.find(path);
    if (kept != _entries.end()) {
        // One lstat of the path: the folder reached there now must be the one listed, as it
        // was. Whatever stands in the way (a link now, gone) makes the folder be opened again
        // from its cache folder, which refuses what it must.
        auto st = sys::stat(path, sys::FollowLinks::No);
        if (st && sys::FolderStamp::of(*st).sameState(kept->second.stamp)) {
            kept->second.lastUse = ++_uses;
            return &kept->second;
        }
        _entries.erase(kept);
    }

    // The moment is taken before the folder's times are read: a change after it gets a time
    // from this moment on, less the clock's tick.
    const struct timespec readTime = _clock();
    ++_reads;
    auto folder = openFolderInCache(caches, path);
    if (!folder)
        return nullptr;
    auto st = sys::fstat(*folder);
    if (!st)
        return nullptr;
    auto listing = std::make_shared<FolderListing>(path, static_cast<size_t>(std::max<off_t>(st->st_size, 0)));
    (void)sys::forEachEntry(*folder, [&](std::string_view name, unsigned char type) {
        if (isInternalName(name)) // the system's own work, no item: it takes no position
            return true;
        mode_t kind = DTTOIF(type);
        if (type == DT_UNKNOWN) {
            // Some file systems do not say in their listings; an entry gone since is no folder.
            auto entry = sys::statAt(*folder, std::string(name), sys::FollowLinks::No);
            kind = entry ? entry->st_mode & S_IFMT : 0;
        }
        listing->add(name, kind);
        return true;
    });
    Entry made{sys::FolderStamp::of(*st), std::move(listing), nullptr, nullptr, ++_uses};
    // A folder modified less than a second before this read may change again unseen: not kept.
    made.stamp.takenAt = readTime;
    if (!made.stamp.settled()) {
        unkept = std::move(made);
        return &unkept;
    }
    if (_entries.size() >= _capacity) {
        auto oldest = std::min_element(_entries.begin(), _entries.end(), [](const auto &a, const auto &b) {
            return a.second.lastUse < b.second.lastUse;
        });
        _entries.erase(oldest);
    }
    return &(_entries[path] = std::move(made));
}

ListingSnapshot FolderChildren::listing(const std::vector<std::string> &caches, const std::string &path) {
    std::lock_guard lock(_lock);
    Entry unkept;
    Entry *entry = current(caches, path, unkept);
    if (!entry)
        return std::make_shared<const FolderListing>(path);
    return entry->listing;
}

RowSnapshot FolderChildren::rows(const std::vector<std::string> &caches, const std::string &path) {
    std::lock_guard lock(_lock);
    Entry unkept;
    Entry *entry = current(caches, path, unkept);
    if (!entry)
        return noRows();
    if (entry->withAttributes)
        return entry->withAttributes;
    if (!entry->rows)
        entry->rows = std::make_shared<const std::vector<BrowserItem>>(entry->listing->rows());
    return entry->rows;
}

RowSnapshot FolderChildren::rowsWithAttributes(const std::vector<std::string> &caches, const std::string &path) {
    std::lock_guard lock(_lock);
    Entry unkept;
    Entry *entry = current(caches, path, unkept);
    if (!entry)
        return noRows();
    if (entry->withAttributes)
        return entry->withAttributes;
    auto folder = openFolderInCache(caches, path);
    auto st = folder ? sys::fstat(*folder) : sys::Result<struct stat>(folder.status());
    if (!st)
        return noRows();
    // Changed between the check and the opening: the attributes of the folder as it is now,
    // from a listing of its own, never another listing's.
    if (!sys::FolderStamp::of(*st).sameState(entry->stamp)) {
        _entries.erase(path);
        entry = current(caches, path, unkept);
        if (!entry)
            return noRows();
    }
    ++_attributeReads;
    const FolderListing &listed = *entry->listing;
    std::vector<std::string> names;
    names.reserve(listed.size());
    for (size_t i = 0; i < listed.size(); ++i)
        names.emplace_back(listed.storedName(i));
    entry->withAttributes = std::make_shared<const std::vector<BrowserItem>>(makeChildRows(folder->get(), path, names));
    return entry->withAttributes;
}

} // namespace quillet
