// The daemons' command lines: what the launchers build from the settings mirror, what each
// daemon reads back from it, and what it refuses.

#include "control/DaemonCommandLine.h"

#include <gtest/gtest.h>

#include <climits>
#include <cstdint>
#include <optional>
#include <string>
#include <vector>

using namespace quillet;

namespace {

using Args = std::vector<std::string>;

/// The program name, then args, as a daemon's argv (args must outlive it).
std::vector<const char *> argvOf(const char *program, const Args &args) {
    std::vector<const char *> argv = {program};
    for (const std::string &arg : args)
        argv.push_back(arg.c_str());
    argv.push_back(nullptr);
    return argv;
}

ParsedArguments parsedAsQuilletd(const Args &args) { return parseDaemonArguments(argvOf("quilletd", args).data()); }

std::optional<CacheManagerArguments> parsedAsCacheManager(const Args &args, std::string *problem = nullptr) {
    return parseCacheManagerArguments(static_cast<int>(args.size() + 1), argvOf("quilletCacheManagerd", args).data(),
                                      problem);
}

SettingsMirror mirrorWith(const PrefValues &stored) {
    SettingsMirror mirror(stored);
    mirror.initDefaultMirror(false);
    return mirror;
}

} // namespace

// ---------------------------------------------------------------------------------------------
// Building from the mirror

TEST(DaemonCommandLineBuilding, defaultsGiveTheThreeCommandLines) {
    SettingsMirror mirror;
    mirror.initDefaultMirror(false);
    EXPECT_EQ(protectionDaemonArguments(mirror, "/home/u/.local/share/Trash/files", "/home/u"),
              (Args{"1", "/home/u/.local/share/Trash/files/", "/home/u/", "4096", "10", "0"}));
    // Folders that already end in "/" get no second one.
    EXPECT_EQ(protectionDaemonArguments(mirror, "/media/d/.Trash-1000/files/", "/media/d/"),
              (Args{"1", "/media/d/.Trash-1000/files/", "/media/d/", "4096", "10", "0"}));
    EXPECT_EQ(mountWatcherArguments(mirror), (Args{"1", "/", "/", "4096", "10", "0"}));
    EXPECT_EQ(protectionDaemonArguments(mirror, "", ""), mountWatcherArguments(mirror));
    EXPECT_EQ(cacheManagerArguments(mirror), (Args{"7", "4096", "10", "0"}));
}

TEST(DaemonCommandLineBuilding, switchesAndLimitsShapeTheArguments) {
    struct Case {
        const char *what;
        PrefValues stored;
        Args daemon;       // arguments 4 to 6 of quilletd
        Args cacheManager; // all four
    };
    const std::vector<Case> cases = {
        {"size limit off", {{prefs::kKeepDataForSizeMax, 0}, {prefs::kSizeMaxForCache, 900}},
         {"0", "10", "0"}, {"7", "0", "10", "0"}},
        {"size limit on", {{prefs::kSizeMaxForCache, 500}}, {"500", "10", "0"}, {"7", "500", "10", "0"}},
        {"no free-space minimum", {{prefs::kPercentageOfFreeDiskSpace, 0}}, {"4096", "0", "0"}, {"7", "4096", "0", "0"}},
        {"move mode", {{prefs::kModeOfCacheFileHandling, 1}}, {"4096", "10", "1"}, {"7", "4096", "10", "0"}},
        // Values out of range never reach a daemon: the defaults stand in for them.
        {"negative percentage", {{prefs::kPercentageOfFreeDiskSpace, -3}}, {"4096", "10", "0"}, {"7", "4096", "10", "0"}},
        {"percentage of 150", {{prefs::kPercentageOfFreeDiskSpace, 150}}, {"4096", "10", "0"}, {"7", "4096", "10", "0"}},
        {"mode 5", {{prefs::kModeOfCacheFileHandling, 5}}, {"4096", "10", "0"}, {"7", "4096", "10", "0"}},
        {"days -1", {{prefs::kHowManyDaysToKeepData, -1}}, {"4096", "10", "0"}, {"7", "4096", "10", "0"}},
        {"days 4294967295", {{prefs::kHowManyDaysToKeepData, int64_t{4294967295}}}, {"4096", "10", "0"}, {"7", "4096", "10", "0"}},
        {"days 1e308", {{prefs::kHowManyDaysToKeepData, PrefValue::real(1e308)}}, {"4096", "10", "0"}, {"7", "4096", "10", "0"}},
        {"negative size", {{prefs::kSizeMaxForCache, -1}}, {"4096", "10", "0"}, {"7", "4096", "10", "0"}},
        {"day limit off", {{prefs::kKeepDataForDays, 0}, {prefs::kHowManyDaysToKeepData, 30}},
         {"4096", "10", "0"}, {"0", "4096", "10", "0"}},
        {"day limit on", {{prefs::kHowManyDaysToKeepData, 30}}, {"4096", "10", "0"}, {"30", "4096", "10", "0"}},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(c.what);
        SettingsMirror mirror(c.stored);
        mirror.initDefaultMirror(false);
        Args daemon = protectionDaemonArguments(mirror, "/t", "/c");
        ASSERT_EQ(daemon.size(), 6u);
        EXPECT_EQ(Args(daemon.begin() + 3, daemon.end()), c.daemon);
        Args watcher = mountWatcherArguments(mirror);
        EXPECT_EQ(Args(watcher.begin() + 3, watcher.end()), c.daemon);
        EXPECT_EQ(cacheManagerArguments(mirror), c.cacheManager);
    }
}

