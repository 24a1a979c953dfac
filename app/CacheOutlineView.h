#pragma once
// The browser's tree: rows can be dragged out to a file manager as copies (CacheDragSource);
// nothing can be dropped onto it.

#include "browser/BrowserItem.h"

#include <QPointer>
#include <QTreeView>

#include <functional>
#include <vector>

namespace quillet::app {

class CacheDragSource;

class CacheOutlineView : public QTreeView {
    Q_OBJECT
public:
    explicit CacheOutlineView(QWidget *parent = nullptr);

    /// Where drags of the selected rows go; without one, rows are not dragged.
    void setDragSource(CacheDragSource *source);
    CacheDragSource *dragSource() const;
    /// The rows a drag takes (the tab's selection, in the order shown).
    std::function<std::vector<BrowserItem>()> draggedItems;

protected:
    void startDrag(Qt::DropActions supportedActions) override;

private:
    QPointer<CacheDragSource> _source;
};

} // namespace quillet::app
