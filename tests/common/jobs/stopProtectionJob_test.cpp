#include "jobs/StopProtectionJob.h"

#include "FakeProtection.h"

#include <gtest/gtest.h>

#include <chrono>
#include <condition_variable>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

namespace quillet {
namespace {

using namespace std::chrono_literals;
using test::FakeProtection;

constexpr auto kTimeout = 30s;

TEST(StopProtectionJobTest, stopsRunningProtectionOnItsOwnThreadAndSaysWhetherEveryDaemonEnded) {
    struct Case {
        bool running;
        bool stops;
        std::vector<std::string> calls;
        bool stopped;
    } cases[] = {
        {true, true, {"stop"}, true},
        {true, false, {"stop"}, false}, // a daemon outlived the wait
        {false, true, {}, true},        // nothing to stop
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(std::to_string(c.running) + " " + std::to_string(c.stops));
        FakeProtection protection(c.running);
        protection.stops = c.stops;
        std::thread::id stoppedOn;
        protection.onCall = [&] { stoppedOn = std::this_thread::get_id(); };
        auto job = StopProtectionJob::create(protection);
        job->startThread();
        ASSERT_TRUE(job->waitFor(kTimeout));
        EXPECT_EQ(job->end(), JobEnd::Finished);
        EXPECT_EQ(protection.calls, c.calls);
        EXPECT_EQ(job->wasRunning(), c.running);
        EXPECT_EQ(job->stopped(), c.stopped);
        EXPECT_FALSE(protection.running);
        if (c.running) {
            EXPECT_NE(stoppedOn, std::this_thread::get_id());
        }
    }
}

// The wait for the daemons (up to 10 s for real ones) never holds the thread that started it.
TEST(StopProtectionJobTest, theCallerGoesOnWhileTheDaemonsAreWaitedFor) {
    FakeProtection protection(true);
    std::mutex mutex;
    std::condition_variable released;
    bool release = false;
    protection.onCall = [&] {
        std::unique_lock lock(mutex);
        released.wait(lock, [&] { return release; });
    };
    auto job = StopProtectionJob::create(protection);
    job->startThread();
    EXPECT_FALSE(job->hasEnded()) << "the stop is still under way";
    {
        std::lock_guard lock(mutex);
        release = true;
    }
    released.notify_all();
    ASSERT_TRUE(job->waitFor(kTimeout));
    EXPECT_TRUE(job->stopped());
}

} // namespace
} // namespace quillet
