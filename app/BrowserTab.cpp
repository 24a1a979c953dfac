#include "BrowserTab.h"

#include "CacheListModel.h"
#include "JobWatcher.h"

#include "browser/CacheTree.h"
#include "jobs/CallJob.h"

#include <QHBoxLayout>
#include <QHeaderView>
#include <QItemSelectionModel>
#include <QLabel>
#include <QPushButton>
#include <QTreeView>
#include <QVBoxLayout>

#include <algorithm>
#include <memory>
#include <unordered_set>

namespace quillet::app {

BrowserTab::BrowserTab(QWidget *parent) : QWidget(parent), _model(new CacheListModel(this)) {
    outlineView = new QTreeView(this);
    outlineView->setAccessibleName(tr("Cached items"));
    outlineView->setSelectionMode(QAbstractItemView::ExtendedSelection);
    outlineView->setSelectionBehavior(QAbstractItemView::SelectRows);
    outlineView->setUniformRowHeights(true);
    outlineView->setAlternatingRowColors(true);
    outlineView->setRootIsDecorated(false);
    outlineView->setModel(_model);
    outlineView->header()->setStretchLastSection(false);
    outlineView->header()->setSectionResizeMode(CacheListModel::NameColumn, QHeaderView::Stretch);
    outlineView->header()->setSectionResizeMode(CacheListModel::DateColumn, QHeaderView::ResizeToContents);
    outlineView->header()->setSectionResizeMode(CacheListModel::SizeColumn, QHeaderView::ResizeToContents);

    outlineListStatsTF = new QLabel(this);
    outlineListStatsTF->setAccessibleName(tr("Selection"));

    emptySelectionButton = new QPushButton(tr("Delete Selection..."), this);
    emptySelectionButton->setAccessibleName(tr("Delete the selected items"));
    emptySelectionButton->setProperty("tag", kEmptySelectionTag);
    emptyAllButton = new QPushButton(tr("Empty Cache..."), this);
    emptyAllButton->setAccessibleName(tr("Empty the cache"));
    emptyAllButton->setProperty("tag", kEmptyAllTag);
    recoverButton = new QPushButton(tr("Recover..."), this);
    recoverButton->setAccessibleName(tr("Recover the selected items"));
    emptySelectionButton->setEnabled(false);
    recoverButton->setEnabled(false);

    auto *buttons = new QHBoxLayout;
    buttons->addWidget(outlineListStatsTF, 1);
    buttons->addWidget(emptyAllButton);
    buttons->addWidget(emptySelectionButton);
    buttons->addWidget(recoverButton);

    auto *layout = new QVBoxLayout(this);
    layout->addWidget(outlineView, 1);
    layout->addLayout(buttons);

    connect(emptySelectionButton, &QPushButton::clicked, this, [this] { emit emptyClicked(kEmptySelectionTag); });
    connect(emptyAllButton, &QPushButton::clicked, this, [this] { emit emptyClicked(kEmptyAllTag); });
    connect(recoverButton, &QPushButton::clicked, this, &BrowserTab::recoverClicked);
    connect(outlineView->selectionModel(), &QItemSelectionModel::selectionChanged, this, [this] {
        if (!_restoringSelection)
            emit outlineViewClicked(outlineView->selectionModel()->hasSelection());
    });
}

void BrowserTab::setCacheFolders(const QStringList &paths) {
    _cacheFolders = paths;
    refreshOutlineList();
}

void BrowserTab::showEvent(QShowEvent *event) {
    QWidget::showEvent(event);
    if (_stale)
        refreshOutlineList();
}

void BrowserTab::refreshOutlineList() {
    // Nobody sees the list while another tab is shown: it is read when the tab comes forward.
    if (!isVisible()) {
        _stale = true;
        return;
    }
    _stale = false;
    if (_refreshRunning) {
        _refreshAgain = true;
        return;
    }
    _refreshRunning = true;
    std::vector<std::string> folders;
    for (const QString &folder : _cacheFolders)
        folders.push_back(folder.toStdString());
    auto rows = std::make_shared<std::vector<BrowserItem>>();
    auto job = CallJob::create([folders = std::move(folders), rows] {
        // A tree of the job's own: the listing and the stat of every entry happen here, never on
        // the event loop.
        CacheTree tree;
        tree.setViewMode(ViewMode::Flat);
        tree.setTrashesCachePath(folders);
        *rows = tree.takeRootListItems();
    });
    auto *watcher = new JobWatcher(job, this);
    connect(watcher, &JobWatcher::finished, this, [this, watcher, rows](JobEnd) {
        watcher->deleteLater();
        _refreshRunning = false;
        showRows(std::move(*rows));
        if (_refreshAgain) {
            _refreshAgain = false;
            refreshOutlineList();
        }
    });
}

void BrowserTab::showRows(std::vector<BrowserItem> rows) {
    // Rows keep their id across rebuilds: what was selected and is still there stays selected.
    std::unordered_set<RowId> selected;
    for (const BrowserItem &item : selectedItems())
        selected.insert(item.id);
    _restoringSelection = true;
    _model->setRows(std::move(rows));
    if (!selected.empty()) {
        QItemSelection selection;
        for (int row = 0; row < _model->rowCount(); ++row)
            if (selected.count(_model->item(row)->id))
                selection.select(_model->index(row, 0), _model->index(row, CacheListModel::ColumnCount - 1));
        outlineView->selectionModel()->select(selection, QItemSelectionModel::ClearAndSelect);
    }
    _restoringSelection = false;
    emit outlineViewClicked(outlineView->selectionModel()->hasSelection());
    emit outlineListRefreshed();
}

uint64_t BrowserTab::countDisplayedItems() const { return static_cast<uint64_t>(_model->rowCount()); }

std::vector<BrowserItem> BrowserTab::selectedItems() const {
    QModelIndexList rows = outlineView->selectionModel()->selectedRows();
    std::sort(rows.begin(), rows.end(), [](const QModelIndex &a, const QModelIndex &b) { return a.row() < b.row(); });
    std::vector<BrowserItem> items;
    items.reserve(static_cast<size_t>(rows.size()));
    for (const QModelIndex &index : rows)
        if (const BrowserItem *item = _model->item(index.row()))
            items.push_back(*item);
    return items;
}

void BrowserTab::deselectAll() { outlineView->clearSelection(); }

} // namespace quillet::app
