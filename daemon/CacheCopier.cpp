#include "CacheCopier.h"

#include "CacheLayout.h"
#include "platform/FileCopy.h"
#include "platform/ItemLock.h"
#include "platform/System.h"
#include "platform/TrustedFolder.h"
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

bool isSpotlightFolderName(const std::string &name) {
    return name.size() >= 10 && name.starts_with(".Spotlight");
}

std::string withoutSlash(std::string path) {
    while (path.size() > 1 && path.back() == '/')
        path.pop_back();
    return path;
}

/// Opens the date folder of this minute in the open cache folder, creating it when missing: a
/// real folder of the user's, or nothing (with a message) when the name is taken by anything
/// else, such as a link or a folder another account planted.
sys::Result<sys::Fd> openDateFolder(int cacheFd, const std::string &cacheFolder, const std::string &dateName) {
    sys::Status made = sys::mkdirAt(cacheFd, dateName, kPrivateFolderMode);
    if (!made && made.code() != EEXIST)
        return sys::Status::failure(made.code(), "mkdir", cacheFolder + dateName);
    auto folder = sys::openOwnedFolderAt(cacheFd, dateName, cacheFolder + dateName);
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

CacheCopier::CacheCopier(std::string trashCacheFolder, int32_t dataCacheMode, uint64_t maxCacheSize)
    : _trashCacheFolder(std::move(trashCacheFolder)), _dataCacheMode(dataCacheMode), _maxCacheSize(maxCacheSize) {}

bool CacheCopier::copyDataToCacheCheck(const std::string &path, uint64_t sizeLimit, int64_t minimumFreePercentage) {
    auto folder = sys::openDirectory(sys::parentPath(path));
    if (!folder)
        return false;
    return copyDataToCacheCheck(folder->get(), sys::parentPath(path) + "/", sys::lastPathComponent(path), sizeLimit,
                                minimumFreePercentage);
}

bool CacheCopier::copyDataToCache(const std::string &path) {
    if (path.size() <= 1)
        return false;
    auto folder = sys::openDirectory(sys::parentPath(path));
    if (!folder)
        return false;
    return copyDataToCache(folder->get(), sys::parentPath(path) + "/", sys::lastPathComponent(path));
}

bool CacheCopier::copyDataToCacheCheck(int trashFd, const std::string &trashFolder, const std::string &name,
                                       uint64_t sizeLimit, int64_t minimumFreePercentage) {
    // The entry itself, never what a link points to: a link is archived as a link, and the
    // volume that counts is the one holding the trash folder.
    auto st = sys::statAt(trashFd, name, sys::FollowLinks::No);
    auto figures = sys::volumeFiguresOf(trashFd);
    if (!figures)
        return false;
    uint64_t size = 0;
    if (st && !S_ISDIR(st->st_mode)) {
        size = static_cast<uint64_t>(st->st_size);
        if (sizeLimit != 0 && size > sizeLimit)
            return false;
    }
    const uint64_t freeBytes = figures->freeBytes;
    const uint64_t totalBytes = figures->totalBytes;
    if (freeBytes == 0 || totalBytes == 0)
        return false;
    // The copy's own size always counts: archiving must never take the volume below the
    // minimum, whether a size limit is set or not.
    uint64_t remaining = size > freeBytes ? 0 : freeBytes - size;
    if (minimumFreePercentage > 0 &&
        freePercentageOf(remaining, totalBytes) < static_cast<uint64_t>(minimumFreePercentage))
        return false;
    if (isOwnExecutableName(name))
        return false;
    return copyDataToCache(trashFd, trashFolder, name);
}

void CacheCopier::flushCacheVolume() const {
    // Only the cache's own volume: a machine-wide sync for every archived entry would stall
    // every other program each time.
    (void)sys::syncfsPath(_trashCacheFolder);
}

bool CacheCopier::copyDataToCache(int trashFd, const std::string &trashFolder, const std::string &name) {
    flushCacheVolume();
    if (name.empty() || name == "." || name == ".." || name.find('/') != std::string::npos)
        return false;
    auto st = sys::statAt(trashFd, name, sys::FollowLinks::No);
    if (!st)
        return false;
    if (_dataCacheMode != static_cast<int32_t>(CacheMode::Copy) && _dataCacheMode != static_cast<int32_t>(CacheMode::Move))
        return false;

    auto cache = sys::openOwnedFolder(_trashCacheFolder);
    if (!cache) {
        logFailure(cache.status());
        return false;
    }
    const std::string dateName = finderCompatibleDateDescription(sys::now());
    const std::string dateFolder = _trashCacheFolder + dateName;
    auto date = openDateFolder(cache->get(), _trashCacheFolder, dateName);
    if (!date)
        return false;
    const std::string hiddenName = setFileName(name, Visibility::Hidden);
    const std::string source = trashFolder + name;
    const std::string destination = dateFolder + "/" + hiddenName;

    if (_dataCacheMode == static_cast<int32_t>(CacheMode::Move))
        return moveToCache(trashFd, name, date->get(), dateFolder, hiddenName);
    if (S_ISDIR(st->st_mode)) {
        // A folder counts as archived only when all of it that should be was copied:
        // recording a failed copy would let emptying the trash destroy the rest.
        _rootShown = source;
        _destinationShown = destination;
        return copyFolder(trashFd, name, date->get(), hiddenName, _maxCacheSize);
    }
    sys::Status status = sys::copyItemAt(trashFd, name, &*st, date->get(), hiddenName, source, destination);
    if (!status)
        logFailure(status);
    return status.ok();
}

bool CacheCopier::moveToCache(int trashFd, const std::string &name, int dateFd, const std::string &dateFolder,
                              const std::string &hiddenName) {
    sys::unlockItemAt(trashFd, name);
    sys::Status moved = sys::renameNoReplace(trashFd, name, dateFd, name);
    if (!moved) {
        logFailure(sys::Status::failure(moved.code(), "rename", name + " -> " + dateFolder + "/" + name));
        return false;
    }
    sys::Status renamed = sys::renameNoReplace(dateFd, name, dateFd, hiddenName);
    if (!renamed) {
        // The hidden name is taken (the same name trashed twice within a minute): the entry
        // stays in the date folder under its visible name. The folder under the hidden name is
        // the earlier archive and is left exactly as it is.
        logFailure(sys::Status::failure(renamed.code(), "rename", dateFolder + "/" + name + " -> " + hiddenName));
        return false;
    }
    auto st = sys::statAt(dateFd, hiddenName, sys::FollowLinks::No);
    if (st && S_ISDIR(st->st_mode))
        scrambleFolderHierarchy(dateFd, hiddenName);
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
            destination += setFileName(component, _makeInvisible ? Visibility::Hidden : Visibility::Visible);
        }
        start = end + 1;
    }
    return destination;
}

