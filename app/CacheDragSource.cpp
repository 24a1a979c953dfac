#include "CacheDragSource.h"

#include "Alerts.h"
#include "CacheRecoverer.h"
#include "JobWatcher.h"
#include "ProtectionService.h"

#include "jobs/CacheRecovery.h"
#include "jobs/CallJob.h"
#include "platform/System.h"

#include <QEventLoop>
#include <QSysInfo>
#include <QTimer>
#include <QWidget>

#include <sys/stat.h>

#include <algorithm>
#include <cstdio>

namespace quillet::app {

struct CacheDragSource::Drag {
    std::vector<BrowserItem> rows;
    std::optional<DragStaging> staging;
    /// Filling the staging folder has been queued.
    bool stagingStarted = false;
    /// The staging job has ended; copies and failures are final.
    bool copiesDone = false;
    QList<QUrl> copies;
    QStringList failures;
    /// A target has had the list of copies.
    bool listGiven = false;
    bool failuresReported = false;
    /// A direct save has been queued for this drag.
    bool directSaved = false;
    /// Its answer, once its copies are done: "S" when any was made, else "E".
    QByteArray directSaveAnswer;
    /// The drag ended on a target that took it.
    bool accepted = false;
    /// The drag's data is gone: no target can ask for anything any more.
    bool dataReleased = false;
    /// The staging folder goes as soon as the copies are done.
    bool removeWhenDone = false;
};

CacheDragSource::CacheDragSource(ProtectionService &service, QWidget *window, QObject *parent)
    : QObject(parent), _service(service), _window(window), _property(makeXcbDirectSaveProperty()) {}

CacheDragSource::~CacheDragSource() {
    // The file manager had its time to copy: whatever is still staged goes with the program,
    // here and now since no event loop will carry a job's end any more.
    auto removeNow = [](std::optional<DragStaging> &staging) {
        if (!staging)
            return;
        if (sys::Status removed = staging->remove(); !removed)
            std::fprintf(stderr, "Quillet: the copies of a drag could not be removed: %s\n",
                         removed.message().c_str());
    };
    if (_current)
        removeNow(_current->staging);
    for (const std::shared_ptr<Drag> &drag : _retiring)
        removeNow(drag->staging);
    // Removals already on a job's thread are joined by their watchers (children of this); one
    // that had not started is left to the next start-up's cleaning.
}

void CacheDragSource::setDirectSaveProperty(std::unique_ptr<DirectSaveProperty> property) {
    _property = std::move(property);
}

void CacheDragSource::removeLeftoverStaging() {
    std::optional<std::string> runtime = DragStaging::runtimeFolder();
    if (!runtime) {
        emit leftoversRemoved(0);
        return;
    }
    // A crashed run's copies may be large: removed on a job's thread.
    auto removed = std::make_shared<int>(0);
    auto job = CallJob::create([runtime = *runtime, removed] {
        std::vector<sys::Status> problems;
        *removed = DragStaging::removeLeftovers(runtime, &problems);
        for (const sys::Status &problem : problems)
            std::fprintf(stderr, "Quillet: a staging folder of an earlier drag was not removed: %s\n",
                         problem.message().c_str());
    });
    auto *watcher = new JobWatcher(job, this);
    connect(watcher, &JobWatcher::finished, this, [this, watcher, removed](JobEnd) {
        watcher->deleteLater();
        emit leftoversRemoved(*removed);
    });
}

QMimeData *CacheDragSource::beginDrag(std::vector<BrowserItem> rows) {
    if (rows.empty())
        return nullptr;
    if (_current) {
        retire(_current);
        _current.reset();
    }
    std::optional<std::string> runtime = DragStaging::runtimeFolder();
    if (!runtime) {
        // /tmp is shared with every account: copies of the cache are never prepared there.
        showSheet(_window, AlertStyle::Warning, tr("The items cannot be dragged out."),
                  tr("There is no private folder to prepare their copies in: XDG_RUNTIME_DIR is not set. Use "
                     "Recover... to get them back."),
                  {tr("OK")}, {});
        return nullptr;
    }
    sys::Result<DragStaging> staging = DragStaging::create(*runtime);
    if (!staging) {
        showSheet(_window, AlertStyle::Warning, tr("The items cannot be dragged out."),
                  tr("The folder for their copies cannot be made: %1")
                      .arg(QString::fromStdString(staging.status().message())),
                  {tr("OK")}, {});
        return nullptr;
    }
    auto drag = std::make_shared<Drag>();
    drag->rows = std::move(rows);
    drag->staging.emplace(std::move(*staging));

    // Without direct save the list is what every target will ask for: the copies are made as
    // the drag starts, so that they are ready, or nearly, when it does. With direct save a file
    // manager that speaks it never asks for the list, and the copies wait until one does: a drag
    // given up or saved directly costs no copy and no pause of protection.
    if (!_property)
        startStaging(drag);
    _current = drag;
    return new CacheMimeData(this, drag, _property != nullptr);
}

void CacheDragSource::startStaging(const std::shared_ptr<Drag> &drag) {
    if (drag->stagingStarted || !drag->staging)
        return;
    drag->stagingStarted = true;
    const QString path = QString::fromStdString(drag->staging->path());
    // The service pauses protection around it as for any drop.
    auto job = CacheRecovery::dropItems(drag->rows, drag->staging->path(), _service.control(), nullptr);
    QPointer<CacheDragSource> self(this);
    _service.runJob(job, [self, drag, job, path](JobEnd end) {
        for (const ItemOutcome &item : job->items()) {
            if (item.status && !item.target.empty())
                drag->copies.append(QUrl::fromLocalFile(QString::fromStdString(item.target)));
            drag->failures.append(CacheRecoverer::failureLines(item));
        }
        if (end == JobEnd::NotStarted)
            drag->failures.append(tr("The copies could not be prepared."));
        drag->copiesDone = true;
        if (!self)
            return;
        emit self->stagingFinished(path, drag->failures);
        if (drag->listGiven && !drag->failuresReported && !drag->failures.isEmpty()) {
            drag->failuresReported = true;
            self->reportFailures(drag->failures);
        }
        if (drag->removeWhenDone) {
            self->removeStaging(*drag);
            std::erase(self->_retiring, drag);
        }
    });
}

void CacheDragSource::dragStarted() {
    if (!_property || !_current || _current->rows.empty())
        return;
    if (!_property->write(QByteArray::fromStdString(recoveredName(_current->rows.front()))))
        std::fprintf(stderr, "Quillet: the file name for a direct save could not be offered\n");
}

void CacheDragSource::endDrag(Qt::DropAction action) {
    if (!_current)
        return;
    if (action == Qt::IgnoreAction) {
        retire(_current);
        _current.reset();
        return;
    }
    // On X the target asks for the data after the drop, while the drag's data lives on until
    // it has said it is done: only then is it known whether the list was used.
    _current->accepted = true;
    if (_current->dataReleased && !_current->listGiven) {
        retire(_current);
        _current.reset();
    }
}

void CacheDragSource::dataReleased(const std::shared_ptr<Drag> &drag) {
    drag->dataReleased = true;
    // A target that never asked for the list (a direct save) will not copy from it.
    if (drag == _current && drag->accepted && !drag->listGiven) {
        retire(drag);
        _current.reset();
    }
}

QString CacheDragSource::stagingPath() const {
    return _current && _current->staging ? QString::fromStdString(_current->staging->path()) : QString();
}

bool CacheDragSource::stagingDone() const { return _current && _current->copiesDone; }

QByteArray CacheDragSource::uriList(const std::shared_ptr<Drag> &drag) {
    startStaging(drag);
    if (!drag->copiesDone) {
        // The target waits for its answer meanwhile; this thread must go on dispatching, since
        // the job's end comes through the event loop.
        QEventLoop wait;
        connect(this, &CacheDragSource::stagingFinished, &wait, &QEventLoop::quit);
        while (!drag->copiesDone)
            wait.exec();
    }
    drag->listGiven = true;
    if (!drag->failures.isEmpty() && !drag->failuresReported) {
        drag->failuresReported = true;
        // After the answer has gone out, not in the middle of the target's request.
        QTimer::singleShot(0, this, [this, failures = drag->failures] { reportFailures(failures); });
    }
    QByteArray list;
    for (const QUrl &copy : drag->copies)
        list += copy.toEncoded() + "\r\n";
    return list;
}

std::optional<QString> CacheDragSource::directSaveFolder(const QByteArray &uri) {
    QByteArray text = uri;
    while (!text.isEmpty() && text.back() == '\0')
        text.chop(1);
    const QUrl url(QString::fromUtf8(text), QUrl::StrictMode);
    if (!url.isValid() || url.scheme() != QLatin1String("file") || url.hasQuery() || url.hasFragment())
        return std::nullopt;
    const QString host = url.host();
    if (!host.isEmpty() && host.compare(QLatin1String("localhost"), Qt::CaseInsensitive) != 0 &&
        host.compare(QSysInfo::machineHostName(), Qt::CaseInsensitive) != 0)
        return std::nullopt;
    const QString path = url.path(QUrl::FullyDecoded);
    if (!path.startsWith(QLatin1Char('/')))
        return std::nullopt;
    const QString name = path.section(QLatin1Char('/'), -1);
    if (name.isEmpty() || name == QLatin1String(".") || name == QLatin1String(".."))
        return std::nullopt;
    QString folder = path.left(path.size() - name.size());
    if (folder.size() > 1)
        folder.chop(1);
    sys::Result<struct stat> status = sys::stat(folder.toStdString(), sys::FollowLinks::Yes);
    if (!status || !S_ISDIR(status->st_mode))
        return std::nullopt;
    return folder;
}

QByteArray CacheDragSource::directSave(const std::shared_ptr<Drag> &drag) {
    if (!_property)
        return QByteArrayLiteral("E");
    std::optional<QByteArray> uri = _property->read();
    std::optional<QString> folder = uri ? directSaveFolder(*uri) : std::nullopt;
    if (!folder)
        return QByteArrayLiteral("E");
    // A target asking twice for the same drop gets the same answer, not a second set of copies.
    if (!drag->directSaved) {
        drag->directSaved = true;
        auto job = CacheRecovery::dropItems(drag->rows, folder->toStdString(), _service.control(), nullptr);
        QPointer<CacheDragSource> self(this);
        // The recovery's sheet, while the rows are copied into the folder dropped on.
        if (_window) {
            if (_dropSheet)
                _dropSheet->close();
            _dropSheet = CacheRecoverer::openProgressSheet(_window, CacheRecoverer::recoveringTitle());
        }
        auto progress = [self](double percent) {
            if (self && self->_dropSheet)
                self->_dropSheet->setValue(static_cast<int>(std::clamp(percent, 0.0, 100.0)));
        };
        _service.runJob(job, [self, drag, job, folder = *folder](JobEnd end) {
            if (self && self->_dropSheet) {
                self->_dropSheet->close();
                self->_dropSheet = nullptr;
            }
            QStringList failures;
            bool anyCopied = false;
            for (const ItemOutcome &item : job->items()) {
                anyCopied = anyCopied || (item.status && !item.target.empty());
                failures.append(CacheRecoverer::failureLines(item));
            }
            if (end == JobEnd::NotStarted)
                failures.append(tr("The items could not be copied to %1.").arg(folder));
            drag->directSaveAnswer = anyCopied ? QByteArrayLiteral("S") : QByteArrayLiteral("E");
            if (!self)
                return;
            if (!failures.isEmpty())
                // After the answer has gone out, not in the middle of the target's request.
                QTimer::singleShot(0, self, [self, failures] {
                    if (self)
                        self->reportFailures(failures);
                });
            emit self->directSaveFinished(folder, failures);
        }, progress);
    }
    // "S" says the files are there: the target shows them as it gets the answer. It waits for it
    // meanwhile, and this thread goes on dispatching, since the job's end comes through the event
    // loop (as for the list of copies).
    if (drag->directSaveAnswer.isEmpty()) {
        QEventLoop wait;
        connect(this, &CacheDragSource::directSaveFinished, &wait, &QEventLoop::quit);
        while (drag->directSaveAnswer.isEmpty())
            wait.exec();
    }
    return drag->directSaveAnswer;
}

void CacheDragSource::retire(const std::shared_ptr<Drag> &drag) {
    if (drag->copiesDone || !drag->stagingStarted) {
        removeStaging(*drag);
        return;
    }
    drag->removeWhenDone = true;
    if (std::find(_retiring.begin(), _retiring.end(), drag) == _retiring.end())
        _retiring.push_back(drag);
}

void CacheDragSource::removeStaging(Drag &drag) {
    if (!drag.staging)
        return;
    // The copies of a large folder take a while to remove: on a job's thread.
    auto staging = std::make_shared<DragStaging>(std::move(*drag.staging));
    drag.staging.reset();
    const QString path = QString::fromStdString(staging->path());
    auto status = std::make_shared<sys::Status>();
    auto job = CallJob::create([staging, status] { *status = staging->remove(); });
    auto *watcher = new JobWatcher(job, this);
    connect(watcher, &JobWatcher::finished, this, [this, watcher, staging, status, path](JobEnd) {
        watcher->deleteLater();
        if (!*status) {
            std::fprintf(stderr, "Quillet: the copies of a drag could not be removed: %s\n",
                         status->message().c_str());
            return;
        }
        if (staging->removed())
            emit stagingRemoved(path);
    });
}

void CacheDragSource::reportFailures(const QStringList &failures) {
    showSheet(_window, AlertStyle::Critical, CacheRecoverer::failureMessage(),
              CacheRecoverer::failureInformative() + QStringLiteral("\n\n") + failures.join(QLatin1Char('\n')),
              {tr("OK")}, {});
}

// ---- the drag's data ---------------------------------------------------------------------------

CacheMimeData::CacheMimeData(CacheDragSource *source, std::shared_ptr<CacheDragSource::Drag> drag, bool directSave)
    : _source(source), _drag(std::move(drag)) {
    _formats.append(QLatin1String(CacheDragSource::kUriListFormat));
    if (directSave)
        _formats.append(QLatin1String(CacheDragSource::kDirectSaveFormat));
}

CacheMimeData::~CacheMimeData() {
    if (_source)
        _source->dataReleased(_drag);
}

QStringList CacheMimeData::formats() const { return _formats; }

bool CacheMimeData::hasFormat(const QString &mimeType) const { return _formats.contains(mimeType); }

QVariant CacheMimeData::retrieveData(const QString &mimeType, QMetaType type) const {
    Q_UNUSED(type);
    if (!_source || !_formats.contains(mimeType))
        return {};
    if (mimeType == QLatin1String(CacheDragSource::kUriListFormat))
        return _source->uriList(_drag);
    return _source->directSave(_drag);
}

} // namespace quillet::app
