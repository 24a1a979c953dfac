#pragma once
// The command line of quilletd, which quilletMountDiskd takes too (trash folder and cache base
// then "/"): PERIOD TRASH_FOLDER/ CACHE_BASE/ SIZE_LIMIT_MB MIN_FREE_PERCENT MODE.

#include <cstdint>
#include <optional>
#include <string>

namespace quillet {

/// The daemon's settings, all from its command line.
struct DaemonArguments {
    int32_t loopTimeInSeconds = 1;  ///< polling period, 1 to 3600
    std::string trashFolder;        ///< watched trash folder, trailing "/"
    std::string cacheBase;          ///< home folder or volume root, trailing "/"
    std::string trashCacheFolder;   ///< cache base + ".TrashCacheFolder/"
    uint64_t maxCacheSize = 0;      ///< bytes; 0 = no limit
    int64_t freePercentage = 0;     ///< minimum free percentage, 1 to 99; 0 = none
    int32_t dataCacheMode = 0;      ///< 0 copy, 1 move, anything else: poll only
};

/// The polling period is kept within these bounds: 0 or less would poll without pause, and a
/// huge one would overflow.
inline constexpr int32_t kMinimumPeriodSeconds = 1;
inline constexpr int32_t kMaximumPeriodSeconds = 3600;

/// The arguments of a command line of seven entries (argv[0] the program name), or the reason
/// they are refused. Numbers are read as the C library's strtoll reads them (leading digits;
/// text that is not a number reads as 0), but a number that does not fit is refused. The
/// period is kept within its bounds; a size limit of 0 or less means none; a free percentage
/// outside 1 to 99 means no minimum. The trash folder and the cache base must be absolute and
/// end in "/" (entry paths are formed by appending names).
struct ParsedArguments {
    std::optional<DaemonArguments> arguments;
    std::string problem;
};
ParsedArguments parseDaemonArguments(const char *const *argv);

} // namespace quillet
