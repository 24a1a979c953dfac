// quillet-bench-recover SOURCE DEST: recovers the archived folder SOURCE into DEST as a cached
// folder is recovered: a CopyFileUtil copy worker writing visible names, its progress timer on a
// PollingRunLoop, and exits as soon as the worker has posted that it finished. The benchmark
// times it as a whole process against cp -a.
//
// Exit status: 0 when the worker finished, 1 when it reported an error or did not finish within
// ten minutes, 2 on a usage error.

#include "CopyFileUtil.h"
#include "NotificationCenter.h"
#include "RunLoop.h"

#include <chrono>
#include <condition_variable>
#include <cstdio>
#include <mutex>

namespace {

using namespace std::chrono_literals;

constexpr auto kTimeout = 10min;
/// How long the loop runs between two looks at the end of the worker; the wait in between is
/// cut short by the finished notification, so the end is seen at once.
constexpr auto kLoopSlice = 1ms;
constexpr auto kWaitSlice = 10ms;

// What the observers, called on the worker thread, tell the main thread. Never destroyed: the
// detached worker may still be unwinding from its last post while the process exits.
struct Ending {
    std::mutex mutex;
    std::condition_variable changed;
    bool finished = false;
    bool failed = false;
};

} // namespace

int main(int argc, char **argv) {
    if (argc != 3) {
        std::fprintf(stderr, "usage: quillet-bench-recover SOURCE DEST\n");
        return 2;
    }
    using quillet::CopyFileUtil;
    auto *ending = new Ending;
    quillet::NotificationCenter &center = quillet::NotificationCenter::defaultCenter();
    auto observe = [&center, ending](const char *name, bool failed) {
        center.addObserver(name, [ending, failed](const quillet::Notification &) {
            std::lock_guard lock(ending->mutex);
            ending->finished = true;
            ending->failed = ending->failed || failed;
            ending->changed.notify_all();
        });
    };
    observe(CopyFileUtil::kThreadFinishedNotification, false);
    observe(CopyFileUtil::kErrorNotification, true);

    auto worker = CopyFileUtil::create(quillet::CopyThreadType::Copy, std::string(argv[1]), argv[2],
                                       quillet::Visibility::Visible, center);
    quillet::PollingRunLoop loop;
    worker->startThread(loop);
    worker.reset();

    const auto deadline = std::chrono::steady_clock::now() + kTimeout;
    std::unique_lock lock(ending->mutex);
    while (!ending->finished && std::chrono::steady_clock::now() < deadline) {
        lock.unlock();
        (void)loop.runUntil([] { return false; }, kLoopSlice); // fires the progress timer when due
        lock.lock();
        ending->changed.wait_for(lock, kWaitSlice, [ending] { return ending->finished; });
    }
    if (!ending->finished) {
        std::fprintf(stderr, "quillet-bench-recover: the worker did not finish in time\n");
        return 1;
    }
    if (ending->failed) {
        std::fprintf(stderr, "quillet-bench-recover: %s does not exist\n", argv[1]);
        return 1;
    }
    return 0;
}