// ---------------------------------------------------------------------------------------------
// Built, then read back: every daemon reads what the mirror says

TEST(DaemonCommandLineRoundTrip, eachDaemonReadsBackWhatTheMirrorHolds) {
    struct Case {
        const char *what;
        PrefValues stored;
        uint64_t maxCacheSize; // bytes quilletd keeps
        int64_t freePercentage;
        CacheMode mode;
        int32_t days; // the housekeeping daemon's limit
    };
    constexpr uint64_t kMiB = uint64_t{1} << 20;
    const std::vector<Case> cases = {
        {"defaults", {}, 4096 * kMiB, 10, CacheMode::Copy, 7},
        {"size limit off", {{prefs::kKeepDataForSizeMax, 0}}, 0, 10, CacheMode::Copy, 7},
        {"size limit 0", {{prefs::kSizeMaxForCache, 0}}, 0, 10, CacheMode::Copy, 7},
        {"largest size limit", {{prefs::kSizeMaxForCache, int64_t{8796093022207}}}, 8796093022207 * kMiB, 10,
         CacheMode::Copy, 7},
        {"no free-space minimum", {{prefs::kPercentageOfFreeDiskSpace, 0}}, 4096 * kMiB, 0, CacheMode::Copy, 7},
        {"99 percent", {{prefs::kPercentageOfFreeDiskSpace, 99}}, 4096 * kMiB, 99, CacheMode::Copy, 7},
        {"move mode", {{prefs::kModeOfCacheFileHandling, 1}}, 4096 * kMiB, 10, CacheMode::Move, 7},
        {"day limit off", {{prefs::kKeepDataForDays, 0}, {prefs::kHowManyDaysToKeepData, 30}}, 4096 * kMiB, 10,
         CacheMode::Copy, 0},
        {"longest day limit", {{prefs::kHowManyDaysToKeepData, 36500}}, 4096 * kMiB, 10, CacheMode::Copy, 36500},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(c.what);
        const SettingsMirror mirror = mirrorWith(c.stored);

        ParsedArguments daemon = parsedAsQuilletd(protectionDaemonArguments(mirror, "/home/u/Trash/files", "/home/u"));
        ASSERT_TRUE(daemon.arguments) << daemon.problem;
        EXPECT_EQ(daemon.arguments->loopTimeInSeconds, 1);
        EXPECT_EQ(daemon.arguments->trashFolder, "/home/u/Trash/files/");
        EXPECT_EQ(daemon.arguments->cacheBase, "/home/u/");
        EXPECT_EQ(daemon.arguments->trashCacheFolder, "/home/u/.TrashCacheFolder/");
        EXPECT_EQ(daemon.arguments->maxCacheSize, c.maxCacheSize);
        EXPECT_EQ(daemon.arguments->freePercentage, c.freePercentage);
        EXPECT_EQ(daemon.arguments->cacheMode, c.mode);

        // The mount watcher reads its own line as quilletd would, and the quilletd it starts
        // for a volume gets what the launchers would have given it.
        const Args watcher = mountWatcherArguments(mirror);
        ParsedArguments watcherRead = parsedAsQuilletd(watcher);
        ASSERT_TRUE(watcherRead.arguments) << watcherRead.problem;
        EXPECT_EQ(watcherRead.arguments->maxCacheSize, c.maxCacheSize);
        EXPECT_EQ(watcherRead.arguments->freePercentage, c.freePercentage);
        EXPECT_EQ(watcherRead.arguments->cacheMode, c.mode);
        EXPECT_EQ(volumeDaemonArguments(watcher, "/media/d/.Trash-1000/files", "/media/d"),
                  protectionDaemonArguments(mirror, "/media/d/.Trash-1000/files", "/media/d"));

        std::string problem;
        auto housekeeping = parsedAsCacheManager(cacheManagerArguments(mirror), &problem);
        ASSERT_TRUE(housekeeping) << problem;
        EXPECT_EQ(housekeeping->daysLimitation, c.days);
        EXPECT_EQ(housekeeping->percentageLimitation, c.freePercentage);
    }
}

