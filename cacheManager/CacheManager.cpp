#include "CacheManager.h"

#include "archive/CacheFolders.h"
#include "archive/CacheLayout.h"
#include "support/DateText.h"
#include "platform/ItemLock.h"
#include "platform/Log.h"
#include "platform/RemoveTree.h"
#include "platform/TrustedFolder.h"
#include "platform/UserPaths.h"
#include "platform/VolumeStats.h"

#include <fcntl.h>
#include <linux/fs.h>

#include <algorithm>
#include <cerrno>
#include <climits>
#include <cstdlib>

namespace quillet::cacheManager {
namespace {

/// The shortest name checkActivityLimitation takes for a date folder.
constexpr size_t kMinimumDateFolderNameLength = 18;

int dayOfYearOfDateFolderName(std::string_view name);

/// A date folder of some cache folder, as the day limit sees it.
struct DatedFolder {
    time_t date;
    std::string name;
    size_t cache; ///< position of its cache folder in the list
};

/// The real date folders of the user's in every cache folder, oldest first: folders whose names
/// are dates, never a link or another account's folder under such a name. Equal dates keep the
/// order of the cache folders.
std::vector<DatedFolder> datedFolders(const std::vector<std::string> &caches) {
    std::vector<DatedFolder> found;
    for (size_t i = 0; i < caches.size(); ++i) {
        auto cache = sys::openOwnedFolder(caches[i]);
        if (!cache)
            continue;
        (void)sys::forEachEntry(*cache, [&](std::string_view entry, unsigned char) {
            auto date = dateFromFinderCompatibleDateDescription(entry);
            if (!date)
                return true;
            auto st = sys::statAt(*cache, std::string(entry), sys::FollowLinks::No);
            if (st && sys::checkOwnedFolder(*st, entry))
                found.push_back({*date, std::string(entry), i});
            return true;
        });
    }
    std::stable_sort(found.begin(), found.end(), [](const DatedFolder &a, const DatedFolder &b) {
        return a.date != b.date ? a.date < b.date : (a.cache != b.cache ? a.cache < b.cache : a.name < b.name);
    });
    return found;
}

/// Activity days of date folders taken oldest first: one for each folder whose day of the year
/// (in the zone its name states) differs from the previous one's, so that the same day of two
/// years that follow each other counts once.
int countActivityDays(const std::vector<DatedFolder> &folders) {
    int count = 0;
    int previousDay = -1;
    for (const DatedFolder &folder : folders) {
        int day = dayOfYearOfDateFolderName(folder.name);
        if (day != previousDay) {
            ++count;
            previousDay = day;
        }
    }
    return count;
}

/// Names of the open folder's entries, ascending: file systems list in their own order, and
/// the oldest date folders must come first.
std::vector<std::string> sortedNames(int dirFd) {
    return sys::entryNames(dirFd, sys::EntryOrder::Sorted).valueOr({});
}

/// Day of the year (1-366) of a name that dateFromFinderCompatibleDateDescription accepted, in
/// the zone the name states: the date part of the name is already that zone's calendar date.
int dayOfYearOfDateFolderName(std::string_view name) {
    auto fields = readDate(name, kDateFolderLayout);
    return fields ? fields->dayOfYear() : 0;
}

// Removal with unlocking is shared with the delete worker.
using sys::removeEntry;
using sys::removeTree;

/// deleteDataInFolder on the open folder.
uint64_t deleteDataInOpenFolder(int dirFd, uint64_t budget) {
    uint64_t deleted = 0;
    for (const std::string &name : sortedNames(dirFd)) {
        if (deleted >= budget)
            break;
        auto st = sys::statAt(dirFd, name, sys::FollowLinks::No);
        if (!st)
            continue; // gone meanwhile
        if (S_ISDIR(st->st_mode)) {
            auto folder = sys::openDirectoryAt(dirFd, name, sys::FollowLinks::No);
            if (!folder)
                continue; // replaced by something else since the look: never followed
            // A locked folder keeps its entries: unlock it before emptying it.
            sys::unlockOpenItem(*folder, *st);
            deleted += deleteDataInOpenFolder(folder->get(), budget - deleted);
            folder->reset();
            // Fails (ENOTEMPTY) while the budget left entries in it: then it stays.
            (void)removeEntry(dirFd, name, true);
        } else {
            deleted += static_cast<uint64_t>(std::max<off_t>(st->st_size, 0));
            (void)removeEntry(dirFd, name, false);
        }
    }
    return deleted;
}

/// deleteDataInFolder on the entry name of the open folder dirFd, which must be a real folder
/// of the user's.
uint64_t deleteDataInFolderAt(int dirFd, const std::string &name, uint64_t budget) {
    auto folder = sys::openOwnedFolderAt(dirFd, name);
    if (!folder)
        return 0;
    auto st = sys::fstat(*folder);
    if (!st)
        return 0;
    sys::unlockOpenItem(*folder, *st);
    return deleteDataInOpenFolder(folder->get(), budget);
}

} // namespace

Clock Clock::system() {
    // One sleep stands for the turn's five one-second sleeps: nothing is looked at in between,
    // and a single wake-up per turn keeps the idle daemon cheap.
    return Clock{[] { return sys::now(); }, [](int seconds) { sys::sleepFor(int64_t{seconds} * 1000); }};
}

CacheManager::CacheManager(CacheManagerArguments arguments, Clock clock)
    : daysLimitation(arguments.daysLimitation),
      percentageLimitation(arguments.percentageLimitation),
      _clock(std::move(clock)) {}

const std::vector<sys::LocalVolume> &CacheManager::localVolumes() {
    // The kernel flags /proc/self/mountinfo when the table changes; polling it costs one system
    // call, reading and parsing the table far more.
    bool changed = !_mountWatch.active() || _mountWatch.wait(0, nullptr);
    if (!_volumesKnown || changed) {
        _mountTable = sys::readMountTable();
        _volumes = sys::mountedLocalVolumes(_mountTable);
        _volumesKnown = true;
    }
    return _volumes;
}

void CacheManager::getCachesPaths(std::vector<std::string> &list) { quillet::getCachesPaths(localVolumes(), list); }

void CacheManager::getTrashedPaths(std::vector<std::string> &list) { quillet::getTrashedPaths(localVolumes(), list); }

std::string CacheManager::volumeOfCachePath(const std::string &cachePath) const {
    if (auto mount = sys::mountHolding(sys::canonicalPath(cachePath), _mountTable))
        return mount->mountPoint;
    return "/";
}

void CacheManager::diskSizeStats(const std::string &volume, uint64_t *freeBytes, uint64_t *totalBytes) {
    if (volume.empty() || !freeBytes || !totalBytes)
        return;
    auto figures = sys::volumeFigures(volume);
    if (!figures)
        return;
    *freeBytes = figures->freeBytes;
    *totalBytes = figures->totalBytes;
}

int CacheManager::getNumberOfActivityDays() {
    std::vector<std::string> caches;
    getCachesPaths(caches);
    return getNumberOfActivityDays(caches);
}

int CacheManager::getNumberOfActivityDays(const std::vector<std::string> &caches) const {
    return countActivityDays(datedFolders(caches));
}

void CacheManager::checkActivityLimitation() {
    std::vector<std::string> caches;
    getCachesPaths(caches);
    checkActivityLimitation(caches);
}

void CacheManager::checkActivityLimitation(const std::vector<std::string> &caches) {
    // No limit at all, rather than one that every cache exceeds.
    if (daysLimitation <= 0)
        return;
    // The oldest date folders go first, whichever cache folder holds them.
    const std::vector<DatedFolder> folders = datedFolders(caches);
    int number = countActivityDays(folders);
    for (size_t next = 0; number > daysLimitation && next < folders.size(); ++next, --number) {
        const DatedFolder &oldest = folders[next];
        const std::string path = sys::joinPath(caches[oldest.cache], oldest.name);
        auto cache = sys::openOwnedFolder(caches[oldest.cache]);
        sys::Status status = cache ? removeTree(*cache, oldest.name) : cache.status();
        if (!status) {
            sys::logLine("quilletCacheManagerd: can't delete folder: " + path);
            sys::logLine("Error is " + status.reason());
        }
    }
}

void CacheManager::checkDiskSpaceLimitation() {
    std::vector<std::string> caches;
    getCachesPaths(caches);
    checkDiskSpaceLimitation(caches);
}

void CacheManager::checkDiskSpaceLimitation(const std::vector<std::string> &caches) {
    // 0 means no minimum. So does anything outside 1 to 99: a negative minimum compared with the
    // unsigned free percentage would read as an enormous one, and 100 or more can never be met;
    // either would empty every cache.
    if (percentageLimitation <= 0 || percentageLimitation > kMaximumPercentage)
        return;
    const auto minimum = static_cast<uint64_t>(percentageLimitation);
    for (const std::string &cache : caches) {
        uint64_t freeBytes = 0;
        uint64_t totalBytes = 0;
        diskSizeStats(volumeOfCachePath(cache), &freeBytes, &totalBytes);
        if (totalBytes == 0)
            continue;
        uint64_t percentageFree = freePercentageOf(freeBytes, totalBytes);
        if (percentageFree >= minimum)
            continue;
        // 128-bit product: total × 100 would overflow 64 bits above 184 PB.
        __extension__ using Wide = unsigned __int128;
        uint64_t bytesToFree = static_cast<uint64_t>(static_cast<Wide>(totalBytes) * (minimum - percentageFree) / 100) + 1;
        // Never through a cache folder that is a link or another account's.
        auto folder = sys::openOwnedFolder(cache);
        if (!folder)
            continue;
        // Name order puts the oldest date folders first. Only date folders are emptied: the
        // index, the markers and whatever else lies there stay.
        for (const std::string &name : sortedNames(folder->get())) {
            if (bytesToFree == 0)
                break;
            if (!dateFromFinderCompatibleDateDescription(name))
                continue;
            uint64_t deleted = deleteDataInFolderAt(folder->get(), name, bytesToFree);
            bytesToFree -= std::min(deleted, bytesToFree);
        }
    }
}

uint64_t CacheManager::deleteDataInFolder(const std::string &folder, uint64_t budget) {
    auto dir = sys::openDirectory(folder, sys::FollowLinks::No);
    if (!dir)
        return 0;
    auto st = sys::fstat(*dir);
    if (!st)
        return 0;
    sys::unlockOpenItem(*dir, *st);
    return deleteDataInOpenFolder(dir->get(), budget);
}

void CacheManager::runPass() {
    LAST_UPDATE = _clock.now();
    std::vector<std::string> caches;
    getCachesPaths(caches);
    checkActivityLimitation(caches);
    checkDiskSpaceLimitation(caches);
}

bool CacheManager::consumeCacheManagerFlag(const std::string &cachePath) {
    auto cache = sys::openOwnedFolder(cachePath);
    if (!cache)
        return false;
    const std::string flag(kCacheManagerFlagName);
    auto st = sys::statAt(*cache, flag, sys::FollowLinks::No);
    if (!st)
        return false;
    sys::unlockItemAt(*cache, flag);
    (void)sys::unlinkAt(*cache, flag, S_ISDIR(st->st_mode));
    return true;
}

bool CacheManager::waitTurn() {
    _clock.sleep(kTurnSeconds);
    const std::vector<sys::LocalVolume> &volumes = localVolumes();
    bool passDue = false;

    std::vector<std::string> paths;
    quillet::getCachesPaths(volumes, paths);
    // Only the first marker found is consumed; the others are found in later turns.
    for (const std::string &cache : paths) {
        if (consumeCacheManagerFlag(cache)) {
            passDue = true;
            break;
        }
    }

    quillet::getTrashedPaths(volumes, paths);
    uint64_t total = 0;
    for (const std::string &trash : paths)
        total += trashEntryCount(trash);
    // The highest total ever seen: once the trash is emptied, new items start a pass only
    // when the total goes beyond it.
    if (total > knownObjectInTrash) {
        knownObjectInTrash = total;
        passDue = true;
    }
    return passDue;
}

uint64_t CacheManager::trashEntryCount(const std::string &trashPath) {
    auto st = sys::stat(trashPath, sys::FollowLinks::Yes);
    if (!st) {
        _trashCounts.erase(trashPath);
        return 0;
    }
    // Reading a trash of thousands of entries every five seconds would cost more than
    // everything else the waiting daemon does: the count is reused while the folder's stamp
    // shows it unchanged.
    TrashCount &known = _trashCounts[trashPath];
    sys::FolderStamp stamp = sys::FolderStamp::of(*st);
    if (stamp.sameState(known.stamp) && known.stamp.settled())
        return known.entries;
    known.stamp = stamp;
    auto count = sys::countDirectoryEntries(trashPath);
    known.entries = count ? *count : 0;
    if (!count)
        known.stamp = {}; // count again next time
    return known.entries;
}

void CacheManager::waitForNextPass() {
    bool passDue = false;
    do {
        passDue = waitTurn();
    } while (!passDue && _clock.now() - LAST_UPDATE <= kPassInterval);
}

void CacheManager::runCore() {
    knownObjectInTrash = 0;
    for (;;) {
        runPass();
        waitForNextPass();
    }
}

void CacheManager::runDumbMode() {
    for (;;)
        _clock.sleep(kDumbModeSleepSeconds);
}

} // namespace quillet::cacheManager
