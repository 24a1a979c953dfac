#pragma once
// The survey loop of quilletd: polls one trash folder, archives every new entry into the cache
// folder of its volume and keeps the archive index of what it archived.
//
// The trash folder and the cache folder are opened and checked afresh at every use, and the
// work is done relative to what was opened: each must be a real folder of this user (on
// another volume, every folder from the volume's root down to the trash folder too), never a
// symbolic link or another account's. Nothing stays open between polls, so that the volume can
// always be unmounted.

#include "archive/ArchiveFile.h"
#include "archive/ArchivedItem.h"
#include "CacheCopier.h"
#include "control/DaemonCommandLine.h"
#include "archive/TrashInfo.h"
#include "platform/FolderStamp.h"
#include "platform/System.h"

#include <sys/stat.h>

#include <cstdint>
#include <ctime>
#include <map>
#include <optional>
#include <string>
#include <unordered_map>
#include <unordered_set>
#include <vector>

namespace quillet::daemon {

class TrashSurvey {
public:
    explicit TrashSurvey(DaemonArguments arguments);

    /// Start-up: checks the cache folder (missing, not a folder or not the user's own: a
    /// message and 1) and the trash folder (gone or unreadable: "Daemon will die" and 0; a link
    /// or another account's: "Daemon will die" and 1; on another volume, missing while the
    /// volume stays mounted: waits for it), prunes and loads the index. Then polls until
    /// interrupted (0, after saving the index) or until the trash folder goes or may no longer
    /// be trusted (as at start-up); returns the exit status.
    int run();

    /// Asks the loop to save the index and stop at its next safe point (from a signal handler).
    static void requestStop();

private:
    void surveyloop();
    /// Opens the trash folder for one poll. Nothing while a volume's trash folder is awaited,
    /// or when the folder has gone or may no longer be trusted: then the daemon dies.
    std::optional<sys::Fd> openTrashFolder();
    /// Number of entries of the open trash folder except ".", ".." and ".DS_Store"; the daemon
    /// dies when it cannot be read.
    uint64_t nbItemsAtFolderRoot(int trashFd);
    /// Says why the daemon ends and sets the exit status run() answers (see there): whoever
    /// called it returns, and the survey ends without writing anything more.
    void die(const sys::Status &why);
    /// The folders from the volume's top down to the trash folder, each with a trailing "/".
    std::vector<std::string> foldersLeadingToTrash() const;
    /// Sleeps until a folder on the way to the trash folder appears, the volume goes or a stop
    /// is asked for (inotify on those folders; without it, one period).
    void awaitTrashFolder();
    /// Archives every new entry; false when interrupted.
    bool scanTrashFolder(int trashFd);
    bool isArchived(const ArchivedItem &item) const;
    /// True when a date folder of the cache still holds the archived copy of the trash entry
    /// entryName that record stands for.
    bool archivedCopyExists(const ArchivedItem &record, const std::string &entryName) const;
    /// True (and forgotten) when a complete copy of the entry already lies in the cache without
    /// a record: left by a daemon that ended before it saved its index.
    /// entry: the entry's own status (links not followed), as the scan read it.
    std::optional<CopyPlace> takeUnrecordedCopy(const struct stat &entry, const ArchivedItem &item);
    void forgetRecord(const ArchivedItem &record);
    void recordArchived(ArchivedItem item);
    /// Copy mode: forgets the records of entries no longer in the trash, keeping the others
    /// (the trash folder gone: all of them).
    void forgetEntriesGone(std::optional<int> trashFd);
    /// What a crash left in the cache: folders being assembled by a daemon no longer running,
    /// and temporary index files.
    void removeAbandonedWork(int cacheFd) const;
    void dropMarkers();
    void saveIndex();
    /// The trash information of the entry name (info/<name>.trashinfo beside the trash folder),
    /// when there is any. The info folder is opened once per scan (_scanInfo).
    std::optional<TrashInfo> trashInfoOf(const std::string &name);
    /// After a scan that archived something: the cache's volume is flushed, then the markers
    /// say so. While more entries are already arriving the flush waits for the scan that takes
    /// them (one flush per burst), but never more than kLongestUnflushed seconds.
    void flushArchived();
    /// Keeps the trash information of what a scan archived with the archives, in the store of
    /// each date folder; in move mode the .trashinfo files then go, as their entries did.
    void keepTrashInfo();
    /// Removes the file of the trash's info folder (a .trashinfo whose entry has gone).
    void removeTrashInfoFile(const std::string &file) const;
    bool stopRequested() const;
    /// True when the trash folder may have changed since the last scan even though its entry
    /// count did not.
    bool trashFolderChangedSinceScan() const;

    DaemonArguments _arguments;
    /// Set once the daemon has died.
    std::optional<int> _exitStatus;
    /// The trash folder lies on another volume ($topdir/.Trash-<uid>/files/ or
    /// $topdir/.Trash/<uid>/files/), where it may appear only with the first item trashed there.
    bool _trashOnVolume = false;
    bool _waitingForTrash = false;
    /// The arrival watch is on the trash folder as it is now.
    bool _watchingTrash = false;
    CacheCopier _copier;
    ArchiveStruct _currentStat;
    std::unordered_set<ArchivedItemKey, ArchivedItemKeyHash> _archivedKeys;
    /// Complete copies found at start-up that no record answered for.
    UnrecordedCopies _unrecordedCopies;
    /// Entries of the last scan that were not archived, and said so in the log.
    std::unordered_set<ArchivedItemKey, ArchivedItemKeyHash> _reportedRefusals;
    time_t _lastWriteToFile = 0;
    /// Records were added or dropped since the index was last written.
    bool _indexChanged = false;
    /// The trash information of what the current scan archived, by date folder, with the
    /// names of their .trashinfo files.
    struct ArchivedInfo {
        std::string storedName;
        TrashInfo info;
        /// Removed from the trash's info folder in move mode; empty when the entry stays.
        std::string infoFile;
    };
    std::map<std::string, std::vector<ArchivedInfo>> _archivedInfo;
    /// The trash's info folder while a scan runs (nothing stays open between scans).
    std::optional<sys::Fd> _scanInfo;
    bool _scanInfoOpened = false;
    /// Archived since the last flush of the cache's volume, and since when.
    bool _unflushed = false;
    time_t _unflushedSince = 0;
    /// Copy mode, within a burst (scans that follow one another until the flush): the entries
    /// the scans found archived or archived, by name with the inode number the listing gave,
    /// which the next scan of the burst passes by without a stat.
    std::unordered_map<std::string, ino_t> _burstSeen;
    /// An entry was passed by that way: one whole scan follows the flush, which sees any entry
    /// changed in place meanwhile.
    bool _burstPassedBy = false;
    bool _scanAfterBurst = false;

    // What the last count saw of the trash folder itself, and what the last scan saw.
    sys::FolderStamp _countedStamp;
    uint64_t _countedEntries = 0;
    bool _haveCount = false;
    sys::FolderStamp _scannedStamp;
};

} // namespace quillet::daemon
