#pragma once
// The background copy/move worker: copies or moves the content of folder trees into one
// destination folder on a thread of its own (a copy shares the folders of a tree out among a
// few more), writing every name in its visible or its hidden form, and reports through the
// local notification centre.
//
// Notifications (object in brackets; none carries anything else):
//   ZRCopyFileUtilStatsNotification           [double: percentage done]  every 0.25 s on the
//                                             run loop given to startThread, until the worker ends
//   ZRCopyFileUtilThreadFinishedNotification  [CopyFileUtil *]  worker thread, after the last
//                                             source, also after a cancellation
//   ZRCopyFileUtilCancelledNotification       [CopyFileUtil *]  cancelThread's caller
//   ZRCopyFileUtilThreadPausedNotification    [CopyFileUtil *]  pauseThread's caller
//   ZRCopyFileUtilErrorNotification           [CopyFileUtil *]  worker thread, when a source folder
//                                             does not exist; no finished notification follows
//
// What a worker could not write is not notified: the caller reads failures() once the worker
// has ended. A copy never replaces anything: an entry whose name is taken in the destination
// stays out and is one failure ("<target>: already exists"); a folder whose name is taken by
// anything but a folder stays out with all it holds; a folder already there is merged into.
// Folders a copy creates take their source's extended attributes and access and modification
// times once everything inside them is written, as "cp -a" leaves them.

#include "CacheLayout.h"
#include "NotificationCenter.h"
#include "RunLoop.h"
#include "ZRAppUtils.h"
#include "platform/System.h"

#include <sys/stat.h>

#include <atomic>
#include <map>
#include <condition_variable>
#include <cstdint>
#include <memory>
#include <mutex>
#include <string>
#include <string_view>
#include <variant>
#include <vector>

namespace quillet {

/// The job of a worker. Other values are accepted but make startThread cancel at once.
enum class CopyThreadType : int32_t {
    Copy = 1,     ///< one folder's content into the destination
    Move = 2,     ///< one folder's content moved, the emptied source folders removed
    CopyList = 3, ///< Copy for each folder of a list, in order, into the same destination
    MoveList = 4, ///< Move for each folder of a list
};

/// An entry a worker left out, and why.
struct CopyFailure {
    std::string source; ///< the entry in the source tree
    std::string target; ///< where it was to go
    /// EEXIST when something already had the target's name; otherwise the failed call.
    sys::Status status;
};

class CopyFileUtil : public std::enable_shared_from_this<CopyFileUtil> {
public:
    static constexpr const char *kStatsNotification = "ZRCopyFileUtilStatsNotification";
    static constexpr const char *kThreadFinishedNotification = "ZRCopyFileUtilThreadFinishedNotification";
    static constexpr const char *kCancelledNotification = "ZRCopyFileUtilCancelledNotification";
    static constexpr const char *kThreadPausedNotification = "ZRCopyFileUtilThreadPausedNotification";
    static constexpr const char *kErrorNotification = "ZRCopyFileUtilErrorNotification";

    /// One folder (Copy, Move) or a list of folders (CopyList, MoveList).
    using Source = std::variant<std::string, std::vector<std::string>>;

    /// A plain worker that does no work: enough for setFileName.
    CopyFileUtil() = default;
    ~CopyFileUtil() = default;
    CopyFileUtil(const CopyFileUtil &) = delete;
    CopyFileUtil &operator=(const CopyFileUtil &) = delete;

    /// A worker for the job, or nullptr when the source is not of the kind the job takes (a
    /// single folder for Copy and Move, a list for CopyList and MoveList). Every name written
    /// below destination takes the form nameForm. Notifications go to center.
    static std::shared_ptr<CopyFileUtil> create(CopyThreadType type, Source source, std::string destination,
                                                Visibility nameForm,
                                                NotificationCenter &center = NotificationCenter::defaultCenter());

    /// Move jobs only: files of this size or more stay where they are; 0 (the default) means
    /// no limit. Set before startThread.
    void setSingleFileLimit(uint64_t limit) { _singleFileSizeLimit = limit; }

