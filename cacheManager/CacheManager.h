#pragma once
// quilletCacheManagerd: keeps the cache folders of all mounted local volumes within the user's
// two limits, the number of days of archived data to keep and the percentage of each volume
// that must stay free.
//
// A pass deletes the oldest date folders, whichever cache folder holds them, while the caches
// hold more days of activity than allowed, then, on every volume below its free-space minimum,
// deletes archived files from the oldest date folders of its cache until enough bytes are
// counted (the date folders themselves stay). A day limit of 0 or less means none (the daemon
// then idles), and so does a free-space minimum outside 1 to 99. Between passes the daemon waits in 5-second turns; a pass is
// due when quilletd left the marker "UPD_FLAG_CACHE_MANAGER" in a cache folder, when the trash
// folders hold more entries in all than ever seen before, or 120 seconds after the last pass
// started. The index "ArchivedFileData" and the marker "UPD_FLAG" are never touched.
//
// Nothing is ever followed through a symbolic link: a link inside a date folder is deleted as
// a link and counts its own size; what it points to is never entered, counted or deleted. Only
// cache folders and date folders that are real folders of the user's are looked into: a link
// or another account's folder under such a name is neither counted nor touched.

#include "control/DaemonCommandLine.h"
#include "platform/FolderStamp.h"
#include "platform/MountTable.h"
#include "platform/System.h"

#include <sys/types.h>

#include <cstdint>
#include <ctime>
#include <functional>
#include <map>
#include <optional>
#include <string>
#include <vector>

namespace quillet::cacheManager {

/// The time the waiting turns read and the way they sleep. The daemon uses the system clock;
/// tests drive a fake one so that turns pass without waiting.
struct Clock {
    std::function<time_t()> now;
    std::function<void(int seconds)> sleep;
    static Clock system();
};

class CacheManager {
public:
    /// Seconds slept in each waiting turn, and the longest time between two passes.
    static constexpr int kTurnSeconds = 5;
    static constexpr time_t kPassInterval = 120;
    /// The idle loop sleeps in steps of this many seconds.
    static constexpr int kDumbModeSleepSeconds = 3600;
    /// The largest free-space minimum that can be met; anything above means none.
    static constexpr int32_t kMaximumPercentage = 99;

    explicit CacheManager(CacheManagerArguments arguments, Clock clock = Clock::system());

    // Process-wide values of the daemon.
    /// Days of activity to keep; 0 switches the daemon to idle mode.
    int32_t daysLimitation;
    /// Minimum free space per volume, in percent; 0 (or less) means no minimum.
    int32_t percentageLimitation;
    /// Start time of the last pass, in whole seconds.
    time_t LAST_UPDATE = 0;
    /// The highest total number of trash entries seen so far; it never goes down.
    uint64_t knownObjectInTrash = 0;

    /// Fills list with the cache folders of all mounted local volumes, home volume first: the
    /// home cache folder whether it exists or not, another volume's only when something exists
    /// there. Paths end in "/".
    void getCachesPaths(std::vector<std::string> &list);
    /// Fills list with the current user's trash folders of all mounted local volumes, in the
    /// same order: the home trash always, another volume's when something exists there.
    void getTrashedPaths(std::vector<std::string> &list);
    /// Free bytes (available to the user) and total bytes of the volume at volume; leaves the
    /// outputs alone when an argument is missing or the figures cannot be read.
    static void diskSizeStats(const std::string &volume, uint64_t *freeBytes, uint64_t *totalBytes);
    /// Number of activity days in all cache folders: the date folders of every cache folder
    /// taken together, oldest first, one for each whose day of the year (in the zone its name
    /// states) differs from the previous one's, so the same day of two years that follow each
    /// other counts once.
    int getNumberOfActivityDays();
    /// Enforces the day limit: while the caches count more activity days than daysLimitation,
    /// deletes the oldest date folder of all the cache folders (one folder counts as one day,
    /// the count is taken afresh at the next pass). Does nothing when daysLimitation is 0 or
    /// less.
    void checkActivityLimitation();
    /// Enforces the free-space minimum on the volume of every cache folder: below it, deletes
    /// files from the cache's entries in name order (oldest date folders first) until the bytes
    /// counted reach total × (minimum − free percentage) / 100 + 1.
    void checkDiskSpaceLimitation();
    /// Deletes the content of folder, entries in name order at every depth, until the sizes of
    /// the deleted items reach budget; emptied sub-folders are removed, folder itself stays.
    /// Returns the bytes counted. A link counts its own size and is removed as a link; a file
    /// whose removal fails still counts. 0 when folder is not a folder (nor is a link to one
    /// followed).
    static uint64_t deleteDataInFolder(const std::string &folder, uint64_t budget);

    /// One pass: LAST_UPDATE := now, then the day limit, then the free-space minimum.
    void runPass();
    /// One waiting turn: sleeps kTurnSeconds, consumes the marker of the first cache folder
    /// that has one, and counts the trash entries. True when a pass is due.
    bool waitTurn();
    /// Waiting turns until a pass is due or more than kPassInterval seconds have gone since
    /// LAST_UPDATE.
    void waitForNextPass();
    /// The housekeeping loop: knownObjectInTrash := 0, then passes and waits for ever.
    [[noreturn]] void runCore();
    /// The idle loop: sleeps for ever, enforcing nothing.
    [[noreturn]] void runDumbMode();

private:
    /// The mounted local volumes, read again only when the mount table has changed.
    const std::vector<sys::LocalVolume> &localVolumes();
    /// The mount point of the volume that holds a cache folder ("/" when none does).
    std::string volumeOfCachePath(const std::string &cachePath) const;
    int getNumberOfActivityDays(const std::vector<std::string> &caches) const;
    void checkActivityLimitation(const std::vector<std::string> &caches);
    void checkDiskSpaceLimitation(const std::vector<std::string> &caches);
    /// Deletes "UPD_FLAG_CACHE_MANAGER" in the cache folder; true when there was one.
    static bool consumeCacheManagerFlag(const std::string &cachePath);
    /// Number of entries of a trash folder (0 when it cannot be read).
    uint64_t trashEntryCount(const std::string &trashPath);

    /// What the last count of a trash folder saw: the folder's identity and times, when the
    /// count was taken, and the count.
    struct TrashCount {
        sys::FolderStamp stamp;
        uint64_t entries = 0;
    };

    Clock _clock;
    sys::MountWatch _mountWatch;
    std::vector<sys::MountEntry> _mountTable;
    std::vector<sys::LocalVolume> _volumes;
    bool _volumesKnown = false;
    std::map<std::string, TrashCount> _trashCounts;
};

} // namespace quillet::cacheManager
