#pragma once
// Wakes a polling loop early when an item arrives complete in a watched folder.

#include "platform/System.h"

#include <signal.h>

#include <string>
#include <vector>

namespace quillet::sys {

class TrashWatch {
public:
    /// What wakes the loop.
    enum class WatchFor {
        /// Entries moved in or files closed after writing (a half-written file never wakes the
        /// loop), and the folder itself going away.
        Arrivals,
        /// Folders made or moved in: the folders leading to a trash folder yet to appear.
        Creation,
    };
    /// Watches folder for entries moved in or files closed after writing, and for the folder
    /// itself going away. Without inotify the watch is inert and wait() simply sleeps.
    explicit TrashWatch(const std::string &folder);
    /// Watches each of folders that exists now; an unmount of their volume wakes the loop too.
    TrashWatch(const std::vector<std::string> &folders, WatchFor watchFor);

    /// Sleeps up to timeoutMillis with the signal mask waitMask in force (so that signals the
    /// caller keeps blocked elsewhere can end the sleep, without a race); returns early, true,
    /// when something arrived. Events are drained before returning. Interrupted by a signal:
    /// returns false at once.
    bool wait(int timeoutMillis, const sigset_t *waitMask);
    bool active() const { return _fd.valid(); }

private:
    Fd _fd;
};

} // namespace quillet::sys
