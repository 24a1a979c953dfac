#pragma once
// Wakes a polling loop early when an item arrives complete in a watched folder.

#include "platform/System.h"

#include <signal.h>

#include <string>

namespace quillet::sys {

class TrashWatch {
public:
    /// Watches folder for entries moved in or files closed after writing (a half-written file
    /// never wakes the loop), and for the folder itself going away. Without inotify the watch
    /// is inert and wait() simply sleeps.
    explicit TrashWatch(const std::string &folder);

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
