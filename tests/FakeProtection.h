#pragma once
// Protection as work on the cache sees it, without daemons: records what was asked of it and
// runs a probe at each call, so a test can tell what the cache held at that moment.

#include "control/ProtectionControl.h"

#include <functional>
#include <string>
#include <vector>

namespace quillet::test {

struct FakeProtection : ProtectionSwitch {
    explicit FakeProtection(bool initiallyRunning) : running(initiallyRunning) {}
    bool isRunning() override { return running; }
    bool stopForCacheWork() override {
        calls.push_back("stop");
        running = false;
        if (onCall)
            onCall();
        return stops;
    }
    void startAfterCacheWork() override {
        calls.push_back("start");
        running = true;
        if (onCall)
            onCall();
    }

    bool running;
    /// What stopForCacheWork answers: false stands for a daemon that outlives the stop.
    bool stops = true;
    std::vector<std::string> calls;
    std::function<void()> onCall;
};

} // namespace quillet::test
