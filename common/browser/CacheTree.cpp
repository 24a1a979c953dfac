#include "browser/CacheTree.h"

#include <dirent.h>
#include <sys/stat.h>

#include <algorithm>
#include <atomic>
#include <iterator>
#include <map>
#include <thread>
#include <utility>

#include "archive/CacheFolders.h"
#include "browser/CacheSearch.h"
#include "archive/CacheLayout.h"
#include "platform/System.h"
#include "platform/TrustedFolder.h"

namespace quillet {

namespace {

int compareAsciiLowercase(std::string_view a, std::string_view b) {
    auto lower = [](unsigned char c) { return (c >= 'A' && c <= 'Z') ? c - 'A' + 'a' : c; };
    size_t common = std::min(a.size(), b.size());
    for (size_t i = 0; i < common; ++i) {
        int ca = lower(static_cast<unsigned char>(a[i]));
        int cb = lower(static_cast<unsigned char>(b[i]));
        if (ca != cb)
            return ca < cb ? -1 : 1;
    }
    if (a.size() == b.size())
        return 0;
    return a.size() < b.size() ? -1 : 1;
}

// The foldings compared byte for byte (as unsigned bytes, which for UTF-8 is code point
// order). The folding of an ASCII name is the name with A-Z lowered, so two ASCII names are
// compared in place, as they always were.
int compareFolded(std::string_view a, std::string_view b) {
    if (isAsciiName(a) && isAsciiName(b))
        return compareAsciiLowercase(a, b);
    const int result = foldedName(a).compare(foldedName(b));
    return result < 0 ? -1 : (result > 0 ? 1 : 0);
}

template <typename T> int threeWay(const T &a, const T &b) { return a < b ? -1 : (b < a ? 1 : 0); }

} // namespace

std::optional<BrowserColumn> columnForIdentifier(std::string_view identifier) {
    for (BrowserColumn column : kBrowserColumns)
        if (columnIdentifier(column) == identifier)
            return column;
    return std::nullopt;
}

std::optional<BrowserColumn> columnForSortKey(std::string_view key) {
    for (BrowserColumn column : kBrowserColumns)
        if (columnSortKey(column) == key)
            return column;
    return std::nullopt;
}

std::string_view columnIdentifier(BrowserColumn column) {
    switch (column) {
    case BrowserColumn::Name:
        return kItemNameColumn;
    case BrowserColumn::Date:
        return kModifDateColumn;
    case BrowserColumn::Size:
        return kSizeColumn;
    }
    return {};
}

std::string_view columnSortKey(BrowserColumn column) {
    switch (column) {
    case BrowserColumn::Name:
        return kItemNameSortKey;
    case BrowserColumn::Date:
        return kModifDateSortKey;
    case BrowserColumn::Size:
        return kItemSizeSortKey;
    }
    return {};
}

int compareBrowserItems(const BrowserItem &a, const BrowserItem &b, const SortDescriptor &descriptor) {
    int result = -1;
    if (descriptor.column == BrowserColumn::Name) {
        result = compareFolded(a.itemName ? std::string_view(*a.itemName) : std::string_view(),
                               b.itemName ? std::string_view(*b.itemName) : std::string_view());
    } else if (descriptor.column == BrowserColumn::Date) {
        // modificationTime is the moment the modificationDate text stands for, to the second.
        result = threeWay(a.modificationDate ? a.modificationTime : time_t{0},
                          b.modificationDate ? b.modificationTime : time_t{0});
    } else if (descriptor.column == BrowserColumn::Size) {
        result = threeWay(a.size.value_or(0), b.size.value_or(0));
    }
    return descriptor.order == SortOrder::Descending ? -result : result;
}

namespace {

// The order of the positions of items under a key read once per item: a sort of many rows
// would otherwise fold both names, or look at both optionals, in every comparison. The
// order is the one compareBrowserItems gives, ties kept in place. Each key is sorted together
// with its position, so that a comparison reads nothing else.
template <typename Key>
std::vector<uint32_t> stableOrder(const std::vector<Key> &keys, SortOrder order) {
    struct Entry {
        Key key;
        uint32_t position;
    };
    std::vector<Entry> entries;
    entries.reserve(keys.size());
    for (uint32_t i = 0; i < keys.size(); ++i)
        entries.push_back(Entry{keys[i], i});
    if (order == SortOrder::Descending)
        std::stable_sort(entries.begin(), entries.end(), [](const Entry &a, const Entry &b) { return b.key < a.key; });
    else
        std::stable_sort(entries.begin(), entries.end(), [](const Entry &a, const Entry &b) { return a.key < b.key; });
    std::vector<uint32_t> positions;
    positions.reserve(entries.size());
    for (const Entry &entry : entries)
        positions.push_back(entry.position);
    return positions;
}

// Puts items[order[i]] at i for every i, moving each row once: a permutation is a set of
// cycles, and each cycle is followed from one held-out row. order is used up.
void applyOrder(std::vector<BrowserItem> &items, std::vector<uint32_t> &order) {
    for (uint32_t start = 0; start < order.size(); ++start) {
        if (order[start] == start)
            continue;
        BrowserItem held = std::move(items[start]);
        uint32_t at = start;
        while (order[at] != start) {
            const uint32_t from = order[at];
            items[at] = std::move(items[from]);
            order[at] = at;
            at = from;
        }
        items[at] = std::move(held);
        order[at] = at;
    }
}

// The folded names, all in one buffer: comparing two of them as bytes gives compareFolded's
// answer. Each name is folded once; an ASCII one (nearly all) costs a pass that lowers A-Z.
std::vector<uint32_t> orderByName(const std::vector<BrowserItem> &items, SortOrder order) {
    size_t total = 0;
    for (const BrowserItem &item : items)
        total += item.itemName ? item.itemName->size() : 0;
    std::string buffer;
    buffer.reserve(total);
    std::vector<std::pair<size_t, size_t>> spans;
    spans.reserve(items.size());
    for (const BrowserItem &item : items) {
        const size_t start = buffer.size();
        if (item.itemName)
            appendFoldedName(*item.itemName, buffer);
        // Spans, not views: a folding longer than its name may move the buffer.
        spans.emplace_back(start, buffer.size() - start);
    }
    std::vector<std::string_view> keys;
    keys.reserve(items.size());
    for (const auto &[start, length] : spans)
        keys.emplace_back(buffer.data() + start, length);
    return stableOrder(keys, order);
}

} // namespace

void sortBrowserItems(std::vector<BrowserItem> &items, const SortDescriptor &descriptor) {
    // A descriptor of no column puts every first item before every second one, which is no
    // ordering a sort can use: the rows keep the order they were built in.
    std::vector<uint32_t> order;
    if (descriptor.column == BrowserColumn::Name) {
        order = orderByName(items, descriptor.order);
    } else if (descriptor.column == BrowserColumn::Date) {
        std::vector<time_t> keys;
        keys.reserve(items.size());
        for (const BrowserItem &item : items)
            keys.push_back(item.modificationDate ? item.modificationTime : time_t{0});
        order = stableOrder(keys, descriptor.order);
    } else if (descriptor.column == BrowserColumn::Size) {
        std::vector<uint64_t> keys;
        keys.reserve(items.size());
        for (const BrowserItem &item : items)
            keys.push_back(item.size.value_or(0));
        order = stableOrder(keys, descriptor.order);
    } else {
        return;
    }
    // Rows are large: sort their positions, then move each row once into place.
    applyOrder(items, order);
}

void CacheTree::setSearchFinishedCallback(CacheSearch::FinishedCallback callback) {
    _search.setFinishedCallback(std::move(callback));
}

void CacheTree::setTrashesCachePath(const std::optional<std::vector<std::string>> &cachesPath) {
    if (!cachesPath)
        return;
    _cachesPath = *cachesPath;
    // Listings were opened through the cache folders given before.
    _children.clear();
    buildListRootItems();
}

std::vector<BrowserItem> CacheTree::buildDayRows(FolderSize folderSize) const {
    std::vector<BrowserItem> rows;
    for (const std::string &cachePath : _cachesPath) {
        // A cache folder that is a link or another account's shows nothing, and neither does
        // an unreadable one.
        auto cache = sys::openOwnedFolder(cachePath);
        if (!cache)
            continue;
        (void)sys::forEachEntry(*cache, [&](std::string_view entry, unsigned char) {
            // Only real date folders of the user's: this drops the index, the marker files,
            // and anything planted under a date's name as a link or by another account.
            if (!dateFromFinderCompatibleDateDescription(entry))
                return true;
            std::string name(entry);
            auto own = sys::statAt(*cache, name, sys::FollowLinks::No);
            if (!own || !sys::checkOwnedFolder(*own, name))
                return true;
            rows.push_back(makeDayRow(cachePath, name, *own, folderSize));
            return true;
        });
    }
    return rows;
}

void CacheTree::applyAgeLimit(std::vector<BrowserItem> &dayRows) const {
    if (_ageLimitHours == 0)
        return;
    const time_t oldest = sys::realtimeNow().tv_sec - static_cast<time_t>(_ageLimitHours) * 3600;
    std::erase_if(dayRows, [&](const BrowserItem &row) {
        auto date = dateFromFinderCompatibleDateDescription(sys::lastPathComponent(row.pathToItem));
        // A folder whose name is no date has no age: it stays.
        return date && *date < oldest;
    });
}

namespace {

// At most this many threads read the date folders of the flat view.
constexpr unsigned kMaxFlatReaders = 4;

/// Entries of the open folder that are items (the system's own work left out).
size_t countItems(int folderFd) {
    size_t count = 0;
    (void)sys::forEachEntry(folderFd, [&count](std::string_view name, unsigned char) {
        if (!isInternalName(name))
            ++count;
        return true;
    });
    return count;
}

} // namespace

std::vector<BrowserItem> CacheTree::buildFlatRows(const std::vector<BrowserItem> &dayRows) const {
    // A flat row costs little more than the stat of its entry, and a cache of many date
    // folders is one stat after another in the kernel: the date folders are shared out among
    // a few threads (one per CPU), each taking the next folder not yet taken.
    const unsigned readers =
        static_cast<unsigned>(std::min<size_t>({kMaxFlatReaders, std::max(1u, std::thread::hardware_concurrency()),
                                                dayRows.size()}));
    auto shareOut = [&](const std::function<void(size_t)> &readFolder) {
        std::atomic<size_t> next{0};
        auto read = [&] {
            for (size_t i = next++; i < dayRows.size(); i = next++)
                readFolder(i);
        };
        std::vector<std::jthread> helpers;
        for (unsigned i = 1; i < readers; ++i)
            helpers.emplace_back(read);
        read();
    };
    // Two passes, so that every row is made once in its place in the one list: rows are large,
    // and on some machines each first touch of memory costs as much as a stat. First the listing
    // of every date folder (names alone), then the rows, each date folder's from its own place
    // on, in date-folder order as a single reader would have found them.
    std::vector<FolderListing> listed;
    listed.reserve(dayRows.size());
    for (const BrowserItem &day : dayRows)
        listed.emplace_back(day.pathToItem);
    shareOut([&](size_t i) {
        auto folder = openFolderInCache(_cachesPath, dayRows[i].pathToItem);
        if (!folder)
            return;
        (void)sys::forEachEntry(*folder, [&](std::string_view name, unsigned char type) {
            if (!isInternalName(name)) // the system's own work, no item
                listed[i].add(name, DTTOIF(type));
            return true;
        });
    });
    std::vector<size_t> first(listed.size()); // where each date folder's rows begin
    size_t count = 0;
    for (size_t i = 0; i < listed.size(); ++i) {
        first[i] = count;
        count += listed[i].size();
    }
    std::vector<BrowserItem> rows(count);
    shareOut([&](size_t i) {
        if (listed[i].empty())
            return;
        // Attributes are read relative to the open date folder: no path is resolved again per
        // entry. A folder or an entry gone since its listing leaves empty rows, dropped below.
        auto folder = openFolderInCache(_cachesPath, dayRows[i].pathToItem);
        if (!folder)
            return;
        for (size_t j = 0; j < listed[i].size(); ++j)
            if (auto row = makeEntryRow(folder->get(), dayRows[i].pathToItem, listed[i].storedName(j), RowOrigin::FlatRow))
                rows[first[i] + j] = std::move(*row);
    });
    std::erase_if(rows, [](const BrowserItem &row) { return row.isEmpty(); });
    return rows;
}

std::vector<BrowserItem> CacheTree::listedRootRows() const {
    // The flat view has no such list: sorting every entry's name costs as much as reading
    // them all with their attributes.
    const std::optional<BrowserColumn> column =
        _sortDescriptors.empty() ? std::nullopt : _sortDescriptors.front().column;
    if (_viewMode != ViewMode::Day || column == BrowserColumn::Size)
        return {};
    std::vector<BrowserItem> rows = buildDayRows(FolderSize::Skip);
    applyAgeLimit(rows);
    for (BrowserItem &row : rows)
        row.attributesPending = true;
    if (column)
        sortBrowserItems(rows, _sortDescriptors.front());
    return rows;
}

CacheTree::FlatPreview CacheTree::flatPreviewRows(size_t wanted) const {
    FlatPreview preview;
    if (_viewMode != ViewMode::Flat || _sortDescriptors.empty() ||
        _sortDescriptors.front().column != BrowserColumn::Name || wanted == 0)
        return preview;
    const SortOrder order = _sortDescriptors.front().order;
    std::vector<BrowserItem> dayRows = buildDayRows(FolderSize::Skip);
    applyAgeLimit(dayRows);
    // Every entry by its folded visible name, in the order the finished list is built in (date
    // folder by date folder, each as listed), so that equal names keep that order here too.
    struct Entry {
        uint32_t day;
        uint32_t position;
        size_t keyStart;
        uint32_t keyLength;
        size_t nameStart;
        uint32_t nameLength;
    };
    std::vector<Entry> entries;
    std::string keys;  // the folded visible names, one after the other
    std::string names; // the stored names
    for (uint32_t day = 0; day < dayRows.size(); ++day) {
        auto folder = openFolderInCache(_cachesPath, dayRows[day].pathToItem);
        if (!folder)
            continue;
        (void)sys::forEachEntry(*folder, [&](std::string_view name, unsigned char) {
            if (isInternalName(name))
                return true;
            const size_t keyStart = keys.size();
            appendFoldedName(hasHiddenPrefix(name) ? name.substr(kHiddenPrefix.size()) : name, keys);
            const size_t nameStart = names.size();
            names += name;
            entries.push_back(Entry{day, static_cast<uint32_t>(entries.size()), keyStart,
                                    static_cast<uint32_t>(keys.size() - keyStart), nameStart,
                                    static_cast<uint32_t>(name.size())});
            return true;
        });
    }
    preview.total = entries.size();
    // The stable sort's first rows: by name, then by where the entry was found.
    auto key = [&keys](const Entry &entry) { return std::string_view(keys).substr(entry.keyStart, entry.keyLength); };
    auto before = [&](const Entry &a, const Entry &b) {
        const int compared = key(a).compare(key(b));
        if (compared != 0)
            return order == SortOrder::Descending ? compared > 0 : compared < 0;
        return a.position < b.position;
    };
    const size_t shown = std::min(wanted, entries.size());
    std::partial_sort(entries.begin(), entries.begin() + static_cast<std::ptrdiff_t>(shown), entries.end(), before);
    std::map<uint32_t, sys::Fd> opened;
    for (size_t i = 0; i < shown; ++i) {
        const Entry &entry = entries[i];
        auto folder = opened.find(entry.day);
        if (folder == opened.end()) {
            auto fd = openFolderInCache(_cachesPath, dayRows[entry.day].pathToItem);
            if (!fd)
                continue;
            folder = opened.emplace(entry.day, std::move(*fd)).first;
        }
        // An entry gone since the listing is left out; the finished list will not have it either.
        const std::string_view stored = std::string_view(names).substr(entry.nameStart, entry.nameLength);
        if (auto row = makeEntryRow(folder->second.get(), dayRows[entry.day].pathToItem, stored, RowOrigin::FlatRow))
            preview.rows.push_back(std::move(*row));
    }
    return preview;
}

void CacheTree::publishRootRows(std::vector<BrowserItem> rows) {
    _rootRows.store(std::make_shared<const std::vector<BrowserItem>>(std::move(rows)));
}

void CacheTree::buildListRootItems() {
    if (_userIsSearching || !_browserTabSelected)
        return;
    // A rebuild reads the disk afresh, children included.
    _children.clear();
    // The flat view shows what is inside the date folders, never their sizes: walking every
    // date folder for a size nobody sees would read the whole cache twice.
    std::vector<BrowserItem> rows = buildDayRows(_viewMode == ViewMode::Flat ? FolderSize::Skip : FolderSize::Measure);
    applyAgeLimit(rows);
    if (_viewMode == ViewMode::Flat)
        rows = buildFlatRows(rows);
    if (!_sortDescriptors.empty())
        sortBrowserItems(rows, _sortDescriptors.front());
    publishRootRows(std::move(rows));
    reload();
}

void CacheTree::refreshOutlineList(RefreshSender sender) {
    if (!_browserTabSelected)
        return;
    if (sender == RefreshSender::ViewModeControl || !_userIsSearching) {
        buildListRootItems();
    } else {
        // The results found so far, as the search has handed them over: shared, not copied.
        _rootRows.store(_search.results());
        reload();
    }
    if (_status)
        _status(countDisplayedItems());
}

void CacheTree::sortDescriptorsDidChange(std::vector<SortDescriptor> descriptors) {
    _sortDescriptors = std::move(descriptors);
    if (!_sortDescriptors.empty()) {
        std::vector<BrowserItem> sorted = *_rootRows.load();
        sortBrowserItems(sorted, _sortDescriptors.front());
        publishRootRows(std::move(sorted));
    }
    refreshOutlineList(RefreshSender::Other);
}

std::vector<BrowserItem> CacheTree::rootListItems() const { return *_rootRows.load(); }

std::vector<BrowserItem> CacheTree::takeRootListItems() {
    RowSnapshot taken = _rootRows.exchange(noRows());
    // The list was made non-const by this tree; when no reader shares it any more its rows can
    // be moved out instead of copied.
    if (taken.use_count() == 1)
        return std::move(const_cast<std::vector<BrowserItem> &>(*taken));
    return *taken;
}

ListingSnapshot CacheTree::listing(const BrowserItem &item) const {
    if (item.isEmpty())
        return std::make_shared<const FolderListing>(std::string());
    return _children.listing(_cachesPath, item.pathToItem);
}

RowSnapshot CacheTree::children(const BrowserItem &item) const {
    if (item.isEmpty())
        return noRows();
    // Read through the cache folder and its date folder as they are now: a folder swapped for
    // a link since the row was made is never entered.
    return _children.rows(_cachesPath, item.pathToItem);
}

RowSnapshot CacheTree::childrenWithAttributes(const BrowserItem &item) const {
    if (item.isEmpty())
        return noRows();
    return _children.rowsWithAttributes(_cachesPath, item.pathToItem);
}

size_t CacheTree::numberOfChildren(const BrowserItem *item) const {
    if (!item)
        return _rootRows.load()->size();
    return listing(*item)->size();
}

std::optional<BrowserItem> CacheTree::child(const BrowserItem *item, size_t index) const {
    if (item) {
        RowSnapshot rows = childrenWithAttributes(*item);
        return index < rows->size() ? (*rows)[index] : BrowserItem{};
    }
    RowSnapshot rows = _rootRows.load();
    if (index >= rows->size())
        return std::nullopt;
    return (*rows)[index];
}

CellValue CacheTree::objectValue(std::string_view columnIdentifier, const BrowserItem *item) const {
    auto column = columnForIdentifier(columnIdentifier);
    return column ? objectValue(*column, item) : CellValue{};
}

CellValue CacheTree::objectValue(BrowserColumn column, const BrowserItem *item) const {
    CellValue value;
    if (!item || _rootRows.load()->empty())
        return value;
    switch (column) {
    case BrowserColumn::Name:
        if (!item->itemRepresentationName && !item->itemName)
            return value;
        value.kind = CellValue::Kind::Name;
        value.text = std::string(item->displayName());
        value.isDateFolderRow =
            !item->pathToItem.empty() && sys::lastPathComponent(sys::parentPath(item->pathToItem)) == kCacheFolderName;
        break;
    case BrowserColumn::Date:
        if (!item->modificationDate)
            return value;
        value.kind = CellValue::Kind::Date;
        value.text = *item->modificationDate;
        value.date = item->modificationTime;
        break;
    case BrowserColumn::Size:
        value.kind = CellValue::Kind::Size;
        value.size = item->size.value_or(0);
        break;
    }
    return value;
}

void CacheTree::setRowExpanded(const std::string &path, bool expanded) {
    if (expanded)
        _expandedRows.insert(path);
    else
        _expandedRows.erase(path);
}

uint64_t CacheTree::countBelow(const std::string &folderPath) const {
    auto folder = openFolderInCache(_cachesPath, folderPath);
    uint64_t count = folder ? countItems(folder->get()) : 0;
    // Only the expanded rows directly inside this folder add their own children: the set is
    // ordered, so they sit between "folder/" and "folder0" ('0' follows '/').
    const std::string first = folderPath + "/";
    const std::string end = folderPath + "0";
    for (auto it = _expandedRows.lower_bound(first); it != _expandedRows.end() && *it < end; ++it) {
        if (it->find('/', first.size()) != std::string::npos)
            continue;
        auto st = sys::stat(*it, sys::FollowLinks::No);
        if (st && S_ISDIR(st->st_mode))
            count += countBelow(*it);
    }
    return count;
}

uint64_t CacheTree::countDisplayedItems() const {
    RowSnapshot rows = _rootRows.load();
    uint64_t count = rows->size();
    for (const BrowserItem &row : *rows) {
        if (row.isDirectory && _expandedRows.count(row.pathToItem))
            count += countBelow(row.pathToItem);
    }
    return count;
}

void CacheTree::searchItemAction(const std::string &text) {
    _search.stopAndWait();
    if (text.empty()) {
        _userIsSearching = false;
        refreshOutlineList(RefreshSender::Other);
        return;
    }
    _userIsSearching = true;
    (void)_search.start(_cachesPath, text);
}

bool CacheTree::searchRefreshTimer() {
    const bool stopped = _search.stopRequested();
    refreshOutlineList(RefreshSender::Other);
    return !stopped && _search.searchThreadRunning();
}

void CacheTree::threadTerminateSearch(uint64_t searchNumber) {
    if (searchNumber != _search.currentSearchNumber())
        return;
    // The thread has posted its end; joining it makes every hit visible to the copy below.
    _search.waitUntilFinished();
    if (!_search.stopRequested())
        refreshOutlineList(RefreshSender::Other);
}

void CacheTree::reload() const {
    if (_reload)
        _reload();
}

} // namespace quillet