bool CacheCopier::copyFolder(int sourceParent, const std::string &name, int destinationParent,
                             const std::string &destinationName, uint64_t limit) {
    _copyFailed = false;
    _createdFolders.clear();
    _singleFileSizeLimit = limit;
    _makeInvisible = true;
    if (_rootShown.empty())
        _rootShown = name;
    if (_destinationShown.empty())
        _destinationShown = destinationName;

    // Opened without following links: a folder replaced by a link since it was listed is never
    // entered.
    auto root = sys::openDirectoryAt(sourceParent, name, sys::FollowLinks::No);
    if (!root)
        return false;
    auto rootStat = sys::fstat(root->get());
    if (!rootStat)
        return false;
    sys::Status made = sys::mkdirAt(destinationParent, destinationName, (rootStat->st_mode & 07777) | S_IRWXU);
    if (!made && made.code() != EEXIST) {
        logFailure(sys::Status::failure(made.code(), "mkdir", _destinationShown));
        return false;
    }
    auto destination = sys::openDirectoryAt(destinationParent, destinationName, sys::FollowLinks::No);
    if (!destination) {
        logFailure(sys::Status::failure(destination.code(), "open", _destinationShown));
        return false;
    }
    if (made)
        _createdFolders.push_back({std::string(), {rootStat->st_atim, rootStat->st_mtim}});
    _rootFolder = std::move(*root);
    _destinationFolder = std::move(*destination);

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
    for (const FolderTimes &folder : _createdFolders) {
        if (folder.relative.empty())
            (void)sys::futimens(_destinationFolder.get(), folder.times);
        else
            (void)sys::utimensAt(_destinationFolder.get(), folder.relative, folder.times, sys::FollowLinks::No);
    }
    _createdFolders.clear();
    _rootFolder.reset();
    _destinationFolder.reset();
    _rootShown.clear();
    _destinationShown.clear();
    return !_copyFailed;
}

