#include "DeleteFolderUtil.h"

#include "platform/ItemLock.h"
#include "platform/RemoveTree.h"
#include "platform/System.h"

#include <fcntl.h>

#include <algorithm>
#include <chrono>
#include <vector>

namespace quillet {
namespace {

constexpr std::chrono::milliseconds kProgressInterval{250};

/// Names of the folder's entries in directory order, read before anything is removed; empty
/// when the folder cannot be opened (or is a link, which is never followed).
std::vector<std::string> entryNames(const std::string &folder) {
    std::vector<std::string> names;
    auto dir = sys::openDirectory(folder, sys::FollowLinks::No);
    if (!dir)
        return names;
    (void)sys::forEachEntry(dir->get(), [&names](std::string_view name, unsigned char) {
        names.emplace_back(name);
        return true;
    });
    return names;
}

sys::Status removeEmptyFolder(const std::string &path) { return sys::unlinkAt(AT_FDCWD, path, true); }

} // namespace

DeleteFolderUtil::DeleteFolderUtil(std::string rootFolder, RemoveRoot removeRoot, NotificationCenter &center)
    : _rootItem(std::move(rootFolder)), _removeRoot(removeRoot), _center(&center) {}

std::shared_ptr<DeleteFolderUtil> DeleteFolderUtil::create(std::string rootFolder, RemoveRoot removeRoot,
                                                           NotificationCenter &center) {
    return std::shared_ptr<DeleteFolderUtil>(new DeleteFolderUtil(std::move(rootFolder), removeRoot, center));
}

void DeleteFolderUtil::startThread(RunLoop &runLoop) {
    _paused = false;
    _cancelled = false;
    std::shared_ptr<DeleteFolderUtil> self = shared_from_this();
    detachWorkerThread([self] { self->threadBody(); });
    runLoop.scheduleRepeating(kProgressInterval, [self] { return self->timerRefresh(); });
}

void DeleteFolderUtil::pauseThread() {
    _paused = true;
    post(kThreadPausedNotification);
}

void DeleteFolderUtil::continueThread() {
    {
        std::lock_guard lock(_pauseMutex);
        _paused = false;
    }
    _pauseChanged.notify_all();
}

void DeleteFolderUtil::cancelThread() {
    {
        std::lock_guard lock(_pauseMutex);
        _cancelled = true;
        _paused = false;
    }
    _pauseChanged.notify_all();
    post(kCancelledNotification);
}

bool DeleteFolderUtil::timerRefresh() {
    if (_cancelled)
        return false;
    _center->post(kStatsNotification, _progress.load());
    return true;
}

void DeleteFolderUtil::unlockItemAtPath(const std::string &path) { sys::unlockItemAtPath(path); }

void DeleteFolderUtil::post(const char *name) { _center->post(name, this); }

bool DeleteFolderUtil::cancelledAfterPause() {
    std::unique_lock lock(_pauseMutex);
    // Woken at once by continueThread and cancelThread; the time-out only bounds the wait
    // should a flag change without a wake-up.
    while (_paused && !_cancelled)
        _pauseChanged.wait_for(lock, std::chrono::seconds(1));
    return _cancelled;
}

void DeleteFolderUtil::threadBody() {
    // The folder itself is never followed when it is a link: sys::exists does not follow.
    if (!sys::exists(_rootItem)) {
        post(kErrorNotification);
        _cancelled = true;
        return;
    }
    // A locked folder keeps its entries: unlock it before emptying it.
    unlockItemAtPath(_rootItem);
    _progress = 0;
    _totalSize = _internalUtil.getFolderSize(_rootItem);
    _sizeDone = 0;
    if (core(_rootItem) && _removeRoot == RemoveRoot::Yes)
        removeRootFolder();
    _cancelled = true;
    post(kThreadFinishedNotification);
}

bool DeleteFolderUtil::core(const std::string &folder) {
    if (cancelledAfterPause())
        return false;
    for (const std::string &name : entryNames(folder)) {
        if (cancelledAfterPause())
            return false;
        const std::string entry = sys::joinPath(folder, name);
        // Each entry is judged by its own type: a link to a folder is removed as a link.
        auto own = sys::stat(entry, sys::FollowLinks::No);
        const bool isFolder = own && S_ISDIR(own->st_mode);
        // A dangling link fails this test and is left to the removal of the folder itself.
        if (!sys::stat(entry, sys::FollowLinks::Yes))
            continue;
        unlockItemAtPath(entry);
        if (isFolder) {
            // The files a folder takes with it count as done too: emptying a cache removes
            // nothing but folders, and its progress would otherwise stand still at 0.
            uint64_t removed = 0;
            sys::Status status = sys::removeTreeAtPath(entry, &removed);
            countDone(removed);
            if (!status) {
                // Whatever resisted: empty it item by item, then try once more.
                if (!core(entry))
                    return false;
                removed = 0;
                (void)sys::removeTreeAtPath(entry, &removed);
                countDone(removed);
            }
            continue;
        }
        const auto size = own ? static_cast<uint64_t>(std::max<off_t>(own->st_size, 0)) : 0;
        removeFile(entry);
        countDone(size);
    }
    return true;
}

void DeleteFolderUtil::countDone(uint64_t size) {
    _sizeDone += size;
    // An empty folder has nothing left to remove: all of it is done.
    _progress = _totalSize == 0 ? 100.0 : static_cast<double>(_sizeDone) * 100.0 / static_cast<double>(_totalSize);
}

void DeleteFolderUtil::removeFile(const std::string &path) {
    if (sys::unlink(path) || sys::unlink(path))
        return;
    unlockItemAtPath(path);
    (void)sys::unlink(path);
}

void DeleteFolderUtil::removeRootFolder() {
    if (sys::removeTreeAtPath(_rootItem) || removeEmptyFolder(_rootItem))
        return;
    unlockItemAtPath(_rootItem);
    (void)removeEmptyFolder(_rootItem);
}

} // namespace quillet
