#pragma once
// The cached items as an item model for the browser tab's tree view, over the core's rows
// (CacheTree, FolderChildren, CacheSearch): the root rows of the day view or of the flat view,
// or the search results, and below every expanded folder its children. Rows are never copied
// into the model: each level is an immutable snapshot of the core's (RowSnapshot), replaced as
// a whole when the disk says something else.
//
// Nothing here reads the disk on the calling thread. A rebuild of the root list, a folder's
// listing, the attributes of its entries, a re-sort and the original locations are each read on
// a job and handed over on the main thread; meanwhile the view shows what it has.
//
// A new snapshot of a level replaces the old one as a layout change: every persistent index
// (the view's selection, expansion and current row) follows its row by id (BrowserItem::id),
// and only the rows that are gone lose theirs.

#include "browser/BrowserItem.h"
#include "browser/CacheTree.h"

#include <QAbstractItemModel>
#include <QHash>
#include <QIcon>
#include <QStringList>

#include <cstdint>
#include <functional>
#include <map>
#include <memory>
#include <unordered_map>
#include <utility>
#include <vector>

namespace quillet::app {

class CacheModel : public QAbstractItemModel {
    Q_OBJECT
public:
    enum Column { NameColumn, DateColumn, SizeColumn, OriginColumn, ColumnCount };
    /// The full path of the row's item (QString), and its size in bytes (qulonglong).
    static constexpr int PathRole = Qt::UserRole;
    static constexpr int SizeRole = Qt::UserRole + 1;
    /// The row is a date folder of a cache folder (bool).
    static constexpr int DateFolderRole = Qt::UserRole + 2;

    /// The hour values of the age limit offered to the user; 0 is no limit.
    static const std::vector<unsigned> &ageLimitChoices();

    explicit CacheModel(QObject *parent = nullptr);
    ~CacheModel() override;

    QModelIndex index(int row, int column, const QModelIndex &parent = {}) const override;
    QModelIndex parent(const QModelIndex &child) const override;
    int rowCount(const QModelIndex &parent = {}) const override;
    int columnCount(const QModelIndex &parent = {}) const override;
    bool hasChildren(const QModelIndex &parent = {}) const override;
    bool canFetchMore(const QModelIndex &parent) const override;
    void fetchMore(const QModelIndex &parent) override;
    QVariant data(const QModelIndex &index, int role = Qt::DisplayRole) const override;
    QVariant headerData(int section, Qt::Orientation orientation, int role = Qt::DisplayRole) const override;
    Qt::ItemFlags flags(const QModelIndex &index) const override;
    /// Sorts the root level on a job (children keep their listing order).
    void sort(int column, Qt::SortOrder order = Qt::AscendingOrder) override;

    /// The cache folders whose items are listed; the root list is rebuilt.
    void setCacheFolders(const QStringList &paths);
    const QStringList &cacheFolders() const { return _cacheFolders; }
    void setViewMode(ViewMode mode);
    ViewMode viewMode() const { return _viewMode; }
    /// Hours (0: no limit); the root list is rebuilt.
    void setAgeLimitHours(unsigned hours);
    unsigned ageLimitHours() const { return _ageLimitHours; }
    SortDescriptor sortDescriptor() const { return _sort; }

    /// Reads the root list again on a job (and then the listings of the folders shown
    /// expanded), unless search results are shown. A request while a read runs is served by one
    /// more read afterwards.
    void refresh();
    /// A read of the root list, a sort or a folder's listing runs.
    bool busy() const;
    bool refreshRunning() const { return _refreshQueued || _rootJobRunning; }

    /// Search results replace the root list (the order found, unsorted); rebuilds from the disk
    /// are not done until endSearchResults.
    void showSearchResults(RowSnapshot results);
    /// Back to the normal view: rebuilds from the disk.
    void endSearchResults();
    bool showingSearchResults() const { return _searching; }

    /// The item of an index; nullptr for an invalid one.
    const BrowserItem *item(const QModelIndex &index) const;
    /// The item of a root row; nullptr past the end.
    const BrowserItem *item(int row) const;
    /// The root rows shown now.
    const std::vector<BrowserItem> &rows() const { return *rootSnapshot(); }
    /// The index of the row of that id at the root (column 0), or an invalid one.
    QModelIndex rootIndexOf(RowId id) const;
    /// The index (column 0) of the child of parent whose id is id, or an invalid one.
    QModelIndex childIndexOf(const QModelIndex &parent, RowId id) const;

    /// Rows a view shows: root rows and the children of expanded rows whose ancestors are all
    /// expanded, isExpanded telling which rows the view shows expanded.
    uint64_t countDisplayedItems(const std::function<bool(const QModelIndex &)> &isExpanded) const;

