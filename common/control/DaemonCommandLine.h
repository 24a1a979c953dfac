#pragma once
// The command lines of the three daemons, built here by the launchers from the settings mirror
// and read here by the daemons: a daemon has no setting that does not come from its command line.
//
//   quilletd              PERIOD TRASH_FOLDER/ CACHE_BASE/ SIZE_LIMIT_MB MIN_FREE_PERCENT MODE
//   quilletMountDiskd     PERIOD / / SIZE_LIMIT_MB MIN_FREE_PERCENT MODE
//                         (quilletd's shape; each quilletd it starts gets these arguments with
//                         the new volume's trash folder and cache base)
//   quilletCacheManagerd  DAYS SIZE_MAX MIN_FREE_PERCENT 0
//
// Numbers are read as the C library's strtoll reads them (leading blanks, a sign and digits;
// text that is not a number reads as 0), and each is range-checked here, where it enters: a
// number that does not fit what it is kept in is refused with a message naming the argument.

#include "settings/SettingsMirror.h"

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

namespace quillet {

/// How quilletd takes a new trash entry into the cache: MODE 0 copies, 1 moves, any other value
/// archives nothing (the daemon only watches).
enum class CacheMode : int32_t { Copy = 0, Move = 1, WatchOnly = 2 };

/// quilletd's settings, all from its command line.
struct DaemonArguments {
    int32_t loopTimeInSeconds = 1;  ///< polling period, 1 to 3600
    std::string trashFolder;        ///< watched trash folder, trailing "/"
    std::string cacheBase;          ///< home folder or volume root, trailing "/"
    std::string trashCacheFolder;   ///< cache base + ".TrashCacheFolder/"
    uint64_t maxCacheSize = 0;      ///< bytes; 0 = no limit
    int64_t freePercentage = 0;     ///< minimum free percentage, 1 to 99; 0 = none
    CacheMode cacheMode = CacheMode::Copy;
};

/// The polling period is kept within these bounds: 0 or less would poll without pause, and a
/// huge one would overflow.
inline constexpr int32_t kMinimumPeriodSeconds = 1;
inline constexpr int32_t kMaximumPeriodSeconds = 3600;

/// The arguments of quilletd's command line of seven entries (argv[0] the program name), or the
/// reason they are refused. The period is kept within its bounds; a size limit of 0 or less means
/// none, and one whose byte count would not fit 64 bits is refused; a free percentage outside 1
/// to 99 means no minimum; a MODE beyond 32 bits is refused. The trash folder and the cache base
/// must be absolute and end in "/" (entry paths are formed by appending names). The mount watcher
/// refuses what quilletd would refuse, by the same reading.
struct ParsedArguments {
    std::optional<DaemonArguments> arguments;
    std::string problem;
};
ParsedArguments parseDaemonArguments(const char *const *argv);

/// quilletCacheManagerd's settings, all from its command line. DAYS is the number of days of
/// activity to keep (0: idle, enforce nothing), MIN_FREE_PERCENT the minimum free space of each
/// volume in percent (0: none); SIZE_MAX and the last argument are not read.
struct CacheManagerArguments {
    int32_t daysLimitation = 0;
    int32_t percentageLimitation = 0;
};

/// Reads the housekeeping daemon's arguments the way the C library's atoi does (non-numeric text
/// reads as 0), except that a number beyond 32 bits is refused, with the reason in *problem when
/// given. Nothing unless there are exactly four arguments after the program name (argc == 5).
std::optional<CacheManagerArguments> parseCacheManagerArguments(int argc, const char *const *argv,
                                                                std::string *problem = nullptr);

/// The six arguments of quilletd (after the program name): "1", trashFolder and cacheBase each
/// ending in "/" (one is added when missing; an empty one gives "/"), the size limit in megabytes
/// when "Keep data for size max" is on else "0", the free-space percentage when not 0 else "0",
/// and "1" when the mode is non-zero else "0".
std::vector<std::string> protectionDaemonArguments(const SettingsMirror &mirror, const std::string &trashFolder,
                                                   const std::string &cacheBase);
/// The six arguments of quilletMountDiskd: those of quilletd with "/" and "/" for the folders.
std::vector<std::string> mountWatcherArguments(const SettingsMirror &mirror);
/// The six arguments of the quilletd the mount watcher starts for a volume: its own arguments as
/// it was given them (watcherArguments, without the program name), the trash folder and the
/// cache base in their places, each ending in "/" as for protectionDaemonArguments. Arguments
/// too few to hold them are given back unchanged.
std::vector<std::string> volumeDaemonArguments(std::vector<std::string> watcherArguments,
                                               const std::string &trashFolder, const std::string &cacheBase);
/// The four arguments of quilletCacheManagerd: the days to keep when "Keep data for days" is on
/// else "0", the size limit as for quilletd, the free-space percentage when above 0 else "0",
/// and "0".
std::vector<std::string> cacheManagerArguments(const SettingsMirror &mirror);

} // namespace quillet
