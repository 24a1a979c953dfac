#include "control/ProtectionControl.h"

#include "control/DaemonCommandLine.h"
#include "control/ProtectionStatistics.h"
#include "support/ZRAppUtils.h"
#include "platform/MountTable.h"
#include "platform/ProcessTable.h"
#include "platform/UserPaths.h"

#include <algorithm>

namespace quillet {
namespace {

/// The daemons' log is started afresh at a start of protection once it has grown beyond this.
constexpr uint64_t kDaemonLogMaxBytes = 1024 * 1024;
/// How much of what the daemons wrote since a start is looked through for their reasons.
constexpr size_t kLogTailBytes = 64 * 1024;

/// The volumes a start protects: the home volume alone in home-only mode, else every mounted
/// local volume that is neither a server nor a disk image, the home volume first.
std::vector<sys::LocalVolume> volumesToProtect(const SettingsMirror &mirror) {
    if (mirror.surveyHomeTrashOnly()) {
        sys::LocalVolume home;
        home.isHomeVolume = true;
        return {home};
    }
    std::vector<sys::LocalVolume> volumes;
    ZRAppUtils utils;
    for (sys::LocalVolume &volume : sys::mountedLocalVolumes()) {
        if (!volume.isHomeVolume &&
            (utils.isServerAtPath(volume.mountPoint, nullptr) || utils.isDMGAtPath(volume.mountPoint)))
            continue;
        volumes.push_back(std::move(volume));
    }
    return volumes;
}

/// How a volume is named to the user: the home folder stands for the home volume.
std::string shownName(const sys::LocalVolume &volume) {
    return volume.isHomeVolume ? sys::homeFolder() : volume.mountPoint;
}

} // namespace

ProtectionControl::ProtectionControl(DaemonControl &daemons, PreferencesDomain &domain, SettingsMirror &mirror)
    : _daemons(daemons), _domain(domain), _mirror(mirror) {}

ProtectionControl::ProtectionControl(std::unique_ptr<OwnedParts> parts)
    : _owned(std::move(parts)), _daemons(_owned->daemons), _domain(_owned->domain), _mirror(_owned->mirror) {}

ProtectionControl ProtectionControl::forUser(std::string daemonFolder, DaemonControlHooks hooks) {
    PreferencesDomain domain(kQuilletDomain);
    SettingsMirror mirror = SettingsMirror::loadWithStoredPasswordFlag(domain);
    return ProtectionControl(std::make_unique<OwnedParts>(
        OwnedParts{DaemonControl(std::move(daemonFolder), std::move(hooks)), std::move(domain), std::move(mirror)}));
}

StartStopOutcome ProtectionControl::startStop(StopRequest request) {
    if (!_daemons.isDaemonRunning(ReportProblems::No)) {
        startProtection();
        return refreshRunningState() ? StartStopOutcome::Started : StartStopOutcome::StillStopped;
    }
    if (request == StopRequest::FromUserControl)
        return StartStopOutcome::StopNeedsConfirmation;
    stopProtection();
    return StartStopOutcome::Stopped;
}

void ProtectionControl::storeDaemonsRunning(bool running) {
    const PrefValue value(running ? 1 : 0);
    _mirror.set(prefs::kDaemonsAreRunning, value);
    // The window's refresh stores the state every 30 seconds and nearly always finds it stored
    // already: the file is rewritten (and flushed) only when it says otherwise.
    if (auto stored = _domain.read()) {
        auto found = stored->find(prefs::kDaemonsAreRunning);
        if (found != stored->end() && found->second == value)
            return;
    }
    (void)_domain.setValue(prefs::kDaemonsAreRunning, value);
}

void ProtectionControl::launch(const std::string &daemon, const std::vector<std::string> &arguments,
                               const std::string &trashFolder) {
    auto pid = _daemons.launch(daemon, arguments, _logPath);
    if (!pid) {
        _failures.push_back(pid.status().message());
        return;
    }
    _launched.push_back({daemon, *pid, trashFolder});
}

void ProtectionControl::protectVolume(const sys::LocalVolume &volume, const std::string &shown) {
    const std::string cache = volume.isHomeVolume ? homeCacheFolder() : volumeCacheFolder(volume.mountPoint);
    // The cache folder is made here: quilletd never creates it, and without it nothing trashed
    // would be kept. One that is not the user's own is left alone, and so is the volume.
    sys::Status problem = sys::ensureCacheFolder(cache);
    if (problem)
        problem = volumeProtectionProblem(volume);
    if (!problem) {
        _unprotected.push_back({shown, problem});
        return;
    }
    _cacheFolders.push_back(cache);
    const std::string trash = volume.isHomeVolume ? sys::homeTrashFolder() : sys::volumeTrashFolder(volume.mountPoint);
    const std::string base = volume.isHomeVolume ? sys::withTrailingSlash(sys::homeFolder()) : volume.mountPoint;
    launch(kProtectionDaemonName, protectionDaemonArguments(_mirror, trash, base), trash);
}

void ProtectionControl::startProtection() {
    _failures.clear();
    _cacheFolders.clear();
    _unprotected.clear();
    _launched.clear();
    const int64_t now = static_cast<int64_t>(sys::now());
    _mirror.set(prefs::kTimeOfLastDaemonLaunch, PrefValue(now));
    (void)_domain.setValue(prefs::kTimeOfLastDaemonLaunch, PrefValue(now));
    storeDaemonsRunning(true);

    // The daemons run detached: what they have to say goes to their log, which is kept small.
    if (auto log = sys::prepareDaemonLog(kDaemonLogMaxBytes)) {
        _logPath = *log;
        auto st = sys::stat(_logPath, sys::FollowLinks::No);
        _logOffset = st ? static_cast<uint64_t>(st->st_size) : 0;
    } else {
        _failures.push_back(log.status().message() + " (the daemons' messages go to this terminal instead)");
        _logPath.clear();
        _logOffset = 0;
    }

    // A home may have no trash until something is first trashed.
    if (sys::Status status = sys::ensureHomeTrash(); !status)
        _failures.push_back(status.message());

    for (const sys::LocalVolume &volume : volumesToProtect(_mirror))
        protectVolume(volume, shownName(volume));
    if (!_mirror.surveyHomeTrashOnly()) {
        launch(kMountDaemonName, mountWatcherArguments(_mirror));
        storeDaemonsRunning(true);
    }
    launch(kCacheManagerDaemonName, cacheManagerArguments(_mirror));
}

std::vector<UnprotectedVolume> ProtectionControl::unprotectedVolumes(const SettingsMirror &mirror) {
    std::vector<UnprotectedVolume> found;
    for (const sys::LocalVolume &volume : volumesToProtect(mirror))
        if (sys::Status problem = volumeProtectionProblem(volume); !problem)
            found.push_back({shownName(volume), problem});
    return found;
}

std::vector<std::string> ProtectionControl::confirmLaunches(std::chrono::milliseconds wait) {
    sys::sleepFor(wait.count());
    std::vector<std::string> missing;
    for (const LaunchedDaemon &daemon : _launched) {
        if (sys::isRunning(daemon.pid, daemon.name))
            continue;
        std::string what = daemon.name;
        if (!daemon.trashFolder.empty())
            what += " for " + daemon.trashFolder;
        missing.push_back(what + " is not running: " + messagesOf(daemon));
    }
    _failures.insert(_failures.end(), missing.begin(), missing.end());
    return missing;
}

std::string ProtectionControl::messagesOf(const LaunchedDaemon &daemon) const {
    if (_logPath.empty())
        return "it ended at once (its messages went to the terminal)";
    // Every daemon writes to the one log: a line is told apart by the program name it starts
    // with, and a quilletd's by the trash folder or cache folder it names.
    auto text = sys::readFileFrom(_logPath, _logOffset, kLogTailBytes);
    if (!text || text->empty())
        return "it ended at once without a message";
    std::vector<std::string_view> prefixes;
    if (daemon.name == kProtectionDaemonName)
        prefixes = {"quilletd", "quilletDaemon"};
    else if (daemon.name == kCacheManagerDaemonName)
        prefixes = {"quilletCacheManagerd", "cacheManager"};
    else
        prefixes = {daemon.name};
    std::vector<std::string_view> ofProgram;
    std::vector<std::string_view> ofThisOne;
    std::string_view rest = *text;
    while (!rest.empty()) {
        size_t end = rest.find('\n');
        std::string_view line = rest.substr(0, end);
        rest = end == std::string_view::npos ? std::string_view() : rest.substr(end + 1);
        if (std::none_of(prefixes.begin(), prefixes.end(), [&](std::string_view p) { return line.starts_with(p); }))
            continue;
        ofProgram.push_back(line);
        const std::string folder = daemon.trashFolder;
        if (!folder.empty() && line.find(folder.substr(0, folder.size() - 1)) != std::string_view::npos)
            ofThisOne.push_back(line);
    }
    const auto &lines = ofThisOne.empty() ? ofProgram : ofThisOne;
    if (lines.empty())
        return "it ended at once without a message";
    std::string joined;
    for (std::string_view line : lines)
        joined += (joined.empty() ? "" : "; ") + std::string(line);
    return joined;
}

void ProtectionControl::stopProtection() {
    _daemons.killAllDaemons();
    storeDaemonsRunning(false);
}

bool ProtectionControl::stopAndWait(std::chrono::milliseconds timeout) {
    stopProtection();
    return _daemons.waitUntilNoDaemonRuns(timeout);
}

bool ProtectionControl::restart(std::chrono::milliseconds stopTimeout) {
    // A daemon still running would see the new ones launched beside it: two quilletd on one
    // trash folder, or a second housekeeping daemon.
    if (!stopAndWait(stopTimeout))
        return false;
    startProtection();
    return true;
}

ProtectionStatus ProtectionControl::status(char decimalSeparator) {
    ProtectionStatus status;
    status.running = _daemons.isDaemonRunning(ReportProblems::No);
    status.daemons = _daemons.countDaemons();
    const std::vector<sys::LocalVolume> volumes = sys::mountedLocalVolumes();
    std::vector<std::string> caches;
    std::vector<std::string> trashes;
    getCachesPaths(volumes, caches);
    getTrashedPaths(volumes, trashes);
    status.cacheBytes = _cacheSizes.totalSize(caches);
    status.trashBytes = _trashSizes.totalSize(trashes);
    status.cacheSizeText = sizeText(status.cacheBytes, decimalSeparator);
    status.trashSizeText = trashSizeText(status.trashBytes, decimalSeparator);
    status.unprotected = unprotectedVolumes(_mirror);
    status.notArchived = notArchivedSince(sys::now() - kNotArchivedLatelyHours * 3600);
    return status;
}

bool ProtectionControl::isRunning() { return _daemons.isDaemonRunning(ReportProblems::No); }

bool ProtectionControl::stopForCacheWork() { return stopAndWait(std::chrono::seconds(10)); }

void ProtectionControl::startAfterCacheWork() {
    // Someone else (the companion, another quilletctl) may have started it meanwhile: a plain
    // start/stop toggle would then stop it again.
    if (!isRunning())
        startProtection();
    (void)refreshRunningState();
}

bool ProtectionControl::refreshRunningState() {
    bool running = _daemons.isDaemonRunning(ReportProblems::No);
    storeDaemonsRunning(running);
    return running;
}

} // namespace quillet
