#pragma once
// The survey loop of quilletd: polls one trash folder, archives every new entry into the cache
// folder of its volume and keeps the archive index of what it archived.

#include "ArchivedItem.h"
#include "CacheCopier.h"
#include "platform/FolderStamp.h"
#include "platform/System.h"

#include <sys/stat.h>

#include <cstdint>
#include <ctime>
#include <string>
#include <unordered_set>

namespace quillet::daemon {

/// The daemon's settings, all from its command line.
struct DaemonArguments {
    int32_t loopTimeInSeconds = 1;  ///< polling period
    std::string trashFolder;        ///< watched trash folder, trailing "/"
    std::string trashCacheFolder;   ///< cache base + ".TrashCacheFolder/"
    uint64_t maxCacheSize = 0;      ///< bytes; 0 = no limit
    int64_t freePercentage = 0;     ///< minimum free percentage; 0 = none
    int32_t dataCacheMode = 0;      ///< 0 copy, 1 move, anything else: poll only
};

/// Parses the six arguments the way the C library's strtoll reads numbers (leading digits,
/// anything else 0). argv[0] is the program name.
DaemonArguments parseDaemonArguments(char **argv);

class TrashSurvey {
public:
    explicit TrashSurvey(DaemonArguments arguments);

    /// Start-up: checks the trash folder can be read (else "Daemon will die" and exit 0),
    /// prunes and loads the index. Then polls until interrupted; returns the exit status.
    int run();

    /// Number of entries of folder except ".", ".." and ".DS_Store"; prints "Daemon will die"
    /// and exits 0 when the folder cannot be read.
    uint64_t nbItemsAtFolderRoot(const std::string &path);

    /// Asks the loop to save the index and stop at its next safe point (from a signal handler).
    static void requestStop();

private:
    void surveyloop();
    /// Archives every new entry; false when interrupted.
    bool scanTrashFolder();
    bool isArchived(const ArchivedItem &item) const;
    void recordArchived(ArchivedItem item);
    void resetIndex();
    void saveIndex();
    bool stopRequested() const;
    /// True when the trash folder may have changed since the last scan even though its entry
    /// count did not.
    bool trashFolderChangedSinceScan() const;

    DaemonArguments _arguments;
    CacheCopier _copier;
    ArchiveStruct _currentStat;
    std::unordered_set<ArchivedItemKey, ArchivedItemKeyHash> _archivedKeys;
    time_t _lastWriteToFile = 0;

    // What the last count saw of the trash folder itself, and what the last scan saw.
    sys::FolderStamp _countedStamp;
    uint64_t _countedEntries = 0;
    bool _haveCount = false;
    sys::FolderStamp _scannedStamp;
};

} // namespace quillet::daemon
