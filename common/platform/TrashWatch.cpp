#include "platform/TrashWatch.h"

#include <poll.h>
#include <sys/inotify.h>
#include <unistd.h>

#include <cerrno>
#include <ctime>

namespace quillet::sys {

TrashWatch::TrashWatch(const std::string &folder) : TrashWatch(std::vector<std::string>{folder}, WatchFor::Arrivals) {}

TrashWatch::TrashWatch(const std::vector<std::string> &folders, WatchFor watchFor) {
    int fd = ::inotify_init1(IN_NONBLOCK | IN_CLOEXEC);
    if (fd < 0)
        return;
    _fd.reset(fd);
    // A watch keeps no volume from being unmounted: it ends with an IN_UNMOUNT event instead.
    const uint32_t mask = (watchFor == WatchFor::Arrivals ? IN_MOVED_TO | IN_CLOSE_WRITE : IN_CREATE | IN_MOVED_TO) |
                          IN_DELETE_SELF | IN_MOVE_SELF | IN_UNMOUNT | IN_ONLYDIR;
    bool any = false;
    for (const std::string &folder : folders)
        any = ::inotify_add_watch(fd, folder.c_str(), mask) >= 0 || any;
    if (!any)
        _fd.reset();
}

bool TrashWatch::wait(int timeoutMillis, const sigset_t *waitMask) {
    struct timespec timeout = {timeoutMillis / 1000, (timeoutMillis % 1000) * 1000000L};
    if (!_fd.valid()) {
        ::ppoll(nullptr, 0, &timeout, waitMask);
        return false;
    }
    struct pollfd watched = {_fd.get(), POLLIN, 0};
    int ready = ::ppoll(&watched, 1, &timeout, waitMask);
    if (ready <= 0)
        return false;
    alignas(struct inotify_event) char buffer[4096];
    while (::read(_fd.get(), buffer, sizeof buffer) > 0) {
    }
    return true;
}

} // namespace quillet::sys

