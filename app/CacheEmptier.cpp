#include "CacheEmptier.h"

#include "Alerts.h"
#include "BrowserTab.h"
#include "MainController.h"
#include "ProtectionService.h"
#include "ShownText.h"
#include "StatusController.h"
#include "ZRAppDelegate.h"

#include "archive/CacheFolders.h"
#include "jobs/CacheEmptying.h"
#include "platform/RemoveTree.h"
#include "platform/UserPaths.h"
#include "platform/TrustedFolder.h"
#include "settings/PreferencesDomain.h"
#include "support/ZRAppUtils.h"

#include <QAction>
#include <QApplication>
#include <QDesktopServices>
#include <QFileInfo>
#include <QLabel>
#include <QPushButton>
#include <QUrl>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cstdio>
#include <memory>

namespace quillet::app {

namespace {

/// How long the uninstall waits for the daemons to end before it removes their folders.
constexpr std::chrono::seconds kUninstallStopWait{10};

/// Removes a preferences file (and its lock file beside it, silently). A file that is not there
/// has nothing to remove.
void removePreferencesFile(const std::string &path) {
    std::fprintf(stderr, "Quillet uninstall, removing: %s\n", path.c_str());
    if (sys::Status removed = sys::unlink(path); !removed && removed.code() != ENOENT) {
        std::fprintf(stderr, "    Error removeFileAtPath: %s\n", path.c_str());
        std::fprintf(stderr, "    %s\n", removed.message().c_str());
    }
    (void)sys::unlink(path + ".lock");
}

/// Removes the files the programs keep for themselves in the home folder: the daemons' log (and
/// its previous part) and a settings request not taken, then their folders when nothing else is
/// in them. Only those names are removed; a folder holding anything else stays.
void removeIfEmpty(const std::string &folder) {
    // rmdir refuses a folder that still holds something, and a link is not a folder.
    if (auto parent = sys::openDirectory(sys::parentPath(folder), sys::FollowLinks::Yes))
        (void)sys::unlinkAt(*parent, sys::lastPathComponent(folder), true);
}

/// Removes the named files of folder, only through a real folder of this user, then the folder
/// when nothing else is in it.
void removeFilesOf(const std::string &folder, std::initializer_list<std::string> names) {
    if (auto owned = sys::openOwnedFolder(folder)) {
        for (const std::string &name : names)
            (void)sys::unlinkAt(*owned, name);
        removeIfEmpty(folder);
    }
}

void removeOwnFiles() {
    removeFilesOf(sys::stateFolder(), {"daemons.log", "daemons.log.old"});
    const std::string flag = sys::settingsFlagPath();
    removeFilesOf(sys::parentPath(flag), {sys::lastPathComponent(flag)});
}

/// Removes a cache folder with everything in it, only when it is a real folder of this user,
/// never through a link: the folder is opened from its parent without following it, and the
/// removal works relative to that parent. A folder that is not there counts as removed.
sys::Status removeCacheFolder(const std::string &cache) {
    const std::string path = sys::withoutTrailingSlashes(cache);
    const std::string name = sys::lastPathComponent(path);
    auto parent = sys::openDirectory(sys::parentPath(path), sys::FollowLinks::Yes);
    if (!parent)
        return parent.code() == ENOENT ? sys::Status() : parent.status();
    auto folder = sys::openOwnedFolderAt(*parent, name, path);
    if (!folder)
        return folder.code() == ENOENT ? sys::Status() : folder.status();
    return sys::removeTree(*parent, name);
}

} // namespace

CacheEmptier::CacheEmptier(MainController &main, ProtectionService &service)
    : QObject(&main), _main(main), _service(service) {}

// ---- emptying ------------------------------------------------------------------------------

void CacheEmptier::setEmptyingControlsEnabled(bool enabled) {
    BrowserTab *browser = _main.browserTab();
    for (QPushButton *button :
         {browser->emptySelectionButton, browser->recoverButton, browser->putBackButton, browser->emptyAllButton})
        button->setEnabled(enabled);
    for (QAction *action : {_main.recoverSelectionItemMenuItem, _main.putBackSelectionItemMenuItem})
        if (action)
            action->setEnabled(enabled);
}

void CacheEmptier::emptyCaches(int tag) {
    if (_deleteThreadRunning || _confirming || _uninstalling)
        return;
    _confirming = true;
    showSheet(&_main, AlertStyle::Warning, tr("Are you sure you want to delete files?"),
              tr("Files will be permanently deleted from your hard disk. This can't be undone."),
              {tr("Do not delete"), tr("Delete files")}, [this, tag](int code) {
                  _confirming = false;
                  if (code == kAlertFirstButtonReturn)
                      return;
                  startEmptying(tag);
              });
}

void CacheEmptier::startEmptying(int tag) {
    BrowserTab *browser = _main.browserTab();
    setEmptyingControlsEnabled(false);
    if (tag != BrowserTab::kEmptyAllTag && tag != BrowserTab::kEmptySelectionTag) {
        _main.statusController().timerRefreshStats(true);
        emit emptyingFinished();
        return;
    }
    const EmptyScope scope = tag == BrowserTab::kEmptyAllTag ? EmptyScope::Everything : EmptyScope::Selection;
    std::vector<std::string> caches;
    for (const QString &folder : _main.trashesCachePath())
        caches.push_back(folder.toStdString());
    std::vector<BrowserItem> selection;
    if (scope == EmptyScope::Selection)
        selection = browser->selectedItems();

    // The job stops running protection (and waits for its daemons), deletes, and starts it
    // again itself; it goes through the service's queue, so no other use of the control runs
    // meanwhile. Its delete workers post to nobody: the window follows the job as a whole.
    auto emptying = CacheEmptying::emptyCaches(scope, std::move(caches), std::move(selection), _service.control(),
                                               nullptr);
    _deleteThreadRunning = true;
    setShownText(browser->outlineListStatsTF, tr("Deleting… %1 %").arg(0));
    _service.runJob(
        emptying,
        [this, emptying](JobEnd end) {
            _deleteThreadRunning = false;
            BrowserTab *tab = _main.browserTab();
            tab->deselectAll();
            QStringList problems;
            if (end == JobEnd::NotStarted)
                problems.append(tr("Another emptying of the cache is running."));
            for (const DeletedItem &item : emptying->deleted()) {
                if (item.status)
                    continue;
                // A refusal about the item itself says only why; one about something inside it
                // names what.
                const std::string why =
                    item.status.path() == item.path ? item.status.reason() : item.status.message();
                problems.append(tr("%1: %2").arg(QString::fromStdString(item.path), QString::fromStdString(why)));
            }
            if (emptying->protectionOutlivedStop())
                problems.append(tr("A protection daemon was still running 10 seconds after the stop; the cache was "
                                   "emptied all the same."));
            if (!problems.isEmpty())
                showSheet(&_main, AlertStyle::Warning, tr("Some items could not be deleted."),
                          problems.join(QLatin1Char('\n')), {tr("OK")}, {});
            _main.statusController().timerRefreshStats(true);
            emit emptyingFinished();
        },
        [this](double percent) {
            _deleteThreadRunning = true;
            setShownText(_main.browserTab()->outlineListStatsTF,
                         tr("Deleting… %1 %").arg(static_cast<int>(std::clamp(percent, 0.0, 100.0))));
        });
}

// ---- uninstall -----------------------------------------------------------------------------

std::string CacheEmptier::companionPath() const {
    const StartupOptions &options = _main.options();
    if (!options.companionPath.empty())
        return options.companionPath;
    return sys::joinPath(options.daemonFolder, "QuilletMenuExtra");
}

void CacheEmptier::uninstallSoftware() {
    if (_uninstalling)
        return;
    if (runModalAlert(&_main, AlertStyle::Critical, tr("Do you want to uninstall the application?"),
                      tr("This will remove all cache folders.\nThen, please move the application to the trash."),
                      {tr("Cancel"), tr("Uninstall")}) != kAlertSecondButtonReturn)
        return;
    _uninstalling = true;
    // Nothing may write the settings from now on: a refresh records whether protection runs.
    _main.statusController().stopStatistics();
    setEmptyingControlsEnabled(false);

    ZRAppDelegate *delegate = _main.appDelegate();
    const std::string companion = companionPath();
    _service.run(
        [delegate, companion](ProtectionControl &control) {
            // The daemons write into the cache folders until they have ended.
            (void)control.stopAndWait(kUninstallStopWait);
            if (delegate)
                delegate->killExtraMenu();
            sys::sleepFor(1000);
            removePreferencesFile(PreferencesDomain(kMenuExtraDomain).path());
            ZRAppUtils().setAnAppInLoginItems(false, companion);
            for (const std::string &cache : mountedCachesPaths()) {
                std::fprintf(stderr, "Quillet uninstall, removing %s\n", cache.c_str());
                if (sys::Status removed = removeCacheFolder(cache)) {
                    std::fprintf(stderr, "    Done!\n");
                } else {
                    std::fprintf(stderr, "    Error removeFileAtPath: %s\n", cache.c_str());
                    std::fprintf(stderr, "    %s\n", removed.message().c_str());
                }
            }
            removeOwnFiles();
        },
        [this] { finishUninstall(); });
}

void CacheEmptier::finishUninstall() {
    runModalAlert(&_main, AlertStyle::Informational, tr("Uninstallation terminated."),
                  tr("The application will now quit.\nDrag it to the trash to finish uninstallation."), {tr("Quit")});
    const std::string &executable = _main.options().executablePath;
    if (!executable.empty() && !qEnvironmentVariableIsSet("QUILLET_NO_REVEAL"))
        QDesktopServices::openUrl(QUrl::fromLocalFile(QFileInfo(QString::fromStdString(executable)).absolutePath()));
    const std::string preferences = _service.domainPath();
    _service.run(
        [preferences](ProtectionControl &) {
            (void)sys::unlink(preferences);
            (void)sys::unlink(preferences + ".lock");
        },
        [this] {
            emit uninstalled();
            QApplication::quit();
        });
}

} // namespace quillet::app
