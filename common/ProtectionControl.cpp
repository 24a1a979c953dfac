#include "ProtectionControl.h"

#include "ZRAppUtils.h"
#include "platform/MountTable.h"
#include "platform/UserPaths.h"

namespace quillet {
namespace {

std::string withSlash(std::string path) {
    if (path.empty() || path.back() != '/')
        path += '/';
    return path;
}

} // namespace

ProtectionControl::ProtectionControl(DaemonControl &daemons, PreferencesDomain &domain, SettingsMirror &mirror)
    : _daemons(daemons), _domain(domain), _mirror(mirror) {}

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
    _mirror.set(prefs::kDaemonsAreRunning, PrefValue(running ? 1 : 0));
    (void)_domain.setValue(prefs::kDaemonsAreRunning, PrefValue(running ? 1 : 0));
}

void ProtectionControl::launch(const std::string &daemon, const std::vector<std::string> &arguments) {
    sys::Status status = _daemons.launch(daemon, arguments);
    if (!status)
        _failures.push_back(status.message());
}

void ProtectionControl::startProtection() {
    _failures.clear();
    _cacheFolders.clear();
    const int64_t now = static_cast<int64_t>(sys::now());
    _mirror.set(prefs::kTimeOfLastDaemonLaunch, PrefValue(now));
    (void)_domain.setValue(prefs::kTimeOfLastDaemonLaunch, PrefValue(now));
    storeDaemonsRunning(true);

    // A home may have no trash until something is first trashed.
    if (sys::Status status = sys::ensureHomeTrash(); !status)
        _failures.push_back(status.message());
    const std::string home = withSlash(sys::homeFolder());

    if (_mirror.surveyHomeTrashOnly()) {
        // The home cache folder is made here too: quilletd never creates it, and without it
        // nothing trashed would be kept.
        (void)sys::ensureCacheFolder(sys::homeCacheFolder());
        _cacheFolders.push_back(sys::homeCacheFolder());
        launch(kProtectionDaemonName, protectionDaemonArguments(_mirror, sys::homeTrashFolder(), home));
    } else {
        ZRAppUtils utils;
        for (const sys::LocalVolume &volume : sys::mountedLocalVolumes()) {
            if (volume.isHomeVolume) {
                (void)sys::ensureCacheFolder(sys::homeCacheFolder());
                _cacheFolders.push_back(sys::homeCacheFolder());
                launch(kProtectionDaemonName, protectionDaemonArguments(_mirror, sys::homeTrashFolder(), home));
                continue;
            }
            if (utils.isServerAtPath(volume.mountPoint, nullptr) || utils.isDMGAtPath(volume.mountPoint))
                continue;
            std::string cache = sys::volumeCacheFolder(volume.mountPoint);
            (void)sys::ensureCacheFolder(cache);
            _cacheFolders.push_back(cache);
            launch(kProtectionDaemonName,
                   protectionDaemonArguments(_mirror, sys::volumeTrashFolder(volume.mountPoint), volume.mountPoint));
        }
        launch(kMountDaemonName, mountWatcherArguments(_mirror));
        storeDaemonsRunning(true);
    }
    launch(kCacheManagerDaemonName, cacheManagerArguments(_mirror));
}

void ProtectionControl::stopProtection() {
    _daemons.killAllDaemons();
    storeDaemonsRunning(false);
}

bool ProtectionControl::isRunning() { return _daemons.isDaemonRunning(ReportProblems::No); }

bool ProtectionControl::stopForCacheWork() {
    stopProtection();
    return _daemons.waitUntilNoDaemonRuns(std::chrono::seconds(10));
}

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
