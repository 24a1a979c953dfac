#pragma once
// The cache browser's model, shared by the Qt browser tab and quilletctl: the root rows of the
// day view (one per folder at the root of each cache folder) or of the flat view (one per entry
// directly inside a date folder), the age limit, sorting of the root level, children read from
// the disk on demand, the displayed-items count and the search results. It draws nothing: the
// front end is told through callbacks when to reload and what the status line counts.
//
// Rows keep their identity (BrowserItem::id, from the path) across refreshes, and the children
// of a folder are read from the disk once and kept until the folder changes or the tree is
// rebuilt, so that an item model can show a folder of many entries in time linear in their
// number and hold its rows by id.
//
// Threads: everything except the search walk runs on the front end's main thread. The search
// thread only appends to the result list of its CacheSearch. The root list is an immutable
// snapshot, replaced as a whole: a reader (cell drawing, the root children) takes the snapshot
// as it is and never waits.

#include <atomic>
#include <cstdint>
#include <ctime>
#include <functional>
#include <memory>
#include <mutex>
#include <optional>
#include <set>
#include <string>
#include <string_view>
#include <vector>

#include "browser/BrowserItem.h"
#include "browser/CacheSearch.h"
#include "browser/FolderChildren.h"

namespace quillet {

/// Column identifiers of the outline, its external names (a view's column identifiers).
inline constexpr std::string_view kItemNameColumn = "ItemName";
inline constexpr std::string_view kModifDateColumn = "modifDate";
inline constexpr std::string_view kSizeColumn = "size";

/// Sort keys of the columns, their names in the settings and on quilletctl's command line.
inline constexpr std::string_view kItemNameSortKey = "itemNameSortKey";
inline constexpr std::string_view kModifDateSortKey = "modifDateSortKey";
inline constexpr std::string_view kItemSizeSortKey = "itemSizeSortKey";

/// The browser's columns: the name, the modification date and the size. The core compares and
/// sorts by these; the identifiers and sort keys above are mapped to them here and only here.
enum class BrowserColumn { Name, Date, Size };
inline constexpr BrowserColumn kBrowserColumns[] = {BrowserColumn::Name, BrowserColumn::Date, BrowserColumn::Size};
/// The column of an identifier ("ItemName", "modifDate", "size"), or none.
std::optional<BrowserColumn> columnForIdentifier(std::string_view identifier);
/// The column of a sort key ("itemNameSortKey", "modifDateSortKey", "itemSizeSortKey"), or none.
std::optional<BrowserColumn> columnForSortKey(std::string_view key);
std::string_view columnIdentifier(BrowserColumn column);
std::string_view columnSortKey(BrowserColumn column);

enum class SortOrder { Ascending, Descending };

struct SortDescriptor {
    /// The column sorted by; none when the descriptor came from a key that names no column.
    std::optional<BrowserColumn> column = BrowserColumn::Name;
    SortOrder order = SortOrder::Ascending;

    SortDescriptor() = default;
    SortDescriptor(BrowserColumn sortColumn, SortOrder sortOrder = SortOrder::Ascending)
        : column(sortColumn), order(sortOrder) {}
    /// From a sort key (columnForSortKey); an unknown key makes a descriptor of no column.
    SortDescriptor(std::string_view key, SortOrder sortOrder = SortOrder::Ascending)
        : column(columnForSortKey(key)), order(sortOrder) {}
    /// The sort key of the column; empty for no column.
    std::string_view key() const { return column ? columnSortKey(*column) : std::string_view(); }
    bool operator==(const SortDescriptor &) const = default;
};

/// -1, 0 or 1 as a orders before, with or after b under the descriptor: the name column
/// compares the item names' full case foldings (foldedName) byte for byte, which is code point
/// order for UTF-8: "été" equals "Été" and "Straße" equals "STRASSE", and accented letters
/// come after z; bytes that are not UTF-8 compare as they are. The date column compares the
/// modification dates, the size column the sizes (a missing value counts as empty, 0 or the
/// epoch); a descriptor of no column orders a first. Descending swaps before and after;
/// equality stays.
int compareBrowserItems(const BrowserItem &a, const BrowserItem &b, const SortDescriptor &descriptor);
/// The rows sorted stably with compareBrowserItems (rows it finds equal, such as names equal
/// but for case, keep their order); a descriptor of no column leaves them in order.
void sortBrowserItems(std::vector<BrowserItem> &items, const SortDescriptor &descriptor);

enum class ViewMode { Day, Flat };

/// Who asks for a refresh: the view radio group rebuilds from the disk even while search
/// results are shown.
enum class RefreshSender { ViewModeControl, Other };

/// What a cell shows, before the front end formats it.
struct CellValue {
    enum class Kind { Empty, Name, Date, Size };
    Kind kind = Kind::Empty;
    /// Name: the text; Date: the modificationDate text.
    std::string text;
    /// Name: the row is a date folder (its parent folder is a ".TrashCacheFolder"): the front
    /// end shows the application icon and a blue title.
    bool isDateFolderRow = false;
    /// Date: the moment; Size: the byte count (0 for a row without size).
    time_t date = 0;
    uint64_t size = 0;
};

class CacheTree {
public:
    /// The front end reloads its outline view.
    using ReloadCallback = std::function<void()>;
    /// The status line shows "<count> items displayed".
    using StatusCallback = std::function<void(uint64_t displayedItems)>;

