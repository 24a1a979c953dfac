#pragma once
// The mount watcher: while protection runs, every volume mounted later gets its cache folder
// and a quilletd of its own. Volumes already mounted at start-up are the launcher's business.

#include "platform/MountTable.h"

#include <sys/types.h>

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

namespace quillet::mountdisk {

/// A mount the watcher looks at. Mounts are told apart by mount point and mount id, so that a
/// volume unmounted and mounted again at the same point between two reads of the table still
/// reads as a new mount.
struct WatchedVolume {
    std::string mountPoint;
    int mountId = 0; ///< id of the mount visible at mountPoint
    /// The kernel's never-reused id of that mount where it has one (0 otherwise): mountinfo ids
    /// are reused at once, so a volume unmounted and mounted again between two reads of the
    /// table would otherwise look unchanged.
    uint64_t uniqueId = 0;
    bool operator==(const WatchedVolume &) const = default;
};

/// The volumes of table that may get a quilletd: those of mountedLocalVolumes except the home
/// volume, in mount-table order. Disk images are among them; the mount handler leaves them out.
std::vector<WatchedVolume> watchedVolumes(const std::vector<sys::MountEntry> &table);
/// Mount points of current that previous lacked, in current's order.
std::vector<std::string> newlyMountedVolumes(const std::vector<WatchedVolume> &previous,
                                             const std::vector<WatchedVolume> &current);

/// The command line the launchers give: "PERIOD / / SIZE_LIMIT_MB MIN_FREE_PERCENT MODE",
/// the shape of quilletd's. Returns all seven entries of argv, program name first; with any
/// other count logs "quilletMountDiskd : Wrong number of args! (<argc>)" (sys::logLine), and
/// with arguments quilletd would refuse logs the reason, and returns nothing (the caller then
/// exits 2).
std::optional<std::vector<std::string>> argumentsFromCommandLine(int argc, char **argv);

class ZRMountManager {
public:
    /// No arguments: the mount handler does nothing and no timer runs.
    ZRMountManager();
    /// argv: all seven entries of the command line, program name first. daemonPath: the
    /// quilletd to launch, the one beside this program.
    ZRMountManager(std::vector<std::string> argv, std::string daemonPath);
    ZRMountManager(const ZRMountManager &) = delete;
    ZRMountManager &operator=(const ZRMountManager &) = delete;

    /// Watches the mount table until SIGINT, then stops the launched daemons; returns the exit
    /// status, 0. SIGINT is blocked outside the loop's waits and handled at its next turn.
    int run();

    /// Handles one newly mounted volume (nothing: a change without a mount point). Unless it
    /// is a disk image: creates its cache folder when nothing exists there (mode 0700), sets
    /// the trash folder and cache base of the arguments for it and launches quilletd with them.
    /// A volume whose cache folder cannot be made, or whose cache or trash folder is a link or
    /// another account's, gets no quilletd: it is logged as not protected. A launch that fails
    /// is logged and not recorded.
    void workspaceDidMountNotification(const std::optional<std::string> &devicePath);
    /// The periodic timer: examines no volume.
    void timerRefresh();
    /// Sends SIGINT to every launched daemon not yet reaped, in launch order; failures are
    /// ignored.
    void killAllDaemons();
    /// Reaps the launched daemons that have ended.
    void reapDaemons();
    /// Waits up to timeoutMillis in all for the launched daemons to end, reaping them.
    void waitForDaemons(int timeoutMillis);

    /// Stores the volume's trash folder ("/" at the end) at position 1 and its mount point
    /// followed by "/" at position 2 of the arguments.
    void setArgumentsForVolume(const std::string &mountPoint);

    /// The six arguments given to quilletd (nothing without arguments).
    const std::optional<std::vector<std::string>> &arguments() const { return _arguments; }
    /// Every quilletd launched, in launch order.
    const std::vector<pid_t> &daemonsPID() const { return _daemonsPID; }
    /// The launched daemons not yet reaped, in launch order.
    const std::vector<pid_t> &runningDaemons() const { return _runningDaemons; }

private:
    void handleMountTableChange(std::vector<WatchedVolume> &known);

    std::optional<std::vector<std::string>> _arguments;
    std::vector<pid_t> _daemonsPID;
    /// When the periodic timer fires next (monotonic milliseconds); none without arguments.
    std::optional<int64_t> _refreshTimer;
    std::vector<pid_t> _runningDaemons;
    std::string _daemonPath;
};

} // namespace quillet::mountdisk
