#pragma once
// One row of the cache browser: a cached entry (a date folder, or an entry at any depth inside
// one) with the values the browser's columns show and sort by. The Qt browser and quilletctl
// read the same rows; the keys below name the fields where a row is exchanged as a dictionary.
//
// Where a row comes from decides what its fields hold:
//
//   origin          itemName                   itemRepresentationName   size
//   day row         "2008-03-14 15:42 +0100"   the same, or the raw      folder size of the
//                   (none when not a date)     folder name               date folder
//   flat row        visible stored name        the same                  file: data size;
//                                                                         folder: folder size
//   child row       visible stored name        the same                  the entry's own size
//   search result   stored name, unchanged     visible stored name       file: data size;
//                                                                         folder: folder size
//
// isDirectory is true for day rows, and for other rows when the entry is a folder that
// ZRAppUtils::isTrueFolder confirms (an application or a document package is not expandable).
//
// Every row carries an id, derived from its path alone: the same entry has the same id in every
// listing and after every refresh, so that a view can keep a row by its id (an item model's
// internal id) and find it again.

#include <sys/stat.h>

#include <cstdint>
#include <ctime>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace quillet {

inline constexpr std::string_view kPathToItemKey = "pathToItem";
inline constexpr std::string_view kItemNameKey = "itemName";
inline constexpr std::string_view kItemRepresentationNameKey = "itemRepresentationName";
inline constexpr std::string_view kModificationDateKey = "modificationDate";
inline constexpr std::string_view kSizeKey = "size";
inline constexpr std::string_view kIsDirectoryKey = "isDirectory";

enum class RowOrigin { DayRow, FlatRow, ChildRow, SearchResult };

/// Identity of a row: a 64-bit hash of its path (rowIdOf). 0 is no row: the empty row, or the
/// root of the outline.
using RowId = uint64_t;
/// The id of the row of the entry at path: the same for the same path, whenever and however often
/// it is asked on this machine, never 0, and different for different paths but with a chance of
/// about 2^-64 per pair (a collision among the rows of even a million entries is out of reach).
RowId rowIdOf(std::string_view path);

struct BrowserItem {
    /// Full path of the cached entry; empty for the empty row of an entry that vanished.
    std::string pathToItem;
    std::optional<std::string> itemName;
    std::optional<std::string> itemRepresentationName;
    /// "YYYY-MM-DD HH:MM:SS ±HHMM" in the local time zone (modificationDateDescription).
    std::optional<std::string> modificationDate;
    /// The moment modificationDate stands for, kept so sorting need not parse the text again.
    time_t modificationTime = 0;
    std::optional<uint64_t> size;
    bool isDirectory = false;
    /// rowIdOf(pathToItem); 0 for the empty row.
    RowId id = 0;
    /// A child row from a folder's listing alone: its name, kind and id are known, its size
    /// and dates not yet (they are nothing until the attributes are read).
    bool attributesPending = false;

    /// The row of an entry that vanished between the listing and the attribute query.
    bool isEmpty() const { return pathToItem.empty(); }
    /// "YES" or "NO", as the "isDirectory" key holds it.
    std::string_view isDirectoryText() const { return isDirectory ? "YES" : "NO"; }
    /// The name column's text: itemRepresentationName, else itemName, else "".
    std::string_view displayName() const;
    bool operator==(const BrowserItem &) const = default;
};

/// A list of rows that nobody changes any more: the root list, a folder's children, search
/// results. Readers share it; a new list replaces it as a whole.
using RowSnapshot = std::shared_ptr<const std::vector<BrowserItem>>;
/// The empty list of rows, one for every caller.
const RowSnapshot &noRows();

/// "YYYY-MM-DD HH:MM:SS ±HHMM" of the moment, in the local time zone.
std::string modificationDateDescription(time_t date);
/// The moment a modificationDateDescription text stands for, or nothing when it is not one.
std::optional<time_t> dateFromModificationDescription(std::string_view text);

enum class FolderSize { Measure, Skip };
/// The root row of the day view for the folder `name` directly inside the cache folder
/// `cachePath`, whose lstat is `st`. Its size is the folder size of the date folder, or none
/// when the caller only needs the row to find the items inside (FolderSize::Skip).
BrowserItem makeDayRow(const std::string &cachePath, std::string_view name, const struct stat &st,
                       FolderSize folderSize = FolderSize::Measure);

/// The row of the entry `name` inside the folder `folderPath`, opened as `folderFd`; the
/// entry's attributes are read relative to the descriptor, links not followed. origin is
/// FlatRow, ChildRow or SearchResult. Nothing when the entry no longer exists.
std::optional<BrowserItem> makeEntryRow(int folderFd, const std::string &folderPath, std::string_view name,
                                        RowOrigin origin);

/// As makeEntryRow, from the attributes `st` (lstat) already read.
BrowserItem makeEntryRow(const std::string &folderPath, std::string_view name, const struct stat &st,
                         RowOrigin origin);

/// The child row of the entry `name` of the folder `folderPath` from its listing alone: `kind`
/// is the entry's file type (S_IFDIR, S_IFREG …; links not followed) as the listing gave it, or
/// as a look at the entry did where the listing did not say. Its attributes are pending.
BrowserItem makeListedChildRow(const std::string &folderPath, std::string_view name, mode_t kind);

/// The child rows of the folder `parentPath`, opened as `folderFd`, for the entries `names` (its
/// listing, in that order): row i is the row of names[i], or the empty row when that entry no
/// longer exists. A long listing is shared out among a few threads; the order stays the listing's.
std::vector<BrowserItem> makeChildRows(int folderFd, const std::string &parentPath,
                                       const std::vector<std::string> &names);

/// What a path given from outside (a command-line argument) names in the cache folders.
struct CachedEntryRow {
    /// The browser row of the entry: a day row (its size not measured) for a folder directly
    /// inside a cache folder, a flat row for anything deeper.
    std::optional<BrowserItem> row;
    /// Why there is no row: empty when no cache folder holds the path or its last component names
    /// no entry (empty, "." or ".."); else the folder or entry refused and the reason, or for a
    /// date folder of another account the reason alone (the path names the folder already).
    std::string why;
};
/// The row of the cached entry at path. Only the folder holding the entry is resolved, to tell
/// which cache folder holds it; the entry is then reached from that cache folder as it is listed,
/// through real folders of the user's only (openEntryInCache), and is never followed itself when
/// it is a link. A date folder must be a real folder of this user as well.
CachedEntryRow cachedEntryRow(const std::vector<std::string> &caches, const std::string &path);

/// The size part of the selection line: a whole number and its unit ("MB" above 2 MiB − 1,
/// "KB" above 2047 bytes, else "B"), rounded as (total + 512) / unit.
struct WholeSize {
    int32_t value;
    const char *unit;
};
WholeSize selectionSize(uint64_t totalBytes);

/// Data of the selection line: the number of selected rows, and the size as selectionSize
/// gives it. Numbers are 32-bit as displayed.
struct SelectionSummary {
    int32_t count = 0;
    int32_t amount = 0;
    std::string_view unit = "B";
    bool operator==(const SelectionSummary &) const = default;
};
SelectionSummary summarizeSelection(size_t selectedRows, uint64_t totalBytes);

} // namespace quillet
