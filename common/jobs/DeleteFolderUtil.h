#pragma once
// The background delete worker: a job (Job.h) that removes the content of a folder, and the
// folder itself when asked, unlocking every item before removing it. A symbolic link is always
// removed as a link: nothing outside the folder is ever touched.
//
// Its events reach typed observers and, through JobNotifications, the notification centre
// given to create, under these names:
//   ZRDeleteFolderUtilStatsNotification           [double: percentage done]  every 0.25 s
//   ZRDeleteFolderUtilThreadFinishedNotification  [JobId]  at its end, also after a cancellation
//   ZRDeleteFolderUtilCancelledNotification       [JobId]  cancelThread's caller
//   ZRDeleteFolderUtilThreadPausedNotification    [JobId]  pauseThread's caller
//   ZRDeleteFolderUtilErrorNotification           [JobId]  when the folder does not exist; no
//                                                 finished notification follows
// The folder is its one item: its outcome is ok once what was to go is gone, else why not.
// Progress: bytes of removed items (those inside removed folders included) × 100 / the
// folder's size at the start.

#include "jobs/Job.h"
#include "jobs/JobNotifications.h"
#include "support/NotificationCenter.h"
#include "support/ZRAppUtils.h"

#include <cstdint>
#include <memory>
#include <string>

namespace quillet {

/// Whether the worker removes the folder itself once its content is gone.
enum class RemoveRoot { No, Yes };

class DeleteFolderUtil : public Job {
public:
    static constexpr const char *kStatsNotification = "ZRDeleteFolderUtilStatsNotification";
    static constexpr const char *kThreadFinishedNotification = "ZRDeleteFolderUtilThreadFinishedNotification";
    static constexpr const char *kCancelledNotification = "ZRDeleteFolderUtilCancelledNotification";
    static constexpr const char *kThreadPausedNotification = "ZRDeleteFolderUtilThreadPausedNotification";
    static constexpr const char *kErrorNotification = "ZRDeleteFolderUtilErrorNotification";
    static constexpr JobNotificationNames kNotificationNames{kStatsNotification, kThreadFinishedNotification,
                                                             kCancelledNotification, kThreadPausedNotification,
                                                             kErrorNotification};

    /// A worker, not started yet, that empties rootFolder, then removes it when removeRoot is
    /// Yes. The notifications go to center (none when it is null), which must outlive the
    /// worker.
    static std::shared_ptr<DeleteFolderUtil> create(std::string rootFolder, RemoveRoot removeRoot,
                                                    NotificationCenter *center = &NotificationCenter::defaultCenter());

    /// Clears the item's locked state (never following a link); a refusal is logged.
    static void unlockItemAtPath(const std::string &path);

protected:
    JobEnd run() override;

private:
    DeleteFolderUtil(std::string rootFolder, RemoveRoot removeRoot)
        : _rootItem(std::move(rootFolder)), _removeRoot(removeRoot) {}

    /// Removes the content of the folder. False when the worker was cancelled meanwhile.
    bool core(const std::string &folder);
    void removeFile(const std::string &path);
    void countDone(uint64_t size);
    /// Removes the emptied root folder; how the last attempt went.
    sys::Status removeRootFolder();

    std::string _rootItem;
    RemoveRoot _removeRoot = RemoveRoot::No;
    uint64_t _totalSize = 0;
    uint64_t _sizeDone = 0;
    ZRAppUtils _internalUtil;
};

} // namespace quillet
