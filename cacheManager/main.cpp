// quilletCacheManagerd: keeps the cache folders within the user's day limit and free-space
// minimum. Started by the launchers with four arguments:
//   quilletCacheManagerd DAYS SIZE_MAX MIN_FREE_PERCENT 0
// (DAYS 0: idle, enforcing nothing; SIZE_MAX and the last argument are not read) and stopped
// with SIGINT, which ends it at once: it holds nothing that needs saving.

#include "CacheManager.h"
#include "platform/System.h"

#include <csignal>
#include <cstdio>
#include <cstring>
#include <string>

static void printUsage() {
    std::printf(
        "Usage: quilletCacheManagerd DAYS SIZE_MAX MIN_FREE_PERCENT 0\n"
        "\n"
        "Keeps every cache folder (~/.TrashCacheFolder and .TrashCacheFolder at the root of each\n"
        "mounted volume) within the limits, in a pass every two minutes and soon after quilletd\n"
        "archives something or the trash folders receive new items.\n"
        "\n"
        "  DAYS              days of activity to keep: the oldest date folders beyond them go;\n"
        "                    0 or less = idle, nothing is ever deleted\n"
        "  SIZE_MAX          not read (quilletd applies the size limit)\n"
        "  MIN_FREE_PERCENT  archived files are deleted, oldest first, until each volume has\n"
        "                    this much free space again; 1 to 99, anything else = no minimum\n"
        "\n"
        "SIGINT ends it at once; it holds nothing that needs saving.\n");
}

int main(int argc, char **argv) {
    if (argc == 2 && (std::strcmp(argv[1], "--help") == 0 || std::strcmp(argv[1], "-h") == 0)) {
        printUsage();
        return 0;
    }
    std::string problem;
    auto arguments = quillet::parseCacheManagerArguments(argc, argv, &problem);
    if (!arguments) {
        if (!problem.empty()) {
            std::fprintf(stderr, "quilletCacheManagerd: %s\n", problem.c_str());
            return 2;
        }
        std::fputs("cacheManager: Bad arguments!\n", stderr);
        return 1;
    }
    // A launcher may leave SIGINT ignored or blocked (a background job of a shell); stopping
    // the daemon relies on its default action.
    (void)quillet::sys::restoreDefaultSignal(SIGINT);

    quillet::cacheManager::CacheManager manager(*arguments);
    // Without a day limit (0, or a count below it) the daemon idles, enforcing nothing.
    if (manager.daysLimitation <= 0)
        manager.runDumbMode();
    manager.runCore();
}
