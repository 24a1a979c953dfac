#pragma once
// Starting and stopping protection: which daemons to launch for which trash folders, with
// command lines built from the settings mirror, the state written back into the preferences for
// the companion, and the status the front ends show. ProtectionControl::forUser() wires it for
// this user; every front end takes it from there.

#include "archive/CacheFolders.h"
#include "control/FolderSizeMemo.h"
#include "control/DaemonControl.h"
#include "settings/PreferencesDomain.h"
#include "control/ProtectionStatus.h"
#include "settings/SettingsMirror.h"

#include <sys/types.h>

#include <chrono>
#include <memory>
#include <string>
#include <vector>

namespace quillet {

/// Who asks for a stop: the user's own start/stop control asks for confirmation first; the
/// program itself (a settings save, a timer) never does.
enum class StopRequest { FromUserControl, FromProgram };
enum class StartStopOutcome { Started, Stopped, StopNeedsConfirmation, StillRunning, StillStopped };

/// Protection as work on the cache sees it: emptying and drag-out stop running protection
/// around their work and start it again afterwards.
class ProtectionSwitch {
public:
    virtual ~ProtectionSwitch() = default;
    virtual bool isRunning() = 0;
    /// Stops protection and waits until every daemon has ended (a stopping quilletd still
    /// writes its index); false when one is left after the wait.
    virtual bool stopForCacheWork() = 0;
    /// Starts protection again (when nothing runs).
    virtual void startAfterCacheWork() = 0;
};

class ProtectionControl : public ProtectionSwitch {
public:
    /// Protection over parts the caller keeps alive.
    ProtectionControl(DaemonControl &daemons, PreferencesDomain &domain, SettingsMirror &mirror);
    /// This user's protection, over parts of its own: the daemons in daemonFolder (by default
    /// those beside the running program) with the hooks, the domain com.plx.Quillet and the mirror
    /// loaded from it with the password flag the domain holds
    /// (SettingsMirror::loadWithStoredPasswordFlag). The mirror's warnings are left to the caller.
    static ProtectionControl forUser(std::string daemonFolder = DaemonControl::defaultDaemonFolder(),
                                     DaemonControlHooks hooks = {});

    DaemonControl &daemons() { return _daemons; }
    PreferencesDomain &domain() { return _domain; }
    SettingsMirror &mirror() { return _mirror; }

    /// Starts protection when no daemon runs; otherwise stops it, or answers
    /// StopNeedsConfirmation for the user's control (then stopProtection() once confirmed).
    StartStopOutcome startStop(StopRequest request);

    /// Records the launch time and "Daemons are running", then launches: one quilletd for the
    /// home trash (home-only mode) or one for every mounted local volume that is neither a
    /// server nor a disk image, creating each cache folder (mode 0700) and the home trash when
    /// missing, plus the mount watcher; then the housekeeping daemon. A volume whose cache
    /// folder or trash folder is a symbolic link or another account's gets no quilletd and
    /// nothing written: it is listed in unprotected() with the reason. Launch failures are
    /// collected in failures() with the program and the reason. The daemons' messages go to
    /// the daemon log (sys::daemonLogPath).
    void startProtection();
    /// Waits, then makes sure every daemon the last start launched still runs: each one that
    /// does not is named, with what it wrote to the daemon log since the start, in the answer and
    /// in failures(). Call it after startProtection; a daemon that exits at once has then told why.
    std::vector<std::string> confirmLaunches(std::chrono::milliseconds wait = std::chrono::seconds(1));
    /// SIGINT to every daemon; "Daemons are running" becomes 0.
    void stopProtection();
    /// stopProtection, then waits up to timeout for every daemon to end (a stopping quilletd
    /// still writes its index); false when one is still running.
    [[nodiscard]] bool stopAndWait(std::chrono::milliseconds timeout = std::chrono::seconds(5));
    /// What saving the settings does while protection runs, so that the daemons take command
    /// lines built from the mirror as it is now: stopAndWait(stopTimeout), then startProtection.
    /// False, and nothing started, when a daemon is still running after the wait. As after
    /// startProtection, confirmLaunches, failures() and unprotected() tell how the start went.
    [[nodiscard]] bool restart(std::chrono::milliseconds stopTimeout = std::chrono::seconds(5));
    /// The status as it is now: whether protection runs (isDaemonRunning without reporting), the
    /// daemons counted, the sizes of the cache folders and the trash folders of the mounted
    /// volumes with their texts (decimalSeparator the user's), the volumes a start would leave
    /// unprotected (unprotectedVolumes of the mirror), and the not-archived lines of the daemons'
    /// log of the last kNotArchivedLatelyHours hours. A folder is walked for its size only when
    /// it may have changed since the last status of this control (FolderSizeMemo).
    ProtectionStatus status(char decimalSeparator = '.');
    /// Whether protection runs now, written into the preferences and the mirror.
    bool refreshRunningState();

    /// ProtectionSwitch: isDaemonRunning without reporting; stopProtection with a wait of up
    /// to 10 s for the daemons to end; startProtection unless something runs already.
    bool isRunning() override;
    bool stopForCacheWork() override;
    void startAfterCacheWork() override;

    /// The cache folders the last start protects (for the browser).
    const std::vector<std::string> &cacheFolders() const { return _cacheFolders; }
    const std::vector<std::string> &failures() const { return _failures; }
    /// The volumes the last start left unprotected, and why.
    const std::vector<UnprotectedVolume> &unprotected() const { return _unprotected; }
    /// The volumes a start with these settings would leave unprotected, and why, as things
    /// stand (nothing is created or launched): the home volume, and unless only the home trash
    /// is protected every local volume that is neither a server nor a disk image.
    static std::vector<UnprotectedVolume> unprotectedVolumes(const SettingsMirror &mirror);

private:
    /// The parts forUser() wires: they live as long as the control, at a fixed place.
    struct OwnedParts {
        DaemonControl daemons;
        PreferencesDomain domain;
        SettingsMirror mirror;
    };
    explicit ProtectionControl(std::unique_ptr<OwnedParts> parts);

    /// One daemon the last start launched: its name, process id and the trash folder it
    /// watches (quilletd only).
    struct LaunchedDaemon {
        std::string name;
        pid_t pid = 0;
        std::string trashFolder;
    };

    void storeDaemonsRunning(bool running);
    void launch(const std::string &daemon, const std::vector<std::string> &arguments,
                const std::string &trashFolder = {});
    /// Launches the quilletd of a volume once its cache folder and trash folder are found to be
    /// the user's own; otherwise records the volume as unprotected.
    void protectVolume(const sys::LocalVolume &volume, const std::string &shown);
    /// What the daemon wrote to the log since the start, as far as it can be told apart.
    std::string messagesOf(const LaunchedDaemon &daemon) const;

    // Declared before the references, which may refer into it.
    std::unique_ptr<OwnedParts> _owned;
    DaemonControl &_daemons;
    PreferencesDomain &_domain;
    SettingsMirror &_mirror;
    std::vector<std::string> _cacheFolders;
    std::vector<std::string> _failures;
    std::vector<UnprotectedVolume> _unprotected;
    std::vector<LaunchedDaemon> _launched;
    std::string _logPath;
    uint64_t _logOffset = 0;
    FolderSizeMemo _cacheSizes;
    FolderSizeMemo _trashSizes;
};

} // namespace quillet