void CacheCopier::copyFolderCore(const std::string &relative, std::vector<std::string> &pending) {
    const std::string source = relative.empty() ? _rootShown : _rootShown + "/" + relative;
    const std::string destinationRelative = destinationFor(relative);
    const std::string destination =
        destinationRelative.empty() ? _destinationShown : _destinationShown + "/" + destinationRelative;

    // Each level is opened relative to the roots and never through a link at its end.
    auto sourceDir = relative.empty() ? sys::openAt(_rootFolder.get(), ".", O_RDONLY | O_DIRECTORY)
                                      : sys::openDirectoryAt(_rootFolder.get(), relative, sys::FollowLinks::No);
    if (!sourceDir) {
        _copyFailed = true;
        return;
    }
    auto sourceStat = sys::fstat(sourceDir->get());
    if (!sourceStat) {
        _copyFailed = true;
        return;
    }
    if (!relative.empty()) {
        sys::Status made = sys::mkdirAt(_destinationFolder.get(), destinationRelative,
                                        (sourceStat->st_mode & 07777) | S_IRWXU);
        if (made) {
            _createdFolders.push_back({destinationRelative, {sourceStat->st_atim, sourceStat->st_mtim}});
        } else if (made.code() != EEXIST) {
            logFailure(sys::Status::failure(made.code(), "mkdir", destination));
            _copyFailed = true;
            return;
        }
    }
    auto destinationDir = destinationRelative.empty()
                              ? sys::openAt(_destinationFolder.get(), ".", O_RDONLY | O_DIRECTORY)
                              : sys::openDirectoryAt(_destinationFolder.get(), destinationRelative, sys::FollowLinks::No);
    if (!destinationDir) {
        logFailure(sys::Status::failure(destinationDir.code(), "open", destination));
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
    const std::string path = withoutSlash(folder);
    auto parent = sys::openDirectory(sys::parentPath(path));
    if (!parent)
        return;
    scrambleFolderHierarchy(parent->get(), sys::lastPathComponent(path));
}

void CacheCopier::scrambleFolderHierarchy(int parentFd, const std::string &name) {
    auto root = sys::openDirectoryAt(parentFd, name, sys::FollowLinks::No);
    if (!root)
        return;
    // Folders below the root, by their path relative to it, once renamed.
    std::vector<std::string> folders = {std::string()};
    while (!folders.empty()) {
        std::string relative = std::move(folders.back());
        folders.pop_back();
        auto current = relative.empty() ? sys::openAt(root->get(), ".", O_RDONLY | O_DIRECTORY)
                                        : sys::openDirectoryAt(root->get(), relative, sys::FollowLinks::No);
        if (!current)
            continue;
        auto before = sys::fstat(current->get());
        if (before)
            sys::unlockOpenItem(current->get(), *before);
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
                sys::unlockItemAt(current->get(), entry);
                const std::string hidden = setFileName(entry, Visibility::Hidden);
                sys::Status status = sys::renameNoReplace(current->get(), entry, current->get(), hidden);
                if (status) {
                    progress = true;
                    auto st = sys::statAt(current->get(), hidden, sys::FollowLinks::No);
                    if (st && S_ISDIR(st->st_mode))
                        folders.push_back(relative.empty() ? hidden : relative + "/" + hidden);
                } else if (status.code() == EEXIST) {
                    blocked.push_back(entry);
                }
            }
            toRename = std::move(blocked);
        }
        if (before) {
            struct timespec times[2] = {before->st_atim, before->st_mtim};
            (void)sys::futimens(current->get(), times);
        }
    }
}

} // namespace quillet::daemon
