#pragma once
// The third tab: the cached items, the selection line and the emptying and recovery buttons.
// It shows the items of the cache folders it is given, read again on a job whenever it is asked
// to rebuild its list while it is shown, and reports the user's requests and its selection
// through signals.

#include "browser/BrowserItem.h"

#include <QStringList>
#include <QWidget>

#include <cstdint>
#include <vector>

class QLabel;
class QPushButton;
class QTreeView;

namespace quillet::app {

class CacheListModel;

class BrowserTab : public QWidget {
    Q_OBJECT
public:
    /// The tags of the two emptying buttons: everything, the selection.
    static constexpr int kEmptyAllTag = 1;
    static constexpr int kEmptySelectionTag = 2;

    explicit BrowserTab(QWidget *parent = nullptr);

    QTreeView *outlineView;
    QLabel *outlineListStatsTF;
    QPushButton *emptySelectionButton;
    QPushButton *emptyAllButton;
    QPushButton *recoverButton;

    CacheListModel *model() const { return _model; }
    /// The cache folders whose items are listed; the list is rebuilt.
    void setCacheFolders(const QStringList &paths);
    const QStringList &cacheFolders() const { return _cacheFolders; }
    /// Reads the items again on a job and shows them, keeping the selected rows that are still
    /// there. While the tab is hidden the read waits until it is shown.
    void refreshOutlineList();
    /// A read of the items runs.
    bool refreshRunning() const { return _refreshRunning; }
    /// Rows the list shows now.
    uint64_t countDisplayedItems() const;
    /// The items of the selected rows, in ascending row order.
    std::vector<BrowserItem> selectedItems() const;
    void deselectAll();

signals:
    /// tag: kEmptyAllTag or kEmptySelectionTag.
    void emptyClicked(int tag);
    void recoverClicked();
    /// The selection changed (also when a rebuild dropped it); selected: rows are selected.
    void outlineViewClicked(bool selected);
    /// A rebuilt list is shown.
    void outlineListRefreshed();

protected:
    void showEvent(QShowEvent *event) override;

private:
    void showRows(std::vector<BrowserItem> rows);

    CacheListModel *_model;
    QStringList _cacheFolders;
    bool _refreshRunning = false;
    bool _refreshAgain = false;
    /// A rebuild was asked for while the tab was hidden.
    bool _stale = true;
    bool _restoringSelection = false;
};

} // namespace quillet::app
