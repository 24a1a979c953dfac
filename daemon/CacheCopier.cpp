#include "CacheCopier.h"

#include "archive/CacheLayout.h"
#include "archive/NotArchived.h"
#include "platform/FileCopy.h"
#include "platform/FolderBelow.h"
#include "platform/ItemLock.h"
#include "platform/Log.h"
#include "platform/RemoveTree.h"
#include "platform/System.h"
#include "platform/TrustedFolder.h"
#include "platform/VolumeStats.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <array>
#include <cstdio>
#include <random>

namespace quillet::daemon {
namespace {

// Date folders and the folders of archived items are private to the user: what was in the
// trash must not become readable by others through the cache.
constexpr mode_t kPrivateFolderMode = 0700;

void logFailure(const sys::Status &status) { sys::logLine("quilletd: " + status.message()); }

/// Errors of writing the copy, rather than of reading what is copied: the copy cannot be
/// whole, and is abandoned.
bool isWriteFailure(int code) {
    return code == ENOSPC || code == EDQUOT || code == EROFS || code == EFBIG || code == EIO || code == EMLINK;
}

bool isSpotlightFolderName(const std::string &name) {
    return name.size() >= 10 && name.starts_with(".Spotlight");
}

// Folders nested deeper than a path can name are reached one folder at a time (FolderBelow.h).
using sys::atEntryBelow;
using sys::openFolderBelow;

/// Opens the date folder of this minute in the open cache folder, creating it when missing
/// (created then says so): a real folder of the user's, or nothing (with a message) when the
/// name is taken by anything else, such as a link or a folder another account planted.
sys::Result<sys::Fd> openDateFolder(int cacheFd, const std::string &cacheFolder, const std::string &dateName,
                                    bool &created) {
    created = false;
    auto folder = sys::openOwnedFolderAt(cacheFd, dateName, cacheFolder + dateName);
    if (folder || folder.code() != ENOENT) {
        if (!folder)
            logFailure(folder.status());
        return folder;
    }
    // The minute's first item makes its folder.
    sys::Status made = sys::mkdirAt(cacheFd, dateName, kPrivateFolderMode);
    created = made.ok();
    if (!made && made.code() != EEXIST)
        return sys::Status::failure(made.code(), "mkdir", cacheFolder + dateName);
    folder = sys::openOwnedFolderAt(cacheFd, dateName, cacheFolder + dateName);
    if (!folder)
        logFailure(folder.status());
    return folder;
}

} // namespace

bool isOwnExecutableName(const std::string &name) {
    static constexpr std::array<std::string_view, 5> kOwnNames = {
        "Quillet.app", "quilletCacheManagerd", "quilletd", "quilletMountDiskd", "QuilletMenuExtra.app"};
    for (std::string_view own : kOwnNames)
        if (name == own)
            return true;
    return false;
}

CacheCopier::CacheCopier(std::string trashCacheFolder, CacheMode dataCacheMode, uint64_t maxCacheSize)
    : _trashCacheFolder(std::move(trashCacheFolder)), _dataCacheMode(dataCacheMode), _maxCacheSize(maxCacheSize) {}

bool CacheCopier::copyDataToCacheCheck(const std::string &path, uint64_t sizeLimit, int64_t minimumFreePercentage) {
    auto folder = sys::openDirectory(sys::parentPath(path));
    if (!folder)
        return false;
    const bool archived = copyDataToCacheCheck(folder->get(), sys::parentPath(path) + "/", sys::lastPathComponent(path),
                                               sizeLimit, minimumFreePercentage);
    endScan();
    return archived;
}

bool CacheCopier::copyDataToCache(const std::string &path) {
    if (path.size() <= 1)
        return false;
    auto folder = sys::openDirectory(sys::parentPath(path));
    if (!folder)
        return false;
    const bool archived = copyDataToCache(folder->get(), sys::parentPath(path) + "/", sys::lastPathComponent(path));
    endScan();
    return archived;
}

uint64_t CacheCopier::folderBytes(int trashFd, const std::string &name, uint64_t sizeLimit, uint64_t cap) {
    auto root = sys::openDirectoryAt(trashFd, name, sys::FollowLinks::No);
    if (!root)
        return 0;
    uint64_t total = 0;
    std::vector<std::string> pending = {std::string()};
    while (!pending.empty() && total <= cap) {
        std::string relative = std::move(pending.back());
        pending.pop_back();
        auto folder = openFolderBelow(root->get(), relative);
        if (!folder)
            continue;
        (void)sys::forEachEntry(folder->get(), [&](std::string_view entryName, unsigned char) {
            std::string entry(entryName);
            auto st = sys::statAt(folder->get(), entry, sys::FollowLinks::No);
            if (!st)
                return true;
            if (S_ISDIR(st->st_mode)) {
                if (!isSpotlightFolderName(entry))
                    pending.push_back(relative.empty() ? entry : relative + "/" + entry);
            } else if (S_ISREG(st->st_mode) &&
                       (sizeLimit == 0 || static_cast<uint64_t>(st->st_size) < sizeLimit)) {
                // What a copy takes: a sparse file's holes stay holes.
                total += std::min(static_cast<uint64_t>(st->st_size), static_cast<uint64_t>(st->st_blocks) * 512);
            }
            return total <= cap;
        });
    }
    return total;
}

bool CacheCopier::copyDataToCacheCheck(int trashFd, const std::string &trashFolder, const std::string &name,
                                       uint64_t sizeLimit, int64_t minimumFreePercentage) {
    // The entry itself, never what a link points to: a link is archived as a link.
    auto st = sys::statAt(trashFd, name, sys::FollowLinks::No);
    if (!st) {
        _refusal.clear(); // gone meanwhile: nothing to refuse
        return false;
    }
    return copyDataToCacheCheck(trashFd, trashFolder, name, *st, sizeLimit, minimumFreePercentage);
}

bool CacheCopier::copyDataToCacheCheck(int trashFd, const std::string &trashFolder, const std::string &name,
                                       const struct stat &entry, uint64_t sizeLimit, int64_t minimumFreePercentage) {
    // The volume that counts is the one holding the trash folder.
    const struct stat *st = &entry;
    _refusal.clear();
    uint64_t size = 0;
    if (!S_ISDIR(st->st_mode)) {
        size = static_cast<uint64_t>(st->st_size);
        if (sizeLimit != 0 && size > sizeLimit)
            return refuse(kNotArchivedSizeLimit);
    }
    // Figures a little old may admit an item, never refuse one: a refusal for room is decided
    // again on figures read just now (room may have been made meanwhile).
    std::string_view refusal;
    for (bool fresh : {false, true}) {
        auto figures = volumeFiguresFor(trashFd, fresh);
        if (!figures)
            return refuse(kNotArchivedNoVolumeFigures);
        refusal = roomRefusal(*figures, trashFd, name, *st, size, minimumFreePercentage);
        if (refusal.empty() || _figuresFresh)
            break;
    }
    if (!refusal.empty())
        return refuse(refusal);
    if (isOwnExecutableName(name))
        return refuse(kNotArchivedOwnProgram);
    if (!copyEntryToCache(trashFd, trashFolder, name, entry))
        return false;
    // What the copy took comes off the kept figures until they are read again (whole blocks).
    if (_scanFigures && _dataCacheMode == CacheMode::Copy) {
        const uint64_t taken = (size + 4095) / 4096 * 4096;
        _scanFigures->freeBytes -= std::min(taken, _scanFigures->freeBytes);
    }
    return true;
}

sys::Result<sys::VolumeFigures> CacheCopier::volumeFiguresFor(int trashFd, bool fresh) {
    // Within a scan the figures are read again after this long at the latest: a burst of small
    // files then costs one statfs per many files, not one each.
    constexpr int64_t kFiguresKeptMillis = 100;
    const int64_t now = sys::monotonicMillis();
    if (fresh || !_scanFigures || now - _scanFiguresAt >= kFiguresKeptMillis) {
        auto figures = sys::volumeFiguresOf(trashFd);
        if (!figures)
            return figures;
        _scanFigures = *figures;
        _scanFiguresAt = now;
        _figuresFresh = true;
        return *figures;
    }
    _figuresFresh = false;
    return *_scanFigures;
}

std::string_view CacheCopier::roomRefusal(const sys::VolumeFigures &figures, int trashFd, const std::string &name,
                                          const struct stat &st, uint64_t &size, int64_t minimumFreePercentage) {
    const uint64_t freeBytes = figures.freeBytes;
    const uint64_t totalBytes = figures.totalBytes;
    if (freeBytes == 0 || totalBytes == 0)
        return kNotArchivedVolumeFull;
    if (S_ISDIR(st.st_mode) && minimumFreePercentage > 0 && _dataCacheMode == CacheMode::Copy) {
        // A folder weighs what it holds: counted only as far as it could still fit, so a huge
        // folder is refused without being walked to its end.
        __extension__ using Wide = unsigned __int128;
        const uint64_t keep =
            static_cast<uint64_t>((static_cast<Wide>(totalBytes) * static_cast<uint64_t>(minimumFreePercentage) + 99) / 100);
        const uint64_t room = freeBytes > keep ? freeBytes - keep : 0;
        size = folderBytes(trashFd, name, _maxCacheSize, room);
    }
    // The copy's own size always counts: archiving must never take the volume below the
    // minimum, whether a size limit is set or not.
    const uint64_t remaining = size > freeBytes ? 0 : freeBytes - size;
    if (minimumFreePercentage > 0 &&
        freePercentageOf(remaining, totalBytes) < static_cast<uint64_t>(minimumFreePercentage))
        return kNotArchivedFreeSpace;
    return {};
}

void CacheCopier::endScan() {
    _scanFigures.reset();
    _scanCache.reset();
    _scanDate.reset();
    _scanDateName.clear();
}

bool CacheCopier::refuse(std::string_view reason) {
    _refusal = reason;
    return false;
}

bool CacheCopier::copyDataToCache(int trashFd, const std::string &trashFolder, const std::string &name) {
    _storedName.clear();
    _dateFolderName.clear();
    // An entry that is gone, or a mode that archives nothing, refuses nothing.
    _refusal.clear();
    auto st = sys::statAt(trashFd, name, sys::FollowLinks::No);
    if (!st)
        return false;
    return copyEntryToCache(trashFd, trashFolder, name, *st);
}

bool CacheCopier::copyEntryToCache(int trashFd, const std::string &trashFolder, const std::string &name,
                                   const struct stat &st) {
    _storedName.clear();
    _dateFolderName.clear();
    // A name that is no entry of the folder, or a mode that archives nothing, refuses nothing.
    _refusal.clear();
    if (name.empty() || name == "." || name == ".." || name.find('/') != std::string::npos)
        return false;
    if (_dataCacheMode == CacheMode::WatchOnly)
        return false;
    // Whatever ends the copy from here on has named its cause in the log already.
    _refusal = kNotArchivedCopyFailed;

    // Within one scan, the cache folder and the minute's date folder are opened and checked
    // once for all its entries; endScan lets them go, so nothing stays open between scans.
    if (!_scanCache.valid()) {
        auto cache = sys::openOwnedFolder(_trashCacheFolder);
        if (!cache) {
            logFailure(cache.status());
            return false;
        }
        _scanCache = std::move(*cache);
    }
    const std::string dateName = finderCompatibleDateDescription(sys::now());
    const std::string dateFolder = _trashCacheFolder + dateName;
    bool created = false;
    if (!_scanDate.valid() || _scanDateName != dateName) {
        _scanDate.reset();
        auto date = openDateFolder(_scanCache.get(), _trashCacheFolder, dateName, created);
        if (!date)
            return false;
        _scanDate = std::move(*date);
        _scanDateName = dateName;
    }
    // A date folder made for nothing would count as a day of activity: it goes again (only
    // when empty: an item archived meanwhile by someone else stays).
    const auto forgetMadeFolder = [&] {
        if (!created)
            return;
        (void)sys::unlinkAt(_scanCache.get(), dateName, true);
        _scanDate.reset();
    };
    auto stored = storedNameOf(name);
    if (!stored) {
        forgetMadeFolder();
        return refuse(kNotArchivedNameTooLong);
    }
    const std::string hiddenName = *stored;
    _rootShown = trashFolder + name;

    const bool archived = _dataCacheMode == CacheMode::Move
                              ? moveToCache(trashFd, name, st, _scanDate.get(), dateFolder, hiddenName)
                              : copyEntry(trashFd, name, st, _scanDate.get(), dateFolder, hiddenName, false);
    if (archived) {
        _dateFolderName = dateName;
        _refusal.clear();
    } else {
        forgetMadeFolder();
    }
    return archived;
}

bool CacheCopier::copyEntry(int trashFd, const std::string &name, const struct stat &st, int dateFd,
                            const std::string &dateFolder, const std::string &hiddenName, bool completeOnly) {
    const bool isFolder = S_ISDIR(st.st_mode);
    if (isFolder) {
        _destinationShown = dateFolder + "/" + hiddenName;
        FolderCopy copied = copyFolder(trashFd, name, dateFd, hiddenName, _maxCacheSize);
        return copied == FolderCopy::Complete || (copied == FolderCopy::PartsLeftOut && !completeOnly);
    }
    auto copied = sys::copyItemToFreeNameAt(
        trashFd, name, &st, dateFd, [&hiddenName](unsigned n) { return numberedName(hiddenName, n, false); },
        _rootShown, dateFolder);
    if (!copied) {
        logFailure(copied.status());
        return false;
    }
    _storedName = *copied;
    return true;
}

bool CacheCopier::moveToCache(int trashFd, const std::string &name, const struct stat &st, int dateFd,
                              const std::string &dateFolder, const std::string &hiddenName) {
    const bool isFolder = S_ISDIR(st.st_mode);
    sys::unlockItemAt(trashFd, name);
    // Straight to its hidden name, the first free one: never under the visible name on the way.
    std::string placed;
    sys::Status moved;
    for (unsigned n = 0; n < 1000; ++n) {
        placed = numberedName(hiddenName, n, isFolder);
        moved = sys::renameNoReplace(trashFd, name, dateFd, placed);
        if (moved || moved.code() != EEXIST)
            break;
    }
    if (!moved && moved.code() == EXDEV) {
        // The trash and the cache lie on different file systems: copy, and remove the entry
        // only once the copy is whole, so that it is never missing from both.
        if (!copyEntry(trashFd, name, st, dateFd, dateFolder, hiddenName, true))
            return false;
        // The copy is on disk before the original goes: a crash in between must not find the
        // removal done and the copy's data still in memory.
        if (sys::Status flushed = sys::syncfs(dateFd); !flushed) {
            logFailure(flushed);
            return true; // archived; the entry stays in the trash, as when it cannot be removed
        }
        if (sys::Status removed = sys::removeTree(trashFd, name); !removed)
            logFailure(removed);
        return true;
    }
    if (!moved) {
        logFailure(sys::Status::failure(moved.code(), "rename", _rootShown + " -> " + dateFolder + "/" + placed));
        return false;
    }
    _storedName = placed;
    if (isFolder)
        scrambleFolderHierarchy(dateFd, placed, st.st_mode & 07777);
    return true;
}

std::string CacheCopier::destinationFor(const std::string &relative) const {
    std::string destination;
    size_t start = 0;
    while (start < relative.size()) {
        size_t end = relative.find('/', start);
        if (end == std::string::npos)
            end = relative.size();
        if (end > start) {
            std::string component = relative.substr(start, end - start);
            if (!destination.empty())
                destination += "/";
            destination += storedNameOf(component).value_or(component);
        }
        start = end + 1;
    }
    return destination;
}

CacheCopier::FolderCopy CacheCopier::copyFolder(int sourceParent, const std::string &name, int destinationParent,
                                                const std::string &destinationName, uint64_t limit) {
    _writeFailed = false;
    _partsLeftOut = false;
    _createdFolders.clear();
    _linkedFiles.clear();
    _singleFileSizeLimit = limit;
    _makeInvisible = true;
    const std::string finalShown = _destinationShown;

    // Opened without following links: a folder replaced by a link since it was listed is never
    // entered.
    auto root = sys::openDirectoryAt(sourceParent, name, sys::FollowLinks::No);
    if (!root) {
        logFailure(sys::Status::failure(root.code(), "open", _rootShown));
        return FolderCopy::Failed;
    }
    auto rootStat = sys::fstat(root->get());
    if (!rootStat)
        return FolderCopy::Failed;
    // Assembled under a name no reader shows, and named only once whole.
    thread_local std::minstd_rand random(static_cast<unsigned>(sys::processId()) ^ static_cast<unsigned>(sys::now()));
    std::string partial;
    for (int attempt = 0; attempt < 100 && partial.empty(); ++attempt) {
        std::string candidate = sys::partialName(random());
        sys::Status made = sys::mkdirAt(destinationParent, candidate, kPrivateFolderMode);
        if (made)
            partial = candidate;
        else if (made.code() != EEXIST) {
            logFailure(sys::Status::failure(made.code(), "mkdir", finalShown));
            return FolderCopy::Failed;
        }
    }
    if (partial.empty())
        return FolderCopy::Failed;
    auto destination = sys::openDirectoryAt(destinationParent, partial, sys::FollowLinks::No);
    if (!destination) {
        (void)sys::unlinkAt(destinationParent, partial, true);
        return FolderCopy::Failed;
    }
    _createdFolders.push_back({std::string(), rootStat->st_mode & 07777, {rootStat->st_atim, rootStat->st_mtim}});
    _rootFolder = std::move(*root);
    _destinationFolder = std::move(*destination);
    _destinationShown = sys::parentPath(finalShown) + "/" + partial;

    // Folder levels wait on a list rather than the call stack, so a deep tree costs no
    // recursion.
    std::vector<std::string> pending = {std::string()};
    while (!pending.empty() && !_writeFailed) {
        std::string relative = std::move(pending.back());
        pending.pop_back();
        copyFolderCore(relative, pending);
    }
    FolderCopy result = _writeFailed ? FolderCopy::Failed : (_partsLeftOut ? FolderCopy::PartsLeftOut : FolderCopy::Complete);
    if (result != FolderCopy::Failed) {
        // As a whole-item copy does, the folders keep their modes and times; the index also
        // knows an archived folder by its modification time, so a restart must find the same
        // one. Each folder was open to its owner while it was being filled, and gets its own
        // mode (a read-only folder stays read-only) once what it holds is complete: the inner
        // ones first, the root last. Deleting from the cache unlocks what it removes.
        for (auto it = _createdFolders.rbegin(); it != _createdFolders.rend(); ++it) {
            if (it->relative.empty())
                continue;
            (void)atEntryBelow(_destinationFolder.get(), it->relative, [&](int folder, const std::string &entry) {
                (void)sys::fchmodAt(folder, entry, it->mode);
                return sys::utimensAt(folder, entry, it->times, sys::FollowLinks::No);
            });
        }
        (void)sys::fchmod(_destinationFolder.get(), rootStat->st_mode & 07777);
        (void)sys::futimens(_destinationFolder.get(), _createdFolders.front().times);
        result = FolderCopy::Failed;
        for (unsigned n = 0; n < 1000; ++n) {
            std::string candidate = numberedName(destinationName, n, true);
            sys::Status named = sys::renameNoReplace(destinationParent, partial, destinationParent, candidate);
            if (named) {
                _storedName = candidate;
                result = _partsLeftOut ? FolderCopy::PartsLeftOut : FolderCopy::Complete;
                break;
            }
            if (named.code() != EEXIST) {
                logFailure(sys::Status::failure(named.code(), "rename", _destinationShown + " -> " + candidate));
                break;
            }
        }
    }
    if (result == FolderCopy::Failed)
        (void)sys::removeTree(destinationParent, partial);
    _createdFolders.clear();
    _rootFolder.reset();
    _destinationFolder.reset();
    _destinationShown = finalShown;
    return result;
}

void CacheCopier::copyFolderCore(const std::string &relative, std::vector<std::string> &pending) {
    const std::string source = relative.empty() ? _rootShown : _rootShown + "/" + relative;
    const std::string destinationRelative = destinationFor(relative);
    const std::string destination =
        destinationRelative.empty() ? _destinationShown : _destinationShown + "/" + destinationRelative;

    // Each level is opened relative to the roots, at any depth, never through a link at its end.
    auto sourceDir = openFolderBelow(_rootFolder.get(), relative);
    if (!sourceDir) {
        leftOut(sys::Status::failure(sourceDir.code(), "open", source));
        return;
    }
    auto sourceStat = sys::fstat(sourceDir->get());
    if (!sourceStat) {
        leftOut(sys::Status::failure(sourceStat.code(), "fstat", source));
        return;
    }
    if (!relative.empty()) {
        sys::Status made = atEntryBelow(_destinationFolder.get(), destinationRelative, [&](int folder, const std::string &name) {
            return sys::mkdirAt(folder, name, (sourceStat->st_mode & 07777) | S_IRWXU);
        });
        if (made) {
            _createdFolders.push_back({destinationRelative, sourceStat->st_mode & 07777, {sourceStat->st_atim, sourceStat->st_mtim}});
        } else if (made.code() != EEXIST) {
            noteFailure(sys::Status::failure(made.code(), "mkdir", destination));
            return;
        }
    }
    auto destinationDir = openFolderBelow(_destinationFolder.get(), destinationRelative);
    if (!destinationDir) {
        noteFailure(sys::Status::failure(destinationDir.code(), "open", destination));
        return;
    }
    sys::copyExtendedAttributes(sourceDir->get(), destinationDir->get());

    std::vector<std::string> subFolders;
    sys::Status listed = sys::forEachEntry(sourceDir->get(), [&](std::string_view entryName, unsigned char) {
        std::string name(entryName);
        auto st = sys::statAt(sourceDir->get(), name, sys::FollowLinks::No);
        if (!st)
            return true;
        if (S_ISDIR(st->st_mode)) {
            if (!isSpotlightFolderName(name))
                subFolders.push_back(relative.empty() ? name : relative + "/" + name);
            return true;
        }
        if (_singleFileSizeLimit != 0 && static_cast<uint64_t>(st->st_size) >= _singleFileSizeLimit)
            return true;
        if (S_ISSOCK(st->st_mode)) // nothing to keep: a socket holds no data
            return true;
        // A name too long for the prefix is stored as it is (it then comes back as it is).
        auto stored = storedNameOf(name);
        if (!stored) {
            leftOut(sys::Status::refusal(ENAMETOOLONG, source + "/" + name, "the name is too long to be stored"));
            return true;
        }
        std::string copyName = *stored;
        const std::string copyRelative = destinationRelative.empty() ? copyName : destinationRelative + "/" + copyName;
        // Hard links between files of the folder stay links: the second name links to the
        // first one's copy, as cp -a does.
        const std::pair<dev_t, ino_t> identity{st->st_dev, st->st_ino};
        if (S_ISREG(st->st_mode) && st->st_nlink > 1) {
            auto first = _linkedFiles.find(identity);
            if (first != _linkedFiles.end() &&
                sys::linkAt(_destinationFolder.get(), first->second, destinationDir->get(), copyName, 0))
                return true;
        }
        sys::Status status = sys::copyItemAt(sourceDir->get(), name, &*st, destinationDir->get(), copyName,
                                             source + "/" + name, destination + "/" + copyName);
        if (status && S_ISREG(st->st_mode) && st->st_nlink > 1)
            _linkedFiles.emplace(identity, copyRelative);
        if (!status) {
            if (isWriteFailure(status.code()))
                noteFailure(status);
            else
                leftOut(status);
        }
        return !_writeFailed;
    });
    if (!listed)
        leftOut(sys::Status::failure(listed.code(), "readdir", source));
    // Reversed so that the sub-folders are copied in listing order.
    pending.insert(pending.end(), subFolders.rbegin(), subFolders.rend());
}

void CacheCopier::leftOut(const sys::Status &why) {
    sys::logLine("quilletd: left out of the archive: " + why.message());
    _partsLeftOut = true;
}

void CacheCopier::noteFailure(const sys::Status &why) {
    logFailure(why);
    _writeFailed = true;
}

void CacheCopier::scrambleFolderHierarchy(const std::string &folder) {
    const std::string path = sys::withoutTrailingSlashes(folder);
    auto parent = sys::openDirectory(sys::parentPath(path));
    if (!parent)
        return;
    scrambleFolderHierarchy(parent->get(), sys::lastPathComponent(path));
}

void CacheCopier::scrambleFolderHierarchy(int parentFd, const std::string &name, std::optional<mode_t> rootMode) {
    auto root = sys::openDirectoryAt(parentFd, name, sys::FollowLinks::No);
    if (!root)
        return;
    // Folders below the root, by their path relative to it once renamed, with their own modes
    // as they were before any unlocking (renaming inside a folder needs its owner's write bit;
    // the folder gets its mode back afterwards).
    struct Pending {
        std::string relative;
        std::optional<mode_t> mode;
    };
    std::vector<Pending> folders = {{std::string(), rootMode}};
    while (!folders.empty()) {
        Pending pending = std::move(folders.back());
        folders.pop_back();
        const std::string &relative = pending.relative;
        auto current = openFolderBelow(root->get(), relative);
        if (!current)
            continue;
        auto before = sys::fstat(current->get());
        if (before) {
            if (!pending.mode)
                pending.mode = before->st_mode & 07777;
            sys::unlockOpenItem(current->get(), *before);
        }
        // The names are taken before any rename, so that a renamed entry is never seen again
        // by the listing and hidden twice.
        std::vector<std::string> toRename;
        (void)sys::forEachEntry(current->get(), [&toRename](std::string_view entry, unsigned char) {
            toRename.emplace_back(entry);
            return true;
        });
        // A rename never replaces: when "a" and ".x_a" sit side by side, ".x_a" first becomes
        // ".x_.x_a" and "a" then takes ".x_a" in the next round.
        bool progress = true;
        while (!toRename.empty() && progress) {
            progress = false;
            std::vector<std::string> blocked;
            for (const std::string &entry : toRename) {
                auto st = sys::statAt(current->get(), entry, sys::FollowLinks::No);
                sys::unlockItemAt(current->get(), entry);
                // A name too long for the prefix keeps its name, which comes back as it is.
                const std::string hidden = storedNameOf(entry).value_or(entry);
                sys::Status status = hidden == entry
                                         ? sys::Status()
                                         : sys::renameNoReplace(current->get(), entry, current->get(), hidden);
                if (status) {
                    progress = true;
                    if (st && S_ISDIR(st->st_mode))
                        folders.push_back({relative.empty() ? hidden : relative + "/" + hidden, st->st_mode & 07777});
                } else if (status.code() == EEXIST) {
                    blocked.push_back(entry);
                }
            }
            toRename = std::move(blocked);
        }
        if (before) {
            (void)sys::fchmod(current->get(), *pending.mode);
            struct timespec times[2] = {before->st_atim, before->st_mtim};
            (void)sys::futimens(current->get(), times);
        }
    }
}

} // namespace quillet::daemon