    CacheTree() = default;
    /// As setTrashesCachePath, without building.
    explicit CacheTree(std::vector<std::string> cachesPath) : _cachesPath(std::move(cachesPath)) {}
    CacheTree(const CacheTree &) = delete;
    CacheTree &operator=(const CacheTree &) = delete;

    void setReloadCallback(ReloadCallback callback) { _reload = std::move(callback); }
    void setStatusCallback(StatusCallback callback) { _status = std::move(callback); }
    /// Called on the search thread when a search ends; the front end hands the number to
    /// threadTerminateSearch on its main thread. It must not wait for the main thread: starting
    /// a new search, clearing one and destroying the tree wait for the search thread to end.
    void setSearchFinishedCallback(CacheSearch::FinishedCallback callback);

    /// Keeps a copy of the cache folder paths (shown in this order) and rebuilds the root list.
    /// Nothing (std::nullopt) is ignored.
    void setTrashesCachePath(const std::optional<std::vector<std::string>> &cachesPath);
    const std::vector<std::string> &cachesPath() const { return _cachesPath; }

    /// The browser tab is the selected tab: lists are built and refreshed only then.
    void setBrowserTabSelected(bool selected) { _browserTabSelected = selected; }
    bool browserTabSelected() const { return _browserTabSelected; }
    /// View mode and age limit in hours (0: no limit). They take effect at the next refresh.
    void setViewMode(ViewMode mode) { _viewMode = mode; }
    ViewMode viewMode() const { return _viewMode; }
    void setAgeLimitHours(unsigned hours) { _ageLimitHours = hours; }
    unsigned ageLimitHours() const { return _ageLimitHours; }

    /// The column header was clicked: the root list is re-sorted by the first descriptor (kept
    /// as it is when there is none), then refreshed.
    void sortDescriptorsDidChange(std::vector<SortDescriptor> descriptors);
    const std::vector<SortDescriptor> &sortDescriptors() const { return _sortDescriptors; }

    /// Rebuilds the root list from the disk, unless search results are shown or another tab is
    /// selected. Unreadable cache folders and vanished entries contribute no rows. Folders at
    /// the root of a cache folder whose names are not dates are never hidden by the age limit.
    void buildListRootItems();
    /// Rebuilds from the disk (view radio group, or no search results shown) or takes the
    /// search results found so far; then reloads and reports the displayed-items count. Does
    /// nothing while another tab is selected.
    void refreshOutlineList(RefreshSender sender = RefreshSender::Other);

