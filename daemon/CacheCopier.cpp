#include "CacheCopier.h"

#include "CacheLayout.h"
#include "platform/FileCopy.h"
#include "platform/ItemLock.h"
#include "platform/System.h"
#include "platform/VolumeStats.h"

#include <fcntl.h>
#include <sys/stat.h>

#include <array>
#include <cstdio>

namespace quillet::daemon {
namespace {

// Date folders and the folders of archived items are private to the user: what was in the
// trash must not become readable by others through the cache.
constexpr mode_t kPrivateFolderMode = 0700;

void logFailure(const sys::Status &status) { std::fprintf(stderr, "quilletd: %s\n", status.message().c_str()); }

void createDateFolder(const std::string &dateFolder) {
    sys::Status status = sys::mkdir(dateFolder, kPrivateFolderMode);
    if (!status && status.code() != EEXIST)
        logFailure(status);
}

bool isSpotlightFolderName(const std::string &name) {
    return name.size() >= 10 && name.starts_with(".Spotlight");
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

CacheCopier::CacheCopier(std::string trashCacheFolder, int32_t dataCacheMode, uint64_t maxCacheSize)
    : _trashCacheFolder(std::move(trashCacheFolder)), _dataCacheMode(dataCacheMode), _maxCacheSize(maxCacheSize) {}

bool CacheCopier::copyDataToCacheCheck(const std::string &path, uint64_t sizeLimit, int64_t minimumFreePercentage) {
    // The entry itself, never what a link points to: a link is archived as a link, and the
    // volume that counts is the one holding the link (a dangling link has no other).
    auto st = sys::stat(path, sys::FollowLinks::No);
    std::string volumePath = st && S_ISLNK(st->st_mode) ? sys::parentPath(path) : path;
    uint64_t freeBytes = 0, freePercentage = 0, totalBytes = 0;
    if (sizeStatsOnDisk(volumePath.c_str(), &freeBytes, &freePercentage, &totalBytes) != 0)
        return false;

    uint64_t size = 0;
    if (st && !S_ISDIR(st->st_mode)) {
        size = static_cast<uint64_t>(st->st_size);
        if (sizeLimit != 0 && size > sizeLimit)
            return false;
    }
    if (freeBytes == 0 || totalBytes == 0)
        return false;
    // The copy's own size always counts: archiving must never take the volume below the
    // minimum, whether a size limit is set or not.
    uint64_t remaining = size > freeBytes ? 0 : freeBytes - size;
    if (minimumFreePercentage > 0 &&
        freePercentageOf(remaining, totalBytes) < static_cast<uint64_t>(minimumFreePercentage))
        return false;
    if (isOwnExecutableName(sys::lastPathComponent(path)))
        return false;
    return copyDataToCache(path);
}

void CacheCopier::flushCacheVolume() const {
    // Only the cache's own volume: a machine-wide sync for every archived entry would stall
    // every other program each time.
    (void)sys::syncfsPath(_trashCacheFolder);
}

bool CacheCopier::copyDataToCache(const std::string &path) {
    flushCacheVolume();
    if (path.size() <= 1)
        return false;
    std::string dateFolder = _trashCacheFolder + finderCompatibleDateDescription(sys::now());
    std::string hiddenName = setFileName(sys::lastPathComponent(path), Visibility::Hidden);

    auto st = sys::stat(path, sys::FollowLinks::No);
    if (!st)
        return false;
    bool isFolder = S_ISDIR(st->st_mode);

    switch (_dataCacheMode) {
    case static_cast<int32_t>(CacheMode::Copy): {
        createDateFolder(dateFolder);
        std::string destination = dateFolder + "/" + hiddenName;
        if (isFolder) {
            // A folder counts as archived only when all of it that should be was copied:
            // recording a failed copy would let emptying the trash destroy the rest.
            return copyFolder(path, destination, _maxCacheSize, false);
        }
        sys::Status status = sys::copyItem(path, destination);
        if (!status)
            logFailure(status);
        return status.ok();
    }
    case static_cast<int32_t>(CacheMode::Move):
        createDateFolder(dateFolder);
        return moveToCache(path, dateFolder, hiddenName, isFolder);
    default:
        return false;
    }
}

bool CacheCopier::moveToCache(const std::string &path, const std::string &dateFolder, const std::string &hiddenName,
                              bool isFolder) {
    if (!sys::exists(dateFolder))
        return false;
    sys::unlockItemAtPath(path);
    std::string visiblePath = dateFolder + "/" + sys::lastPathComponent(path);
    sys::Status moved = sys::renameNoReplace(path, visiblePath);
    if (!moved) {
        logFailure(moved);
        return false;
    }
    std::string hiddenPath = dateFolder + "/" + hiddenName;
    sys::Status renamed = sys::renameNoReplace(visiblePath, hiddenPath);
    if (!renamed) {
        // The hidden name is taken (the same name trashed twice within a minute): the entry
        // stays in the date folder under its visible name. The folder under the hidden name is
        // the earlier archive and is left exactly as it is.
        logFailure(renamed);
        return false;
    }
    if (isFolder)
        scrambleFolderHierarchy(hiddenPath);
    return true;
}

std::string CacheCopier::destinationFor(const std::string &relative) const {
    std::string destination = _destinationFolder;
    size_t start = 0;
    while (start < relative.size()) {
        size_t end = relative.find('/', start);
        if (end == std::string::npos)
            end = relative.size();
        if (end > start) {
            std::string component = relative.substr(start, end - start);
            destination += "/";
            destination += setFileName(component, _makeInvisible ? Visibility::Hidden : Visibility::Visible);
        }
        start = end + 1;
    }
    return destination;
}

bool CacheCopier::copyFolder(const std::string &source, const std::string &destination, uint64_t limit,
                             bool visibleNames) {
    _copyFailed = false;
    _createdFolders.clear();
    _rootFolder = source;
    _destinationFolder = destination;
    _singleFileSizeLimit = limit;
    _makeInvisible = !visibleNames;
    // Folder levels wait on a list rather than the call stack, so a deep tree costs no
    // recursion.
    std::vector<std::string> pending = {std::string()};
    while (!pending.empty()) {
        std::string relative = std::move(pending.back());
        pending.pop_back();
        copyFolderCore(relative, pending);
    }
    // As a whole-item copy does, the folders keep their times; the index also knows an
    // archived folder by its modification time, so a restart must find the same one.
    for (const FolderTimes &folder : _createdFolders)
        (void)sys::utimensAt(AT_FDCWD, folder.path, folder.times, sys::FollowLinks::No);
    _createdFolders.clear();
    return !_copyFailed;
}

void CacheCopier::copyFolderCore(const std::string &relative, std::vector<std::string> &pending) {
    std::string source = relative.empty() ? _rootFolder : _rootFolder + "/" + relative;
    std::string destination = relative.empty() ? _destinationFolder : destinationFor(relative);

    // Opened without following links: a folder replaced by a link since it was listed is
    // never entered. Only the trashed folder itself failing means nothing was archived.
    auto sourceDir = sys::openDirectory(source, sys::FollowLinks::No);
    if (!sourceDir) {
        _copyFailed = _copyFailed || relative.empty();
        return;
    }
    auto sourceStat = sys::fstat(sourceDir->get());
    if (!sourceStat) {
        _copyFailed = true;
        return;
    }
    if (!sys::exists(destination)) {
        sys::Status status = sys::mkdir(destination, (sourceStat->st_mode & 07777) | S_IRWXU);
        if (!status) {
            logFailure(status);
            _copyFailed = true;
            return;
        }
        _createdFolders.push_back({destination, {sourceStat->st_atim, sourceStat->st_mtim}});
    }
    auto destinationDir = sys::openDirectory(destination, sys::FollowLinks::No);
    if (!destinationDir) {
        logFailure(destinationDir.status());
        _copyFailed = true;
        return;
    }

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
        std::string copyName = setFileName(name, _makeInvisible ? Visibility::Hidden : Visibility::Visible);
        sys::Status status = sys::copyItemAt(sourceDir->get(), name, &*st, destinationDir->get(), copyName,
                                             source + "/" + name, destination + "/" + copyName);
        if (!status) {
            logFailure(status);
            _copyFailed = true;
        }
        return true;
    });
    if (!listed) {
        logFailure(sys::Status::failure(listed.code(), "readdir", source));
        _copyFailed = true;
    }
    // Reversed so that the sub-folders are copied in listing order.
    pending.insert(pending.end(), subFolders.rbegin(), subFolders.rend());
}

void CacheCopier::scrambleFolderHierarchy(const std::string &folder) {
    if (!sys::exists(folder))
        return;
    std::vector<std::string> folders = {folder};
    while (!folders.empty()) {
        std::string current = std::move(folders.back());
        folders.pop_back();
        sys::unlockItemAtPath(current);
        auto before = sys::stat(current, sys::FollowLinks::No);
        // The names are taken before any rename, so that a renamed entry is never seen again
        // by the listing and hidden twice.
        auto entries = sys::listDirectory(current);
        if (!entries)
            continue;
        std::vector<std::string> toRename;
        for (const sys::DirEntry &entry : *entries)
            toRename.push_back(entry.name);
        // A rename never replaces: when "a" and ".x_a" sit side by side, ".x_a" first becomes
        // ".x_.x_a" and "a" then takes ".x_a" in the next round.
        bool progress = true;
        while (!toRename.empty() && progress) {
            progress = false;
            std::vector<std::string> blocked;
            for (const std::string &name : toRename) {
                std::string from = current + "/" + name;
                sys::unlockItemAtPath(from);
                std::string to = current + "/" + setFileName(name, Visibility::Hidden);
                sys::Status status = sys::renameNoReplace(from, to);
                if (status) {
                    progress = true;
                    auto st = sys::stat(to, sys::FollowLinks::No);
                    if (st && S_ISDIR(st->st_mode))
                        folders.push_back(to);
                } else if (status.code() == EEXIST) {
                    blocked.push_back(name);
                }
            }
            toRename = std::move(blocked);
        }
        if (before) {
            struct timespec times[2] = {before->st_atim, before->st_mtim};
            (void)sys::utimensAt(AT_FDCWD, current, times, sys::FollowLinks::No);
        }
    }
}

} // namespace quillet::daemon
