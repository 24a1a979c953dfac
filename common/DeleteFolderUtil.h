#pragma once
// The background delete worker: removes the content of a folder, and the folder itself when
// asked, on a thread of its own, unlocking every item before removing it, and reports through
// the local notification centre. A symbolic link is always removed as a link: nothing outside
// the folder is ever touched.
//
// Notifications (object in brackets; none carries anything else):
//   ZRDeleteFolderUtilStatsNotification           [double: percentage done]  every 0.25 s on the
//                                                 run loop given to startThread, until the worker ends
//   ZRDeleteFolderUtilThreadFinishedNotification  [DeleteFolderUtil *]  worker thread, at its end,
//                                                 also after a cancellation
//   ZRDeleteFolderUtilCancelledNotification       [DeleteFolderUtil *]  cancelThread's caller
//   ZRDeleteFolderUtilThreadPausedNotification    [DeleteFolderUtil *]  pauseThread's caller
//   ZRDeleteFolderUtilErrorNotification           [DeleteFolderUtil *]  worker thread, when the
//                                                 folder does not exist; no finished notification follows

#include "NotificationCenter.h"
#include "RunLoop.h"
#include "ZRAppUtils.h"

#include <atomic>
#include <condition_variable>
#include <cstdint>
#include <memory>
#include <mutex>
#include <string>

namespace quillet {

/// Whether the worker removes the folder itself once its content is gone.
enum class RemoveRoot { No, Yes };

class DeleteFolderUtil : public std::enable_shared_from_this<DeleteFolderUtil> {
public:
    static constexpr const char *kStatsNotification = "ZRDeleteFolderUtilStatsNotification";
    static constexpr const char *kThreadFinishedNotification = "ZRDeleteFolderUtilThreadFinishedNotification";
    static constexpr const char *kCancelledNotification = "ZRDeleteFolderUtilCancelledNotification";
    static constexpr const char *kThreadPausedNotification = "ZRDeleteFolderUtilThreadPausedNotification";
    static constexpr const char *kErrorNotification = "ZRDeleteFolderUtilErrorNotification";

    ~DeleteFolderUtil() = default;
    DeleteFolderUtil(const DeleteFolderUtil &) = delete;
    DeleteFolderUtil &operator=(const DeleteFolderUtil &) = delete;

    /// A worker that empties rootFolder, then removes it when removeRoot is Yes. Notifications
    /// go to center.
    static std::shared_ptr<DeleteFolderUtil> create(std::string rootFolder, RemoveRoot removeRoot,
                                                    NotificationCenter &center = NotificationCenter::defaultCenter());

    /// Starts the deletion on a detached thread and the 0.25-second progress timer on runLoop.
    /// The thread and the timer hold the worker, so the caller may drop its reference at once.
    /// A worker is started once.
    void startThread(RunLoop &runLoop);
    /// The worker waits before its next entry until continueThread or cancelThread. Posts the
    /// paused notification.
    void pauseThread();
    /// Lets a paused worker go on; posts nothing.
    void continueThread();
    /// Stops the worker before its next entry; posts the cancelled notification at once, and
    /// the thread posts the finished notification once it has unwound. What is removed stays
    /// removed.
    void cancelThread();
    /// One tick of the progress timer: posts the stats notification, or nothing and false once
    /// the worker has ended (the timer then stops).
    bool timerRefresh();

    /// Clears the item's locked state (never following a link); a refusal is logged.
    static void unlockItemAtPath(const std::string &path);

    /// Percentage done: bytes of removed items (those inside removed folders included) × 100 /
    /// the folder's size at the start.
    double progress() const { return _progress.load(); }
    bool isPaused() const { return _paused.load(); }
    /// True once cancelled or ended.
    bool isCancelled() const { return _cancelled.load(); }

private:
    DeleteFolderUtil(std::string rootFolder, RemoveRoot removeRoot, NotificationCenter &center);

    void threadBody();
    /// Removes the content of the folder. False when the worker was cancelled meanwhile.
    bool core(const std::string &folder);
    void removeFile(const std::string &path);
    void countDone(uint64_t size);
    void removeRootFolder();
    /// Waits while paused; true when the worker is cancelled.
    bool cancelledAfterPause();
    void post(const char *name);

    std::string _rootItem;
    std::atomic<bool> _paused{false};
    std::atomic<bool> _cancelled{false};
    RemoveRoot _removeRoot = RemoveRoot::No;
    std::atomic<double> _progress{0};
    uint64_t _totalSize = 0;
    uint64_t _sizeDone = 0;
    ZRAppUtils _internalUtil;
    NotificationCenter *_center;
    std::mutex _pauseMutex;
    std::condition_variable _pauseChanged;
};

} // namespace quillet
