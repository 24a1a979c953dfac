#include "BrowserTab.h"

#include "CacheModel.h"
#include "CacheOutlineView.h"
#include "JobWatcher.h"
#include "SizeText.h"

#include "jobs/CallJob.h"

#include <QButtonGroup>
#include <QComboBox>
#include <QDateTime>
#include <QFontMetrics>
#include <QHBoxLayout>
#include <QHeaderView>
#include <QItemSelectionModel>
#include <QLabel>
#include <QLineEdit>
#include <QLocale>
#include <QPushButton>
#include <QRadioButton>
#include <QTimer>
#include <QTreeView>
#include <QVBoxLayout>

#include <algorithm>

namespace quillet::app {

namespace {

QString ageLimitTitle(unsigned hours) {
    if (hours == 0)
        return BrowserTab::tr("All items");
    if (hours % 24 == 0)
        return BrowserTab::tr("Last %n day(s)", nullptr, static_cast<int>(hours / 24));
    return BrowserTab::tr("Last %n hour(s)", nullptr, static_cast<int>(hours));
}

/// Where a row stands in the view's order: its row numbers from the root down.
std::vector<int> positionOf(QModelIndex index) {
    std::vector<int> position;
    for (; index.isValid(); index = index.parent())
        position.push_back(index.row());
    std::reverse(position.begin(), position.end());
    return position;
}

} // namespace

BrowserTab::BrowserTab(QWidget *parent) : QWidget(parent), _model(new CacheModel(this)) {
    _model->setActive(false);

    outlineView = new CacheOutlineView(this);
    outlineView->draggedItems = [this] { return selectedItems(); };
    outlineView->setAccessibleName(tr("Cached items"));
    outlineView->setSelectionMode(QAbstractItemView::ExtendedSelection);
    outlineView->setSelectionBehavior(QAbstractItemView::SelectRows);
    outlineView->setUniformRowHeights(true);
    outlineView->setAlternatingRowColors(true);
    outlineView->setModel(_model);
    outlineView->setSortingEnabled(true);
    outlineView->sortByColumn(CacheModel::NameColumn, Qt::AscendingOrder);
    outlineView->header()->setStretchLastSection(true);
    outlineView->header()->setSectionResizeMode(CacheModel::NameColumn, QHeaderView::Interactive);
    outlineView->header()->resizeSection(CacheModel::NameColumn, 260);
    sizeDateAndSizeColumns();

    dayViewButton = new QRadioButton(tr("By day"), this);
    dayViewButton->setAccessibleName(tr("Show the items by day"));
    flatViewButton = new QRadioButton(tr("All items"), this);
    flatViewButton->setAccessibleName(tr("Show all items in one list"));
    _viewGroup = new QButtonGroup(this);
    _viewGroup->addButton(dayViewButton, kDayViewTag);
    _viewGroup->addButton(flatViewButton, kFlatViewTag);
    flatViewButton->setChecked(_model->viewMode() == ViewMode::Flat);
    dayViewButton->setChecked(_model->viewMode() == ViewMode::Day);

    ageLimitPopUp = new QComboBox(this);
    ageLimitPopUp->setAccessibleName(tr("Age limit"));
    for (unsigned hours : CacheModel::ageLimitChoices())
        ageLimitPopUp->addItem(ageLimitTitle(hours), hours);

    searchField = new QLineEdit(this);
    searchField->setAccessibleName(tr("Search the cache"));
    searchField->setPlaceholderText(tr("Search"));

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
    putBackButton = new QPushButton(tr("Put Back"), this);
    putBackButton->setAccessibleName(tr("Put the selected items back"));
    emptySelectionButton->setEnabled(false);
    recoverButton->setEnabled(false);
    putBackButton->setEnabled(false);

    auto *controls = new QHBoxLayout;
    controls->addWidget(dayViewButton);
    controls->addWidget(flatViewButton);
    controls->addWidget(ageLimitPopUp);
    controls->addStretch(1);
    controls->addWidget(searchField, 1);

    auto *buttons = new QHBoxLayout;
    buttons->addWidget(outlineListStatsTF, 1);
    buttons->addWidget(emptyAllButton);
    buttons->addWidget(emptySelectionButton);
    buttons->addWidget(putBackButton);
    buttons->addWidget(recoverButton);

    auto *layout = new QVBoxLayout(this);
    layout->addLayout(controls);
    layout->addWidget(outlineView, 1);
    layout->addLayout(buttons);

    _searchRefreshTimer = new QTimer(this);
    _searchRefreshTimer->setInterval(kSearchPollMs);
    connect(_searchRefreshTimer, &QTimer::timeout, this, &BrowserTab::searchRefreshTimer);

    connect(emptySelectionButton, &QPushButton::clicked, this, [this] { emit emptyClicked(kEmptySelectionTag); });
    connect(emptyAllButton, &QPushButton::clicked, this, [this] { emit emptyClicked(kEmptyAllTag); });
    connect(recoverButton, &QPushButton::clicked, this, &BrowserTab::recoverClicked);
    connect(putBackButton, &QPushButton::clicked, this, &BrowserTab::putBackClicked);
    connect(_viewGroup, &QButtonGroup::idClicked, this,
            [this](int tag) { _model->setViewMode(tag == kFlatViewTag ? ViewMode::Flat : ViewMode::Day); });
    connect(ageLimitPopUp, &QComboBox::currentIndexChanged, this,
            [this](int) { _model->setAgeLimitHours(ageLimitPopUp->currentData().toUInt()); });
    connect(searchField, &QLineEdit::textChanged, this, &BrowserTab::searchItemAction);
    connect(outlineView->selectionModel(), &QItemSelectionModel::selectionChanged, this, &BrowserTab::reportSelection);
    connect(outlineView, &QTreeView::expanded, this, &BrowserTab::reportSelection);
    connect(outlineView, &QTreeView::collapsed, this, &BrowserTab::reportSelection);
    connect(_model, &CacheModel::childrenShown, this, &BrowserTab::reportSelection);
    connect(_model, &CacheModel::rootListReplaced, this, [this] {
        reportSelection();
        emit outlineListRefreshed();
    });
}

void BrowserTab::sizeDateAndSizeColumns() {
    // As wide as their widest texts, measured once from samples: resizing them to their
    // contents would measure a thousand rows at every change of the list, a stall the user
    // sees whenever a large list arrives.
    QHeaderView *header = outlineView->header();
    const QFontMetrics rows(outlineView->font());
    const QFontMetrics titles(header->font());
    // Room for the cell's margins, and in the title for the sort indicator.
    const int cellMargin = rows.horizontalAdvance(QLatin1Char('0')) * 2 + 8;
    const int titleMargin = titles.height() + cellMargin;
    auto widthOf = [&](int column, const QStringList &samples) {
        int width = titles.horizontalAdvance(_model->headerData(column, Qt::Horizontal).toString()) + titleMargin;
        for (const QString &sample : samples)
            width = std::max(width, rows.horizontalAdvance(sample) + cellMargin);
        return width;
    };
    const QLocale locale = QLocale::system();
    QStringList dates;
    for (int month : {9, 12})
        dates << locale.toString(QDateTime(QDate(2028, month, 28), QTime(20, 58, 58)), QLocale::ShortFormat);
    QStringList sizes;
    for (uint64_t bytes : {uint64_t{999}, uint64_t{999'999}, uint64_t{999'999'999}, uint64_t{999'999'999'999},
                           uint64_t{999'999'999'999'999}})
        sizes << shownSize(bytes);
    for (const auto &[column, samples] : {std::pair{int(CacheModel::DateColumn), dates}, {int(CacheModel::SizeColumn), sizes}}) {
        header->setSectionResizeMode(column, QHeaderView::Interactive);
        header->resizeSection(column, widthOf(column, samples));
    }
}

BrowserTab::~BrowserTab() {
    // The running walk ends here; retired ones end with their jobs, which go with this object.
    _search.reset();
}

void BrowserTab::setCacheFolders(const QStringList &paths) {
    _cacheFolders = paths;
    _model->setCacheFolders(paths);
}

void BrowserTab::showEvent(QShowEvent *event) {
    QWidget::showEvent(event);
    _model->setActive(true);
}

void BrowserTab::hideEvent(QHideEvent *event) {
    QWidget::hideEvent(event);
    _model->setActive(false);
}

void BrowserTab::refreshOutlineList() { _model->refresh(); }

bool BrowserTab::refreshRunning() const { return _model->refreshRunning(); }

uint64_t BrowserTab::countDisplayedItems() const {
    return _model->countDisplayedItems([this](const QModelIndex &index) { return outlineView->isExpanded(index); });
}

std::vector<BrowserItem> BrowserTab::selectedItems() const {
    QModelIndexList rows = outlineView->selectionModel()->selectedRows();
    std::vector<std::pair<std::vector<int>, QModelIndex>> ordered;
    ordered.reserve(static_cast<size_t>(rows.size()));
    for (const QModelIndex &index : rows)
        ordered.emplace_back(positionOf(index), index);
    std::sort(ordered.begin(), ordered.end(), [](const auto &a, const auto &b) { return a.first < b.first; });
    std::vector<BrowserItem> items;
    items.reserve(ordered.size());
    for (const auto &[position, index] : ordered)
        if (const BrowserItem *item = _model->item(index); item && !item->isEmpty())
            items.push_back(*item);
    return items;
}

void BrowserTab::deselectAll() { outlineView->clearSelection(); }

void BrowserTab::reportSelection() { emit outlineViewClicked(outlineView->selectionModel()->hasSelection()); }

// ---- search ------------------------------------------------------------------------------------

bool BrowserTab::searchThreadRunning() const { return _search && _search->searchThreadRunning(); }

void BrowserTab::retireSearch() {
    if (!_search)
        return;
    _search->requestStop();
    // The walk notices before its next entry; its thread is joined on a job, not here.
    std::shared_ptr<CacheSearch> retired = std::move(_search);
    auto *watcher = new JobWatcher(CallJob::create([retired]() mutable { retired.reset(); }), this);
    connect(watcher, &JobWatcher::finished, watcher, &QObject::deleteLater);
}

void BrowserTab::searchItemAction(const QString &text) {
    retireSearch();
    _searchRefreshTimer->stop();
    if (text.isEmpty()) {
        _userIsSearching = false;
        _model->endSearchResults();
        return;
    }
    _userIsSearching = true;
    std::vector<std::string> caches;
    for (const QString &folder : _cacheFolders)
        caches.push_back(folder.toStdString());
    _search = std::make_shared<CacheSearch>();
    _search->start(caches, text.toStdString());
    _model->showSearchResults(_search->results());
    _searchShown.start();
    _searchRefreshTimer->start();
}

void BrowserTab::searchRefreshTimer() {
    if (!_search) {
        _searchRefreshTimer->stop();
        return;
    }
    // The end is read before the results: whatever the walk found before it ended is in them.
    const bool ended = !_search->searchThreadRunning();
    const bool nothingShown = _model->rowCount() == 0;
    if (!ended && !nothingShown && _searchShown.elapsed() < kSearchRefreshMs)
        return;
    auto results = _search->results();
    // Until something is found the list is left alone: an empty list shown again is no news.
    if (ended || !results->empty()) {
        _model->showSearchResults(std::move(results));
        _searchShown.start();
    }
    if (ended) {
        _searchRefreshTimer->stop();
        emit searchFinished();
    }
}

} // namespace quillet::app
