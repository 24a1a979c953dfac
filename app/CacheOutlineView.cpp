#include "CacheOutlineView.h"

#include "CacheDragSource.h"

#include <QDrag>
#include <QIcon>
#include <QTimer>

namespace quillet::app {

CacheOutlineView::CacheOutlineView(QWidget *parent) : QTreeView(parent) {
    setDragEnabled(true);
    setDragDropMode(QAbstractItemView::DragOnly);
    setDefaultDropAction(Qt::CopyAction);
    setAcceptDrops(false);
}

void CacheOutlineView::setDragSource(CacheDragSource *source) { _source = source; }

CacheDragSource *CacheOutlineView::dragSource() const { return _source; }

void CacheOutlineView::startDrag(Qt::DropActions supportedActions) {
    // Copies only: a move would take the items out of the cache.
    if (!_source || !draggedItems || !(supportedActions & Qt::CopyAction))
        return;
    QMimeData *offered = _source->beginDrag(draggedItems());
    if (!offered)
        return;
    auto *drag = new QDrag(this);
    drag->setMimeData(offered);
    // The row under the pointer's icon travels with it, as in a file manager.
    const QIcon icon = model() ? model()->data(currentIndex().siblingAtColumn(0), Qt::DecorationRole).value<QIcon>()
                               : QIcon();
    if (!icon.isNull())
        drag->setPixmap(icon.pixmap(iconSize().isValid() ? iconSize() : QSize(32, 32)));
    // The drag takes the XDND selection inside exec(), before its event loop runs this.
    QTimer::singleShot(0, _source, &CacheDragSource::dragStarted);
    const Qt::DropAction action = drag->exec(Qt::CopyAction, Qt::CopyAction);
    if (_source)
        _source->endDrag(action);
}

} // namespace quillet::app
