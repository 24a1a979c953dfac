#include "platform/Wakeup.h"

#include <poll.h>
#include <sys/eventfd.h>
#include <time.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdint>

namespace quillet::sys {

Wakeup::Wakeup() {
    const int fd = ::eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK);
    if (fd >= 0)
        _event = Fd(fd);
}

bool Wakeup::sleepFor(std::chrono::milliseconds timeout) {
    const auto millis = std::max<int64_t>(timeout.count(), 0);
    struct timespec span {
        static_cast<time_t>(millis / 1000), static_cast<long>(millis % 1000) * 1000000L
    };
    if (!_event.valid()) {
        while (::nanosleep(&span, &span) != 0 && errno == EINTR) {
        }
        return true;
    }
    struct pollfd watched {
        _event.get(), POLLIN, 0
    };
    for (;;) {
        const int ready = ::ppoll(&watched, 1, &span, nullptr);
        if (ready == 0)
            return true;
        if (ready > 0)
            return false; // woken: the event stays set, so every later sleep ends at once too
        if (errno != EINTR)
            return true;
    }
}

void Wakeup::wake() {
    if (!_event.valid())
        return;
    const uint64_t one = 1;
    (void)!::write(_event.get(), &one, sizeof one);
}

} // namespace quillet::sys
