#include "CacheModel.h"

#include "JobWatcher.h"
#include "Resources.h"
#include "SizeText.h"

#include "archive/CacheLayout.h"
#include "archive/ItemOrigin.h"
#include "jobs/CallJob.h"
#include "platform/System.h"

#include <QApplication>
#include <QBrush>
#include <QDateTime>
#include <QFileIconProvider>
#include <QLocale>
#include <QMimeDatabase>
#include <QSet>
#include <QTimer>

#include <algorithm>
#include <functional>
#include <unordered_set>

namespace quillet::app {

namespace {

/// Runs work on a job and done on the owner's thread once it has ended; done is dropped with
/// the owner.
void onJob(QObject *owner, std::function<void()> work, std::function<void()> done) {
    auto *watcher = new JobWatcher(CallJob::create(std::move(work)), owner);
    QObject::connect(watcher, &JobWatcher::finished, owner, [watcher, done = std::move(done)](JobEnd) {
        watcher->deleteLater();
        done();
    });
}

enum class TreeList { Build, Skip };

/// Sets up a job's own tree as the view is; with TreeList::Skip it builds no root list of its
/// own and reads only what it is asked for afterwards.
void setUpTree(CacheTree &tree, ViewMode mode, unsigned hours, const SortDescriptor &sort,
               const std::vector<std::string> &caches, TreeList list) {
    if (list == TreeList::Skip)
        tree.setBrowserTabSelected(false);
    tree.setViewMode(mode);
    tree.setAgeLimitHours(hours);
    tree.sortDescriptorsDidChange({sort});
    tree.setTrashesCachePath(caches);
}

QString fromUtf8(std::string_view text) { return QString::fromUtf8(text.data(), static_cast<qsizetype>(text.size())); }

bool isDateFolderRow(const BrowserItem &item) {
    return !item.pathToItem.empty() && sys::lastPathComponent(sys::parentPath(item.pathToItem)) == kCacheFolderName;
}

} // namespace

const std::vector<unsigned> &CacheModel::ageLimitChoices() {
    static const std::vector<unsigned> hours{0, 1, 6, 12, 24, 48, 72, 168, 720};
    return hours;
}

CacheModel::CacheModel(QObject *parent) : QAbstractItemModel(parent), _childrenTree(std::make_shared<CacheTree>()) {
    _levels[0].rows = noRows();
    _levels[0].listed = _levels[0].withAttributes = true;
}

CacheModel::~CacheModel() = default;

// ---- structure ---------------------------------------------------------------------------------

RowSnapshot CacheModel::rootSnapshot() const { return _levels.at(0).rows; }

const BrowserItem *CacheModel::Level::at(size_t i) const {
    if (i >= size())
        return nullptr;
    if (!listing)
        return &(*rows)[i];
    auto made = madeRows.find(i);
    if (made == madeRows.end())
        made = madeRows.emplace(i, listing->row(i)).first;
    return &made->second;
}

const CacheModel::Level *CacheModel::levelOf(uint64_t key) const {
    auto found = _levels.find(key);
    return found == _levels.end() ? nullptr : &found->second;
}

CacheModel::Level *CacheModel::levelOf(uint64_t key) {
    auto found = _levels.find(key);
    return found == _levels.end() ? nullptr : &found->second;
}

uint64_t CacheModel::childKey(uint64_t parentKey, RowId id) const {
    auto found = _childLevels.find({parentKey, id});
    return found == _childLevels.end() ? 0 : found->second;
}

uint64_t CacheModel::levelKeyOf(const QModelIndex &parent) const {
    if (!parent.isValid())
        return 0;
    const BrowserItem *row = item(parent);
    if (!row || row->isEmpty())
        return 0;
    return childKey(parent.internalId(), row->id);
}

const BrowserItem *CacheModel::item(const QModelIndex &index) const {
    if (!index.isValid() || index.model() != this)
        return nullptr;
    const Level *level = levelOf(index.internalId());
    if (!level || index.row() < 0)
        return nullptr;
    return level->at(static_cast<size_t>(index.row()));
}

const BrowserItem *CacheModel::item(int row) const {
    const RowSnapshot &rows = _levels.at(0).rows;
    if (row < 0 || static_cast<size_t>(row) >= rows->size())
        return nullptr;
    return &(*rows)[static_cast<size_t>(row)];
}

QModelIndex CacheModel::index(int row, int column, const QModelIndex &parent) const {
    if (column < 0 || column >= ColumnCount || row < 0)
        return {};
    if (parent.isValid() && parent.column() != 0)
        return {};
    const uint64_t key = parent.isValid() ? levelKeyOf(parent) : 0;
    if (parent.isValid() && key == 0)
        return {};
    const Level *level = levelOf(key);
    if (!level || static_cast<size_t>(row) >= level->size())
        return {};
    return createIndex(row, column, quintptr(key));
}

QModelIndex CacheModel::parent(const QModelIndex &child) const {
    if (!child.isValid() || child.internalId() == 0)
        return {};
    const Level *level = levelOf(child.internalId());
    if (!level)
        return {};
    return createIndex(level->parentRow, 0, quintptr(level->parentKey));
}

int CacheModel::rowCount(const QModelIndex &parent) const {
    if (parent.isValid() && parent.column() != 0)
        return 0;
    if (!parent.isValid())
        return static_cast<int>(rootSnapshot()->size());
    const uint64_t key = levelKeyOf(parent);
    const Level *level = key ? levelOf(key) : nullptr;
    return level ? static_cast<int>(level->size()) : 0;
}

int CacheModel::columnCount(const QModelIndex &parent) const {
    return parent.isValid() && parent.column() != 0 ? 0 : ColumnCount;
}

bool CacheModel::hasChildren(const QModelIndex &parent) const {
    if (!parent.isValid())
        return !rootSnapshot()->empty();
    if (parent.column() != 0)
        return false;
    const BrowserItem *row = item(parent);
    if (!row || !CacheTree::isItemExpandable(*row))
        return false;
    // A folder is expandable before it is read; once read, an empty one is not.
    const uint64_t key = levelKeyOf(parent);
    const Level *level = key ? levelOf(key) : nullptr;
    return !level || !level->listed || level->size() != 0;
}

bool CacheModel::canFetchMore(const QModelIndex &parent) const {
    if (!parent.isValid() || parent.column() != 0)
        return false;
    const BrowserItem *row = item(parent);
    if (!row || !CacheTree::isItemExpandable(*row))
        return false;
    const uint64_t key = levelKeyOf(parent);
    return key == 0;
}

void CacheModel::fetchMore(const QModelIndex &parent) {
    if (!canFetchMore(parent))
        return;
    const BrowserItem *row = item(parent);
    const uint64_t key = _nextKey++;
    Level level;
    level.rows = noRows();
    level.parentKey = parent.internalId();
    level.parentId = row->id;
    level.parentRow = parent.row();
    _levels.emplace(key, std::move(level));
    _childLevels[{parent.internalId(), row->id}] = key;
    fetchLevel(key, true);
}

void CacheModel::fetchLevel(uint64_t key, bool listingFirst) {
    Level *level = levelOf(key);
    if (!level || level->fetching)
        return;
    const Level *parentLevel = levelOf(level->parentKey);
    const BrowserItem *parentRow =
        parentLevel && level->parentRow >= 0 ? parentLevel->at(static_cast<size_t>(level->parentRow)) : nullptr;
    if (!parentRow)
        return;
    const BrowserItem parentItem = *parentRow;
    level->fetching = true;
    auto tree = childrenTree();
    auto listed = std::make_shared<ListingSnapshot>();
    auto withAttributes = std::make_shared<RowSnapshot>();
    // Two steps: the names at once (one listing, shown as it is: rows are made only for what
    // the view shows), then sizes and dates (a stat per entry), so that a large folder opens
    // before its attributes are known.
    auto readAttributes = [this, key, tree, parentItem, withAttributes] {
        onJob(
            this, [tree, parentItem, withAttributes] { *withAttributes = tree->childrenWithAttributes(parentItem); },
            [this, key, withAttributes] {
                Level *shown = levelOf(key);
                if (!shown)
                    return;
                shown->fetching = false;
                replaceRows(key, *withAttributes);
                if ((shown = levelOf(key))) {
                    shown->listed = shown->withAttributes = true;
                    emit childrenShown(createIndex(shown->parentRow, 0, quintptr(shown->parentKey)));
                }
                readOrigins(*withAttributes);
            });
    };
    if (!listingFirst) {
        readAttributes();
        return;
    }
    onJob(
        this, [tree, parentItem, listed] { *listed = tree->listing(parentItem); },
        [this, key, listed, readAttributes] {
            Level *shown = levelOf(key);
            if (!shown)
                return;
            replaceRows(key, noRows(), *listed);
            if ((shown = levelOf(key))) {
                shown->listed = true;
                emit childrenShown(createIndex(shown->parentRow, 0, quintptr(shown->parentKey)));
                readAttributes();
            }
        });
}

void CacheModel::dropLevel(uint64_t key) {
    std::vector<uint64_t> pending{key};
    while (!pending.empty()) {
        const uint64_t current = pending.back();
        pending.pop_back();
        for (auto it = _childLevels.lower_bound({current, 0}); it != _childLevels.end() && it->first.first == current;) {
            pending.push_back(it->second);
            it = _childLevels.erase(it);
        }
        if (current != 0)
            _levels.erase(current);
    }
}

void CacheModel::replaceRows(uint64_t key, RowSnapshot rows, ListingSnapshot listing) {
    Level *level = levelOf(key);
    if (!level)
        return;
    if (!listing && !level->listing && level->rows == rows)
        return;
    // The level as it was, for the rows persistent indexes stood on.
    Level old;
    old.rows = level->rows;
    old.listing = level->listing;
    Level shown;
    shown.rows = listing ? noRows() : rows;
    shown.listing = listing;
    emit layoutAboutToBeChanged();
    std::unordered_map<RowId, int> newRows;
    newRows.reserve(shown.size());
    for (size_t i = 0; i < shown.size(); ++i)
        if (const RowId id = shown.idAt(i))
            newRows.emplace(id, static_cast<int>(i));

    // The levels below rows that are gone go with them; those below rows that moved follow.
    std::unordered_set<uint64_t> dropped;
    for (auto it = _childLevels.lower_bound({key, 0}); it != _childLevels.end() && it->first.first == key;) {
        auto moved = newRows.find(it->first.second);
        if (moved == newRows.end() || !shown.isDirectoryAt(static_cast<size_t>(moved->second))) {
            // Forgotten with its row: should the row come back, it is read afresh.
            dropped.insert(it->second);
            it = _childLevels.erase(it);
            continue;
        }
        if (Level *below = levelOf(it->second))
            below->parentRow = moved->second;
        ++it;
    }
    // Persistent indexes inside dropped levels (at any depth) become invalid.
    std::unordered_set<uint64_t> gone;
    for (uint64_t top : dropped) {
        std::vector<uint64_t> pending{top};
        while (!pending.empty()) {
            const uint64_t current = pending.back();
            pending.pop_back();
            gone.insert(current);
            for (auto it = _childLevels.lower_bound({current, 0});
                 it != _childLevels.end() && it->first.first == current; ++it)
                pending.push_back(it->second);
        }
    }

    const QModelIndexList before = persistentIndexList();
    QModelIndexList after;
    after.reserve(before.size());
    for (const QModelIndex &index : before) {
        const uint64_t indexKey = index.internalId();
        if (gone.count(indexKey)) {
            after.append(QModelIndex());
        } else if (indexKey == key) {
            const size_t row = static_cast<size_t>(index.row());
            const RowId id = row < old.size() ? old.idAt(row) : 0;
            auto moved = id ? newRows.find(id) : newRows.end();
            after.append(moved == newRows.end() ? QModelIndex() : createIndex(moved->second, index.column(), quintptr(key)));
        } else {
            after.append(index);
        }
    }
    level->rows = std::move(shown.rows);
    level->listing = std::move(shown.listing);
    level->madeRows.clear();
    for (uint64_t top : dropped)
        dropLevel(top);
    changePersistentIndexList(before, after);
    emit layoutChanged();
}

// ---- values ------------------------------------------------------------------------------------

QIcon CacheModel::iconFor(const BrowserItem &row, bool dateFolder) const {
    if (dateFolder) {
        auto found = _icons.constFind(QStringLiteral(":app"));
        if (found != _icons.constEnd())
            return *found;
        QIcon icon = imageResource(QStringLiteral("App_Icon"));
        if (icon.isNull())
            icon = QApplication::windowIcon();
        if (icon.isNull())
            icon = QFileIconProvider().icon(QAbstractFileIconProvider::Folder);
        _icons.insert(QStringLiteral(":app"), icon);
        return icon;
    }
    // By the name alone: an icon never costs a look at the disk on the event loop.
    static const QMimeDatabase mimeTypes;
    const QString mime = row.isDirectory ? QStringLiteral("inode/directory")
                                         : mimeTypes.mimeTypeForFile(fromUtf8(row.displayName()), QMimeDatabase::MatchExtension).name();
    auto found = _icons.constFind(mime);
    if (found != _icons.constEnd())
        return *found;
    const QMimeType type = mimeTypes.mimeTypeForName(mime);
    QIcon fallback = QFileIconProvider().icon(row.isDirectory ? QAbstractFileIconProvider::Folder
                                                              : QAbstractFileIconProvider::File);
    QIcon icon = QIcon::fromTheme(type.iconName(), QIcon::fromTheme(type.genericIconName(), fallback));
    _icons.insert(mime, icon);
    return icon;
}

QVariant CacheModel::data(const QModelIndex &index, int role) const {
    const BrowserItem *row = item(index);
    if (!row)
        return {};
    const bool dateFolder = isDateFolderRow(*row);
    switch (role) {
    case Qt::DisplayRole:
    case Qt::AccessibleTextRole:
        switch (index.column()) {
        case NameColumn:
            return fromUtf8(row->displayName());
        case DateColumn:
            if (!row->modificationDate)
                return QString();
            return QLocale::system().toString(QDateTime::fromSecsSinceEpoch(row->modificationTime),
                                              QLocale::ShortFormat);
        case SizeColumn:
            // A child row whose attributes are still being read shows nothing yet.
            if (row->isEmpty() || row->attributesPending)
                return QString();
            return shownSize(row->size.value_or(0));
        case OriginColumn:
            return originalLocation(row->pathToItem);
        default:
            return {};
        }
    case Qt::DecorationRole:
        if (index.column() == NameColumn && !row->isEmpty())
            return iconFor(*row, dateFolder);
        return {};
    case Qt::ForegroundRole:
        if (dateFolder && index.column() == NameColumn)
            return QBrush(Qt::blue);
        return {};
    case Qt::TextAlignmentRole:
        if (index.column() == SizeColumn)
            return QVariant::fromValue(Qt::Alignment(Qt::AlignRight | Qt::AlignVCenter));
        return {};
    case PathRole:
        return QString::fromStdString(row->pathToItem);
    case SizeRole:
        return QVariant::fromValue<qulonglong>(row->size.value_or(0));
    case DateFolderRole:
        return dateFolder;
    default:
        return {};
    }
}

QVariant CacheModel::headerData(int section, Qt::Orientation orientation, int role) const {
    if (orientation != Qt::Horizontal || role != Qt::DisplayRole)
        return QAbstractItemModel::headerData(section, orientation, role);
    switch (section) {
    case NameColumn:
        return tr("Name");
    case DateColumn:
        return tr("Date Modified");
    case SizeColumn:
        return tr("Size");
    case OriginColumn:
        return tr("Original location");
    default:
        return {};
    }
}

Qt::ItemFlags CacheModel::flags(const QModelIndex &index) const {
    if (!item(index))
        return Qt::NoItemFlags;
    return Qt::ItemIsEnabled | Qt::ItemIsSelectable | Qt::ItemIsDragEnabled;
}

QString CacheModel::originalLocation(const std::string &path) const {
    auto found = _origins.find(path);
    return found == _origins.end() ? QString() : found->second;
}

// ---- the root list -----------------------------------------------------------------------------

void CacheModel::setCacheFolders(const QStringList &paths) {
    _rootListCurrent = false;
    _cacheFolders = paths;
    _caches.clear();
    for (const QString &folder : paths)
        _caches.push_back(folder.toStdString());
    // Listings were opened through the cache folders given before.
    _childrenTree = std::make_shared<CacheTree>(_caches);
    _origins.clear();
    ++_generation;
    refresh();
}

void CacheModel::setViewMode(ViewMode mode) {
    if (mode == _viewMode)
        return;
    _rootListCurrent = false;
    _viewMode = mode;
    ++_generation;
    refresh();
}

void CacheModel::setAgeLimitHours(unsigned hours) {
    if (hours == _ageLimitHours)
        return;
    _rootListCurrent = false;
    _ageLimitHours = hours;
    ++_generation;
    refresh();
}

bool CacheModel::lowerLevelsBusy() const {
    for (const auto &[key, level] : _levels)
        if (level.fetching)
            return true;
    return false;
}

bool CacheModel::busy() const { return _refreshQueued || _rootJobRunning || _sortJobs > 0 || lowerLevelsBusy(); }

void CacheModel::setActive(bool active) {
    _active = active;
    if (_active && _stale)
        refresh();
}

void CacheModel::refresh() {
    if (_searching)
        return;
    // Nobody sees the list while the tab is hidden: it is read when it comes forward.
    if (!_active) {
        _stale = true;
        return;
    }
    _stale = false;
    // Requests of one turn of the event loop (the tab shown, the window's own request) are
    // served by one read.
    if (_refreshQueued)
        return;
    _refreshQueued = true;
    QTimer::singleShot(0, this, [this] {
        _refreshQueued = false;
        if (_searching)
            return;
        if (_rootJobRunning) {
            _rootJobAgain = true;
            return;
        }
        startRootJob();
    });
}

void CacheModel::startRootJob() {
    _rootJobRunning = true;
    const uint64_t generation = ++_generation;
    auto rows = std::make_shared<RowSnapshot>();
    const std::vector<std::string> caches = _caches;
    const ViewMode mode = _viewMode;
    const unsigned hours = _ageLimitHours;
    const SortDescriptor sort = _sort;
    auto readAll = [this, rows, caches, mode, hours, sort, generation] {
        onJob(
            this,
            [rows, caches, mode, hours, sort] {
                // A tree of the job's own: the listings and the stat of every entry happen here.
                CacheTree tree;
                setUpTree(tree, mode, hours, sort, caches, TreeList::Build);
                *rows = tree.rootRows();
            },
            [this, rows, generation] {
                _rootJobRunning = false;
                const bool again = _rootJobAgain;
                _rootJobAgain = false;
                // What was read is shown even when another read is wanted: under a stream of
                // requests the list still moves on.
                showRootRows(generation, *rows);
                if (again && !_searching)
                    startRootJob();
            });
    };
    // Sorted by where the items came from, the order waits for the whole list and its origins.
    const bool preview = !_rootListCurrent && !_sortByOrigin;
    if (preview && mode == ViewMode::Day) {
        startListingPreview(generation);
    } else if (preview && mode == ViewMode::Flat && sort.column == BrowserColumn::Name) {
        // The flat view's first rows come first, the whole list after them: read side by side,
        // the two would share the CPUs and the first rows come later.
        startFlatPreview(generation, std::move(readAll));
        return;
    }
    readAll();
}

void CacheModel::startListingPreview(uint64_t generation) {
    auto listed = std::make_shared<std::vector<BrowserItem>>();
    const std::vector<std::string> caches = _caches;
    const unsigned hours = _ageLimitHours;
    const SortDescriptor sort = _sort;
    const ViewMode mode = _viewMode;
    onJob(
        this,
        [listed, caches, mode, hours, sort] {
            CacheTree tree;
            // Nothing is read but the listings: the tree never builds a root list of its own.
            setUpTree(tree, mode, hours, sort, caches, TreeList::Skip);
            *listed = tree.listedRootRows();
        },
        [this, listed, generation] {
            // Only while the finished list of the same read has not come yet.
            if (generation != _generation || _searching || _rootListCurrent || listed->empty())
                return;
            replaceRows(0, std::make_shared<const std::vector<BrowserItem>>(std::move(*listed)));
            emit rootListReplaced();
        });
}

void CacheModel::startFlatPreview(uint64_t generation, std::function<void()> then) {
    // A screenful and more: the rows a user sees first, and some to scroll to.
    constexpr size_t kFlatPreviewRows = 200;
    auto preview = std::make_shared<CacheTree::FlatPreview>();
    const std::vector<std::string> caches = _caches;
    const unsigned hours = _ageLimitHours;
    const SortDescriptor sort = _sort;
    onJob(
        this,
        [preview, caches, hours, sort] {
            CacheTree tree;
            setUpTree(tree, ViewMode::Flat, hours, sort, caches, TreeList::Skip);
            *preview = tree.flatPreviewRows(kFlatPreviewRows);
        },
        [this, preview, generation, then = std::move(then)] {
            if (generation == _generation && !_searching && !_rootListCurrent && !preview->rows.empty()) {
                _previewShown = true;
                _previewTotal = preview->total;
                replaceRows(0, std::make_shared<const std::vector<BrowserItem>>(std::move(preview->rows)));
                emit rootListReplaced();
            }
            then();
        });
}

void CacheModel::showRootRows(uint64_t generation, RowSnapshot rows) {
    if (generation != _generation || _searching)
        return;
    _rootListCurrent = true;
    _previewShown = false;
    RowSnapshot shown = std::move(rows);
    replaceRows(0, shown);
    emit rootListReplaced();
    if (_sortByOrigin)
        sortByOriginAgain();
    // Folders shown open are read again: the daemons may have added to them.
    std::vector<uint64_t> open;
    for (const auto &[key, level] : _levels)
        if (key != 0)
            open.push_back(key);
    for (uint64_t key : open)
        fetchLevel(key, false);
    readOrigins(shown);
}

void CacheModel::readOrigins(RowSnapshot rows) {
    if (rows->empty() || _caches.empty())
        return;
    auto found = std::make_shared<std::vector<std::pair<std::string, std::string>>>();
    const std::vector<std::string> caches = _caches;
    onJob(
        this,
        [rows, caches, found] {
            OriginLookup origins(caches);
            for (const BrowserItem &row : *rows) {
                if (row.isEmpty())
                    continue;
                if (auto origin = origins.originOf(row.pathToItem))
                    found->emplace_back(row.pathToItem, origin->originalPath);
            }
        },
        [this, found] {
            if (found->empty())
                return;
            for (auto &[path, origin] : *found)
                _origins[path] = QString::fromStdString(origin);
            if (_sortByOrigin)
                sortByOriginAgain();
            // Which rows show them is not worth finding: the column is repainted whole.
            const int count = rowCount();
            if (count > 0)
                emit dataChanged(index(0, OriginColumn), index(count - 1, OriginColumn), {Qt::DisplayRole});
            for (const auto &[key, level] : _levels)
                if (key != 0 && level.size() != 0)
                    emit dataChanged(createIndex(0, OriginColumn, quintptr(key)),
                                     createIndex(static_cast<int>(level.size()) - 1, OriginColumn,
                                                 quintptr(key)),
                                     {Qt::DisplayRole});
        });
}

void CacheModel::sort(int column, Qt::SortOrder order) {
    const SortOrder sortOrder = order == Qt::DescendingOrder ? SortOrder::Descending : SortOrder::Ascending;
    _sortByOrigin = column == OriginColumn;
    std::optional<BrowserColumn> core;
    if (column == NameColumn)
        core = BrowserColumn::Name;
    else if (column == DateColumn)
        core = BrowserColumn::Date;
    else if (column == SizeColumn)
        core = BrowserColumn::Size;
    if (core)
        _sort = SortDescriptor(*core, sortOrder);
    else
        _sort.order = sortOrder;
    if (!core && !_sortByOrigin)
        return;

    RowSnapshot rows = rootSnapshot();
    if (rows->size() < 2)
        return;
    auto sorted = std::make_shared<RowSnapshot>();
    const uint64_t generation = _generation;
    const SortDescriptor descriptor = _sort;
    const bool byOrigin = _sortByOrigin;
    auto origins = std::make_shared<std::unordered_map<std::string, QString>>(byOrigin ? _origins
                                                                              : decltype(_origins)());
    ++_sortJobs;
    onJob(
        this,
        [rows, sorted, descriptor, byOrigin, origins] {
            std::vector<BrowserItem> copy = *rows;
            if (byOrigin) {
                auto originOf = [&](const BrowserItem &row) {
                    auto found = origins->find(row.pathToItem);
                    return found == origins->end() ? QString() : found->second;
                };
                std::stable_sort(copy.begin(), copy.end(), [&](const BrowserItem &a, const BrowserItem &b) {
                    const int result = originOf(a).compare(originOf(b), Qt::CaseInsensitive);
                    return descriptor.order == SortOrder::Descending ? result > 0 : result < 0;
                });
            } else {
                sortBrowserItems(copy, descriptor);
            }
            *sorted = std::make_shared<const std::vector<BrowserItem>>(std::move(copy));
        },
        [this, sorted, generation, rows] {
            --_sortJobs;
            // A list read or found meanwhile is sorted by whoever brought it.
            if (generation != _generation || rootSnapshot() != rows)
                return;
            replaceRows(0, *sorted);
            emit rootListReplaced();
        });
}

void CacheModel::sortByOriginAgain() {
    sort(OriginColumn, _sort.order == SortOrder::Descending ? Qt::DescendingOrder : Qt::AscendingOrder);
}

void CacheModel::showSearchResults(RowSnapshot results) {
    if (!_searching) {
        _searching = true;
        _previewShown = false;
        ++_generation;
    }
    replaceRows(0, results ? std::move(results) : noRows());
    emit rootListReplaced();
}

void CacheModel::endSearchResults() {
    if (!_searching)
        return;
    _searching = false;
    ++_generation;
    refresh();
}

QModelIndex CacheModel::rootIndexOf(RowId id) const {
    const RowSnapshot rows = rootSnapshot();
    for (size_t i = 0; i < rows->size(); ++i)
        if ((*rows)[i].id == id)
            return createIndex(static_cast<int>(i), 0, quintptr(0));
    return {};
}

QModelIndex CacheModel::childIndexOf(const QModelIndex &parent, RowId id) const {
    const uint64_t key = levelKeyOf(parent);
    const Level *level = key ? levelOf(key) : nullptr;
    if (!level)
        return {};
    for (size_t i = 0; i < level->size(); ++i)
        if (level->idAt(i) == id)
            return createIndex(static_cast<int>(i), 0, quintptr(key));
    return {};
}

// ---- expansion ---------------------------------------------------------------------------------

uint64_t CacheModel::countDisplayedItems(const std::function<bool(const QModelIndex &)> &isExpanded) const {
    uint64_t count = 0;
    std::vector<uint64_t> pending{0};
    while (!pending.empty()) {
        const uint64_t key = pending.back();
        pending.pop_back();
        const Level *level = levelOf(key);
        if (!level)
            continue;
        if (key != 0 && !isExpanded(createIndex(level->parentRow, 0, quintptr(level->parentKey))))
            continue;
        // While the flat view shows its first rows only, the list holds all it will show.
        count += key == 0 && _previewShown ? _previewTotal : level->size();
        for (auto it = _childLevels.lower_bound({key, 0}); it != _childLevels.end() && it->first.first == key; ++it)
            pending.push_back(it->second);
    }
    return count;
}

} // namespace quillet::app
