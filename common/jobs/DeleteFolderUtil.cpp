#include "jobs/DeleteFolderUtil.h"

#include "platform/ItemLock.h"
#include "platform/RemoveTree.h"
#include "platform/System.h"

#include <fcntl.h>

#include <algorithm>
#include <cerrno>
#include <vector>

namespace quillet {
namespace {

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

std::shared_ptr<DeleteFolderUtil> DeleteFolderUtil::create(std::string rootFolder, RemoveRoot removeRoot,
                                                           NotificationCenter *center) {
    std::shared_ptr<DeleteFolderUtil> worker(new DeleteFolderUtil(std::move(rootFolder), removeRoot), Job::Joiner());
    if (center)
        worker->addObserver(std::make_shared<JobNotifications>(kNotificationNames, worker->id(), *center));
    return worker;
}

void DeleteFolderUtil::unlockItemAtPath(const std::string &path) { sys::unlockItemAtPath(path); }

JobEnd DeleteFolderUtil::run() {
    ItemOutcome outcome{0, _rootItem, {}, true, sys::Status(), {}};
    // The folder itself is never followed when it is a link: sys::exists does not follow.
    if (!sys::exists(_rootItem)) {
        outcome.status = sys::Status::refusal(ENOENT, _rootItem, "does not exist");
        itemDone(outcome);
        return JobEnd::Failed;
    }
    // A locked folder keeps its entries: unlock it before emptying it.
    unlockItemAtPath(_rootItem);
    setProgress(0);
    _totalSize = _internalUtil.getFolderSize(_rootItem);
    _sizeDone = 0;
    const bool emptied = core(_rootItem);
    if (!emptied) {
        outcome.status = sys::Status::refusal(ECANCELED, _rootItem, "cancelled");
    } else if (_removeRoot == RemoveRoot::Yes) {
        outcome.status = removeRootFolder();
    } else if (auto left = sys::countDirectoryEntries(_rootItem); left && *left > 0) {
        outcome.status = sys::Status::refusal(ENOTEMPTY, _rootItem, "not everything in it could be removed");
    }
    itemDone(outcome);
    return emptied ? JobEnd::Finished : JobEnd::Cancelled;
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
    setProgress(_totalSize == 0 ? 100.0 : static_cast<double>(_sizeDone) * 100.0 / static_cast<double>(_totalSize));
}

void DeleteFolderUtil::removeFile(const std::string &path) {
    if (sys::unlink(path) || sys::unlink(path))
        return;
    unlockItemAtPath(path);
    (void)sys::unlink(path);
}

sys::Status DeleteFolderUtil::removeRootFolder() {
    sys::Status removed = sys::removeTreeAtPath(_rootItem);
    if (removed || removeEmptyFolder(_rootItem))
        return sys::Status();
    unlockItemAtPath(_rootItem);
    if (removeEmptyFolder(_rootItem))
        return sys::Status();
    return removed;
}

} // namespace quillet
