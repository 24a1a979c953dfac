#pragma once
// Finding, counting, stopping and launching the daemons. Nothing keeps a handle on them:
// whether protection runs is always read again from the kernel's process table, by name. Only
// this user's processes are looked at: another account's daemons protect that account's trash,
// and are neither counted here nor signalled.

#include "platform/ProcessTable.h"
#include "platform/System.h"

#include <chrono>
#include <functional>
#include <string>
#include <vector>

namespace quillet {

inline constexpr const char *kProtectionDaemonName = "quilletd";
inline constexpr const char *kCacheManagerDaemonName = "quilletCacheManagerd";
inline constexpr const char *kMountDaemonName = "quilletMountDiskd";

/// What the user chose when told that protection looks damaged.
enum class ProtectionProblemChoice { StopAndRelaunch, ContinueAnyway };
/// Whether isDaemonRunning may ask the user about an anomaly.
enum class ReportProblems { No, Yes };

/// What the front end supplies: the "Protection problem!" alert, the restart of protection a
/// second later, and the pause before an anomaly is reported (10 s). Missing hooks mean:
/// continue anyway, no restart, no pause.
struct DaemonControlHooks {
    std::function<ProtectionProblemChoice()> protectionProblem;
    std::function<void()> scheduleRestart;
    std::function<void(int seconds)> pause;
};

/// The daemons of this user running, by program.
struct DaemonCounts {
    int protection = 0;   ///< quilletd
    int cacheManager = 0; ///< quilletCacheManagerd
    int mountWatcher = 0; ///< quilletMountDiskd
    bool operator==(const DaemonCounts &) const = default;
    bool anyRunning() const { return protection > 0 || cacheManager > 0 || mountWatcher > 0; }
    /// The set isDaemonRunning calls damaged: running, but not exactly one housekeeping daemon
    /// beside the protection daemons (none without them).
    bool anomalous() const { return anyRunning() && cacheManager != (protection > 0 ? 1 : 0); }
};

class DaemonControl {
public:
    /// daemonFolder holds the three daemons (libexec/quillet beside the running program).
    DaemonControl(std::string daemonFolder, DaemonControlHooks hooks = {});
    /// The folder of the daemons that lie beside the running program.
    static std::string defaultDaemonFolder();

    /// True when any of the three daemons runs. There must be exactly one housekeeping daemon
    /// whenever a protection daemon runs and none otherwise; anything else is an anomaly. Not
    /// reporting: an anomaly pauses, then is reported (the answer of that is not used).
    /// Reporting: the hook decides; "stop and relaunch" cleans the control files, schedules a
    /// restart and answers false.
    bool isDaemonRunning(ReportProblems report);
    /// Number of quilletd processes.
    int countDaemonsRunning();
    /// Number of processes of each of the three daemons.
    DaemonCounts countDaemons();

    /// Where the process table comes from: the kernel's (sys::readProcessTable) unless a source
    /// is given. A test shows the daemons it wants seen this way; a stop then signals the process
    /// ids it gives.
    using ProcessTableSource = std::function<std::vector<sys::ProcessEntry>()>;
    void setProcessTableSource(ProcessTableSource source) { _processTable = std::move(source); }
    /// SIGINT to every process of the three daemons run by this user (failures ignored).
    void killAllDaemons();
    /// Reads the process table every 50 ms until none of the three daemons is left (a stopped
    /// quilletd still saves its index on the way out); false when one still runs at timeout.
    bool waitUntilNoDaemonRuns(std::chrono::milliseconds timeout = std::chrono::seconds(5));
    /// Stops every daemon, then removes the plain files at the top of each cache folder (the
    /// index and the markers); the date folders stay.
    void cleanConfigFiles(const std::vector<std::string> &cacheFolders);

    /// The file the daemons write their messages to ($XDG_STATE_HOME/quillet/daemons.log).
    static std::string logPath();
    /// The last lines (at most maxLines) of the daemons' log; nothing when there is none yet.
    static sys::Result<std::string> logTail(size_t maxLines);

    /// Starts the named daemon detached with the arguments, its messages appended to logPath
    /// (none: they stay this program's); answers its process id, or the failure naming the
    /// program and the reason.
    sys::Result<pid_t> launch(const std::string &daemonName, const std::vector<std::string> &arguments,
                              const std::string &logPath = {});

private:
    std::vector<sys::ProcessEntry> processTable() const;

    std::string _daemonFolder;
    DaemonControlHooks _hooks;
    ProcessTableSource _processTable;
};

} // namespace quillet
