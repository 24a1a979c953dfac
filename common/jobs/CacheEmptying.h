#pragma once
// Deleting cached items for good: everything in every cache folder, or the rows selected in the
// browser, as a job (Job.h) that never blocks its caller. Protection that runs is stopped first
// (and its daemons waited for, since a stopping quilletd still writes its index: a
// StopProtectionJob), the items are removed, and protection starts again only once everything
// is gone. Cached items are usually locked: an item that refuses plain removal is unlocked, and
// a folder that still resists is handed to a delete worker of its own (a child job, posting the
// delete worker's notifications); the emptying waits for every such worker before it restarts
// protection.
//
// Each path is an item: its outcome (ItemOutcome, source = the path) is ok once nothing is left
// at the path. The outcome of a path handed to a worker comes once that worker has ended.
// Progress: the share of the paths dealt with, a running worker counting with its own progress.

#include "browser/BrowserItem.h"
#include "jobs/DeleteFolderUtil.h"
#include "jobs/Job.h"
#include "support/NotificationCenter.h"
#include "control/ProtectionControl.h"
#include "platform/System.h"

#include <atomic>
#include <memory>
#include <mutex>
#include <optional>
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

class CacheEmptying : public Job {
public:
    /// The paths a scope deletes: for Everything every entry directly inside every cache folder
    /// that is a real folder of the user's (date folders, the index, the markers, anything
    /// else), in listing order; for Selection the pathToItem of each selected row in the order
    /// given (rows of vanished entries skipped).
    static std::vector<std::string> pathsToEmpty(EmptyScope scope, const std::vector<std::string> &cacheFolders,
                                                 const std::vector<BrowserItem> &selection);

    /// The confirmed emptying, not started yet: stops running protection, deletes pathsToEmpty
    /// (listed once protection has stopped), waits for the workers, starts protection again
    /// when it was running (also when cancelled). protection must outlive the job. The front
    /// end refreshes its statistics and its browser once the job has ended. The delete workers
    /// post to center (nothing when it is null), which must outlive the job.
    static std::shared_ptr<CacheEmptying> emptyCaches(EmptyScope scope, std::vector<std::string> cacheFolders,
                                                      std::vector<BrowserItem> selection, ProtectionSwitch &protection,
                                                      NotificationCenter *center = &NotificationCenter::defaultCenter());

    /// Removes each path with everything in it, never following a link: plain removal, then
    /// unlocking and unlink for a file or a delete worker (removing the folder itself) for a
    /// folder; then waits until every worker started here has ended. Each path must lie inside
    /// one of cacheFolders and is reached through the cache folder and its date folder, each a
    /// real folder of the user's: anything else (a path outside, a link or another account's
    /// folder on the way, another account's folder itself) is refused and left as it is. What a
    /// worker left behind is tried once more, so that the outcome says why it is still there.
    /// Protection is left as it is. Not started yet.
    static std::shared_ptr<CacheEmptying> deleteItems(std::vector<std::string> cacheFolders,
                                                      std::vector<std::string> paths,
                                                      NotificationCenter *center = &NotificationCenter::defaultCenter());

    /// What became of each path, in order; complete once the job has ended (a path not reached
    /// after a cancellation fails with ECANCELED).
    std::vector<DeletedItem> deleted() const;
    /// Once the job has ended: a daemon was still running 10 s after the stop (a quilletd
    /// finishing a large copy) and the emptying went on; the index it writes on its way out is
    /// pruned of what is gone at its next start.
    bool protectionOutlivedStop() const { return _protectionOutlivedStop.load(); }

protected:
    /// One emptying at a time in a process: while another runs, this one does nothing and ends
    /// at once (JobEnd::NotStarted), with no outcome.
    bool startable() override;
    JobEnd run() override;
    double currentProgress() const override;

private:
    CacheEmptying(std::vector<std::string> cacheFolders, std::vector<std::string> paths, std::optional<EmptyScope> scope,
                  std::vector<BrowserItem> selection, ProtectionSwitch *protection, NotificationCenter *center);

    /// Deletes _paths; false when cancelled.
    bool deletePaths();
    /// Records the outcome of the path at index and tells the observers.
    void done(size_t index, DeletedItem item);

    std::vector<std::string> _cacheFolders;
    std::vector<std::string> _paths;
    std::optional<EmptyScope> _scope;
    std::vector<BrowserItem> _selection;
    ProtectionSwitch *_protection;
    NotificationCenter *_center;
    std::atomic<bool> _protectionOutlivedStop{false};
    std::atomic<size_t> _dealtWith{0};
    std::atomic<size_t> _pathCount{0};
    mutable std::mutex _deletedMutex;
    std::vector<DeletedItem> _deleted;
};

} // namespace quillet
