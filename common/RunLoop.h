#pragma once
// The run loop a background worker reports its progress on, and the thread it works on.
//
// A worker does its file work on a thread of its own but reports progress from a repeating
// timer on the thread that started it. That thread's loop is behind RunLoop: the Qt programs
// implement it with their event loop (a QTimer), the command line and the tests with
// PollingRunLoop below.

#include "platform/System.h"

#include <algorithm>
#include <chrono>
#include <functional>
#include <iterator>
#include <mutex>
#include <thread>
#include <utility>
#include <vector>

namespace quillet {

class RunLoop {
public:
    virtual ~RunLoop() = default;
    /// Calls tick every interval on this loop's thread, first one interval from now, until
    /// tick returns false; the loop then drops tick (and whatever it holds).
    virtual void scheduleRepeating(std::chrono::milliseconds interval, std::function<bool()> tick) = 0;
    /// Runs this loop on the calling thread (its own) until done() answers true or timeout has
    /// passed; true when done() did. A front end that must wait for its workers waits here, so
    /// their progress timers keep firing meanwhile.
    virtual bool runUntil(const std::function<bool()> &done, std::chrono::milliseconds timeout) = 0;
};

/// A run loop that runs only while its owner's thread sits in runUntil.
class PollingRunLoop : public RunLoop {
public:
    void scheduleRepeating(std::chrono::milliseconds interval, std::function<bool()> tick) override {
        std::lock_guard lock(_mutex);
        _timers.push_back(Timer{std::chrono::steady_clock::now() + interval, interval, std::move(tick)});
    }

    /// Fires due timers until done() answers true or timeout has passed; true when done() did.
    /// done() is asked at least every 10 ms.
    bool runUntil(const std::function<bool()> &done, std::chrono::milliseconds timeout) override {
        const auto deadline = std::chrono::steady_clock::now() + timeout;
        while (!done()) {
            const auto now = std::chrono::steady_clock::now();
            if (now >= deadline)
                return false;
            fireDueTimers(now);
            std::this_thread::sleep_for(std::min<std::chrono::steady_clock::duration>(
                std::chrono::milliseconds(10), deadline - now));
        }
        return true;
    }

    /// Number of timers still scheduled.
    size_t timerCount() {
        std::lock_guard lock(_mutex);
        return _timers.size();
    }

private:
    struct Timer {
        std::chrono::steady_clock::time_point due;
        std::chrono::milliseconds interval;
        std::function<bool()> tick;
    };

    void fireDueTimers(std::chrono::steady_clock::time_point now) {
        // Ticks run without the lock: a tick may schedule another timer.
        std::vector<Timer> due;
        {
            std::lock_guard lock(_mutex);
            auto split = std::stable_partition(_timers.begin(), _timers.end(),
                                               [now](const Timer &timer) { return timer.due > now; });
            std::move(split, _timers.end(), std::back_inserter(due));
            _timers.erase(split, _timers.end());
        }
        for (Timer &timer : due) {
            if (!timer.tick())
                continue;
            timer.due += timer.interval;
            if (timer.due <= now)
                timer.due = now + timer.interval; // a late loop does not fire a burst of ticks
            std::lock_guard lock(_mutex);
            _timers.push_back(std::move(timer));
        }
    }

    std::mutex _mutex;
    std::vector<Timer> _timers;
};

/// Runs body on a detached thread that takes no signals: signals stay with the thread that
/// waits for them (a daemon's stop signal, the application's event loop).
inline void detachWorkerThread(std::function<void()> body) {
    // The new thread inherits the mask in force while it is created.
    auto previous = sys::blockAllSignals();
    std::thread(std::move(body)).detach();
    if (previous)
        (void)sys::setSignalMask(*previous);
}

} // namespace quillet
