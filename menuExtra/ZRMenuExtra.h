#pragma once
// The tray companion: an icon in the desktop's system tray (when there is one) that shows
// whether protection runs, starts and stops it, opens Quillet or its settings, resumes
// protection after a restart of the computer, warns about a damaged set of daemons and looks
// for a newer version. It has no settings of its own: it reads Quillet's (com.plx.Quillet) and
// writes there only what protection itself writes.
//
// The menu and the icon live on the main thread, which never waits: starting and stopping run
// as jobs on ProtectionService's queue, the update check on a job of its own, and the pauses
// (3 s before resuming, 10 s before an anomaly is reported) are timers. The refresh runs on a
// thread of its own: at each look it reads the process table once and the settings file's
// status, and wakes the main thread only when what it sees differs from what the menu shows.
// Between looks it sleeps until a daemon or Quillet starts or ends or the settings file is
// written, looking every second for a few looks after each change and every ten seconds
// otherwise, and every second wherever it cannot watch (refreshLoop). An idle companion then
// wakes a few times a minute, never its event loop.

#include "jobs/UpdateCheck.h"
#include "control/DaemonControl.h"
#include "platform/ChangeWatch.h"
#include "platform/FolderStamp.h"
#include "platform/ProcessTable.h"
#include "platform/Wakeup.h"
#include "settings/PreferencesDomain.h"
#include "settings/SettingsMirror.h"

#include <QObject>

#include <atomic>
#include <cstdint>
#include <functional>
#include <mutex>
#include <optional>
#include <string>
#include <thread>
#include <vector>

class QAction;
class QMenu;
class QMessageBox;
class QSystemTrayIcon;
class QTimer;

namespace quillet::app {
class JobWatcher;
class ProtectionService;
} // namespace quillet::app

namespace quillet::menuextra {

/// The companion's program name, as the process table shows it (cut to 15 characters).
inline constexpr char kMenuExtraName[] = "QuilletMenuExtra";
/// The main application's program name.
inline constexpr char kMainAppName[] = "Quillet";

/// What the companion finds around it; taken from the system by default, tests give their own.
struct MenuExtraOptions {
    /// The daemons (libexec/quillet beside the companion).
    std::string daemonFolder;
    /// The main application (bin/Quillet of the same installation).
    std::string mainAppPath;
    /// The companion itself, for its login item.
    std::string selfPath;
    /// Where the settings request is left for a main application that is not running.
    std::string settingsFlagPath;
    /// When the computer started (seconds since 1970); nothing when it cannot be told.
    std::function<std::optional<int64_t>()> bootTime;
    /// The processes of this user (the kernel's table by default).
    std::function<std::vector<sys::ProcessEntry>()> processTable;
    /// The pause before protection is resumed after a restart, and before a damaged set of
    /// daemons is reported.
    int resumeDelayMs = 3000;
    int anomalyPauseMs = 10000;
    /// Between two update checks.
    int updateIntervalMs = 3 * 3600 * 1000;
    /// Between two looks of the refresh.
    int refreshIntervalMs = 1000;
    /// Between two looks while the refresh is woken by every change it could see (the starts of
    /// the daemons and Quillet, their ends, the settings file) and nothing moved lately; looks
    /// at this pace see the rest (a program of that name elsewhere). Never shorter than
    /// refreshIntervalMs.
    int quietRefreshIntervalMs = 10000;
    /// The page the update check reads (QUILLET_UPDATE_URL overrides the configured one).
    UpdateCheck::Request updateRequest;
    /// This process is the companion program (not a test of its controller): another companion
    /// then counts only when it started earlier.
    bool selfIsCompanion = false;
    /// Add the companion to the login items at start.
    bool addLoginItem = true;

    static MenuExtraOptions fromSystem();
};

/// Menu items by tag.
enum MenuTag { kOpenTag = 1, kSettingsTag = 2, kStartTag = 20, kStopTag = 21, kCheckUpdateTag = 30, kQuitTag = 50 };

class ZRMenuExtra : public QObject {
    Q_OBJECT
public:
    explicit ZRMenuExtra(MenuExtraOptions options, QObject *parent = nullptr);
    ~ZRMenuExtra() override;

    /// The launch: false when another companion of this user runs already (the caller quits);
    /// otherwise the icon, the refresh, the login item, the resume after a restart and the
    /// update check are set up.
    bool awakeFromNib();

    /// Another companion of this user runs.
    bool checkMenuBarExistence();
    /// One refresh, at once, on this thread (the refresh thread does the same each second and
    /// hands what changed over to the main thread).
    void timerMethod();
    /// Ends the refresh thread (the benchmark times timerMethod alone).
    void stopRefresh();
    /// Acts on the menu item of that tag; any other tag does nothing.
    void menuAction(int tag);
    /// Starts protection when no daemon runs, otherwise stops it, on a job.
    void startStop();
    /// Asks whether to quit; quitting stops protection first.
    void quitMenu();
    /// Starts an update check unless Quillet runs or one is running.
    void checkUpdate();

