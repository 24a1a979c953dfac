#pragma once
// The child rows of the folders the cache browser expands, read from the disk once per folder
// and kept while the folder is unchanged, so that a folder of n entries costs one listing (and,
// once asked for, n attribute reads) however its rows are asked for.

#include <cstdint>
#include <ctime>
#include <functional>
#include <memory>
#include <mutex>
#include <string>
#include <unordered_map>
#include <vector>

#include "browser/BrowserItem.h"
#include "browser/FolderListing.h"
#include "platform/FolderStamp.h"

namespace quillet {

/// The child rows of folders of the caches, in two steps: the listing alone (names, kinds and
/// ids: what a view needs to show a folder's rows at once) and, when asked, the same rows with
/// their sizes and dates (one fstatat per entry relative to the opened folder). Both are kept,
/// for the most recently used folders, while the folder is unchanged.
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

    /// The listing of the folder at path, inside one of caches, opened as openFolderInCache
    /// opens it: names, kinds and ids, no row made. An empty listing when the folder cannot be
    /// opened (gone, a link, another account's).
    ListingSnapshot listing(const std::vector<std::string> &caches, const std::string &path);
    /// The child rows of that folder: its rows with attributes when they were read already, else
    /// those of its listing, attributes pending (BrowserItem::attributesPending).
    RowSnapshot rows(const std::vector<std::string> &caches, const std::string &path);
    /// The same rows with their attributes, in the same order: the rows of the kept listing
    /// when the folder is unchanged since, else of a new one. Entries that vanished after the
    /// listing are empty rows in place.
    RowSnapshot rowsWithAttributes(const std::vector<std::string> &caches, const std::string &path);
    /// Forgets every listing kept.
    void clear();
    /// How many times a folder was listed.
    uint64_t reads() const;
    /// How many times a listing's attributes were read.
    uint64_t attributeReads() const;
    void setClock(Clock clock);

private:
    struct Entry {
        sys::FolderStamp stamp;
        ListingSnapshot listing;
        /// The rows of listing, once asked for.
        RowSnapshot rows;
        /// rows with their attributes, once read.
        RowSnapshot withAttributes;
        uint64_t lastUse = 0;
    };
    /// The kept entry of path while its folder is unchanged, else a new listing (kept when the
    /// folder is settled); nothing when the folder cannot be opened. Called with _lock held.
    Entry *current(const std::vector<std::string> &caches, const std::string &path, Entry &unkept);

    mutable std::mutex _lock;
    std::unordered_map<std::string, Entry> _entries;
    size_t _capacity;
    uint64_t _uses = 0;
    uint64_t _reads = 0;
    uint64_t _attributeReads = 0;
    Clock _clock;
};

} // namespace quillet
