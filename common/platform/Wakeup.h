#pragma once
// A sleep that another thread can cut short: one descriptor (an eventfd), one ppoll per sleep.
// Cheaper than a condition variable with a time-out for a thread that wakes every second.

#include "platform/System.h"

#include <chrono>

namespace quillet::sys {

class Wakeup {
public:
    Wakeup();
    /// Sleeps for up to timeout; false when wake() cut the sleep short (or was called before),
    /// true when the time ran out. A Wakeup that could not be made sleeps the time out.
    bool sleepFor(std::chrono::milliseconds timeout);
    /// Ends the current or the next sleep at once; safe from any thread.
    void wake();

private:
    Fd _event;
};

} // namespace quillet::sys
