#include "StatusController.h"

#include "Alerts.h"
#include "BrowserTab.h"
#include "CacheRecoverer.h"
#include "CacheEmptier.h"
#include "MainController.h"
#include "ShownText.h"
#include "ProtectionService.h"
#include "SizeText.h"
#include "StatusTab.h"

#include "archive/CacheFolders.h"
#include "archive/CacheLayout.h"
#include "browser/BrowserItem.h"
#include "platform/MountTable.h"
#include "platform/TrustedFolder.h"

#include <QAction>
#include <QLabel>
#include <QPushButton>
#include <QFileSystemWatcher>
#include <QTimer>

#include <algorithm>
#include <memory>

namespace quillet::app {

namespace {

/// How long a stop waits for the daemons to end (a stopping quilletd still writes its index)
/// before the window shows what is left.
constexpr std::chrono::seconds kStopWait{5};

} // namespace

QString selectionLineText(bool selected, uint64_t displayedItems, size_t selectedRows, uint64_t selectedBytes) {
    if (!selected)
        return StatusController::tr("%1 items displayed").arg(displayedItems);
    const SelectionSummary summary = summarizeSelection(selectedRows, selectedBytes);
    return StatusController::tr("%1 items selected, %2%3")
        .arg(summary.count)
        .arg(summary.amount)
        .arg(translatedUnit(summary.unit));
}

struct StatusController::Refresh {
    ProtectionStatus status;
    bool running = false;
    std::vector<std::string> trashFolders;
    std::vector<std::string> cacheFolders;
};

StatusController::StatusController(MainController &main, ProtectionService &service)
    : QObject(&main), _main(main), _service(service) {
    refreshTimer = new QTimer(this);
    refreshTimer->setInterval(kRefreshInterval);
    connect(refreshTimer, &QTimer::timeout, this, [this] { timerRefreshStats(false); });
    _quickTimer = new QTimer(this);
    _quickTimer->setInterval(kQuickRefreshInterval);
    connect(_quickTimer, &QTimer::timeout, this, &StatusController::quickStatRefresh);
    _watcher = new QFileSystemWatcher(this);
    connect(_watcher, &QFileSystemWatcher::directoryChanged, this, &StatusController::watchedFolderChanged);
}

void StatusController::startTimers() {
    if (_stopped)
        return;
    refreshTimer->start();
    _quickTimer->start();
}

void StatusController::stopStatistics() {
    _stopped = true;
    refreshTimer->stop();
    _quickTimer->stop();
    if (!_watcher->directories().isEmpty())
        _watcher->removePaths(_watcher->directories());
    _watching = false;
}

bool StatusController::changeTestSleeps() const { return !_stopped && _watching && !_quickTimer->isActive(); }

void StatusController::watchFolders() {
    if (_stopped)
        return;
    QStringList wanted;
    for (const CountedFolder &folder : _trashCounts)
        wanted.append(QString::fromStdString(folder.path));
    for (const std::string &cache : _cacheFolders)
        wanted.append(QString::fromStdString(sys::withoutTrailingSlashes(cache)));
    wanted.sort();
    wanted.removeDuplicates();
    QStringList watched = _watcher->directories();
    watched.sort();
    if (watched == wanted && _watching)
        return;
    if (!watched.isEmpty())
        _watcher->removePaths(watched);
    // A folder that is not there (a trash folder made at the first trashing) or that inotify
    // refuses (out of watches) is looked at every second, as all were before.
    _watching = !wanted.isEmpty() && _watcher->addPaths(wanted).isEmpty();
    if (!_watching && !_quickTimer->isActive())
        _quickTimer->start();
}

void StatusController::watchedFolderChanged() {
    if (_stopped)
        return;
    _quietTicks = 0;
    if (_quickTimer->isActive())
        return; // the next tick looks
    _quickTimer->start();
    quickStatRefresh();
    // A watched folder that went away is no longer watched: watched again where it is back,
    // else looked at every second.
    watchFolders();
}

// ---- start / stop --------------------------------------------------------------------------

void StatusController::setStartStopBusy(bool busy) {
    _startStopLock = busy;
    _main.statusTab()->startStopButton->setEnabled(!busy);
    if (_main.startStopMenuItem)
        _main.startStopMenuItem->setEnabled(!busy);
}

void StatusController::startStop(bool fromUserControl) {
    // A start or stop is under way (its job, or the confirmation sheet): the controls are
    // disabled, and a call of the program's own waits for the next one.
    if (_startStopLock || _stopped)
        return;
    setStartStopBusy(true);

    struct Outcome {
        bool wasRunning = false;
        bool runningAfter = false;
        std::vector<std::string> failures;
        std::vector<UnprotectedVolume> unprotected;
        std::vector<std::string> cacheFolders;
        bool homeOnly = true;
        /// quilletd processes after the start: none means no trash is protected.
        int protectionDaemons = 0;
    };
    auto outcome = std::make_shared<Outcome>();
    _service.run(
        [outcome, fromUserControl](ProtectionControl &control) {
            outcome->wasRunning = control.daemons().isDaemonRunning(ReportProblems::No);
            if (!outcome->wasRunning) {
                control.startProtection();
                // A daemon that exits at once (a folder it refuses) has told why by then.
                (void)control.confirmLaunches();
                outcome->failures = control.failures();
                outcome->unprotected = control.unprotected();
                outcome->cacheFolders = control.cacheFolders();
                outcome->homeOnly = control.mirror().surveyHomeTrashOnly();
                outcome->runningAfter = control.refreshRunningState();
                outcome->protectionDaemons = control.daemons().countDaemons().protection;
            } else if (fromUserControl) {
                outcome->runningAfter = true; // asked first, on the main thread
            } else {
                (void)control.stopAndWait(kStopWait);
                outcome->runningAfter = control.refreshRunningState();
            }
        },
        [this, outcome, fromUserControl] {
            if (outcome->wasRunning && fromUserControl) {
                showSheet(&_main, AlertStyle::Warning, tr("Stop Quillet?"),
                          tr("Do you really want to stop? Files will not be saved anymore."), {tr("Cancel"), tr("Stop")},
                          [this](int code) { stopConfirmed(code); });
                return;
            }
            _main.statusTab()->setStatusDisplay(outcome->runningAfter);
            _main.startStopMenuItem->setText(outcome->runningAfter ? tr("Stop protection...") : tr("Start protection"));
            if (!outcome->wasRunning) {
                // With every volume protected, the browser shows the cache folders this start
                // made; home-only starts leave the list of every volume's folders as it is.
                if (!outcome->homeOnly) {
                    QStringList folders;
                    for (const std::string &folder : outcome->cacheFolders)
                        folders.append(QString::fromStdString(folder));
                    _main.setTrashesCachePath(folders);
                }
                QStringList problems;
                for (const UnprotectedVolume &volume : outcome->unprotected)
                    problems.append(tr("%1 is not protected: %2")
                                        .arg(QString::fromStdString(volume.mountPoint),
                                             QString::fromStdString(volume.why.message())));
                for (const std::string &failure : outcome->failures)
                    problems.append(QString::fromStdString(failure));
                // Without a protection daemon nothing trashed is kept, whatever else runs.
                if (!outcome->runningAfter || outcome->protectionDaemons == 0)
                    showSheet(&_main, AlertStyle::Critical, tr("Protection could not be started."),
                              problems.isEmpty() ? tr("No protection daemon is running after the start.")
                                                 : problems.join(QLatin1Char('\n')),
                              {tr("OK")}, {});
                else if (!problems.isEmpty())
                    showSheet(&_main, AlertStyle::Warning, tr("Protection started with problems."),
                              problems.join(QLatin1Char('\n')), {tr("OK")}, {});
            }
            finishStartStop();
        });
}

void StatusController::stopConfirmed(int returnCode) {
    if (returnCode == kAlertFirstButtonReturn) {
        // "Cancel": protection goes on; the refresh records that it runs.
        finishStartStop();
        return;
    }
    auto runningAfter = std::make_shared<bool>(true);
    _service.run(
        [runningAfter](ProtectionControl &control) {
            (void)control.stopAndWait(kStopWait);
            *runningAfter = control.refreshRunningState();
        },
        [this, runningAfter] {
            // A daemon that ignored the signal keeps the display on "running".
            _main.statusTab()->setStatusDisplay(*runningAfter);
            finishStartStop();
        });
}

void StatusController::finishStartStop() {
    setStartStopBusy(false);
    timerRefreshStats(true);
    emit startStopFinished();
}

// ---- statistics ----------------------------------------------------------------------------

void StatusController::timerRefreshStats(bool rebuildBrowser) {
    if (_stopped)
        return;
    if (rebuildBrowser)
        emit _main.refreshOutlineList();
    // One refresh at a time; a request meanwhile is served by one more refresh afterwards, which
    // sees whatever changed after the running one read the folders.
    if (_refreshRunning) {
        _refreshAgain = true;
        return;
    }
    _refreshRunning = true;
    auto refresh = std::make_shared<Refresh>();
    const char separator = coreDecimalSeparator();
    _service.run(
        [refresh, separator](ProtectionControl &control) {
            const std::vector<sys::LocalVolume> volumes = sys::mountedLocalVolumes();
            getTrashedPaths(volumes, refresh->trashFolders);
            getCachesPaths(volumes, refresh->cacheFolders);
            refresh->status = control.status(separator);
            refresh->running = control.refreshRunningState();
        },
        [this, refresh] {
            _refreshRunning = false;
            if (_stopped)
                return;
            showRefresh(*refresh);
            if (_refreshAgain) {
                _refreshAgain = false;
                timerRefreshStats(false);
            }
        });
}

void StatusController::showRefresh(const Refresh &refresh) {
    StatusTab *tab = _main.statusTab();
    const ProtectionStatus &status = refresh.status;
    setShownText(tab->nbDaemonsManaged, QString::number(status.running ? std::max(0, status.daemons.protection) : 0));
    setShownText(tab->fullCacheSizeTF, shownSize(status.cacheSizeText));
    setShownText(tab->totalTrashSizeTF, shownSize(status.trashSizeText));
    if (_main.startStopMenuItem) {
        const QString title = refresh.running ? tr("Stop protection...") : tr("Start protection");
        if (_main.startStopMenuItem->text() != title)
            _main.startStopMenuItem->setText(title);
    }
    tab->setStatusDisplay(refresh.running);
    if (_trashFolders != refresh.trashFolders) {
        _trashFolders = refresh.trashFolders;
        _trashCounts.clear();
        for (const std::string &folder : _trashFolders)
            _trashCounts.push_back({sys::withoutTrailingSlashes(folder), {}, 0, false});
    }
    _cacheFolders = refresh.cacheFolders;
    watchFolders();

    if (status.daemons.anomalous() && !_anomalyHandled) {
        // A set of daemons caught while starting or stopping looks damaged for a moment: it is
        // looked at again after the pause, without holding up the window meanwhile.
        _anomalyHandled = true;
        QTimer::singleShot(_anomalyPause, this, &StatusController::checkAnomalyAgain);
    }
    emit statisticsRefreshed();
}

void StatusController::quickStatRefresh() {
    if (_stopped)
        return;
    ++_changeTests;
    // Every second on the main thread: a stat per trash folder (a count only where it changed)
    // and one per cache folder (an unlink where the marker is), over the lists of the last full
    // refresh. No folder walk, no mount table.
    if (const uint64_t entries = trashEntries(); entries != _knownObjectInTrash) {
        _knownObjectInTrash = entries;
        _quietTicks = 0;
        timerRefreshStats(true);
        return;
    }
    const std::string flag(kUpdateFlagName);
    for (const std::string &cache : _cacheFolders) {
        // Nearly every tick finds no marker: one look at the name says so. Only a marker that is
        // there is taken, and through the folder as it may be trusted: a cache folder swapped for
        // a link is not ours to remove anything from.
        if (!sys::stat(sys::joinPath(cache, flag), sys::FollowLinks::No))
            continue;
        auto folder = sys::openOwnedFolder(cache);
        if (!folder)
            continue;
        if (sys::unlinkAt(*folder, flag)) {
            // The other folders are looked at on the next tick.
            _quietTicks = 0;
            timerRefreshStats(true);
            return;
        }
    }
    // Nothing changed. Once the counts are settled (a count taken within a second of a change
    // may miss a change in the same tick of the clock) and a few seconds were quiet, the test
    // waits for the next change of a watched folder.
    const bool settled = std::all_of(_trashCounts.begin(), _trashCounts.end(), [](const CountedFolder &folder) {
        return folder.counted && folder.stamp.settled();
    });
    if (!settled)
        _quietTicks = 0;
    else if (_watching && ++_quietTicks >= kQuietTicksBeforeSleep)
        _quickTimer->stop();
}

uint64_t StatusController::trashEntries() {
    uint64_t total = 0;
    for (CountedFolder &folder : _trashCounts) {
        auto st = sys::stat(folder.path, sys::FollowLinks::Yes);
        if (!st) {
            // A trash folder that is not there (yet) holds nothing.
            folder.counted = false;
            folder.entries = 0;
            continue;
        }
        // Entries come and go only with a new modification time of their folder: the count
        // stays true while the stamp does, once the stamp was taken more than a second after
        // the last change. The stamp is taken before the count, so a change during the count
        // shows as a new stamp on the next tick.
        const sys::FolderStamp stamp = sys::FolderStamp::of(*st);
        if (!folder.counted || !folder.stamp.settled() || !stamp.sameState(folder.stamp)) {
            auto entries = sys::countDirectoryEntries(folder.path);
            folder.counted = entries.ok();
            folder.entries = entries ? *entries : 0;
            folder.stamp = stamp;
        }
        total += folder.entries;
    }
    return total;
}

// ---- the damaged set of daemons --------------------------------------------------------------

void StatusController::checkAnomalyAgain() {
    if (_stopped) {
        _anomalyHandled = false;
        return;
    }
    auto counts = std::make_shared<DaemonCounts>();
    _service.run([counts](ProtectionControl &control) { *counts = control.daemons().countDaemons(); },
                 [this, counts] {
                     if (_stopped || !counts->anomalous()) {
                         _anomalyHandled = false;
                         return;
                     }
                     protectionProblem();
                 });
}

void StatusController::protectionProblem() {
    showSheet(&_main, AlertStyle::Critical, tr("Protection problem!"),
              tr("The protection seems to be damaged and not fully working. Your System can be damaged or Quillet is "
                 "not installed correctly.\nBe carefull, data may not be saved by Quillet."),
              {tr("Try to stop and relaunch"), tr("Continue anyway")}, [this](int code) {
                  if (code != kAlertFirstButtonReturn) {
                      _anomalyHandled = false;
                      return;
                  }
                  _service.run(
                      [](ProtectionControl &control) {
                          control.daemons().cleanConfigFiles(mountedCachesPaths());
                          // The start a second later must find nothing running, or it would
                          // take the stopping daemons for running protection.
                          (void)control.daemons().waitUntilNoDaemonRuns(kStopWait);
                          (void)control.refreshRunningState();
                      },
                      [this] {
                          QTimer::singleShot(1000, this, [this] {
                              _anomalyHandled = false;
                              startStop(false);
                          });
                      });
              });
}

// ---- the selection line ----------------------------------------------------------------------

void StatusController::didOutlineViewWasClicked(bool selected) {
    BrowserTab *browser = _main.browserTab();
    QAction *recoverItem = _main.recoverSelectionItemMenuItem;
    QAction *putBackItem = _main.putBackSelectionItemMenuItem;
    if (_main.cacheEmptier().deleteThreadRunning() || _main.cacheRecoverer().running()) {
        for (QPushButton *button :
             {browser->emptySelectionButton, browser->recoverButton, browser->putBackButton, browser->emptyAllButton})
            button->setEnabled(false);
        for (QAction *action : {recoverItem, putBackItem})
            if (action)
                action->setEnabled(false);
        setShownText(browser->outlineListStatsTF, selectionLineText(false, browser->countDisplayedItems(), 0, 0));
        return;
    }
    browser->emptySelectionButton->setEnabled(selected);
    browser->recoverButton->setEnabled(selected);
    browser->putBackButton->setEnabled(selected);
    for (QAction *action : {recoverItem, putBackItem})
        if (action)
            action->setEnabled(selected);
    browser->emptyAllButton->setEnabled(true);
    if (!selected) {
        setShownText(browser->outlineListStatsTF, selectionLineText(false, browser->countDisplayedItems(), 0, 0));
        return;
    }
    const std::vector<BrowserItem> items = browser->selectedItems();
    uint64_t total = 0;
    for (const BrowserItem &item : items)
        total += item.size.value_or(0);
    setShownText(browser->outlineListStatsTF, selectionLineText(true, browser->countDisplayedItems(), items.size(), total));
}

} // namespace quillet::app
