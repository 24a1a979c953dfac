#pragma once
// A signal that asks a single-threaded loop to stop at its next safe point. The signal stays
// blocked while the loop works and is let through only while it sleeps, so it never lands in
// the middle of a copy or an index write.

#include <signal.h>

namespace quillet::sys {

class StopSignal {
public:
    /// Blocks sig and installs a handler that records it.
    static void install(int sig);
    /// True once the signal arrived, or when it is pending while blocked.
    static bool requested();
    /// The mask to sleep with: the current one without the stop signal.
    static const sigset_t *waitMask();
    /// Further deliveries of the signal are ignored (a second one during the final save).
    static void ignore();
};

} // namespace quillet::sys
