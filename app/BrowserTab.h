#pragma once
// The third tab: the cached items as a tree (CacheModel) in the day view or the flat view,
// limited by age, searched by name while the user types, with the selection line and the
// emptying, recovery and put-back buttons. It reports the user's requests and its selection
// through signals; the rows are read on jobs and only while the tab is shown.

#include "CacheOutlineView.h"

#include "browser/BrowserItem.h"
#include "browser/CacheSearch.h"

#include <QElapsedTimer>
#include <QStringList>
#include <QWidget>

#include <cstdint>
#include <memory>
#include <vector>

class QButtonGroup;
class QComboBox;
class QLabel;
class QLineEdit;
class QPushButton;
class QRadioButton;
class QTimer;
class QTreeView;

namespace quillet::app {

class CacheModel;

class BrowserTab : public QWidget {
    Q_OBJECT
public:
    /// The tags of the two emptying buttons: everything, the selection.
    static constexpr int kEmptyAllTag = 1;
    static constexpr int kEmptySelectionTag = 2;
    /// The tags of the view radio group: 1 is the flat view, anything else the day view.
    static constexpr int kDayViewTag = 0;
    static constexpr int kFlatViewTag = 1;
    /// How often the results found so far are shown while a search runs.
    static constexpr int kSearchRefreshMs = 500;
    /// How often a running search is looked at: its first hits and its end are shown at once,
    /// the hits in between once per refresh period.
    static constexpr int kSearchPollMs = 20;

    explicit BrowserTab(QWidget *parent = nullptr);
    ~BrowserTab() override;

    /// The tree; its rows can be dragged out (see CacheOutlineView).
    CacheOutlineView *outlineView;
    QLabel *outlineListStatsTF;
    QPushButton *emptySelectionButton;
    QPushButton *emptyAllButton;
    QPushButton *recoverButton;
    QPushButton *putBackButton;
    QRadioButton *dayViewButton;
    QRadioButton *flatViewButton;
    QComboBox *ageLimitPopUp;
    QLineEdit *searchField;

    CacheModel *model() const { return _model; }
    /// The cache folders whose items are listed; the list is rebuilt.
    void setCacheFolders(const QStringList &paths);
    const QStringList &cacheFolders() const { return _cacheFolders; }
    /// Reads the root list again on a job and shows it, keeping the expanded and selected rows
    /// that are still there. While the tab is hidden the read waits until it is shown; while
    /// search results are shown nothing is read.
    void refreshOutlineList();
    /// A read of the root list runs.
    bool refreshRunning() const;
    /// Rows the view shows now, expanded children included.
    uint64_t countDisplayedItems() const;
    /// The items of the selected rows, in the order the view shows them.
    std::vector<BrowserItem> selectedItems() const;
    void deselectAll();

    /// The search field's action: an empty text ends the search and shows the normal view
    /// again; any other text stops a running search and starts a new one.
    void searchItemAction(const QString &text);
    /// Search results are shown (from a search's start until the field is cleared).
    bool userIsSearching() const { return _userIsSearching; }
    /// A search walks the caches.
    bool searchThreadRunning() const;

signals:
    /// tag: kEmptyAllTag or kEmptySelectionTag.
    void emptyClicked(int tag);
    void recoverClicked();
    void putBackClicked();
    /// The selection changed, a row was expanded or collapsed, or a new list is shown;
    /// selected: rows are selected.
    void outlineViewClicked(bool selected);
    /// A rebuilt (or re-sorted) root list is shown.
    void outlineListRefreshed();
    /// A search has ended by itself and all its results are shown.
    void searchFinished();

protected:
    void showEvent(QShowEvent *event) override;
    void hideEvent(QHideEvent *event) override;

private:
    /// Fixed widths for the date and size columns, from sample texts.
    void sizeDateAndSizeColumns();
    void reportSelection();
    void searchRefreshTimer();
    /// Stops the running search without waiting for its thread (it ends on a job).
    void retireSearch();

    CacheModel *_model;
    QButtonGroup *_viewGroup;
    QStringList _cacheFolders;
    QTimer *_searchRefreshTimer;
    /// When the results were last shown, for the refresh period.
    QElapsedTimer _searchShown;
    std::shared_ptr<CacheSearch> _search;
    bool _userIsSearching = false;
};

} // namespace quillet::app
