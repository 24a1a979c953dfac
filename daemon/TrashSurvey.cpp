#include "TrashSurvey.h"

#include "ArchiveFile.h"
#include "CacheLayout.h"
#include "platform/StopSignal.h"
#include "platform/TrashWatch.h"

#include <cstdio>
#include <cstdlib>
#include <cstring>

namespace quillet::daemon {
namespace {

constexpr time_t kIndexWriteInterval = 120;
constexpr std::string_view kDesktopServicesStore = ".DS_Store";

} // namespace

DaemonArguments parseDaemonArguments(char **argv) {
    DaemonArguments arguments;
    arguments.loopTimeInSeconds = static_cast<int32_t>(std::strtoll(argv[1], nullptr, 10));
    arguments.trashFolder = argv[2];
    arguments.trashCacheFolder = std::string(argv[3]) + std::string(kCacheFolderName) + "/";
    arguments.maxCacheSize = static_cast<uint64_t>(std::strtoll(argv[4], nullptr, 10)) << 20;
    arguments.freePercentage = std::strtoll(argv[5], nullptr, 10);
    arguments.dataCacheMode = static_cast<int32_t>(std::strtoll(argv[6], nullptr, 10));
    return arguments;
}

TrashSurvey::TrashSurvey(DaemonArguments arguments)
    : _arguments(std::move(arguments)),
      _copier(_arguments.trashCacheFolder, _arguments.dataCacheMode, _arguments.maxCacheSize) {}

void TrashSurvey::requestStop() { ::raise(SIGINT); }

bool TrashSurvey::stopRequested() const { return sys::StopSignal::requested(); }

uint64_t TrashSurvey::nbItemsAtFolderRoot(const std::string &path) {
    auto folder = sys::openDirectory(path);
    if (!folder) {
        std::fprintf(stderr, "quilletd: Daemon will die (%s)(%s)\n", sys::errorText(folder.code()).c_str(),
                     path.c_str());
        std::fflush(stderr);
        std::exit(0);
    }
    auto st = sys::fstat(folder->get());
    sys::FolderStamp stamp = st ? sys::FolderStamp::of(*st) : sys::FolderStamp();
    if (st && _haveCount && stamp.sameState(_countedStamp) && _countedStamp.settled())
        return _countedEntries;
    uint64_t count = 0;
    sys::Status status = sys::forEachEntry(folder->get(), [&count](std::string_view name, unsigned char) {
        if (name != kDesktopServicesStore)
            ++count;
        return true;
    });
    _haveCount = st.ok() && status.ok();
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

void TrashSurvey::recordArchived(ArchivedItem item) {
    _archivedKeys.insert(keyOf(item));
    appendItemToArchive(std::move(item), &_currentStat);
}

void TrashSurvey::resetIndex() {
    emptyArchive(&_currentStat);
    _archivedKeys.clear();
    saveIndex();
}

void TrashSurvey::saveIndex() {
    writeArchiveStats(_arguments.trashCacheFolder, _currentStat);
    _lastWriteToFile = sys::now();
}

int TrashSurvey::run() {
    sys::StopSignal::install(SIGINT);
    _lastWriteToFile = sys::now();
    (void)nbItemsAtFolderRoot(_arguments.trashFolder);

    checkForArchivedFiles(_arguments.trashCacheFolder);
    ArchiveStruct loaded;
    readArchiveStats(_arguments.trashCacheFolder, loaded);
    archiveStructCopy(&_currentStat, &loaded);
    for (const ArchivedItem &item : _currentStat.items)
        _archivedKeys.insert(keyOf(item));
    // The file's bytes and the decoded copies are gone now; what they took is not needed
    // while the daemon idles.
    loaded = ArchiveStruct();
    sys::releaseFreeMemory();

    surveyloop();

    // Stopped by SIGINT: save what was archived, then leave.
    sys::StopSignal::ignore();
    writeArchiveStats(_arguments.trashCacheFolder, _currentStat);
    (void)sys::syncfsPath(_arguments.trashCacheFolder);
    return 0;
}

void TrashSurvey::surveyloop() {
    sys::TrashWatch watch(_arguments.trashFolder);
    uint64_t previous = _currentStat.itemCount;
    bool arrivalSeen = false;
    const int32_t mode = _arguments.dataCacheMode;
    const int loopMillis = _arguments.loopTimeInSeconds > 0 ? _arguments.loopTimeInSeconds * 1000 : 0;

    for (;;) {
        uint64_t count = nbItemsAtFolderRoot(_arguments.trashFolder);

        if (count < previous && mode == static_cast<int32_t>(CacheMode::Copy))
            resetIndex();

        bool scan = false;
        if (mode == static_cast<int32_t>(CacheMode::Copy)) {
            // The count alone misses an entry that arrived while another left; a change of the
            // folder itself, or an arrival reported by the watch, is looked at as well.
            scan = count != 0 && (count != previous || arrivalSeen || trashFolderChangedSinceScan());
        } else if (mode == static_cast<int32_t>(CacheMode::Move)) {
            scan = count != 0;
        }
        if (scan) {
            _scannedStamp = _countedStamp;
            arrivalSeen = false;
            if (!scanTrashFolder())
                return;
            sys::releaseFreeMemory();
        }

        if (sys::now() - _lastWriteToFile > kIndexWriteInterval)
            saveIndex();

        if (stopRequested())
            return;
        arrivalSeen = watch.wait(loopMillis, sys::StopSignal::waitMask()) || arrivalSeen;
        if (stopRequested())
            return;
        previous = count;
    }
}

bool TrashSurvey::scanTrashFolder() {
    const std::string &trashFolder = _arguments.trashFolder;
    // The names are taken first: entries are moved out of the folder while it is walked.
    auto entries = sys::listDirectory(trashFolder);
    if (!entries) {
        (void)nbItemsAtFolderRoot(trashFolder); // dies with its message when the folder is gone
        return true;
    }
    for (const sys::DirEntry &entry : *entries) {
        if (stopRequested())
            return false;
        std::string path = trashFolder + entry.name;
        if (entry.name == kDesktopServicesStore) {
            (void)sys::unlink(path);
            continue;
        }
        std::optional<ArchivedItem> item = buildArchivedItem(path);
        if (!item)
            continue;
        if (isArchived(*item)) {
            // Already in the cache: in move mode the trash copy goes. A plain file removal,
            // so a folder the user left in the trash stays where it is.
            if (_arguments.dataCacheMode == static_cast<int32_t>(CacheMode::Move))
                (void)sys::unlink(path);
            continue;
        }
        if (_copier.copyDataToCacheCheck(path, _arguments.maxCacheSize, _arguments.freePercentage)) {
            recordArchived(std::move(*item));
            (void)sys::touchLocked(_arguments.trashCacheFolder + std::string(kUpdateFlagName), 0644);
            (void)sys::touchLocked(_arguments.trashCacheFolder + std::string(kCacheManagerFlagName), 0644);
        }
    }
    return true;
}

} // namespace quillet::daemon