    /// Starts the job on a detached thread and the 0.25-second progress timer on runLoop. The
    /// thread and the timer hold the worker, so the caller may drop its reference at once. A
    /// worker of an unknown type is cancelled instead. A worker is started once.
    void startThread(RunLoop &runLoop);
    /// The worker waits before its next entry (noticed within a second) until continueThread
    /// or cancelThread. Posts the paused notification.
    void pauseThread();
    /// Lets a paused worker go on; posts nothing.
    void continueThread();
    /// Stops the worker before its next entry; posts the cancelled notification at once, and
    /// the thread posts the finished notification once it has unwound.
    void cancelThread();
    /// One tick of the progress timer: posts the stats notification, or nothing and false once
    /// the worker has ended (the timer then stops).
    bool timerRefresh();

    /// The visible form (visibleInFinder) or the hidden form of a name (see CacheLayout.h).
    static std::string setFileName(std::string_view name, bool visibleInFinder);

    /// Percentage done for the current source: bytes counted × 100 / its size. It counts what
    /// the destination held before, so it may pass 100.
    double progress() const { return _progress.load(); }
    bool isPaused() const { return _paused.load(); }
    /// True once cancelled or ended.
    bool isCancelled() const { return _cancelled.load(); }
    /// The entries left out so far, in the order they were met (the copiers of one tree add
    /// theirs as they go). Complete once the finished notification was posted. A folder left
    /// out counts once, not with each entry inside it. A move leaves out files at or above
    /// its size limit on purpose: they are no failure.
    std::vector<CopyFailure> failures() const;

private:
    CopyFileUtil(CopyThreadType type, Source source, std::string destination, Visibility nameForm,
                 NotificationCenter &center);

    enum class Job { Copy, Move };
    /// A source folder and the folder its content goes to; created: the worker made target,
    /// whose times and extended attributes are then set from source (times as listed, before
    /// the copy read the folder).
    struct Folders {
        std::string source;
        std::string target;
        /// The source's status (links not followed) as its parent's listing found it.
        struct stat found {};
        bool created = false;
        mode_t mode = 0;
        struct timespec times[2] = {};
    };
    void threadBody(Job job);
    /// Copies or moves the content of the folder source into the folder target. atRoot: source
    /// is the current source folder itself. False when the worker was cancelled meanwhile.
    bool core(Job job, const std::string &source, const std::string &target, bool atRoot);
    /// Copy jobs: the content of the current source folder, its folders shared out among a few
    /// threads; the folders made on the way are added to created. False when the worker was
    /// cancelled meanwhile.
    bool copyTree(const std::string &source, const std::string &target, std::vector<Folders> &created);
    /// The entries of one folder. Sub-folders go to subFolders when given, else are done at
    /// once through core. False when the worker was cancelled meanwhile.
    bool copyEntries(Job job, const std::string &source, const std::string &target, std::vector<Folders> *subFolders);
    /// Makes the folder target for the source folder whose status is st, or takes the folder
    /// already there; records the failure and answers false when neither can be.
    bool prepareFolder(Folders &folders, const struct stat &st, bool withParents);
    /// Gives the folders the copy created their sources' extended attributes and times.
    void finishFolders(const std::vector<Folders> &created);
    void fail(const std::string &source, const std::string &target, sys::Status status);
    /// Copies: a file with other names that was copied already gets this name as a link to that
    /// copy, as "cp -a" keeps the links between the files it copies. True when linked.
    bool linkToEarlierCopy(const struct stat &st, int targetDir, const std::string &name);
    void rememberCopy(const struct stat &st, const std::string &target);
    /// Waits while paused; true when the worker is cancelled.
    bool cancelledAfterPause();
    void countDone(uint64_t size);
    void post(const char *name);

    std::string _rootItem;
    std::vector<std::string> _rootItemsArray;
    std::string _destinationFolder;
    Visibility _nameForm = Visibility::Visible;
    CopyThreadType _threadType = CopyThreadType{0};
    std::atomic<bool> _paused{false};
    std::atomic<bool> _cancelled{false};
    uint64_t _singleFileSizeLimit = 0;
    std::atomic<double> _progress{0};
    uint64_t _totalSize = 0;
    uint64_t _sizeDone = 0;
    std::mutex _countMutex;
    ZRAppUtils _internalUtil;
    NotificationCenter *_center = &NotificationCenter::defaultCenter();
    std::mutex _pauseMutex;
    std::condition_variable _pauseChanged;
    mutable std::mutex _failuresMutex;
    std::vector<CopyFailure> _failures;
    /// The copies made of files with more than one name, by the identity of their source.
    std::mutex _linksMutex;
    std::map<std::pair<dev_t, ino_t>, std::string> _copiesOfLinkedFiles;
};

} // namespace quillet
