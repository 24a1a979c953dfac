#include "jobs/CacheEmptying.h"

#include "archive/CacheFolders.h"
#include "jobs/StopProtectionJob.h"
#include "platform/ItemLock.h"
#include "platform/Log.h"
#include "platform/RemoveTree.h"
#include "platform/TrustedFolder.h"

#include <unistd.h>

#include <cerrno>
#include <cstdio>

namespace quillet {
namespace {

/// Set while an emptying runs in this process.
std::atomic<bool> emptyingRuns{false};

/// The outcome of a path a cancellation left as it was.
sys::Status cancelled(const std::string &path) { return sys::Status::refusal(ECANCELED, path, "not deleted: cancelled"); }

} // namespace

std::vector<std::string> CacheEmptying::pathsToEmpty(EmptyScope scope, const std::vector<std::string> &cacheFolders,
                                                     const std::vector<BrowserItem> &selection) {
    std::vector<std::string> paths;
    switch (scope) {
    case EmptyScope::Everything:
        for (const std::string &cache : cacheFolders) {
            // A cache folder that is not there has nothing to empty; one that is a link or
            // another account's is not this user's to empty.
            auto folder = sys::openOwnedFolder(cache);
            if (!folder)
                continue;
            (void)sys::forEachEntry(folder->get(), [&](std::string_view name, unsigned char) {
                paths.push_back(sys::joinPath(cache, name));
                return true;
            });
        }
        break;
    case EmptyScope::Selection:
        for (const BrowserItem &row : selection)
            if (!row.isEmpty())
                paths.push_back(row.pathToItem);
        break;
    }
    return paths;
}

CacheEmptying::CacheEmptying(std::vector<std::string> cacheFolders, std::vector<std::string> paths,
                             std::optional<EmptyScope> scope, std::vector<BrowserItem> selection,
                             ProtectionSwitch *protection, NotificationCenter *center)
    : _cacheFolders(std::move(cacheFolders)), _paths(std::move(paths)), _scope(scope), _selection(std::move(selection)),
      _protection(protection), _center(center) {}

std::shared_ptr<CacheEmptying> CacheEmptying::emptyCaches(EmptyScope scope, std::vector<std::string> cacheFolders,
                                                          std::vector<BrowserItem> selection,
                                                          ProtectionSwitch &protection, NotificationCenter *center) {
    return std::shared_ptr<CacheEmptying>(
        new CacheEmptying(std::move(cacheFolders), {}, scope, std::move(selection), &protection, center), Job::Joiner());
}

std::shared_ptr<CacheEmptying> CacheEmptying::deleteItems(std::vector<std::string> cacheFolders,
                                                          std::vector<std::string> paths, NotificationCenter *center) {
    return std::shared_ptr<CacheEmptying>(
        new CacheEmptying(std::move(cacheFolders), std::move(paths), std::nullopt, {}, nullptr, center),
        Job::Joiner());
}

bool CacheEmptying::startable() {
    bool running = false;
    return emptyingRuns.compare_exchange_strong(running, true);
}

std::vector<DeletedItem> CacheEmptying::deleted() const {
    std::lock_guard lock(_deletedMutex);
    return _deleted;
}

double CacheEmptying::currentProgress() const {
    const size_t count = _pathCount.load();
    if (count == 0)
        return 0;
    // A path at a worker counts with the share the worker has done.
    return (static_cast<double>(_dealtWith.load()) + runningChildrenShare()) * 100.0 / static_cast<double>(count);
}

void CacheEmptying::done(size_t index, DeletedItem item) {
    ItemOutcome outcome{index, item.path, {}, item.handedToWorker, item.status, {}};
    {
        std::lock_guard lock(_deletedMutex);
        _deleted[index] = std::move(item);
    }
    ++_dealtWith;
    itemDone(outcome);
}

JobEnd CacheEmptying::run() {
    struct Release {
        ~Release() { emptyingRuns = false; }
    } release;
    bool restart = false;
    if (_protection) {
        auto stop = StopProtectionJob::create(*_protection);
        runChild(stop);
        restart = stop->wasRunning();
        _protectionOutlivedStop = restart && !stop->stopped();
    }
    // Listed only now: a stopping quilletd may still have written its index.
    if (_scope)
        _paths = pathsToEmpty(*_scope, _cacheFolders, _selection);
    {
        std::lock_guard lock(_deletedMutex);
        for (const std::string &path : _paths)
            _deleted.push_back(DeletedItem{path, cancelled(path), false});
    }
    _pathCount = _paths.size();
    const bool complete = deletePaths();
    if (restart)
        _protection->startAfterCacheWork();
    return complete ? JobEnd::Finished : JobEnd::Cancelled;
}

bool CacheEmptying::deletePaths() {
    // The folders holding what went to workers stay open until the workers end: the workers
    // reach their folders through them, whatever happens to the paths meanwhile.
    std::vector<sys::Fd> heldFolders;
    std::vector<std::pair<size_t, std::shared_ptr<DeleteFolderUtil>>> workers;
    std::vector<bool> reported(_paths.size(), false);
    for (size_t i = 0; i < _paths.size() && !cancelledAfterPause(); ++i) {
        DeletedItem item{_paths[i], sys::Status(), false};
        // Reached through the cache folder and its date folder as they are now, each a real
        // folder of the user's: nothing outside the cache is ever deleted.
        auto entry = openEntryInCache(_cacheFolders, _paths[i]);
        if (!entry) {
            // Gone with a folder deleted before it is what was wanted too.
            item.status = entry.code() == ENOENT ? sys::Status() : entry.status();
        } else if (auto st = sys::statAt(entry->folder.get(), entry->name, sys::FollowLinks::No); !st) {
            // Nothing there (any more) is what was wanted.
            item.status = st.code() == ENOENT ? sys::Status() : st.status();
        } else if (S_ISDIR(st->st_mode) && st->st_uid != sys::userId()) {
            item.status = sys::checkOwnedFolder(*st, _paths[i]);
        } else if (item.status = sys::removeTree(entry->folder.get(), entry->name); !item.status) {
            sys::unlockItemAt(entry->folder.get(), entry->name);
            if (S_ISDIR(st->st_mode)) {
                const std::string anchored =
                    "/proc/self/fd/" + std::to_string(entry->folder.get()) + "/" + entry->name;
                auto worker = DeleteFolderUtil::create(anchored, RemoveRoot::Yes, _center);
                adopt(worker);
                worker->startThread();
                workers.emplace_back(i, std::move(worker));
                heldFolders.push_back(std::move(entry->folder));
                continue;
            } else if (item.status = sys::unlinkAt(entry->folder.get(), entry->name); !item.status) {
                sys::logLine("Quillet: Error deleteItemsThread: " + item.path);
            }
        }
        reported[i] = true;
        done(i, std::move(item));
    }
    // Protection must not start again while a worker still removes items from the cache.
    for (const auto &[index, worker] : workers)
        worker->wait();
    const bool stopped = cancelRequested();
    for (const auto &[index, worker] : workers) {
        reported[index] = true;
        DeletedItem item{_paths[index], sys::Status(), true};
        if (stopped) {
            item.status = cancelled(item.path);
        } else {
            auto entry = openEntryInCache(_cacheFolders, item.path);
            item.status = entry ? sys::removeTree(entry->folder.get(), entry->name)
                                : (entry.code() == ENOENT ? sys::Status() : entry.status());
        }
        done(index, std::move(item));
    }
    // The paths a cancellation left out have their outcome too.
    for (size_t i = 0; i < _paths.size(); ++i)
        if (!reported[i])
            done(i, DeletedItem{_paths[i], cancelled(_paths[i]), false});
    return !stopped;
}

} // namespace quillet