    /// While inactive (the tab hidden) a refresh only marks the list stale; becoming active
    /// again reads it if so.
    void setActive(bool active);
    bool isActive() const { return _active; }
    /// The original location of the item at that path as read so far ("" when unknown or not
    /// read yet).
    QString originalLocation(const std::string &path) const;

signals:
    /// A new root list is shown (rebuilt, re-sorted or search results).
    void rootListReplaced();
    /// A folder's children (listing or attributes) are shown.
    void childrenShown(const QModelIndex &parent);

private:
    /// The rows below one parent: the root (key 0) or a folder that was expanded.
    struct Level {
        /// The rows shown, or while only the folder's listing is read, that listing (rows is
        /// then empty): its rows are made one by one as a view asks for them, kept in madeRows.
        RowSnapshot rows;
        ListingSnapshot listing;
        mutable std::unordered_map<size_t, BrowserItem> madeRows;
        size_t size() const { return listing ? listing->size() : rows->size(); }
        /// Row i; nullptr past the end.
        const BrowserItem *at(size_t i) const;
        RowId idAt(size_t i) const { return listing ? listing->id(i) : (*rows)[i].id; }
        bool isDirectoryAt(size_t i) const { return listing ? listing->isDirectory(i) : (*rows)[i].isDirectory; }
        /// The level holding the parent row, and the parent row's id, for parent().
        uint64_t parentKey = 0;
        RowId parentId = 0;
        /// Where the parent row was last seen in its level.
        int parentRow = 0;
        bool listed = false;
        bool withAttributes = false;
        bool fetching = false;
    };

    RowSnapshot rootSnapshot() const;
    const Level *levelOf(uint64_t key) const;
    Level *levelOf(uint64_t key);
    /// The key of the level below the row id of the level parentKey; 0 when it has none.
    uint64_t childKey(uint64_t parentKey, RowId id) const;
    uint64_t levelKeyOf(const QModelIndex &parent) const;
    /// Replaces the rows of a level as a layout change, persistent indexes following their rows;
    /// with a listing, the level shows that listing instead of rows.
    void replaceRows(uint64_t key, RowSnapshot rows, ListingSnapshot listing = nullptr);
    /// Forgets a level and every level below it.
    void dropLevel(uint64_t key);
    void startRootJob();
    /// Shows a root list read for that generation, unless the list changed meanwhile.
    void showRootRows(uint64_t generation, RowSnapshot rows);
    /// A day view read for a new view shows its rows from the listings alone while the whole
    /// list (every date folder's size) is read: a large cache shows its first rows at once.
    void startListingPreview(uint64_t generation);
    /// The flat view's first rows by name, ahead of the finished list; then runs then.
    void startFlatPreview(uint64_t generation, std::function<void()> then);
    void fetchLevel(uint64_t key, bool listingFirst);
    void readOrigins(RowSnapshot rows);
    bool lowerLevelsBusy() const;
    void sortByOriginAgain();
    QIcon iconFor(const BrowserItem &item, bool dateFolder) const;
    std::shared_ptr<CacheTree> childrenTree() const { return _childrenTree; }

    QStringList _cacheFolders;
    std::vector<std::string> _caches;
    ViewMode _viewMode = ViewMode::Flat;
    unsigned _ageLimitHours = 0;
    SortDescriptor _sort;
    /// Sorting by the original location, which the core does not know.
    bool _sortByOrigin = false;
    bool _searching = false;
    bool _active = true;
    bool _stale = false;

    std::unordered_map<uint64_t, Level> _levels;
    /// (parent level, row id) → the level below that row.
    std::map<std::pair<uint64_t, RowId>, uint64_t> _childLevels;
    uint64_t _nextKey = 1;

    /// Reads the children of folders; replaced with the cache folders.
    std::shared_ptr<CacheTree> _childrenTree;
    bool _refreshQueued = false;
    bool _rootJobRunning = false;
    bool _rootJobAgain = false;
    /// The root list shown was read for the cache folders, view and age limit of now.
    bool _rootListCurrent = false;
    /// The root rows are the flat view's first rows only, of _previewTotal in all.
    bool _previewShown = false;
    size_t _previewTotal = 0;
    int _sortJobs = 0;
    /// Bumped at every change of what the root list shows: a job's answer for an older
    /// generation is dropped.
    uint64_t _generation = 0;
    std::unordered_map<std::string, QString> _origins;
    mutable QHash<QString, QIcon> _icons;
};

} // namespace quillet::app
