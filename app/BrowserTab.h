#pragma once
// The third tab: the cached items, the selection line and the emptying and recovery buttons.
// It only shows the items and reports the user's requests through signals.

#include <QWidget>

class QLabel;
class QPushButton;
class QTreeView;

namespace quillet::app {

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

signals:
    /// tag: kEmptyAllTag or kEmptySelectionTag.
    void emptyClicked(int tag);
    void recoverClicked();
};

} // namespace quillet::app
