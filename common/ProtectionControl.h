#pragma once
// Starting and stopping protection: which daemons to launch for which trash folders, with
// command lines built from the settings mirror, and the state written back into the
// preferences for the companion.

#include "DaemonControl.h"
#include "SettingsStore.h"

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
    ProtectionControl(DaemonControl &daemons, PreferencesDomain &domain, SettingsMirror &mirror);

    /// Starts protection when no daemon runs; otherwise stops it, or answers
    /// StopNeedsConfirmation for the user's control (then stopProtection() once confirmed).
    StartStopOutcome startStop(StopRequest request);

    /// Records the launch time and "Daemons are running", then launches: one quilletd for the
    /// home trash (home-only mode) or one for every mounted local volume that is neither a
    /// server nor a disk image, creating each cache folder (mode 0700) and the home trash when
    /// missing, plus the mount watcher; then the housekeeping daemon. Launch failures are
    /// collected in failures() with the program and the reason.
    void startProtection();
    /// SIGINT to every daemon; "Daemons are running" becomes 0.
    void stopProtection();
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

private:
    void storeDaemonsRunning(bool running);
    void launch(const std::string &daemon, const std::vector<std::string> &arguments);

    DaemonControl &_daemons;
    PreferencesDomain &_domain;
    SettingsMirror &_mirror;
    std::vector<std::string> _cacheFolders;
    std::vector<std::string> _failures;
};

} // namespace quillet
