#include "ZRMountManager.h"

#include "archive/CacheFolders.h"
#include "control/DaemonCommandLine.h"
#include "support/ZRAppUtils.h"
#include "platform/Log.h"
#include "platform/Process.h"
#include "platform/StopSignal.h"
#include "platform/UserPaths.h"

#include <algorithm>
#include <csignal>
#include <string>

namespace quillet::mountdisk {
namespace {

constexpr int kArgumentVectorSize = 7;
constexpr int64_t kRefreshIntervalMillis = 30 * 1000;
// Without change events the table is read this often instead.
constexpr int kFallbackPollMillis = 1000;
// quilletd saves its index on SIGINT; waiting for that lets this process reap its children
// instead of leaving them to whoever adopts them. A daemon still busy after this is left
// running.
constexpr int kStopGraceMillis = 10 * 1000;

std::string daemonLine(pid_t pid, const std::string &what) {
    return "quilletMountDiskd : quilletd (pid " + std::to_string(pid) + ") " + what;
}

// True when the child is gone: reaped now, or not a child of ours any more. quilletd always
// exits with 0, so any other end is worth a line.
bool daemonEnded(pid_t pid, const sys::Result<std::optional<int>> &reaped) {
    if (!reaped)
        return true;
    if (!reaped->has_value())
        return false;
    int status = *reaped.value();
    if (!sys::exitedCleanly(status))
        sys::logLine(daemonLine(pid, sys::describeWaitStatus(status)));
    return true;
}

} // namespace

std::vector<WatchedVolume> watchedVolumes(const std::vector<sys::MountEntry> &table) {
    std::vector<WatchedVolume> volumes;
    for (const sys::LocalVolume &volume : sys::mountedLocalVolumes(table)) {
        if (volume.isHomeVolume)
            continue;
        // Later entries on the same point hide earlier ones: the last one is what is seen there.
        int mountId = 0;
        for (const sys::MountEntry &entry : table)
            if (entry.mountPoint == volume.mountPoint && !sys::isPseudoFileSystem(entry.fsType))
                mountId = entry.mountId;
        volumes.push_back({volume.mountPoint, mountId, sys::uniqueMountId(volume.mountPoint).value_or(0)});
    }
    return volumes;
}

std::vector<std::string> newlyMountedVolumes(const std::vector<WatchedVolume> &previous,
                                             const std::vector<WatchedVolume> &current) {
    std::vector<std::string> mounted;
    for (const WatchedVolume &volume : current)
        if (std::find(previous.begin(), previous.end(), volume) == previous.end())
            mounted.push_back(volume.mountPoint);
    return mounted;
}

std::optional<std::vector<std::string>> argumentsFromCommandLine(int argc, char **argv) {
    if (argc != kArgumentVectorSize) {
        sys::logLine("quilletMountDiskd : Wrong number of args! (" + std::to_string(argc) + ")");
        return std::nullopt;
    }
    // Every quilletd gets these arguments: they are refused here once rather than by each
    // daemon it would start.
    ParsedArguments parsed = parseDaemonArguments(argv);
    if (!parsed.arguments) {
        sys::logLine("quilletMountDiskd : " + parsed.problem);
        return std::nullopt;
    }
    return std::vector<std::string>(argv, argv + argc);
}

ZRMountManager::ZRMountManager() = default;

ZRMountManager::ZRMountManager(std::vector<std::string> argv, std::string daemonPath)
    : _daemonPath(std::move(daemonPath)) {
    if (!argv.empty())
        argv.erase(argv.begin());
    _arguments = std::move(argv);
    _refreshTimer = sys::monotonicMillis() + kRefreshIntervalMillis;
}

int ZRMountManager::run() {
    sys::StopSignal::install(SIGINT);
    const sigset_t waitMask = sys::wakeOnChildExit(sys::StopSignal::waitMask());
    // The watch is opened before the first read: a mount made in between then shows as a
    // change and is not missed.
    sys::MountWatch watch;
    if (!watch.active())
        sys::logLine("quilletMountDiskd : can't watch /proc/self/mountinfo; reading it every second");
    std::vector<WatchedVolume> known = watchedVolumes(sys::readMountTable());

    while (!sys::StopSignal::requested()) {
        int64_t timeout = kRefreshIntervalMillis;
        if (_refreshTimer)
            timeout = std::max<int64_t>(0, *_refreshTimer - sys::monotonicMillis());
        if (!watch.active())
            timeout = std::min<int64_t>(timeout, kFallbackPollMillis);
        bool changed = watch.wait(static_cast<int>(timeout), &waitMask);
        reapDaemons();
        if (sys::StopSignal::requested())
            break;
        if (changed || !watch.active())
            handleMountTableChange(known);
        if (_refreshTimer && sys::monotonicMillis() >= *_refreshTimer) {
            *_refreshTimer = sys::monotonicMillis() + kRefreshIntervalMillis;
            timerRefresh();
        }
    }

    sys::StopSignal::ignore();
    killAllDaemons();
    waitForDaemons(kStopGraceMillis);
    return 0;
}

void ZRMountManager::handleMountTableChange(std::vector<WatchedVolume> &known) {
    std::vector<WatchedVolume> current = watchedVolumes(sys::readMountTable());
    for (const std::string &mountPoint : newlyMountedVolumes(known, current)) {
        // A daemon launched now would only be stopped again at once, perhaps before it could
        // take SIGINT.
        if (sys::StopSignal::requested())
            break;
        workspaceDidMountNotification(mountPoint);
    }
    known = std::move(current);
}

void ZRMountManager::timerRefresh() { workspaceDidMountNotification(std::nullopt); }

void ZRMountManager::workspaceDidMountNotification(const std::optional<std::string> &devicePath) {
    if (!devicePath || !_arguments)
        return;
    const std::string mountPoint = sys::withoutTrailingSlashes(*devicePath);
    if (ZRAppUtils().isDMGAtPath(mountPoint))
        return;

    // The cache folder may well exist already (protection ran before on this volume); then it
    // is left as it is. One that is a link or another account's, or a trash folder that is,
    // leaves the volume unprotected: nothing of this user's is written there.
    sys::Status problem = sys::ensureCacheFolder(volumeCacheFolder(mountPoint));
    if (problem)
        problem = volumeProtectionProblem(sys::LocalVolume{mountPoint, false});
    if (!problem) {
        sys::logLine("quilletMountDiskd : " + mountPoint + " is not protected: " + problem.message());
        return;
    }

    setArgumentsForVolume(mountPoint);
    auto pid = sys::spawnChild(_daemonPath, *_arguments);
    if (!pid) {
        sys::logLine("quilletMountDiskd : Can't launch quilletd for " + mountPoint + ": " + pid.status().message());
        return;
    }
    _daemonsPID.push_back(*pid);
    _runningDaemons.push_back(*pid);
}

void ZRMountManager::setArgumentsForVolume(const std::string &mountPoint) {
    if (!_arguments)
        return;
    const std::string point = sys::withoutTrailingSlashes(mountPoint);
    _arguments = volumeDaemonArguments(std::move(*_arguments), sys::volumeTrashFolder(point), point);
}

void ZRMountManager::killAllDaemons() {
    // A daemon already reaped is dropped first: its pid may belong to another process now.
    reapDaemons();
    for (pid_t pid : _runningDaemons)
        (void)sys::sendSignal(pid, SIGINT);
}

void ZRMountManager::reapDaemons() {
    std::erase_if(_runningDaemons, [](pid_t pid) { return daemonEnded(pid, sys::reapChild(pid)); });
}

void ZRMountManager::waitForDaemons(int timeoutMillis) {
    const int64_t deadline = sys::monotonicMillis() + timeoutMillis;
    std::erase_if(_runningDaemons, [deadline](pid_t pid) {
        int64_t left = std::max<int64_t>(0, deadline - sys::monotonicMillis());
        return daemonEnded(pid, sys::waitChild(pid, static_cast<int>(left)));
    });
    for (pid_t pid : _runningDaemons)
        sys::logLine(daemonLine(pid, "still running after SIGINT"));
}

} // namespace quillet::mountdisk