// ---------------------------------------------------------------------------------------------
// Reading quilletd's command line

TEST(DaemonCommandLineQuilletd, numbersAreReadAsStrtollReadsThemAndKeptInTheirBounds) {
    struct Case {
        const char *what;
        Args args;
        int32_t period;
        uint64_t maxCacheSize;
        int64_t freePercentage;
        CacheMode mode;
    };
    const std::vector<Case> cases = {
        {"as launched", {"1", "/t/", "/c/", "100", "10", "0"}, 1, 100ull << 20, 10, CacheMode::Copy},
        {"period 0", {"0", "/t/", "/c/", "0", "0", "0"}, 1, 0, 0, CacheMode::Copy},
        {"period beyond an hour", {"86400", "/t/", "/c/", "0", "0", "0"}, 3600, 0, 0, CacheMode::Copy},
        {"text reads as 0", {"abc", "/t/", "/c/", "x", "y", "z"}, 1, 0, 0, CacheMode::Copy},
        {"leading digits", {" 5s", "/t/", "/c/", "7MB", "12%", "1st"}, 5, 7ull << 20, 12, CacheMode::Move},
        {"negative size means none", {"1", "/t/", "/c/", "-5", "10", "0"}, 1, 0, 10, CacheMode::Copy},
        {"percentage 100 means none", {"1", "/t/", "/c/", "0", "100", "0"}, 1, 0, 0, CacheMode::Copy},
        {"negative percentage means none", {"1", "/t/", "/c/", "0", "-1", "0"}, 1, 0, 0, CacheMode::Copy},
        {"mode 2 watches", {"1", "/t/", "/c/", "0", "0", "2"}, 1, 0, 0, CacheMode::WatchOnly},
        {"mode -1 watches", {"1", "/t/", "/c/", "0", "0", "-1"}, 1, 0, 0, CacheMode::WatchOnly},
        {"largest 32-bit mode watches", {"1", "/t/", "/c/", "0", "0", "2147483647"}, 1, 0, 0, CacheMode::WatchOnly},
        {"largest size", {"1", "/t/", "/c/", "8796093022207", "0", "1"}, 1, 8796093022207ull << 20, 0, CacheMode::Move},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(c.what);
        ParsedArguments parsed = parsedAsQuilletd(c.args);
        ASSERT_TRUE(parsed.arguments) << parsed.problem;
        EXPECT_EQ(parsed.arguments->loopTimeInSeconds, c.period);
        EXPECT_EQ(parsed.arguments->maxCacheSize, c.maxCacheSize);
        EXPECT_EQ(parsed.arguments->freePercentage, c.freePercentage);
        EXPECT_EQ(parsed.arguments->cacheMode, c.mode);
    }
}

TEST(DaemonCommandLineQuilletd, refusalsNameTheArgumentAndWhy) {
    struct Case {
        const char *what;
        Args args;
        const char *problem;
    };
    const std::vector<Case> cases = {
        {"period beyond 64 bits", {"99999999999999999999", "/t/", "/c/", "0", "0", "0"},
         "PERIOD \"99999999999999999999\" is out of range"},
        {"trash folder without slash", {"1", "/t", "/c/", "0", "0", "0"},
         "TRASH_FOLDER/ \"/t\" must be an absolute folder path ending in \"/\""},
        {"relative trash folder", {"1", "t/", "/c/", "0", "0", "0"},
         "TRASH_FOLDER/ \"t/\" must be an absolute folder path ending in \"/\""},
        {"empty trash folder", {"1", "", "/c/", "0", "0", "0"},
         "TRASH_FOLDER/ \"\" must be an absolute folder path ending in \"/\""},
        {"cache base without slash", {"1", "/t/", "/c", "0", "0", "0"},
         "CACHE_BASE/ \"/c\" must be an absolute folder path ending in \"/\""},
        {"size beyond 64 bits", {"1", "/t/", "/c/", "99999999999999999999", "0", "0"},
         "SIZE_LIMIT_MB \"99999999999999999999\" is out of range"},
        {"size whose bytes overflow", {"1", "/t/", "/c/", "8796093022208", "0", "0"},
         "SIZE_LIMIT_MB \"8796093022208\" is out of range (at most 8796093022207)"},
        {"percentage beyond 64 bits", {"1", "/t/", "/c/", "0", "-99999999999999999999", "0"},
         "MIN_FREE_PERCENT \"-99999999999999999999\" is out of range"},
        {"mode beyond 32 bits", {"1", "/t/", "/c/", "0", "0", "4294967296"}, "MODE \"4294967296\" is out of range"},
        {"mode below 32 bits", {"1", "/t/", "/c/", "0", "0", "-2147483649"}, "MODE \"-2147483649\" is out of range"},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(c.what);
        ParsedArguments parsed = parsedAsQuilletd(c.args);
        EXPECT_FALSE(parsed.arguments);
        EXPECT_EQ(parsed.problem, c.problem);
    }
}

