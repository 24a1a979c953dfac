#pragma once
// Protection start/stop and the statistics of the status tab: the start/stop button and menu
// item with the stop confirmation, the status display, the daemon count, the sizes of the caches
// and the trash (read on a job), the one-second change test ("UPD_FLAG", the trash entry count),
// the 30-second full refresh, the "Protection problem!" alert, and the selection line of the
// browser tab.
//
// Nothing here waits on the disk, the daemons or the process table on the main thread: starts,
// stops and full refreshes are requests to ProtectionService, answered on the main thread. Only
// the one-second change test runs on the main thread, and it is kept to a few system calls per
// folder over the folder lists of the last full refresh: the status of each trash folder (its
// entries are counted again only when that status says they may have changed, so a trash of
// any size costs the same) and one unlink of "UPD_FLAG" per cache folder.

#include <QObject>
#include <QString>

#include "platform/FolderStamp.h"

#include <chrono>
#include <cstdint>
#include <string>
#include <vector>

class QFileSystemWatcher;
class QTimer;

namespace quillet::app {

class MainController;
class ProtectionService;

class StatusController : public QObject {
    Q_OBJECT
public:
    /// How long a damaged set of daemons is given to settle before it is looked at again and
    /// reported.
    static constexpr std::chrono::milliseconds kAnomalyPause{10000};
    static constexpr std::chrono::milliseconds kRefreshInterval{30000};
    static constexpr std::chrono::milliseconds kQuickRefreshInterval{1000};

    StatusController(MainController &main, ProtectionService &service);

    /// After a change, or while a folder cannot be watched, the change test runs every second;
    /// after this many seconds in a row that found nothing (every trash folder counted and
    /// settled), it waits for the next change of a watched folder.
    static constexpr int kQuietTicksBeforeSleep = 3;

    /// Starts the two timers (30 s full refresh, 1 s change test). The change test sleeps
    /// while nothing changes in the trash and cache folders (inotify watches), wherever every
    /// one of them can be watched.
    void startTimers();
    /// Stops both timers and every refresh still to come for good (the uninstall: nothing may
    /// write the settings any more).
    void stopStatistics();
    /// The start/stop action; fromUserControl: the button or menu item (tag 666), whose stop
    /// is confirmed first. Ignored while a start or stop runs.
    void startStop(bool fromUserControl);
    /// A start or stop runs (the start/stop controls are disabled meanwhile).
    bool startStopRunning() const { return _startStopLock; }
    /// Full refresh; rebuildBrowser when called directly (not by the timer).
    void timerRefreshStats(bool rebuildBrowser = true);
    /// The one-second change test.
    void quickStatRefresh();
    /// How many change tests ran; for tests.
    uint64_t changeTests() const { return _changeTests; }
    /// The change test waits for a watched folder to change (it runs every second otherwise).
    bool changeTestSleeps() const;
    /// The browser's selection changed (selected: rows are selected).
    void didOutlineViewWasClicked(bool selected);

    /// The pause before an anomaly is looked at again (kAnomalyPause unless changed).
    void setAnomalyPause(std::chrono::milliseconds pause) { _anomalyPause = pause; }
    /// The folder lists of the last full refresh, which the change test looks at.
    const std::vector<std::string> &trashFolders() const { return _trashFolders; }
    const std::vector<std::string> &cacheFolders() const { return _cacheFolders; }

signals:
    /// A full refresh has been shown.
    void statisticsRefreshed();
    /// A start or stop has ended (also a stop the user cancelled).
    void startStopFinished();

private:
    struct Refresh;
    /// A trash folder with its entry count, valid while the folder's stamp stays the same.
    struct CountedFolder {
        std::string path;
        sys::FolderStamp stamp;
        uint64_t entries = 0;
        bool counted = false;
    };
    /// Top-level entries of the trash folders now, counting again only the folders whose
    /// status changed (or had not settled) since they were last counted.
    uint64_t trashEntries();
    /// Watches the trash and cache folders of the last full refresh; the change test ticks on
    /// for good where one of them cannot be watched.
    void watchFolders();
    /// A watched folder changed: the change test runs now and every second until it is quiet.
    void watchedFolderChanged();
    void showRefresh(const Refresh &refresh);
    void setStartStopBusy(bool busy);
    void finishStartStop();
    void stopConfirmed(int returnCode);
    void checkAnomalyAgain();
    void protectionProblem();

    MainController &_main;
    ProtectionService &_service;
    QTimer *refreshTimer = nullptr;
    QTimer *_quickTimer = nullptr;
    QFileSystemWatcher *_watcher = nullptr;
    /// Every trash and cache folder is watched.
    bool _watching = false;
    /// Change tests in a row that found nothing.
    int _quietTicks = 0;
    uint64_t _changeTests = 0;
    /// Set for the whole of a start or stop, the confirmation sheet included.
    bool _startStopLock = false;
    /// Top-level entries of the trash folders at the last change test.
    uint64_t _knownObjectInTrash = 0;
    std::vector<std::string> _trashFolders;
    std::vector<std::string> _cacheFolders;
    std::vector<CountedFolder> _trashCounts;
    bool _refreshRunning = false;
    bool _refreshAgain = false;
    bool _stopped = false;
    /// An anomaly is being looked at again or reported: no second one meanwhile.
    bool _anomalyHandled = false;
    std::chrono::milliseconds _anomalyPause = kAnomalyPause;
};

/// The selection line of the browser tab: "<n> items displayed" without a selection, else
/// "<n> items selected, <amount><unit>" (whole MB above 2 MiB − 1, KB above 2047 bytes, else B).
QString selectionLineText(bool selected, uint64_t displayedItems, size_t selectedRows, uint64_t selectedBytes);

} // namespace quillet::app