    /// Quillet (a process named Quillet of this user) ran at the last refresh.
    bool isQLLaunched() const { return _qlLaunched; }
    /// Any of the daemons ran at the last refresh.
    bool protectionRuns() const { return _running; }
    /// The icon is in the tray.
    bool menuDisplayed() const { return _menuDisplayed; }
    /// This desktop has a system tray.
    bool trayAvailable() const { return _trayAvailable; }
    /// How many refreshes reached the menu, counting those run at once (timerMethod): an idle
    /// refresh that found nothing new does not.
    int refreshesShown() const { return _refreshesShown; }
    /// How many looks the refresh thread took.
    int looksTaken() const { return _looksTaken.load(); }
    /// The settings as last read, defaults completed.
    const SettingsMirror &mainAppPrefs() const { return _mainAppPrefs; }
    /// An update check is under way.
    bool checkingForUpdates() const { return _updateWatcher != nullptr; }
    /// No start, stop or update check is under way.
    bool idle() const;

    QMenu *theMenu() const { return _theMenu; }
    QAction *itemWithTag(int tag) const;
    app::ProtectionService &service() { return *_service; }

    /// How the download page is opened (the desktop's browser by default).
    std::function<void(const QString &)> openUrl;

signals:
    /// A start or stop has ended (the next refresh shows it).
    void startStopFinished();
    /// An update check has ended.
    void versionChecked(const quillet::UpdateCheckResult &result);
    /// The user chose to quit (protection is stopped first).
    void quitRequested();

private:
    /// What one look of the refresh finds.
    struct Look {
        DaemonCounts counts;
        bool qlLaunched = false;
        sys::FolderStamp prefsStamp;
        off_t prefsSize = -1;
        /// The same for the menu: the same daemons, Quillet and settings file.
        bool sameAs(const Look &other) const;
        /// Asks for the main thread even when nothing changed: an anomaly is timed there, and a
        /// settings file changed within the last second may change again unseen (no file: nothing
        /// to settle).
        bool wantsMainThread() const { return counts.anomalous() || (prefsSize >= 0 && !prefsStamp.settled()); }
    };
    /// Safe on any thread. With ends, also the descriptors that a watched process's end makes
    /// readable (nothing when some end would go unseen).
    Look takeLook(std::optional<std::vector<int>> *ends = nullptr);
    /// Sets up what wakes a quiet refresh: the starts of the programs looked for and the
    /// settings file; false when one of them cannot be watched.
    bool watchChanges(sys::ChangeWatch &changes) const;
    /// Shows a look in the menu and the icon (main thread).
    void applyLook(const Look &look);
    void refreshLoop(std::stop_token stop);
    static bool lookedFor(std::string_view command);
    void buildMenu();
    void readPrefsFromMainApp(bool force);
    void showStatusItem();
    void hideStatusItem();
    void setState(bool running);
    void launchMainApp();
    void showSettings();
    void resumeAfterRestart();
    void versionCheckTimer();
    void presentVersion(const UpdateCheckResult &result);
    void checkAnomaly(bool anomalous);
    void protectionProblem();
    /// Reloads the protection settings the next job takes.
    void refreshServiceMirror();
    /// Safe on any thread.
    std::vector<sys::ProcessEntry> processTable();

    MenuExtraOptions _options;
    /// Guards the process watch and the last look applied, which the refresh thread reads.
    std::mutex _lookLock;
    sys::ProcessWatch _processWatch;
    std::optional<Look> _appliedLook;
    PreferencesDomain _domain;
    SettingsMirror _mainAppPrefs;
    PrefValues _storedPrefs;
    sys::FolderStamp _prefsStamp;
    off_t _prefsSize = -1;
    bool _prefsRead = false;

    app::ProtectionService *_service = nullptr;
    QMenu *_theMenu = nullptr;
    QSystemTrayIcon *_theItem = nullptr;
    QAction *_stateItem = nullptr;
    QAction *_startItem = nullptr;
    QAction *_stopItem = nullptr;
    QTimer *_updateTimer = nullptr;
    app::JobWatcher *_updateWatcher = nullptr;
    QMessageBox *_problemAlert = nullptr;
    bool _menuDisplayed = false;
    bool _trayAvailable = false;
    bool _running = false;
    /// The state item and the icon show _running.
    bool _stateShown = false;
    bool _qlLaunched = false;
    bool _busy = false;
    int64_t _anomalySince = -1;
    int _refreshesShown = 0;
    std::atomic<int> _looksTaken{0};
    /// The refresh thread; stopped and joined first when the companion goes.
    sys::Wakeup _refreshWake;
    std::jthread _refresh;
};

} // namespace quillet::menuextra
