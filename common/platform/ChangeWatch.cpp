#include "platform/ChangeWatch.h"

#include <sys/inotify.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>

namespace quillet::sys {

namespace {

constexpr uint32_t kFileEvents =
    IN_CLOSE_WRITE | IN_MOVED_TO | IN_MOVED_FROM | IN_CREATE | IN_DELETE | IN_ATTRIB;
constexpr uint32_t kWatchGone = IN_DELETE_SELF | IN_MOVE_SELF | IN_UNMOUNT | IN_IGNORED;

} // namespace

ChangeWatch::ChangeWatch() {
    const int fd = ::inotify_init1(IN_NONBLOCK | IN_CLOEXEC);
    if (fd >= 0)
        _fd = Fd(fd, "inotify");
}

bool ChangeWatch::watchStarts(const std::string &path) {
    if (!_fd.valid() || path.empty())
        return false;
    // An exec opens the program's file; so do other readers, which only cost a look too many.
    const int wd = ::inotify_add_watch(_fd.get(), path.c_str(), IN_OPEN | IN_DELETE_SELF | IN_MOVE_SELF);
    if (wd < 0)
        return false;
    _watches[wd].program = true;
    return true;
}

bool ChangeWatch::watchFile(const std::string &path) {
    const std::string name = lastPathComponent(path);
    if (!_fd.valid() || name.empty() || name == "/")
        return false;
    const std::string folder = parentPath(path);
    const int wd = ::inotify_add_watch(_fd.get(), folder.c_str(), kFileEvents | IN_DELETE_SELF | IN_MOVE_SELF |
                                                                      IN_ONLYDIR);
    if (wd < 0)
        return false;
    std::vector<std::string> &names = _watches[wd].names;
    if (std::find(names.begin(), names.end(), name) == names.end())
        names.push_back(name);
    return true;
}

bool ChangeWatch::drain() {
    if (!_fd.valid())
        return false;
    bool changed = false;
    alignas(struct inotify_event) char buffer[4096];
    for (;;) {
        const ssize_t got = ::read(_fd.get(), buffer, sizeof buffer);
        if (got < 0 && errno == EINTR)
            continue;
        if (got <= 0)
            return changed;
        for (ssize_t at = 0; at + static_cast<ssize_t>(sizeof(struct inotify_event)) <= got;) {
            struct inotify_event event;
            std::memcpy(&event, buffer + at, sizeof event);
            const char *name = buffer + at + sizeof event;
            at += static_cast<ssize_t>(sizeof event + event.len);
            if (event.mask & IN_Q_OVERFLOW) {
                changed = true;
                continue;
            }
            auto watch = _watches.find(event.wd);
            if (watch == _watches.end())
                continue;
            if (event.mask & kWatchGone) {
                changed = true;
                if (event.mask & IN_IGNORED)
                    _watches.erase(watch);
                continue;
            }
            if (watch->second.program) {
                changed = true;
                continue;
            }
            const std::string_view entry(name, event.len ? ::strnlen(name, event.len) : 0);
            const auto &names = watch->second.names;
            if (std::find(names.begin(), names.end(), entry) != names.end())
                changed = true;
        }
    }
}

} // namespace quillet::sys
