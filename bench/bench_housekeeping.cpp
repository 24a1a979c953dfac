// Helper of bench/bench_housekeeping.py.
//
//   quillet-bench-housekeeping pass ROUNDS DAYS MIN_FREE_PERCENT
//     runs ROUNDS passes of one CacheManager (the daemon's own code) over the cache folders
//     that HOME, XDG_DATA_HOME and QUILLET_VOLUME_ROOTS give, and prints the wall-clock time of
//     each pass in milliseconds, one per line. The first pass also reads the mount table, as
//     the daemon's first pass does; later ones find it unchanged.
//   quillet-bench-housekeeping sleep
//     sleeps in 5-second steps until killed, waking as often as the waiting daemon does but
//     doing nothing: the reference for what the wake-ups alone cost on this machine.

#include "CacheManager.h"
#include "platform/System.h"

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>

namespace {

int usage() {
    std::fprintf(stderr, "usage: quillet-bench-housekeeping pass ROUNDS DAYS MIN_FREE_PERCENT\n"
                         "       quillet-bench-housekeeping sleep\n");
    return 2;
}

} // namespace

int main(int argc, char **argv) {
    using quillet::cacheManager::CacheManager;
    if (argc == 2 && std::strcmp(argv[1], "sleep") == 0) {
        for (;;)
            quillet::sys::sleepFor(int64_t{CacheManager::kTurnSeconds} * 1000);
    }
    if (argc != 5 || std::strcmp(argv[1], "pass") != 0)
        return usage();
    int rounds = std::atoi(argv[2]);
    quillet::CacheManagerArguments arguments;
    arguments.daysLimitation = std::atoi(argv[3]);
    arguments.percentageLimitation = std::atoi(argv[4]);
    CacheManager manager(arguments);
    for (int round = 0; round < rounds; ++round) {
        auto start = std::chrono::steady_clock::now();
        manager.runPass();
        std::chrono::duration<double, std::milli> elapsed = std::chrono::steady_clock::now() - start;
        std::printf("%.3f\n", elapsed.count());
    }
    return 0;
}
