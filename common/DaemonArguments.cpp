#include "DaemonArguments.h"

#include "CacheLayout.h"

#include <algorithm>
#include <cerrno>
#include <climits>
#include <cstdlib>
#include <cstring>

namespace quillet {
namespace {

/// strtoll as the daemon has always read its numbers, except that a number too large for 64
/// bits is refused rather than read as the largest one.
std::optional<long long> readNumber(const char *text) {
    errno = 0;
    long long value = std::strtoll(text, nullptr, 10);
    if (errno == ERANGE)
        return std::nullopt;
    return value;
}

bool isFolderArgument(const char *text) {
    size_t length = std::strlen(text);
    return length > 0 && text[0] == '/' && text[length - 1] == '/';
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
            parsed.problem = std::string(kNames[i]) + " \"" + argv[i] + "\" is out of range";
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
        parsed.problem = std::string("MODE \"") + argv[6] + "\" is out of range";
        return parsed;
    }
    // The size limit is given in megabytes and kept in bytes.
    constexpr long long kLargestMegabytes = INT64_MAX >> 20;
    if (numbers[4] > kLargestMegabytes) {
        parsed.problem = std::string("SIZE_LIMIT_MB \"") + argv[4] + "\" is out of range (at most " +
                         std::to_string(kLargestMegabytes) + ")";
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
    arguments.dataCacheMode = static_cast<int32_t>(numbers[6]);
    parsed.arguments = std::move(arguments);
    return parsed;
}

} // namespace quillet
