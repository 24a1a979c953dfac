#pragma once
// The background copy/move worker: a job (Job.h) that copies or moves the content of folder
// trees into one destination folder (a copy shares the folders of a tree out among a few more
// threads), writing every name in its visible or its hidden form.
//
// Its events reach typed observers and, through JobNotifications, the notification centre
// given to create, under these names:
//   ZRCopyFileUtilStatsNotification           [double: percentage done]  every 0.25 s
//   ZRCopyFileUtilThreadFinishedNotification  [JobId]  after the last source, also after a
//                                             cancellation
//   ZRCopyFileUtilCancelledNotification       [JobId]  cancelThread's caller
//   ZRCopyFileUtilThreadPausedNotification    [JobId]  pauseThread's caller
//   ZRCopyFileUtilErrorNotification           [JobId]  when a source folder does not exist; no
//                                             finished notification follows
//
// Progress is the percentage done of the current source: bytes counted × 100 / its size. It
// counts what the destination held before, so it may pass 100.
//
// Each source is one item: its outcome names what of it was left out (failures()), each entry
// with its reason. A copy never replaces anything: an entry whose name is taken in the
// destination stays out and is one failure ("<target>: already exists"); a folder whose name is
// taken by anything but a folder stays out with all it holds; a folder already there is merged
// into. Folders a copy creates take their source's extended attributes, mode and access and
// modification times once everything inside them is written (deepest first), as "cp -a" leaves
// them; files keep their holes and the hard links between them.
//
// The walk goes relative to the open source and destination folders, so a tree nested deeper
// than a path can name is copied whole: paths serve the messages only.

#include "archive/CacheLayout.h"
#include "jobs/Job.h"
#include "jobs/JobNotifications.h"
#include "support/NotificationCenter.h"
#include "support/ZRAppUtils.h"
#include "platform/System.h"

#include <sys/stat.h>

#include <cstdint>
#include <map>
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

class CopyFileUtil : public Job {
public:
    static constexpr const char *kStatsNotification = "ZRCopyFileUtilStatsNotification";
    static constexpr const char *kThreadFinishedNotification = "ZRCopyFileUtilThreadFinishedNotification";
    static constexpr const char *kCancelledNotification = "ZRCopyFileUtilCancelledNotification";
    static constexpr const char *kThreadPausedNotification = "ZRCopyFileUtilThreadPausedNotification";
    static constexpr const char *kErrorNotification = "ZRCopyFileUtilErrorNotification";
    static constexpr JobNotificationNames kNotificationNames{kStatsNotification, kThreadFinishedNotification,
                                                             kCancelledNotification, kThreadPausedNotification,
                                                             kErrorNotification};

    /// One folder (Copy, Move) or a list of folders (CopyList, MoveList).
    using Source = std::variant<std::string, std::vector<std::string>>;

    /// A plain worker that does no work: enough for setFileName.
    CopyFileUtil() = default;

    /// A worker for the job, not started yet, or nullptr when the source is not of the kind the
    /// job takes (a single folder for Copy and Move, a list for CopyList and MoveList). Every
    /// name written below destination takes the form nameForm. The notifications go to center
    /// (none when it is null), which must outlive the worker.
    static std::shared_ptr<CopyFileUtil> create(CopyThreadType type, Source source, std::string destination,
                                                Visibility nameForm,
                                                NotificationCenter *center = &NotificationCenter::defaultCenter());

    /// Move jobs only: files of this size or more stay where they are; 0 (the default) means
    /// no limit. Set before startThread.
    void setSingleFileLimit(uint64_t limit) { _singleFileSizeLimit = limit; }

    /// The visible form (visibleInFinder) or the hidden form of a name (see CacheLayout.h).
    static std::string setFileName(std::string_view name, bool visibleInFinder);

    /// The entries left out so far, in the order they were met (the copiers of one tree add
    /// theirs as they go); complete once the worker has ended. A folder left out counts once,
    /// not with each entry inside it. A move leaves out files at or above its size limit on
    /// purpose: they are no failure.
    std::vector<CopyFailure> failures() const;

protected:
    JobEnd run() override;
    /// A worker of an unknown type is cancelled instead of started.
    bool startable() override;

private:
    CopyFileUtil(CopyThreadType type, Source source, std::string destination, Visibility nameForm);

    enum class Kind { Copy, Move };
    /// A source folder and the folder its content goes to, relative to the two root folders
    /// ("" for the roots themselves); created: the worker made target, whose mode, times and
    /// extended attributes are then set from source (times as listed, before the copy read the
    /// folder).
    struct Folders {
        std::string source;
        std::string target;
        /// The source's status (links not followed) as its parent's listing found it.
        struct stat found {};
        bool created = false;
        mode_t mode = 0;
        struct timespec times[2] = {};
    };
    /// Copies or moves the content of the current source folder into the destination. False
    /// when the worker was cancelled meanwhile.
    bool copySource(Kind kind, const std::string &source);
    /// Copy jobs: the content of the current source folder, its folders shared out among a few
    /// threads; the folders made on the way are added to created. False when cancelled.
    bool copyTree(std::vector<Folders> &created);
    /// Move jobs: a sub-folder found in the listing of its parent, moved with everything in it;
    /// the source folder goes once empty. False when cancelled.
    bool moveFolder(Folders folders);
    /// The entries of one folder. Sub-folders go to subFolders when given, else are moved at
    /// once through moveFolder. False when cancelled.
    bool copyEntries(Kind kind, const Folders &folders, std::vector<Folders> *subFolders);
    /// Makes the folder target for the source folder whose status is st, or takes the folder
    /// already there; records the failure and answers false when neither can be. The
    /// destination itself is made with the parents it lacks.
    bool prepareFolder(Folders &folders, const struct stat &st);
    /// Gives the folders the copy created their sources' extended attributes, modes and times.
    void finishFolders(const std::vector<Folders> &created);
    void fail(const std::string &source, const std::string &target, sys::Status status);
    /// Copies: a file with other names that was copied already gets this name as a link to that
    /// copy, as "cp -a" keeps the links between the files it copies. True when linked.
    bool linkToEarlierCopy(const struct stat &st, int targetDir, const std::string &name);
    void rememberCopy(const struct stat &st, const std::string &target);
    void countDone(uint64_t size);
    /// The path of relative below the current source folder and below the destination.
    std::string sourcePath(const std::string &relative) const;
    std::string targetPath(const std::string &relative) const;

    std::string _rootItem;
    std::vector<std::string> _rootItemsArray;
    std::string _destinationFolder;
    Visibility _nameForm = Visibility::Visible;
    CopyThreadType _threadType = CopyThreadType{0};
    uint64_t _singleFileSizeLimit = 0;
    uint64_t _totalSize = 0;
    uint64_t _sizeDone = 0;
    std::mutex _countMutex;
    ZRAppUtils _internalUtil;
    /// The current source folder and the destination, open while a source is worked on.
    sys::Fd _sourceRoot;
    sys::Fd _targetRoot;
    mutable std::mutex _failuresMutex;
    std::vector<CopyFailure> _failures;
    /// The copies made of files with more than one name, by the identity of their source:
    /// where the first went, relative to the destination.
    std::mutex _linksMutex;
    std::map<std::pair<dev_t, ino_t>, std::string> _copiesOfLinkedFiles;
};

} // namespace quillet
