#pragma once
// A folder's listing as the cache browser shows it the moment a row is expanded, before the
// entries' sizes and dates are read: the folder's path once, the stored names end to end in one
// buffer, and for each entry its kind and row id. A folder of 10,000 entries is then about
// 400 KB in a few blocks instead of 10,000 rows of full paths; a row (BrowserItem) is made only
// for an entry that is asked for.

#include <sys/types.h>

#include <cstdint>
#include <memory>
#include <string>
#include <string_view>
#include <vector>

#include "browser/BrowserItem.h"

namespace quillet {

class FolderListing {
public:
    /// An empty listing of the folder at folderPath; expectedNameBytes (the folder's size, say)
    /// only reserves room, so that a long listing is not copied as it grows.
    explicit FolderListing(std::string folderPath, size_t expectedNameBytes = 0);

    /// Adds the entry of the stored name `name` whose file type (S_IFDIR, S_IFREG …, links not
    /// followed) is kind.
    void add(std::string_view name, mode_t kind);

    size_t size() const { return _entries.size(); }
    bool empty() const { return _entries.empty(); }
    const std::string &folderPath() const { return _folderPath; }
    /// The entry's name as stored in the cache.
    std::string_view storedName(size_t i) const;
    /// The name the browser shows: the stored name without the hidden prefix.
    std::string_view visibleName(size_t i) const;
    /// True for a folder a user can open (not a package folder); links are never folders here.
    bool isDirectory(size_t i) const { return _entries[i].isDirectory; }
    /// rowIdOf(path(i)), computed once.
    RowId id(size_t i) const { return _entries[i].id; }
    std::string path(size_t i) const;
    /// The child row of entry i, its attributes pending: makeListedChildRow's row.
    BrowserItem row(size_t i) const;
    /// Every entry's row, in listing order.
    std::vector<BrowserItem> rows() const;

private:
    struct Entry {
        RowId id;
        uint64_t nameEnd : 56;
        uint64_t kind : 4; // (mode & S_IFMT) >> 12
        uint64_t isDirectory : 1;
    };
    std::string _folderPath;
    std::string _names;
    std::vector<Entry> _entries;
    /// _folderPath with its separator, then the name last added: the path a row id is taken of.
    std::string _pathBuffer;
    size_t _prefixSize = 0;
};

/// A listing that nobody changes any more, shared by its readers.
using ListingSnapshot = std::shared_ptr<const FolderListing>;

} // namespace quillet
