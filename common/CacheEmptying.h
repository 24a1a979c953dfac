#pragma once
// Deleting cached items for good: everything in every cache folder, or the rows selected in the
// browser. Protection that runs is stopped first (and its daemons waited for, since a stopping
// quilletd still writes its index), the items are removed, and protection starts again only
// once everything is gone. Cached items are usually locked: an item that refuses plain removal
// is unlocked, and a folder that still resists is handed to a delete worker of its own; the
// emptying waits for every such worker before it restarts protection.

#include "BrowserItem.h"
#include "DeleteFolderUtil.h"
#include "NotificationCenter.h"
#include "ProtectionControl.h"
#include "RunLoop.h"
#include "RunningWorkers.h"
#include "platform/System.h"

#include <atomic>
#include <functional>
#include <string>
#include <vector>

namespace quillet {

/// What the user asked to empty; the numbers are the tags of the two controls.
enum class EmptyScope { Everything = 1, Selection = 2 };

/// What became of one path.
struct DeletedItem {
    std::string path;
    /// Ok once nothing is left at the path (also when nothing was there); otherwise why the
    /// last attempt failed.
    sys::Status status;
    /// A folder that resisted plain removal and went to a delete worker.
    bool handedToWorker = false;
};

class CacheEmptying {
public:
    /// Called after each path of deleteItems was dealt with (or handed to a worker): its index
    /// and the number of paths.
    using ItemDone = std::function<void(size_t index, size_t count, const std::string &path)>;

    /// Workers report progress on runLoop, which the wait for them runs, and post to center.
    explicit CacheEmptying(RunLoop &runLoop, NotificationCenter &center = NotificationCenter::defaultCenter())
        : _runLoop(runLoop), _center(center), _workers(center) {}
    CacheEmptying(const CacheEmptying &) = delete;
    CacheEmptying &operator=(const CacheEmptying &) = delete;

    void setItemDoneCallback(ItemDone callback) { _itemDone = std::move(callback); }

    /// The paths a scope deletes: for Everything every entry directly inside every cache folder
    /// that is a real folder of the user's (date folders, the index, the markers, anything
    /// else), in listing order; for Selection the pathToItem of each selected row in the order
    /// given (rows of vanished entries skipped).
    static std::vector<std::string> pathsToEmpty(EmptyScope scope, const std::vector<std::string> &cacheFolders,
                                                 const std::vector<BrowserItem> &selection);

    /// The confirmed emptying: stops running protection, deletes pathsToEmpty, waits for the
    /// workers, starts protection again when it was running. The front end refreshes its
    /// statistics and its browser afterwards.
    std::vector<DeletedItem> emptyCaches(EmptyScope scope, const std::vector<std::string> &cacheFolders,
                                         const std::vector<BrowserItem> &selection, ProtectionSwitch &protection);

    /// Removes each path with everything in it, never following a link: plain removal, then
    /// unlocking and unlink for a file or a delete worker (removing the folder itself) for a
    /// folder; then waits on the run loop until every worker started here has ended. Each path
    /// must lie inside one of cacheFolders and is reached through the cache folder and its date
    /// folder, each a real folder of the user's: anything else (a path outside, a link or
    /// another account's folder on the way, another account's folder itself) is refused and
    /// left as it is. Does nothing and answers nothing while workers of an earlier call still
    /// run. What a worker left behind is tried once more, so that the answer says why it is
    /// still there.
    std::vector<DeletedItem> deleteItems(const std::vector<std::string> &cacheFolders,
                                         const std::vector<std::string> &paths);

    /// The last emptyCaches went on although a daemon was still running 10 s after the stop
    /// (a quilletd finishing a large copy); the index it writes on its way out is pruned of
    /// what is gone at its next start.
    bool protectionOutlivedStop() const { return _protectionOutlivedStop; }

    /// Workers of this emptying still running.
    bool deleteThreadRunning() const { return _deleteThreadRunning.load() || !_workers.empty(); }
    /// Mean percentage done of the running workers (100 when none runs).
    double workersProgress() const { return _workers.meanProgress(); }

private:
    RunLoop &_runLoop;
    NotificationCenter &_center;
    RunningWorkers<DeleteFolderUtil> _workers;
    std::atomic<bool> _deleteThreadRunning{false};
    bool _protectionOutlivedStop = false;
    ItemDone _itemDone;
};

} // namespace quillet
