#pragma once
// Tells a waiting loop that something it looks at may have changed: a program started (an exec
// opens its file) or a file was written, replaced, made or removed (a watch on its folder,
// filtered by name). One inotify descriptor for all of them, to add to a poll.
//
// A watch follows the file it found: a program replaced by an upgrade is watched again when
// watchStarts is called again with its path.

#include "platform/System.h"

#include <string>
#include <unordered_map>

namespace quillet::sys {

class ChangeWatch {
public:
    ChangeWatch();

    /// Every start of the program at path ends the wait; false when it cannot be watched
    /// (missing, or no inotify).
    bool watchStarts(const std::string &path);
    /// Every write, replacement, creation or removal of the file at path ends the wait (its
    /// folder is watched); false when its folder cannot be watched.
    bool watchFile(const std::string &path);

    /// The descriptor to poll; -1 without inotify.
    int descriptor() const { return _fd.get(); }
    bool active() const { return _fd.valid(); }

    /// Reads every event waiting, without blocking; true when one of them concerns what is
    /// watched. A watch the kernel dropped (its file or folder gone, its volume unmounted)
    /// counts as a change and is forgotten: add it again.
    bool drain();

private:
    struct Watched {
        /// The names of the folder's files that are watched; empty for a program's own watch.
        std::vector<std::string> names;
        bool program = false;
    };
    Fd _fd;
    std::unordered_map<int, Watched> _watches;
};

} // namespace quillet::sys
