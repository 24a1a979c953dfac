#include "TrashSurvey.h"

#include "archive/ArchiveFile.h"
#include "archive/CacheLayout.h"
#include "archive/NotArchived.h"
#include "platform/FileCopy.h"
#include "platform/Log.h"
#include "platform/ProcessTable.h"
#include "platform/RemoveTree.h"
#include "platform/StopSignal.h"
#include "platform/TrashWatch.h"
#include "platform/TrustedFolder.h"
#include "platform/UserPaths.h"

#include <algorithm>
#include <cerrno>
#include <climits>
#include <cstring>

namespace quillet::daemon {
namespace {

constexpr time_t kIndexWriteInterval = 120;
/// A changed index is written within this many seconds: a crash, an unmount or a kill then
/// costs no copy made twice. A burst of arrivals is still one write.
constexpr time_t kChangedIndexWriteDelay = 2;
/// What was archived is flushed within this many seconds, however long a burst goes on.
constexpr time_t kLongestUnflushed = 2;
constexpr std::string_view kDesktopServicesStore = ".DS_Store";

} // namespace

TrashSurvey::TrashSurvey(DaemonArguments arguments)
    : _arguments(std::move(arguments)),
      _trashOnVolume(sys::isVolumeTrashFolder(_arguments.trashFolder, _arguments.cacheBase)),
      _copier(_arguments.trashCacheFolder, _arguments.cacheMode, _arguments.maxCacheSize) {}

void TrashSurvey::requestStop() { (void)sys::raiseSignal(SIGINT); }

bool TrashSurvey::stopRequested() const { return sys::StopSignal::requested(); }

void TrashSurvey::die(const sys::Status &why) {
    // A folder that is gone or cannot be read ends the daemon as it always has; one that is no
    // longer this user's own (a link, another account's) is a refusal, and says so by its status.
    const bool gone = why.code() == ENOENT || why.code() == ENOTDIR || why.code() == EACCES || why.code() == EIO;
    const std::string reason = gone ? sys::errorText(why.code()) : why.reason();
    sys::logLine("quilletd: Daemon will die (" + reason + ")(" + _arguments.trashFolder + ")");
    _exitStatus = gone ? 0 : 1;
}

std::optional<sys::Fd> TrashSurvey::openTrashFolder() {
    auto trash = sys::openTrashFolder(_arguments.trashFolder, _trashOnVolume ? _arguments.cacheBase : std::string());
    if (trash) {
        _waitingForTrash = false;
        return std::move(*trash);
    }
    // A volume's trash folder often appears only with the first item trashed there: it is
    // waited for as long as the volume is mounted, which its cache folder tells.
    if (trash.code() == ENOENT && _trashOnVolume && sys::openOwnedFolder(_arguments.trashCacheFolder)) {
        if (!_waitingForTrash)
            sys::logLine("quilletd: waiting for the trash folder " + _arguments.trashFolder + " to appear");
        _waitingForTrash = true;
        return std::nullopt;
    }
    die(trash.status());
    return std::nullopt;
}

uint64_t TrashSurvey::nbItemsAtFolderRoot(int trashFd) {
    auto st = sys::fstat(trashFd);
    sys::FolderStamp stamp = st ? sys::FolderStamp::of(*st) : sys::FolderStamp();
    if (st && _haveCount && stamp.sameState(_countedStamp) && _countedStamp.settled())
        return _countedEntries;
    uint64_t count = 0;
    sys::Status status = sys::forEachEntry(trashFd, [&count](std::string_view name, unsigned char) {
        if (name != kDesktopServicesStore)
            ++count;
        return true;
    });
    if (!status) {
        die(status);
        return 0;
    }
    _haveCount = st.ok();
    _countedStamp = stamp;
    _countedEntries = count;
    return count;
}

bool TrashSurvey::trashFolderChangedSinceScan() const {
    // Modified within a second of the last scan, a further change in the same clock tick would
    // not show in the stamp: then look once more.
    return !_countedStamp.sameState(_scannedStamp) || !_scannedStamp.settled();
}

bool TrashSurvey::isArchived(const ArchivedItem &item) const { return _archivedKeys.contains(keyOf(item)); }

bool TrashSurvey::archivedCopyExists(const ArchivedItem &record, const std::string &entryName) const {
    auto cache = sys::openOwnedFolder(_arguments.trashCacheFolder);
    if (!cache)
        return false;
    const std::string storedName = storedNameOf(entryName).value_or(entryName);
    const ArchivedItemKey wanted = keyOf(record);
    bool found = false;
    (void)sys::forEachEntry(*cache, [&](std::string_view entry, unsigned char) {
        std::string name(entry);
        if (!dateFromFinderCompatibleDateDescription(name))
            return true;
        auto dateFolder = sys::openOwnedFolderAt(*cache, name);
        if (!dateFolder)
            return true;
        // The copy may have taken a numbered name (the same name archived earlier that minute):
        // the numbers are tried until one is not there.
        for (unsigned n = 0; n < 1000 && !found; ++n) {
            for (bool folder : {false, true}) {
                auto copy = buildArchivedItemAt(dateFolder->get(), numberedName(storedName, n, folder));
                if (copy) {
                    copy->name = record.name;
                    found = found || keyOf(*copy) == wanted;
                }
            }
            if (!sys::statAt(*dateFolder, numberedName(storedName, n, false), sys::FollowLinks::No) &&
                !sys::statAt(*dateFolder, numberedName(storedName, n, true), sys::FollowLinks::No))
                break;
        }
        return !found;
    });
    return found;
}

std::optional<CopyPlace> TrashSurvey::takeUnrecordedCopy(const struct stat &entry, const ArchivedItem &item) {
    if (_unrecordedCopies.empty())
        return std::nullopt;
    ArchivedItemKey key = keyOf(item);
    if (S_ISDIR(entry.st_mode))
        key.itemSize = kAnyFolderSize;
    auto found = _unrecordedCopies.find(key);
    if (found == _unrecordedCopies.end())
        return std::nullopt;
    CopyPlace place = std::move(found->second);
    _unrecordedCopies.erase(found);
    return place;
}

void TrashSurvey::forgetEntriesGone(std::optional<int> trashFd) {
    ArchivedKeys present;
    if (trashFd) {
        (void)sys::forEachEntry(*trashFd, [&](std::string_view entry, unsigned char) {
            if (auto item = buildArchivedItemAt(*trashFd, std::string(entry)))
                present.insert(keyOf(*item));
            return true;
        });
    }
    const size_t before = _currentStat.items.size();
    std::erase_if(_currentStat.items, [&present](const ArchivedItem &item) { return !present.contains(keyOf(item)); });
    if (_currentStat.items.size() == before)
        return;
    _currentStat.itemCount = _currentStat.items.size();
    _currentStat.recordLength = archiveStructSize(&_currentStat);
    _archivedKeys.clear();
    for (const ArchivedItem &item : _currentStat.items)
        _archivedKeys.insert(keyOf(item));
    _indexChanged = true;
}

void TrashSurvey::removeAbandonedWork(int cacheFd) const {
    // Only this user's daemons write here, and a pid in a partial name that runs no quilletd
    // of theirs any more ended in the middle of its copy.
    const std::string indexTemporary = sys::temporaryNameOf(std::string(kIndexFileName));
    std::vector<std::string> dateFolders;
    (void)sys::forEachEntry(cacheFd, [&](std::string_view entry, unsigned char) {
        if (dateFromFinderCompatibleDateDescription(entry))
            dateFolders.emplace_back(entry);
        else if (entry.starts_with(indexTemporary))
            (void)sys::unlinkAt(cacheFd, std::string(entry));
        return true;
    });
    for (const std::string &name : dateFolders) {
        auto dateFolder = sys::openOwnedFolderAt(cacheFd, name);
        if (!dateFolder)
            continue;
        std::vector<std::string> abandoned;
        (void)sys::forEachEntry(*dateFolder, [&](std::string_view entry, unsigned char) {
            auto owner = sys::partialNameOwner(entry);
            if (owner && !sys::isRunning(*owner, "quilletd"))
                abandoned.emplace_back(entry);
            return true;
        });
        for (const std::string &entry : abandoned)
            (void)sys::removeTree(*dateFolder, entry);
        // A date folder left empty would count as a day: one that held nothing but abandoned
        // work, or whose first file was still unnamed when its writer ended. Only an empty
        // folder can be removed.
        (void)sys::unlinkAt(cacheFd, name, true);
    }
}

namespace {

/// The freedesktop.org "info" folder beside a trash's "files" folder.
std::string infoFolderOf(const std::string &trashFolder) {
    std::string files = trashFolder;
    while (files.size() > 1 && files.back() == '/')
        files.pop_back();
    return sys::parentPath(files) + "/info/";
}

} // namespace

std::optional<TrashInfo> TrashSurvey::trashInfoOf(const std::string &name) {
    if (!_scanInfoOpened) {
        auto info = sys::openTrashFolder(infoFolderOf(_arguments.trashFolder), _trashOnVolume ? _arguments.cacheBase : std::string());
        _scanInfo = info ? std::optional<sys::Fd>(std::move(*info)) : std::nullopt;
        _scanInfoOpened = true;
    }
    if (!_scanInfo)
        return std::nullopt;
    auto text = sys::readFileAt(*_scanInfo, name + ".trashinfo", kMaxTrashInfoBytes);
    return text ? parseTrashInfo(*text) : std::nullopt;
}

void TrashSurvey::keepTrashInfo() {
    auto cache = sys::openOwnedFolder(_arguments.trashCacheFolder);
    std::vector<std::string> kept; // .trashinfo files whose information is now with the archive
    for (auto &[dateName, items] : _archivedInfo) {
        if (!cache)
            break;
        auto dateFolder = sys::openOwnedFolderAt(*cache, dateName);
        if (!dateFolder)
            continue;
        TrashInfoStore entries;
        for (const ArchivedInfo &item : items)
            entries.insert_or_assign(item.storedName, item.info);
        sys::Status written = addToTrashInfoStore(dateFolder->get(), _arguments.trashCacheFolder + dateName, entries);
        if (!written) {
            sys::logLine("quilletd: " + written.message());
            continue;
        }
        for (const ArchivedInfo &item : items)
            kept.push_back(item.infoFile);
    }
    _archivedInfo.clear();
    // In move mode the entries have left the trash: their .trashinfo files go with them, or
    // trash clients would list items that are not there.
    if (_arguments.cacheMode != CacheMode::Move || kept.empty())
        return;
    for (const std::string &file : kept)
        if (!file.empty()) // an entry still in the trash keeps its .trashinfo
            removeTrashInfoFile(file);
}

void TrashSurvey::removeTrashInfoFile(const std::string &file) const {
    auto info = sys::openTrashFolder(infoFolderOf(_arguments.trashFolder), _trashOnVolume ? _arguments.cacheBase : std::string());
    if (info)
        (void)sys::unlinkAt(*info, file);
}

void TrashSurvey::forgetRecord(const ArchivedItem &record) {
    const ArchivedItemKey key = keyOf(record);
    std::erase_if(_currentStat.items, [&key](const ArchivedItem &item) { return keyOf(item) == key; });
    _currentStat.itemCount = _currentStat.items.size();
    _currentStat.recordLength = archiveStructSize(&_currentStat);
    _archivedKeys.erase(key);
    _indexChanged = true;
}

void TrashSurvey::recordArchived(ArchivedItem item) {
    _archivedKeys.insert(keyOf(item));
    appendItemToArchive(std::move(item), &_currentStat);
    _indexChanged = true;
}

void TrashSurvey::dropMarkers() {
    // Never through a link planted under a marker's name: that would create files elsewhere.
    auto cache = sys::openOwnedFolder(_arguments.trashCacheFolder);
    if (!cache)
        return;
    (void)sys::touchLockedAt(*cache, std::string(kUpdateFlagName), 0644);
    (void)sys::touchLockedAt(*cache, std::string(kCacheManagerFlagName), 0644);
}

void TrashSurvey::saveIndex() {
    writeArchiveStats(_arguments.trashCacheFolder, _currentStat);
    _lastWriteToFile = sys::now();
    _indexChanged = false;
}

int TrashSurvey::run() {
    sys::StopSignal::install(SIGINT);
    _lastWriteToFile = sys::now();

    // quilletd never creates its cache folder: the launchers do, and one that is missing, is
    // not a folder or is not the user's own means the volume is not to be written to.
    auto cache = sys::openOwnedFolder(_arguments.trashCacheFolder);
    if (!cache) {
        sys::logLine("quilletd: not protecting " + _arguments.trashFolder + ": " +
                     (cache.status().code() == ENOENT ? _arguments.trashCacheFolder + ": the cache folder does not exist"
                                                      : cache.status().message()));
        return 1;
    }
    cache->reset();

    // The check that the trash folder can be read (a volume's may still have to appear) comes
    // before anything is written in the cache.
    while (!openTrashFolder()) {
        if (_exitStatus)
            return *_exitStatus;
        awaitTrashFolder();
        if (_exitStatus)
            return *_exitStatus;
        if (stopRequested())
            return 0;
    }

    cache = sys::openOwnedFolder(_arguments.trashCacheFolder);
    if (!cache) {
        sys::logLine("quilletd: not protecting " + _arguments.trashFolder + ": " + cache.status().message());
        return 1;
    }
    removeAbandonedWork(cache->get());
    checkForArchivedFilesAt(cache->get(), _arguments.trashCacheFolder, {}, &_unrecordedCopies);
    ArchiveStruct loaded;
    readArchiveStatsAt(cache->get(), _arguments.trashCacheFolder, loaded);
    cache->reset();

    archiveStructCopy(&_currentStat, &loaded);
    for (const ArchivedItem &item : _currentStat.items)
        _archivedKeys.insert(keyOf(item));
    // The file's bytes and the decoded copies are gone now; what they took is not needed
    // while the daemon idles.
    loaded = ArchiveStruct();
    sys::releaseFreeMemory();

    surveyloop();
    // Ended because the trash folder went or may no longer be trusted: nothing more is written
    // (a changed index was written moments after its change).
    if (_exitStatus)
        return *_exitStatus;

    // Stopped by SIGINT: save what was archived, then leave.
    sys::StopSignal::ignore();
    if (_unflushed)
        flushArchived();
    writeArchiveStats(_arguments.trashCacheFolder, _currentStat);
    (void)sys::syncfsPath(_arguments.trashCacheFolder);
    return 0;
}

std::vector<std::string> TrashSurvey::foldersLeadingToTrash() const {
    // The volume's top folder and each folder below it on the way to the trash folder: one of
    // them gets the next folder when the first item is trashed there.
    std::vector<std::string> folders = {_arguments.cacheBase};
    std::string path = _arguments.cacheBase;
    std::string_view rest = std::string_view(_arguments.trashFolder).substr(_arguments.cacheBase.size());
    while (!rest.empty()) {
        const size_t slash = rest.find('/');
        path += std::string(rest.substr(0, slash)) + "/";
        folders.push_back(path);
        rest = slash == std::string_view::npos ? std::string_view() : rest.substr(slash + 1);
    }
    return folders;
}

void TrashSurvey::awaitTrashFolder() {
    // Woken when a folder appears on the way, or when the volume goes; the time-out only
    // bounds the wait should an event be missed.
    constexpr int kAwaitMillis = 60 * 1000;
    sys::TrashWatch appearance(foldersLeadingToTrash(), sys::TrashWatch::WatchFor::Creation);
    if (openTrashFolder() || _exitStatus)
        return; // it appeared while the watch was being set up, or it will never be used
    (void)appearance.wait(appearance.active() ? kAwaitMillis : _arguments.loopTimeInSeconds * 1000,
                          sys::StopSignal::waitMask());
}

void TrashSurvey::surveyloop() {
    std::optional<sys::TrashWatch> watch;
    uint64_t previous = _currentStat.itemCount;
    bool arrivalSeen = false;
    const CacheMode mode = _arguments.cacheMode;
    const int loopMillis = _arguments.loopTimeInSeconds * 1000;

    for (;;) {
        // Opened afresh at every poll and closed before the sleep: a folder swapped for a link
        // is noticed at once, and nothing keeps the volume from being unmounted.
        std::optional<sys::Fd> trash = openTrashFolder();
        uint64_t count = trash ? nbItemsAtFolderRoot(trash->get()) : 0;
        if (_exitStatus)
            return;
        // Arrivals wake the loop once the trash folder is there (again: it may have been made
        // anew since the watch began).
        if (trash && (!watch || !_watchingTrash)) {
            watch.emplace(_arguments.trashFolder);
            _watchingTrash = true;
        }

        // In copy mode only what stays in the trash needs a record: the records of entries
        // that left are forgotten, and the others kept, so that a restore or a deletion does
        // not copy the whole trash again.
        if (count < previous && mode == CacheMode::Copy)
            forgetEntriesGone(trash ? std::optional<int>(trash->get()) : std::nullopt);

        bool scan = false;
        if (mode == CacheMode::Copy) {
            // The count alone misses an entry that arrived while another left; a change of the
            // folder itself, or an arrival reported by the watch, is looked at as well.
            scan = count != 0 && (count != previous || arrivalSeen || _scanAfterBurst || trashFolderChangedSinceScan());
        } else if (mode == CacheMode::Move) {
            scan = count != 0;
        }
        // Asked for once: taken now, or not needed (nothing left in the trash).
        _scanAfterBurst = false;
        if (scan && trash) {
            _scannedStamp = _countedStamp;
            arrivalSeen = false;
            if (!scanTrashFolder(trash->get()))
                return;
            sys::releaseFreeMemory();
        }
        const bool trashThere = trash.has_value();
        trash.reset();

        if (_unflushed) {
            // More entries already waiting: the scan that takes them flushes for both.
            if (trashThere && watch && sys::now() - _unflushedSince < kLongestUnflushed &&
                watch->wait(0, sys::StopSignal::waitMask())) {
                arrivalSeen = true;
                previous = count;
                if (stopRequested())
                    return;
                continue;
            }
            flushArchived();
        }

        const time_t sinceWrite = sys::now() - _lastWriteToFile;
        if (sinceWrite > kIndexWriteInterval || (_indexChanged && sinceWrite >= kChangedIndexWriteDelay))
            saveIndex();

        if (stopRequested())
            return;
        if (!trashThere) {
            _watchingTrash = false;
            awaitTrashFolder();
        } else {
            arrivalSeen = watch->wait(_scanAfterBurst ? 0 : loopMillis, sys::StopSignal::waitMask()) || arrivalSeen;
        }
        if (stopRequested() || _exitStatus)
            return;
        previous = count;
    }
}

bool TrashSurvey::scanTrashFolder(int trashFd) {
    const std::string &trashFolder = _arguments.trashFolder;
    // The names are taken first: entries are moved out of the folder while it is walked.
    auto listed = sys::listDirectory(trashFd);
    if (!listed) {
        die(listed.status());
        return false;
    }
    const std::vector<sys::DirEntry> entries = std::move(*listed);
    // A scan that follows one of the same burst passes by what the burst has seen already: in
    // a burst of thousands of files each scan would otherwise read the status of every entry
    // the scans before it archived.
    const bool copyMode = _arguments.cacheMode == CacheMode::Copy;
    if (!_unflushed)
        _burstSeen.clear();
    bool archived = false;
    bool infoTaken = false; // trash information of copies an earlier run made
    std::unordered_set<ArchivedItemKey, ArchivedItemKeyHash> refused;
    // Looking for the stop signal is a system call: once per few milliseconds of work is soon
    // enough, and a burst of small files does not pay one per entry.
    constexpr int64_t kStopLookMillis = 5;
    int64_t lastStopLook = sys::monotonicMillis();
    for (const sys::DirEntry &listedEntry : entries) {
        const std::string &name = listedEntry.name;
        if (const int64_t now = sys::monotonicMillis(); now - lastStopLook >= kStopLookMillis) {
            lastStopLook = now;
            if (stopRequested())
                break;
        }
        if (name == kDesktopServicesStore) {
            (void)sys::unlinkAt(trashFd, name);
            continue;
        }
        if (copyMode) {
            if (auto seen = _burstSeen.find(name); seen != _burstSeen.end() && seen->second == listedEntry.inode) {
                _burstPassedBy = true;
                continue;
            }
        }
        // The entry's own status, read once for its record and for its copy.
        auto entry = sys::statAt(trashFd, name, sys::FollowLinks::No);
        if (!entry)
            continue;
        std::optional<ArchivedItem> item = buildArchivedItemAt(trashFd, name, *entry);
        if (!item)
            continue;
        if (isArchived(*item)) {
            if (_arguments.cacheMode != CacheMode::Move) {
                if (copyMode)
                    _burstSeen.emplace(name, listedEntry.inode);
                continue;
            }
            // Already in the cache: in move mode the trash copy goes, but only while the
            // archived copy is really there (it may have been recovered and then emptied or
            // pruned since); otherwise the entry is archived again. A plain file removal, so a
            // folder the user left in the trash stays where it is.
            if (archivedCopyExists(*item, name)) {
                // Its .trashinfo goes with it, or trash clients would list an item not there.
                if (sys::unlinkAt(trashFd, name))
                    removeTrashInfoFile(name + ".trashinfo");
                continue;
            }
            forgetRecord(*item);
        }
        // A copy left by a daemon that ended before saving its index answers for the entry.
        if (auto place = takeUnrecordedCopy(*entry, *item)) {
            recordArchived(std::move(*item));
            // Its trash information too, which the run that copied it may not have kept. The
            // entry is still in the trash (also in move mode): its .trashinfo stays with it.
            if (auto info = trashInfoOf(name)) {
                _archivedInfo[place->dateFolder].push_back({place->storedName, *info, std::string()});
                infoTaken = true;
            }
            continue;
        }
        const ArchivedItemKey key = keyOf(*item);
        if (_copier.copyDataToCacheCheck(trashFd, trashFolder, name, *entry, _arguments.maxCacheSize,
                                         _arguments.freePercentage)) {
            recordArchived(std::move(*item));
            archived = true;
            if (copyMode)
                _burstSeen.emplace(name, listedEntry.inode);
            if (auto info = trashInfoOf(name))
                _archivedInfo[_copier.dateFolderName()].push_back({_copier.storedName(), *info, name + ".trashinfo"});
        } else if (!_copier.refusal().empty()) {
            // Said once for as long as the entry stays as it is, though it is tried at every scan
            // (room may be made meanwhile).
            if (!_reportedRefusals.contains(key)) {
                const std::string line = notArchivedLine(sys::now(), _copier.refusal(), trashFolder + name);
                sys::logLine(std::string_view(line).substr(0, line.find_last_not_of('\n') + 1));
            }
            refused.insert(key);
        }
    }
    _reportedRefusals = std::move(refused);
    _copier.endScan();
    _scanInfo.reset();
    _scanInfoOpened = false;
    if (archived || infoTaken)
        keepTrashInfo();
    if (archived && !_unflushed) {
        _unflushed = true;
        _unflushedSince = sys::now();
    }
    return !stopRequested();
}

void TrashSurvey::flushArchived() {
    // One flush of the cache's volume for what the scans of a burst archived, not one per item.
    (void)sys::syncfsPath(_arguments.trashCacheFolder);
    _unflushed = false;
    dropMarkers();
    // The burst is over: what its scans passed by is looked at once more, whole.
    _burstSeen = {};
    _scanAfterBurst = _scanAfterBurst || _burstPassedBy;
    _burstPassedBy = false;
}

} // namespace quillet::daemon
