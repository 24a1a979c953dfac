#include "platform/Wakeup.h"

#include <poll.h>
#include <sys/eventfd.h>
#include <time.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdint>
#include <vector>

namespace quillet::sys {

Wakeup::Wakeup() {
    const int fd = ::eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK);
    if (fd >= 0)
        _event = Fd(fd);
}

bool Wakeup::sleepFor(std::chrono::milliseconds timeout) { return sleepWatching(timeout, {}) != Woken::ByWake; }

Wakeup::Woken Wakeup::sleepWatching(std::chrono::milliseconds timeout, std::span<const int> watched) {
    const auto millis = std::max<int64_t>(timeout.count(), 0);
    struct timespec span {
        static_cast<time_t>(millis / 1000), static_cast<long>(millis % 1000) * 1000000L
    };
    std::vector<struct pollfd> descriptors;
    descriptors.reserve(watched.size() + 1);
    if (_event.valid())
        descriptors.push_back({_event.get(), POLLIN, 0});
    for (const int fd : watched)
        descriptors.push_back({fd, POLLIN, 0});
    if (descriptors.empty()) {
        while (::nanosleep(&span, &span) != 0 && errno == EINTR) {
        }
        return Woken::TimedOut;
    }
    for (;;) {
        const int ready = ::ppoll(descriptors.data(), descriptors.size(), &span, nullptr);
        if (ready == 0)
            return Woken::TimedOut;
        if (ready > 0) {
            // The event stays set once woken, so every later sleep ends at once too.
            if (_event.valid() && descriptors.front().revents != 0)
                return Woken::ByWake;
            return Woken::ByWatched;
        }
        if (errno != EINTR)
            return Woken::TimedOut;
    }
}

void Wakeup::wake() {
    if (!_event.valid())
        return;
    const uint64_t one = 1;
    (void)!::write(_event.get(), &one, sizeof one);
}

} // namespace quillet::sys
