#pragma once
// Dragging browser rows out to a file manager, as copies (never a move: the cache keeps its
// items). Each drag offers the copies two ways:
// - "text/uri-list": copies prepared in a private staging folder (DragStaging) by a drop job
//   (CacheRecovery::dropItems) queued on the protection service as the drag starts, so that
//   protection is paused while it copies and the event loop never waits on the disk. A target
//   that asks for the list before the copies are done gets it once they are: the answer is
//   held back in a local event loop, which keeps the window, the service's queue and the job's
//   watcher going (a blocking wait would hold up the very queue the job waits in).
// - on X (xcb), X Direct Save ("XdndDirectSave0", DirectSaveProperty.h): the target names the
//   file to make; the rows are dropped by their own drop job into that file's folder, under
//   free names of their own ("Report-2.pdf", "Pics-1"), and the answer, given once that job has
//   ended (held back as the list is), is "S" when anything was copied and "E" otherwise, as
//   for anything but a local file URI in an existing folder. The recovery's progress sheet is
//   shown on the window meanwhile, and the main window reads its list again afterwards.
// The staging folder is removed when the drag was not accepted, or when its data is released
// (on X, once the target has said it is done with the drop) without the list having been asked
// for; otherwise at the next drag and when the program ends (the file manager copies from it
// after the drop). Leftovers of a crashed run are removed at start-up.

#include "DirectSaveProperty.h"
#include "DragStaging.h"

#include "browser/BrowserItem.h"
#include "jobs/Job.h"

#include <QList>
#include <QMimeData>
#include <QObject>
#include <QPointer>
#include <QProgressDialog>
#include <QStringList>
#include <QUrl>

#include <memory>
#include <optional>
#include <vector>

class QWidget;

namespace quillet::app {

class ProtectionService;

class CacheDragSource : public QObject {
    Q_OBJECT
public:
    /// The format of X Direct Save, and that of the list of copies.
    static constexpr const char *kDirectSaveFormat = "XdndDirectSave0";
    static constexpr const char *kUriListFormat = "text/uri-list";

    /// Drags whose copies are made through service's queue; messages go to window as sheets.
    /// Direct save is offered when the application runs on X.
    CacheDragSource(ProtectionService &service, QWidget *window, QObject *parent = nullptr);
    ~CacheDragSource() override;

    /// Replaces how the direct-save property is reached (nullptr: no direct save offered).
    void setDirectSaveProperty(std::unique_ptr<DirectSaveProperty> property);
    bool offersDirectSave() const { return _property != nullptr; }

    /// Removes, on a job, the staging folders a run that ended without cleaning up left in
    /// $XDG_RUNTIME_DIR (leftoversRemoved tells how many). Problems go to standard error.
    void removeLeftoverStaging();

    /// A drag of rows begins: the staging folder of the previous drag is removed (once its copies
    /// are done), a new one is made and filling it is queued (with direct save offered, only
    /// when a target first asks for the list). Answers the drag's data (owned by
    /// the caller, for QDrag), or nullptr after telling the user why the rows cannot be dragged.
    QMimeData *beginDrag(std::vector<BrowserItem> rows);
    /// The drag's data is offered now (the drag has taken the XDND selection): the proposed
    /// name of direct save is set.
    void dragStarted();
    /// The drag has ended with action (Qt::IgnoreAction: not accepted). Its data may still be
    /// asked for afterwards, until the data is destroyed.
    void endDrag(Qt::DropAction action);

    /// The folder of the file a direct-save URI names: a local file:// URI (host empty,
    /// "localhost" or this machine's name) of an absolute path with a file name, in a folder
    /// that exists. Nothing otherwise.
    static std::optional<QString> directSaveFolder(const QByteArray &uri);

    /// The staging folder of the current drag ("" when none), and whether its copies are done.
    QString stagingPath() const;
    bool stagingDone() const;

signals:
    /// The copies of the staging folder at path are done; failures names what could not be
    /// copied (CacheRecoverer::failureLines).
    void stagingFinished(const QString &path, const QStringList &failures);
    /// The staging folder at path is gone (removed on a job).
    void stagingRemoved(const QString &path);
    /// The start-up cleaning has removed count leftover staging folders.
    void leftoversRemoved(int count);
    /// A direct save into folder has ended.
    void directSaveFinished(const QString &folder, const QStringList &failures);

private:
    friend class CacheMimeData;
    struct Drag;

    /// The list of copies of drag (waiting for them in a local event loop when not done).
    QByteArray uriList(const std::shared_ptr<Drag> &drag);
    /// The answer to the direct-save request of drag, once its copies are done (waiting for
    /// them in a local event loop): "S" or "E".
    QByteArray directSave(const std::shared_ptr<Drag> &drag);
    /// The data of drag is destroyed.
    void dataReleased(const std::shared_ptr<Drag> &drag);
    /// Removes the staging folder of drag now, or once its copies are done.
    void retire(const std::shared_ptr<Drag> &drag);
    /// Queues the copies of drag into its staging folder, once.
    void startStaging(const std::shared_ptr<Drag> &drag);
    void removeStaging(Drag &drag);
    void reportFailures(const QStringList &failures);

    ProtectionService &_service;
    QPointer<QWidget> _window;
    std::unique_ptr<DirectSaveProperty> _property;
    std::shared_ptr<Drag> _current;
    /// The progress sheet of the direct save being copied.
    QPointer<QProgressDialog> _dropSheet;
    /// Drags whose staging folder waits for its copies before it goes.
    std::vector<std::shared_ptr<Drag>> _retiring;
};

/// The data of one drag, answering through its source (formats are fixed when the drag starts).
class CacheMimeData : public QMimeData {
    Q_OBJECT
public:
    ~CacheMimeData() override;
    QStringList formats() const override;
    bool hasFormat(const QString &mimeType) const override;

protected:
    QVariant retrieveData(const QString &mimeType, QMetaType type) const override;

private:
    friend class CacheDragSource;
    CacheMimeData(CacheDragSource *source, std::shared_ptr<CacheDragSource::Drag> drag, bool directSave);

    QPointer<CacheDragSource> _source;
    std::shared_ptr<CacheDragSource::Drag> _drag;
    QStringList _formats;
};

} // namespace quillet::app
