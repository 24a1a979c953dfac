#include "control/DaemonCommandLine.h"

#include "archive/CacheLayout.h"

#include <algorithm>
#include <cerrno>
#include <climits>
#include <cstdlib>
#include <cstring>

namespace quillet {
namespace {

/// Positions of the folders among quilletd's six arguments.
constexpr size_t kTrashFolderArgument = 1;
constexpr size_t kCacheBaseArgument = 2;

/// strtoll as the daemons have always read their numbers, except that a number too large for 64
/// bits is refused rather than read as the largest one.
std::optional<long long> readNumber(const char *text) {
    errno = 0;
    long long value = std::strtoll(text, nullptr, 10);
    if (errno == ERANGE)
        return std::nullopt;
    return value;
}

std::string outOfRange(const char *name, const char *text) {
    return std::string(name) + " \"" + text + "\" is out of range";
}

bool isFolderArgument(const char *text) {
    size_t length = std::strlen(text);
    return length > 0 && text[0] == '/' && text[length - 1] == '/';
}

CacheMode cacheModeOf(long long mode) {
    switch (mode) {
    case static_cast<long long>(CacheMode::Copy):
        return CacheMode::Copy;
    case static_cast<long long>(CacheMode::Move):
        return CacheMode::Move;
    default:
        return CacheMode::WatchOnly;
    }
}

std::string sizeLimitArgument(const SettingsMirror &mirror) {
    return mirror.keepDataForSizeMax() ? std::to_string(mirror.sizeMaxForCache()) : "0";
}

} // namespace

ParsedArguments parseDaemonArguments(const char *const *argv) {
    ParsedArguments parsed;
    static constexpr const char *kNames[] = {"", "PERIOD", "TRASH_FOLDER/", "CACHE_BASE/", "SIZE_LIMIT_MB",
                                             "MIN_FREE_PERCENT", "MODE"};
    long long numbers[7] = {};
    for (int i : {1, 4, 5, 6}) {
        auto number = readNumber(argv[i]);
        if (!number) {
            parsed.problem = outOfRange(kNames[i], argv[i]);
            return parsed;
        }
        numbers[i] = *number;
    }
    for (int i : {2, 3}) {
        if (!isFolderArgument(argv[i])) {
            parsed.problem = std::string(kNames[i]) + " \"" + argv[i] + "\" must be an absolute folder path ending in \"/\"";
            return parsed;
        }
    }
    if (numbers[6] < INT32_MIN || numbers[6] > INT32_MAX) {
        parsed.problem = outOfRange(kNames[6], argv[6]);
        return parsed;
    }
    // The size limit is given in megabytes and kept in bytes.
    constexpr long long kLargestMegabytes = INT64_MAX >> 20;
    if (numbers[4] > kLargestMegabytes) {
        parsed.problem = outOfRange(kNames[4], argv[4]) + " (at most " + std::to_string(kLargestMegabytes) + ")";
        return parsed;
    }
    DaemonArguments arguments;
    arguments.loopTimeInSeconds =
        static_cast<int32_t>(std::clamp<long long>(numbers[1], kMinimumPeriodSeconds, kMaximumPeriodSeconds));
    arguments.trashFolder = argv[2];
    arguments.cacheBase = argv[3];
    arguments.trashCacheFolder = std::string(argv[3]) + std::string(kCacheFolderName) + "/";
    arguments.maxCacheSize = numbers[4] > 0 ? static_cast<uint64_t>(numbers[4]) << 20 : 0;
    arguments.freePercentage = numbers[5] >= 1 && numbers[5] <= 99 ? numbers[5] : 0;
    arguments.cacheMode = cacheModeOf(numbers[6]);
    parsed.arguments = std::move(arguments);
    return parsed;
}

std::optional<CacheManagerArguments> parseCacheManagerArguments(int argc, const char *const *argv,
                                                                std::string *problem) {
    if (argc != 5 || !argv)
        return std::nullopt;
    static constexpr const char *kNames[] = {"", "DAYS", "SIZE_MAX", "MIN_FREE_PERCENT", ""};
    CacheManagerArguments arguments;
    for (int i : {1, 3}) {
        // Beyond 32 bits a number would once have wrapped around into another limit.
        auto number = readNumber(argv[i]);
        if (!number || *number < INT32_MIN || *number > INT32_MAX) {
            if (problem)
                *problem = outOfRange(kNames[i], argv[i]);
            return std::nullopt;
        }
        (i == 1 ? arguments.daysLimitation : arguments.percentageLimitation) = static_cast<int32_t>(*number);
    }
    return arguments;
}

std::vector<std::string> protectionDaemonArguments(const SettingsMirror &mirror, const std::string &trashFolder,
                                                   const std::string &cacheBase) {
    const int64_t percentage = mirror.percentageOfFreeDiskSpace();
    return {
        "1",
        sys::withTrailingSlash(trashFolder),
        sys::withTrailingSlash(cacheBase),
        sizeLimitArgument(mirror),
        percentage != 0 ? std::to_string(percentage) : "0",
        mirror.modeOfCacheFileHandling() != 0 ? "1" : "0",
    };
}

std::vector<std::string> mountWatcherArguments(const SettingsMirror &mirror) {
    return protectionDaemonArguments(mirror, "", "");
}

std::vector<std::string> volumeDaemonArguments(std::vector<std::string> watcherArguments,
                                               const std::string &trashFolder, const std::string &cacheBase) {
    if (watcherArguments.size() <= kCacheBaseArgument)
        return watcherArguments;
    // The numbers are passed on as the watcher was given them: quilletd reads them as it did.
    watcherArguments[kTrashFolderArgument] = sys::withTrailingSlash(trashFolder);
    watcherArguments[kCacheBaseArgument] = sys::withTrailingSlash(cacheBase);
    return watcherArguments;
}

std::vector<std::string> cacheManagerArguments(const SettingsMirror &mirror) {
    const int64_t percentage = mirror.percentageOfFreeDiskSpace();
    return {
        mirror.keepDataForDays() ? std::to_string(mirror.daysToKeep()) : "0",
        sizeLimitArgument(mirror),
        percentage > 0 ? std::to_string(percentage) : "0",
        "0",
    };
}

} // namespace quillet