    /// The day view's rows from the cache folders' listings alone, their folder sizes pending
    /// (attributesPending), in their order: what a front end can show of a large cache before
    /// buildListRootItems has walked every date folder for its size. Rows are matched up with the
    /// finished list by their ids. Empty for the flat view, and where the order needs the sizes.
    std::vector<BrowserItem> listedRootRows() const;
    /// The first `wanted` rows of the flat view sorted by name, whole, and how many rows the
    /// finished list will have: every date folder is listed, but only those rows' entries are
    /// looked at, so a front end shows the top of a large list long before buildListRootItems
    /// has read every entry's attributes. Nothing for the day view and other orders.
    struct FlatPreview {
        std::vector<BrowserItem> rows;
        size_t total = 0;
    };
    FlatPreview flatPreviewRows(size_t wanted) const;
    /// The root rows as displayed, shared: never waits, whoever replaces the list meanwhile.
    RowSnapshot rootRows() const { return _rootRows.load(); }
    /// A copy of the root rows as displayed.
    std::vector<BrowserItem> rootListItems() const;
    /// The root rows as displayed, moved out: the root list is empty afterwards, until the next
    /// build. For a front end that shows the rows once and need not pay for a copy (quilletctl).
    std::vector<BrowserItem> takeRootListItems();
    /// The listing of a row's folder, in listing order (never sorted): names, kinds and ids, no
    /// row made yet (FolderListing). Read once, then kept while the folder is unchanged and
    /// until the next build of the root list (FolderChildren). Empty for the empty row and for a
    /// folder that cannot be opened. This is what an item model asks for when a row is
    /// expanded; it asks for the rows with their attributes next, off its event loop.
    ListingSnapshot listing(const BrowserItem &item) const;
    /// The child rows of that listing, their sizes and dates pending until
    /// childrenWithAttributes read them (BrowserItem::attributesPending); the rows with
    /// attributes once they were read.
    RowSnapshot children(const BrowserItem &item) const;
    /// The same rows with their sizes and dates: those of the listing children() gave while the
    /// folder is unchanged (a model matches them up by row id), else of a new listing.
    RowSnapshot childrenWithAttributes(const BrowserItem &item) const;
    /// Children of a row (nullptr: the root): the root list's size, or the number of entries of
    /// the row's folder.
    size_t numberOfChildren(const BrowserItem *item) const;
    /// Child i of a row (nullptr: the root). Root rows come from the root list as it is now;
    /// nothing past the end. Other rows' children are entry i of the row's folder listing with
    /// its attributes (childrenWithAttributes()), checked against the folder at every call; an
    /// empty row when it vanished or lies past the end.
    std::optional<BrowserItem> child(const BrowserItem *item, size_t index) const;
    static bool isItemExpandable(const BrowserItem &item) { return item.isDirectory; }
    /// The value of a cell; Empty when the item is missing, the root list is empty or the
    /// column is unknown. Never waits.
    CellValue objectValue(BrowserColumn column, const BrowserItem *item) const;
    /// The same by the column's identifier ("ItemName", "modifDate", "size").
    CellValue objectValue(std::string_view columnIdentifier, const BrowserItem *item) const;
    /// How many times a folder's children were read from the disk (the listing cache's reads).
    uint64_t folderReads() const { return _children.reads(); }
    /// How many times a listing's attributes were read from the disk.
    uint64_t attributeReads() const { return _children.attributeReads(); }
    /// The clock the listing cache compares folder times with; for tests.
    void setListingClock(FolderChildren::Clock clock) { _children.setClock(std::move(clock)); }

    /// The front end expanded or collapsed the row of path; countDisplayedItems follows.
    void setRowExpanded(const std::string &path, bool expanded);
    /// Rows the outline shows now: root rows and the children of expanded rows whose
    /// ancestors are all expanded.
    uint64_t countDisplayedItems() const;

    /// The search field's action: an empty text ends search mode and rebuilds the normal view;
    /// any other text stops a running search, waits for its thread and starts a new one with an
    /// empty result list. After a non-empty text the front end runs a 0.5 s timer calling
    /// searchRefreshTimer until it answers false or the search ends.
    void searchItemAction(const std::string &text);
    /// The refresh tick while searching (every 0.5 s): refreshes the display; answers false when
    /// the front end should stop its timer (the search was asked to stop).
    bool searchRefreshTimer();
    /// The search with this number ended; refreshes once unless it was stopped. A number other
    /// than the latest search's is ignored, so an old search never ends a newer one.
    void threadTerminateSearch(uint64_t searchNumber);
    bool userIsSearching() const { return _userIsSearching; }
    bool searchThreadRunning() const { return _search.searchThreadRunning(); }
    const std::string &stringSearched() const { return _search.stringSearched(); }
    /// Waits for a running search's thread to end (for quilletctl and tests).
    void waitForSearch() { _search.waitUntilFinished(); }

private:
    std::vector<BrowserItem> buildDayRows(FolderSize folderSize) const;
    void applyAgeLimit(std::vector<BrowserItem> &dayRows) const;
    std::vector<BrowserItem> buildFlatRows(const std::vector<BrowserItem> &dayRows) const;
    uint64_t countBelow(const std::string &folderPath) const;
    void reload() const;
    void publishRootRows(std::vector<BrowserItem> rows);

    std::vector<std::string> _cachesPath;
    /// Replaced as a whole, never changed in place; never empty (an empty list instead).
    std::atomic<RowSnapshot> _rootRows{noRows()};
    mutable FolderChildren _children;
    std::vector<SortDescriptor> _sortDescriptors{SortDescriptor{}};
    std::set<std::string> _expandedRows;
    ViewMode _viewMode = ViewMode::Day;
    unsigned _ageLimitHours = 0;
    bool _browserTabSelected = true;
    bool _userIsSearching = false;
    CacheSearch _search;
    ReloadCallback _reload;
    StatusCallback _status;
};

} // namespace quillet
