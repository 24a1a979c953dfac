#pragma once
// The child rows of the folders the cache browser expands, read from the disk once per folder
// and kept while the folder is unchanged, so that a folder of n entries costs one listing and n
// attribute reads however its rows are asked for.

#include <cstdint>
#include <ctime>
#include <functional>
#include <mutex>
#include <string>
#include <unordered_map>
#include <vector>

#include "BrowserItem.h"
#include "platform/FolderStamp.h"

namespace quillet {

/// The child rows of folders of the caches, each folder read once (its listing, then one
/// fstatat per entry relative to the opened folder) and kept, for the most recently used
/// folders, while the folder is unchanged.
///
/// A kept listing is checked at each use with one lstat of the folder's path: a folder that is
/// another one now (device and inode), or whose modification or change time moved, is read
/// again (sys::FolderStamp). A change made in the same tick of the file system's clock as the
/// read could leave the times as they were, so a listing read less than a second after the
/// folder's last modification is not kept: it is read again at the next use, until the folder
/// has been still for that long (FolderStamp::settled).
class FolderChildren {
public:
    /// What the listing cache reads its clock from (CLOCK_REALTIME, as file times); tests set
    /// another.
    using Clock = std::function<struct timespec()>;
    static constexpr size_t kDefaultCapacity = 32;

    explicit FolderChildren(size_t capacity = kDefaultCapacity);

    /// The child rows of the folder at path, inside one of caches, opened as openFolderInCache
    /// opens it: an empty list when it cannot be opened (gone, a link, another account's).
    /// Entries that vanished between the listing and their fstatat are empty rows in place.
    RowSnapshot rows(const std::vector<std::string> &caches, const std::string &path);
    /// Forgets every listing kept.
    void clear();
    /// How many times a folder was read (listed and its entries' attributes read).
    uint64_t reads() const;
    void setClock(Clock clock);

private:
    struct Entry {
        sys::FolderStamp stamp;
        RowSnapshot rows;
        uint64_t lastUse = 0;
    };

    mutable std::mutex _lock;
    std::unordered_map<std::string, Entry> _entries;
    size_t _capacity;
    uint64_t _uses = 0;
    uint64_t _reads = 0;
    Clock _clock;
};

} // namespace quillet
