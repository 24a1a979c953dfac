#include "jobs/CacheRecovery.h"

#include "archive/CacheLayout.h"
#include "jobs/StopProtectionJob.h"
#include "platform/FileCopy.h"
#include "platform/Log.h"

#include <fcntl.h>

#include <cerrno>
#include <cstdio>

namespace quillet {
namespace {

/// True when target lies inside the folder source: copying source there would copy the copy
/// again, without end.
bool liesInside(const std::string &target, const std::string &source) {
    const std::string folder = sys::canonicalPath(source);
    // The target itself may not exist yet: its nearest existing ancestor tells where it goes.
    std::string probe = target;
    while (!sys::exists(probe)) {
        std::string parent = sys::parentPath(probe);
        if (parent == probe || parent.empty())
            return false;
        probe = std::move(parent);
    }
    const std::string resolved = sys::canonicalPath(probe);
    return resolved == folder || resolved.starts_with(folder == "/" ? folder : folder + "/");
}

/// The outcome of a row a cancellation left out.
sys::Status cancelled(const std::string &source) {
    return sys::Status::refusal(ECANCELED, source, "not recovered: cancelled");
}

bool isFolder(const std::string &path) {
    auto st = sys::stat(path, sys::FollowLinks::No);
    return st && S_ISDIR(st->st_mode);
}

} // namespace

std::string_view pathExtension(std::string_view name) {
    const size_t dot = name.rfind('.');
    if (dot == std::string_view::npos || dot == 0 || dot + 1 == name.size())
        return {};
    return name.substr(dot + 1);
}

std::string_view deletingPathExtension(std::string_view name) {
    const std::string_view extension = pathExtension(name);
    return extension.empty() ? name : name.substr(0, name.size() - extension.size() - 1);
}

std::string recoveredName(const BrowserItem &item) {
    const std::string stored = sys::lastPathComponent(item.pathToItem);
    // The stored name decides: the names a row shows are already visible forms (or, for a
    // search result, the stored name), so taking the prefix off them again would turn an item
    // really named ".x_profile" (stored ".x_.x_profile") into "profile".
    if (hasHiddenPrefix(stored)) {
        std::string visible = setFileName(stored, Visibility::Visible);
        // ".x_" alone (or ".x_." and ".x_..") has no visible form that can name an entry.
        if (visible.empty() || visible == "." || visible == "..")
            return stored;
        return visible;
    }
    // A day row shows its date; a name stored without the prefix (too long for it) is its own
    // visible form, as is the shown name of a row without a path.
    if (item.itemName && !item.itemName->empty())
        return *item.itemName;
    if (item.itemRepresentationName && !item.itemRepresentationName->empty())
        return *item.itemRepresentationName;
    return stored;
}

sys::Fd uniqueFileNameInFolder(const std::string &folder, std::string_view base, std::string_view extension,
                               std::optional<std::string> *name, DeleteAfterwards deleteAfterwards) {
    std::string candidate;
    sys::Result<sys::Fd> created = sys::Status::failure(EINVAL, "open", folder);
    // O_EXCL makes the test and the creation one step: another process that wants a free name
    // at the same moment gets another one.
    for (unsigned n = 0;; ++n) {
        candidate = std::string(base) + (n == 0 ? "" : "-" + std::to_string(n));
        if (!extension.empty())
            candidate += "." + std::string(extension);
        created = sys::open(folder + "/" + candidate, O_WRONLY | O_CREAT | O_EXCL, 0666);
        if (created || created.code() != EEXIST)
            break;
    }
    if (deleteAfterwards == DeleteAfterwards::Yes) {
        if (name)
            *name = candidate;
        // Only a file made here is removed: after any other failure the path is not ours.
        if (created) {
            created->reset();
            (void)sys::unlink(folder + "/" + candidate);
        }
        return sys::Fd();
    }
    if (!created) {
        if (name)
            name->reset();
        return sys::Fd();
    }
    if (name)
        *name = candidate;
    return std::move(created.value());
}

CacheRecovery::CacheRecovery(Mode mode, std::vector<BrowserItem> rows, std::string destination,
                             ProtectionSwitch *protection, NotificationCenter *center)
    : _mode(mode), _rows(std::move(rows)), _destination(std::move(destination)), _protection(protection),
      _center(center), _reported(_rows.size(), false) {
    for (size_t i = 0; i < _rows.size(); ++i)
        _items.push_back(ItemOutcome{i, _rows[i].pathToItem, {}, false, cancelled(_rows[i].pathToItem), {}});
}

std::shared_ptr<CacheRecovery> CacheRecovery::recoverItems(std::vector<BrowserItem> rows, std::string destination,
                                                           NotificationCenter *center) {
    return std::shared_ptr<CacheRecovery>(
        new CacheRecovery(Mode::Recover, std::move(rows), std::move(destination), nullptr, center), Job::Joiner());
}

std::shared_ptr<CacheRecovery> CacheRecovery::dropItems(std::vector<BrowserItem> rows, std::string destination,
                                                        ProtectionSwitch &protection, NotificationCenter *center) {
    return std::shared_ptr<CacheRecovery>(
        new CacheRecovery(Mode::Drop, std::move(rows), std::move(destination), &protection, center), Job::Joiner());
}

std::vector<std::string> CacheRecovery::promisedNames(const std::vector<BrowserItem> &rows) {
    std::vector<std::string> names;
    for (const BrowserItem &row : rows)
        names.push_back(sys::lastPathComponent(row.pathToItem));
    return names;
}

std::vector<ItemOutcome> CacheRecovery::items() const {
    std::lock_guard lock(_itemsMutex);
    return _items;
}

double CacheRecovery::currentProgress() const {
    if (_rows.empty())
        return 0;
    // A folder at a worker counts with the share the worker has done.
    return (static_cast<double>(_rowsDone.load()) + runningChildrenShare()) * 100.0 /
           static_cast<double>(_rows.size());
}

void CacheRecovery::done(ItemOutcome outcome) {
    {
        std::lock_guard lock(_itemsMutex);
        _items[outcome.index] = outcome;
    }
    _reported[outcome.index] = true;
    ++_rowsDone;
    itemDone(outcome);
}

ItemOutcome CacheRecovery::copyFile(size_t index, const std::string &source, const std::string &target) {
    // A name already taken is seen before any data is read; the copy itself still never
    // replaces what appears meanwhile.
    sys::Status status = sys::exists(target) ? sys::Status::failure(EEXIST, "copy", target) : sys::copyItem(source, target);
    if (status.code() == EEXIST)
        status = sys::Status::refusal(EEXIST, target, "already exists");
    return ItemOutcome{index, source, target, false, std::move(status), {}};
}

CacheRecovery::FolderCopy CacheRecovery::startFolderCopy(size_t index, const std::string &source,
                                                         const std::string &target) {
    FolderCopy copy{ItemOutcome{index, source, target, true, sys::Status(), {}}, nullptr};
    // A folder merges into a folder only: anything else of that name stays, and nothing of the
    // folder is written.
    if (auto there = sys::stat(target, sys::FollowLinks::No); there && !S_ISDIR(there->st_mode)) {
        copy.outcome.status = sys::Status::refusal(EEXIST, target, "already exists and is not a folder");
        return copy;
    }
    if (liesInside(target, source)) {
        copy.outcome.status = sys::Status::failure(EINVAL, "copy into itself", target);
        return copy;
    }
    copy.worker = CopyFileUtil::create(CopyThreadType::Copy, source, target, Visibility::Visible, _center);
    adopt(copy.worker);
    copy.worker->startThread();
    return copy;
}

JobEnd CacheRecovery::run() {
    std::vector<FolderCopy> folders = _mode == Mode::Recover ? recoverRows() : dropRows();
    finishFolders(folders);
    // The rows a cancellation left out have their outcome too.
    for (const ItemOutcome &item : items())
        if (!_reported[item.index])
            done(item);
    return cancelRequested() ? JobEnd::Cancelled : JobEnd::Finished;
}

std::vector<CacheRecovery::FolderCopy> CacheRecovery::recoverRows() {
    std::vector<FolderCopy> folders;
    const std::string &destination = _destination;
    // An existing folder is used as it is.
    (void)sys::mkdir(destination, 0777);
    for (size_t i = 0; i < _rows.size() && !cancelledAfterPause(); ++i) {
        const BrowserItem &row = _rows[i];
        const std::string target = sys::joinPath(destination, recoveredName(row));
        if (isFolder(row.pathToItem)) {
            folders.push_back(startFolderCopy(i, row.pathToItem, target));
            continue;
        }
        ItemOutcome outcome = copyFile(i, row.pathToItem, target);
        if (!outcome.status && _rows.size() == 1 && _failureLog == FailureLog::StandardError)
            sys::logLine("Error copying file " + row.pathToItem + " in " + destination);
        done(std::move(outcome));
    }
    return folders;
}

std::vector<CacheRecovery::FolderCopy> CacheRecovery::dropRows() {
    std::vector<FolderCopy> folders;
    bool restart = false;
    if (_protection) {
        auto stop = StopProtectionJob::create(*_protection);
        runChild(stop);
        restart = stop->wasRunning();
    }
    const std::vector<std::string> names = promisedNames(_rows);
    for (size_t i = 0; i < _rows.size() && !cancelledAfterPause(); ++i) {
        const BrowserItem &row = _rows[i];
        if (row.pathToItem.empty() || !sys::exists(row.pathToItem)) {
            done(ItemOutcome{i, row.pathToItem, {}, false,
                             sys::Status::refusal(ENOENT, row.pathToItem, "no longer in the cache"), {}});
            continue;
        }
        const std::string visible = recoveredName(row);
        if (isFolder(row.pathToItem)) {
            std::string target = visible;
            for (unsigned n = 1; sys::exists(sys::joinPath(_destination, target)); ++n)
                target = visible + "-" + std::to_string(n);
            folders.push_back(startFolderCopy(i, row.pathToItem, sys::joinPath(_destination, target)));
            continue;
        }
        std::optional<std::string> reserved;
        (void)uniqueFileNameInFolder(_destination, deletingPathExtension(visible),
                                     pathExtension(row.itemName.value_or(names[i])), &reserved,
                                     DeleteAfterwards::Yes);
        if (!reserved) {
            done(ItemOutcome{i, row.pathToItem, {}, false,
                             sys::Status::failure(EEXIST, "open", sys::joinPath(_destination, visible)), {}});
            continue;
        }
        ItemOutcome outcome = copyFile(i, row.pathToItem, sys::joinPath(_destination, *reserved));
        if (!outcome.status)
            sys::logLine("Problem with folder drag and drop, try again.");
        done(std::move(outcome));
    }
    // Folder workers may still run: they copy out of the cache, which the daemons only add to.
    if (restart)
        _protection->startAfterCacheWork();
    return folders;
}

void CacheRecovery::finishFolders(std::vector<FolderCopy> &folders) {
    for (FolderCopy &folder : folders) {
        ItemOutcome &outcome = folder.outcome;
        if (folder.worker) {
            folder.worker->wait();
            outcome.failures = folder.worker->failures();
            const auto end = folder.worker->end();
            if (end == JobEnd::Failed)
                outcome.status = sys::Status::refusal(ENOENT, outcome.source, "the folder is no longer in the cache");
            else if (end != JobEnd::Finished)
                outcome.status = cancelled(outcome.source);
        }
        done(std::move(outcome));
    }
}

} // namespace quillet