// ---------------------------------------------------------------------------------------------
// The quilletd of a newly mounted volume

TEST(DaemonCommandLineVolume, theWatchersNumbersArePassedOnAsGivenWithTheVolumesFolders) {
    // The numbers reach quilletd as the watcher got them, so that it reads them as it would have.
    EXPECT_EQ(volumeDaemonArguments({"0010", "/", "/", "7MB", "-3", "5"}, "/media/d/.Trash-1000/files/", "/media/d"),
              (Args{"0010", "/media/d/.Trash-1000/files/", "/media/d/", "7MB", "-3", "5"}));
    EXPECT_EQ(volumeDaemonArguments({"1", "/"}, "/media/d/.Trash-1000/files/", "/media/d"), (Args{"1", "/"}));
}

// ---------------------------------------------------------------------------------------------
// Reading quilletCacheManagerd's command line

TEST(DaemonCommandLineCacheManager, readsDaysAndPercentageAndIgnoresTheOthers) {
    const char *argv[] = {"quilletCacheManagerd", "7", "500", "10", "0", nullptr};
    auto arguments = parseCacheManagerArguments(5, argv);
    ASSERT_TRUE(arguments);
    EXPECT_EQ(arguments->daysLimitation, 7);
    EXPECT_EQ(arguments->percentageLimitation, 10);
}

TEST(DaemonCommandLineCacheManager, nonNumericTextReadsAsZero) {
    const char *argv[] = {"quilletCacheManagerd", "seven", "0", "12abc", "x", nullptr};
    auto arguments = parseCacheManagerArguments(5, argv);
    ASSERT_TRUE(arguments);
    EXPECT_EQ(arguments->daysLimitation, 0);
    EXPECT_EQ(arguments->percentageLimitation, 12);
}

TEST(DaemonCommandLineCacheManager, numbersBeyondThirtyTwoBitsAreRefusedNotWrapped) {
    // 4294967297 once wrapped around to a limit of one day.
    for (const char *days : {"4294967297", "99999999999999999999", "-2147483649"}) {
        const char *argv[] = {"quilletCacheManagerd", days, "0", "10", "0"};
        std::string problem;
        EXPECT_FALSE(parseCacheManagerArguments(5, argv, &problem)) << days;
        EXPECT_NE(problem.find("DAYS"), std::string::npos) << problem;
    }
    const char *argv[] = {"quilletCacheManagerd", "7", "0", "4294967306", "0"};
    std::string problem;
    EXPECT_FALSE(parseCacheManagerArguments(5, argv, &problem));
    EXPECT_NE(problem.find("MIN_FREE_PERCENT"), std::string::npos) << problem;
    const char *limits[] = {"quilletCacheManagerd", "2147483647", "0", "-2147483648", "0"};
    auto parsed = parseCacheManagerArguments(5, limits);
    ASSERT_TRUE(parsed);
    EXPECT_EQ(parsed->daysLimitation, INT32_MAX);
    EXPECT_EQ(parsed->percentageLimitation, INT32_MIN);
}

TEST(DaemonCommandLineCacheManager, anyOtherArgumentCountIsRefused) {
    const char *argv[] = {"quilletCacheManagerd", "7", "500", "10", "0", "1", nullptr};
    for (int argc : {1, 2, 3, 4, 6})
        EXPECT_FALSE(parseCacheManagerArguments(argc, argv)) << "argc " << argc;
}
