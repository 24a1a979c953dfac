#pragma once
// A sleep that another thread can cut short: one descriptor (an eventfd), one ppoll per sleep.
// Cheaper than a condition variable with a time-out for a thread that wakes every second.

#include "platform/System.h"

#include <chrono>
#include <span>

namespace quillet::sys {

class Wakeup {
public:
    Wakeup();
    /// Sleeps for up to timeout; false when wake() cut the sleep short (or was called before),
    /// true when the time ran out. A Wakeup that could not be made sleeps the time out.
    bool sleepFor(std::chrono::milliseconds timeout);
    /// Why a sleep that also watches other descriptors ended.
    enum class Woken { TimedOut, ByWake, ByWatched };
    /// Sleeps for up to timeout, ending early when wake() is called (ByWake, which wins) or when
    /// one of watched becomes readable or fails (ByWatched; a descriptor closed meanwhile
    /// counts).
    Woken sleepWatching(std::chrono::milliseconds timeout, std::span<const int> watched);
    /// Ends the current or the next sleep at once; safe from any thread.
    void wake();

private:
    Fd _event;
};

} // namespace quillet::sys
