#pragma once
// What the application learns about its surroundings at start-up: the system version, where it
// runs from, where its companion and its settings request lie. Taken from the system by
// default; tests give their own.

#include <string>

namespace quillet::app {

struct StartupOptions {
    /// The kernel release, packed (ZRAppUtils::getSystemVersion).
    int systemVersion = 0;
    /// The running program (/proc/self/exe).
    std::string executablePath;
    /// The folder of the daemons (libexec/quillet).
    std::string daemonFolder;
    /// The companion to launch at every start; nothing is launched when it is missing.
    std::string companionPath;
    /// The settings request the companion leaves before launching the application.
    std::string settingsFlagPath;
    /// Launch the companion at all (tests switch it off).
    bool launchCompanion = true;
    /// Listen for the settings request on the session bus.
    bool listenOnSessionBus = true;

    static StartupOptions fromSystem();
};

/// The oldest kernel the programs run on: 3.15, the first with renameat2.
inline constexpr int kOldestSystemVersion = 0x030F00;
/// "$XDG_RUNTIME_DIR/quillet/SETTINGS_FLAG", else "~/.cache/quillet/SETTINGS_FLAG".
std::string settingsFlagPath();

} // namespace quillet::app
