#pragma once
// Where a cached item came from: the path it was trashed from and when, as the trash
// information store of its date folder (TrashInfo.h) records them. An item inside an archived
// folder came from inside the folder's original place.

#include "archive/TrashInfo.h"
#include "platform/System.h"

#include <map>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace quillet {

struct ItemOrigin {
    std::string originalPath; ///< absolute, decoded (raw bytes, any name)
    std::string deletionDate; ///< "YYYY-MM-DDThh:mm:ss" as recorded; empty when none was
    bool operator==(const ItemOrigin &) const = default;
};

/// Answers origins of many items, reading each date folder's store once.
class OriginLookup {
public:
    /// caches: the user's cache folders as listed (as cli cachesPaths() gives them).
    explicit OriginLookup(std::vector<std::string> caches);
    OriginLookup(const OriginLookup &) = delete;
    OriginLookup &operator=(const OriginLookup &) = delete;
    OriginLookup(OriginLookup &&) = default;
    OriginLookup &operator=(OriginLookup &&) = default;
    /// Where the cached item at path (cache/<date>/<stored>[/<stored>...], as browser rows have it)
    /// came from; nothing when unknown (no store entry, not inside a cache, a day row).
    /// A cache or date folder that is a link or another account's is never read: its items are
    /// unknown.
    std::optional<ItemOrigin> originOf(const std::string &cachedPath);

private:
    /// The store of the date folder dateFolder (cache, "/", the date folder's name dateName);
    /// nothing when dateName is no date.
    const TrashInfoStore *storeOf(const std::string &cache, std::string_view dateFolder, std::string_view dateName);

    std::vector<std::string> _caches; ///< without trailing slashes
    /// Date folder path → its store, or nothing for a folder whose name is no date: each folder
    /// is judged and read once, however many rows it holds.
    std::map<std::string, std::optional<TrashInfoStore>, std::less<>> _stores;
    /// The date folder looked up last, and its store (an element of _stores, whose nodes stay
    /// where they are).
    const std::pair<const std::string, std::optional<TrashInfoStore>> *_last = nullptr;
    /// The cache folders opened so far (an invalid descriptor: not a real folder of the user's).
    std::map<std::string, sys::Fd> _cacheFolders;
};

} // namespace quillet
