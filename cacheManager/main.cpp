// quilletCacheManagerd: keeps the cache folders within the user's day limit and free-space
// minimum. Started by the launchers with four arguments:
//   quilletCacheManagerd DAYS SIZE_MAX MIN_FREE_PERCENT 0
// (DAYS 0: idle, enforcing nothing; SIZE_MAX and the last argument are not read) and stopped
// with SIGINT, which ends it at once: it holds nothing that needs saving.

#include "CacheManager.h"
#include "platform/System.h"

#include <csignal>
#include <cstdio>

int main(int argc, char **argv) {
    auto arguments = quillet::cacheManager::parseCacheManagerArguments(argc, argv);
    if (!arguments) {
        std::fputs("cacheManager: Bad arguments!\n", stderr);
        return 1;
    }
    // A launcher may leave SIGINT ignored or blocked (a background job of a shell); stopping
    // the daemon relies on its default action.
    (void)quillet::sys::restoreDefaultSignal(SIGINT);

    quillet::cacheManager::CacheManager manager(*arguments);
    if (manager.daysLimitation == 0)
        manager.runDumbMode();
    manager.runCore();
}
