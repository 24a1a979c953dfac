#include "ZRMenuExtra.h"

#include "Alerts.h"
#include "JobWatcher.h"
#include "MenuExtraResources.h"
#include "ProtectionService.h"

#include "archive/CacheFolders.h"
#include "control/DaemonControl.h"
#include "platform/Log.h"
#include "platform/MountTable.h"
#include "platform/Process.h"
#include "platform/System.h"
#include "platform/UserPaths.h"
#include "support/ZRAppUtils.h"

#include <QAction>
#include <QApplication>
#include <QCursor>
#include <QDBusConnection>
#include <QDBusMessage>
#include <QDesktopServices>
#include <QMenu>
#include <QMessageBox>
#include <QSystemTrayIcon>
#include <QTimer>
#include <QUrl>

#include <algorithm>
#include <chrono>
#include <cstdio>

namespace quillet::menuextra {

namespace {
// Between the refresh's looks at the new processes only, every process's name is read again
// this often (in refreshes): one that became a daemon by an exec long after it started is seen
// then. Each full read costs about ten plain ticks.
constexpr unsigned kFullReadEvery = 30;
} // namespace

using app::AlertStyle;
using app::kAlertFirstButtonReturn;
using app::kAlertSecondButtonReturn;

MenuExtraOptions MenuExtraOptions::fromSystem() {
    MenuExtraOptions options;
    options.daemonFolder = DaemonControl::defaultDaemonFolder();
    if (auto self = sys::siblingExecutable(kMenuExtraName)) {
        options.selfPath = *self;
        // libexec/quillet/QuilletMenuExtra → bin/Quillet of the same installation.
        const std::string prefix = sys::parentPath(sys::parentPath(sys::parentPath(*self)));
        options.mainAppPath = sys::joinPath(prefix, std::string("bin/") + kMainAppName);
    }
    options.settingsFlagPath = sys::settingsFlagPath();
    options.selfIsCompanion = true;
    options.bootTime = []() -> std::optional<int64_t> {
        auto boot = sys::bootTime();
        if (!boot) {
            std::fprintf(stderr, "sysctl error: %s\n", boot.status().message().c_str());
            return std::nullopt;
        }
        return *boot;
    };
    if (const char *url = std::getenv("QUILLET_UPDATE_URL"); url && *url)
        options.updateRequest.pageUrl = url;
    return options;
}

ZRMenuExtra::ZRMenuExtra(MenuExtraOptions options, QObject *parent)
    : QObject(parent), _options(std::move(options)), _processWatch(&ZRMenuExtra::lookedFor, kFullReadEvery), _domain(kQuilletDomain) {
    qRegisterMetaType<quillet::UpdateCheckResult>();
    openUrl = [](const QString &url) { QDesktopServices::openUrl(QUrl(url)); };
    _service = new app::ProtectionService(_options.daemonFolder, this);
    if (_options.processTable) {
        auto source = _options.processTable;
        _service->run([source](ProtectionControl &control) { control.daemons().setProcessTableSource(source); });
    }
    buildMenu();
    readPrefsFromMainApp(true);
}

ZRMenuExtra::~ZRMenuExtra() {
    stopRefresh();
    delete _problemAlert;
    hideStatusItem();
    delete _theMenu;
}

void ZRMenuExtra::buildMenu() {
    _theMenu = new QMenu;
    _theMenu->setAccessibleName(tr("Quillet"));
    _stateItem = _theMenu->addAction(tr("Protection is off"));
    _stateItem->setEnabled(false);
    _theMenu->addSeparator();
    auto add = [this](const QString &title, int tag) {
        QAction *item = _theMenu->addAction(title);
        item->setData(tag);
        connect(item, &QAction::triggered, this, [this, tag] { menuAction(tag); });
        return item;
    };
    // Kept at hand: the refresh enables them every second.
    _startItem = add(tr("Start protection"), kStartTag);
    _stopItem = add(tr("Stop protection"), kStopTag);
    _theMenu->addSeparator();
    add(tr("Open Quillet"), kOpenTag);
    add(tr("Settings..."), kSettingsTag);
    add(tr("Check for Updates..."), kCheckUpdateTag);
    _theMenu->addSeparator();
    add(tr("Quit Quillet Tray"), kQuitTag);
}

QAction *ZRMenuExtra::itemWithTag(int tag) const {
    for (QAction *item : _theMenu->actions())
        if (item->data().isValid() && item->data().toInt() == tag)
            return item;
    return nullptr;
}

bool ZRMenuExtra::idle() const { return !_busy && !_updateWatcher && _service->idle(); }

bool ZRMenuExtra::lookedFor(std::string_view command) {
    for (const char *program :
         {kProtectionDaemonName, kCacheManagerDaemonName, kMountDaemonName, kMainAppName, kMenuExtraName})
        if (sys::matchesProgram(command, program))
            return true;
    return false;
}

std::vector<sys::ProcessEntry> ZRMenuExtra::processTable() {
    // Only the programs the companion looks for, and names read again only for new processes:
    // reading every process's status each second would cost more than the rest of the refresh.
    if (_options.processTable)
        return _options.processTable();
    const std::lock_guard<std::mutex> lock(_lookLock);
    return _processWatch.read();
}

// ---- launch ------------------------------------------------------------------------------------

bool ZRMenuExtra::checkMenuBarExistence() {
    // Two companions started together (Quillet's launch and the login's) must not both quit:
    // only one that started before this process counts. A process that is not a companion
    // itself (a test) sees every companion.
    const pid_t self = sys::processId();
    auto selfStart = sys::processStartTicks(self);
    for (const sys::ProcessEntry &entry : processTable()) {
        if (entry.pid == self || !sys::matchesProgram(entry.command, kMenuExtraName))
            continue;
        if (!_options.selfIsCompanion || !selfStart)
            return true;
        auto start = sys::processStartTicks(entry.pid);
        if (!start)
            continue; // ended meanwhile
        if (*start < *selfStart || (*start == *selfStart && entry.pid < self))
            return true;
    }
    return false;
}

bool ZRMenuExtra::awakeFromNib() {
    if (checkMenuBarExistence())
        return false;
    _trayAvailable = QSystemTrayIcon::isSystemTrayAvailable();
    if (!_trayAvailable)
        std::fprintf(stderr, "QuilletMenuExtra: this desktop has no system tray; the icon is not shown, "
                             "protection is still resumed after a restart\n");
    if (_mainAppPrefs.displayMenuExtra())
        showStatusItem();

    timerMethod();
    _refresh = std::jthread([this](std::stop_token stop) { refreshLoop(std::move(stop)); });

    if (_options.addLoginItem && !_options.selfPath.empty())
        ZRAppUtils().setMyAppInLoginItems(true);

    resumeAfterRestart();

    if (!_storedPrefs.contains(prefs::kAppPrefsCheckUpdates)) {
        _updateTimer = new QTimer(this);
        _updateTimer->setInterval(_options.updateIntervalMs);
        connect(_updateTimer, &QTimer::timeout, this, &ZRMenuExtra::versionCheckTimer);
        _updateTimer->start();
        checkUpdate();
    }
    return true;
}

void ZRMenuExtra::resumeAfterRestart() {
    const std::optional<int64_t> boot = _options.bootTime ? _options.bootTime() : std::nullopt;
    const int64_t lastLaunch = _mainAppPrefs.timeOfLastDaemonLaunch();
    // No daemon survives a restart: protection that was on when the computer stopped is started
    // again, once the desktop has settled.
    if (!boot || lastLaunch <= 0 || lastLaunch >= *boot || !_mainAppPrefs.daemonsAreRunning())
        return;
    QTimer::singleShot(_options.resumeDelayMs, this, [this] {
        if (!_running)
            startStop();
    });
}

// ---- settings ----------------------------------------------------------------------------------

void ZRMenuExtra::readPrefsFromMainApp(bool force) {
    // Read again only when the file was replaced or changed: writers replace it by rename, so
    // a new inode, time or size shows every write.
    auto st = sys::stat(_domain.path(), sys::FollowLinks::Yes);
    const sys::FolderStamp stamp = st ? sys::FolderStamp::of(*st) : sys::FolderStamp{};
    const off_t size = st ? st->st_size : -1;
    if (!force && _prefsRead && stamp.sameState(_prefsStamp) && size == _prefsSize && _prefsStamp.settled())
        return;
    _prefsStamp = stamp;
    _prefsSize = size;
    _prefsRead = true;
    auto stored = _domain.read();
    _storedPrefs = stored ? *stored : PrefValues{};
    _mainAppPrefs = SettingsMirror(_storedPrefs);
    _mainAppPrefs.initDefaultMirror(_mainAppPrefs.appMustAskForPassword());
}

void ZRMenuExtra::refreshServiceMirror() {
    readPrefsFromMainApp(true);
    _service->mirror() = SettingsMirror::loadWithStoredPasswordFlag(_domain);
}

// ---- the tray icon -----------------------------------------------------------------------------

void ZRMenuExtra::showStatusItem() {
    if (!_trayAvailable)
        return;
    hideStatusItem();
    _theItem = new QSystemTrayIcon(this);
    _theItem->setContextMenu(_theMenu);
    _theItem->setToolTip(tr("Quillet"));
    _theItem->setIcon(menuImage(false));
    // The menu is the icon's only use, so a plain click opens it too: trays hand the left button
    // to the program as an activation and show the menu on their own only for the right one.
    connect(_theItem, &QSystemTrayIcon::activated, this, [this](QSystemTrayIcon::ActivationReason reason) {
        if (reason == QSystemTrayIcon::Trigger && !_theMenu->isVisible())
            _theMenu->popup(QCursor::pos());
    });
    _theItem->show();
    _menuDisplayed = true;
}

void ZRMenuExtra::hideStatusItem() {
    if (_theItem) {
        _theItem->hide();
        _theItem->setContextMenu(nullptr);
        delete _theItem;
        _theItem = nullptr;
    }
    _menuDisplayed = false;
}

void ZRMenuExtra::setState(bool running) {
    // Every second: only a change of state touches the menu and the icon.
    const bool changed = running != _running || !_stateShown;
    _running = running;
    if (!changed)
        return;
    _stateShown = true;
    _stateItem->setText(running ? tr("Protection is on") : tr("Protection is off"));
    if (_theItem)
        _theItem->setIcon(menuImage(running));
}

bool ZRMenuExtra::Look::sameAs(const Look &other) const {
    return counts == other.counts && qlLaunched == other.qlLaunched && prefsStamp.sameState(other.prefsStamp) &&
           prefsSize == other.prefsSize;
}

ZRMenuExtra::Look ZRMenuExtra::takeLook(std::optional<std::vector<int>> *ends) {
    // One look at the process table serves the whole refresh.
    Look look;
    std::vector<sys::ProcessEntry> table;
    if (!ends || _options.processTable) {
        table = processTable();
        if (ends)
            *ends = std::nullopt; // a table of the caller's: nothing tells when its processes end
    } else {
        const std::lock_guard<std::mutex> lock(_lookLock);
        table = _processWatch.read();
        *ends = _processWatch.endDescriptors();
    }
    for (const sys::ProcessEntry &entry : table) {
        if (sys::matchesProgram(entry.command, kProtectionDaemonName))
            ++look.counts.protection;
        else if (sys::matchesProgram(entry.command, kCacheManagerDaemonName))
            ++look.counts.cacheManager;
        else if (sys::matchesProgram(entry.command, kMountDaemonName))
            ++look.counts.mountWatcher;
        else if (entry.command == kMainAppName)
            look.qlLaunched = true;
    }
    // The settings file's status only: it is read when that changed (readPrefsFromMainApp).
    if (auto st = sys::stat(_domain.path(), sys::FollowLinks::Yes)) {
        look.prefsStamp = sys::FolderStamp::of(*st);
        look.prefsSize = st->st_size;
    }
    return look;
}

bool ZRMenuExtra::watchChanges(sys::ChangeWatch &changes) const {
    bool all = changes.watchFile(_domain.path());
    for (const char *daemon : {kProtectionDaemonName, kCacheManagerDaemonName, kMountDaemonName})
        all = changes.watchStarts(sys::joinPath(_options.daemonFolder, daemon)) && all;
    // Without Quillet installed beside the companion there is no start of it to see: looks at
    // the quiet pace find one started from elsewhere.
    if (!_options.mainAppPath.empty() && sys::stat(_options.mainAppPath, sys::FollowLinks::Yes))
        all = changes.watchStarts(_options.mainAppPath) && all;
    return all;
}

void ZRMenuExtra::refreshLoop(std::stop_token stop) {
    const auto tick = std::chrono::milliseconds(std::max(_options.refreshIntervalMs, 10));
    const auto quiet = std::max(tick, std::chrono::milliseconds(_options.quietRefreshIntervalMs));
    // Each wake-up of this thread costs more than the look it takes, so while nothing moves it
    // sleeps until something it could see changes: a daemon or Quillet starting (an exec opens
    // the program's file), one of them ending (its pidfd), the settings file written. For a few
    // looks after a change it looks every tick again: a program seen at its exec may not carry
    // its name yet, and a start or stop moves more than one process. Whatever it cannot watch
    // (no inotify, no pidfds, a table of the caller's) keeps it at the tick.
    constexpr int kLooksAfterChange = 3;
    sys::ChangeWatch changes;
    bool watching = false;
    int looksAtTick = kLooksAfterChange;
    int fruitlessWakes = 0;
    bool watchStuck = false;
    std::vector<int> watched;
    for (;;) {
        const bool quietLook = watching && looksAtTick == 0;
        const auto asleep = std::chrono::steady_clock::now();
        const auto woken = _refreshWake.sleepWatching(quietLook ? quiet : tick, watched);
        const bool atOnce = std::chrono::steady_clock::now() - asleep < std::chrono::milliseconds(20);
        if (woken == sys::Wakeup::Woken::ByWake || stop.stop_requested())
            return;
        bool changed = false;
        if (woken == sys::Wakeup::Woken::ByWatched) {
            changed = changes.drain();
            looksAtTick = kLooksAfterChange;
        } else if (looksAtTick > 0) {
            --looksAtTick;
        }
        std::optional<std::vector<int>> ends;
        const Look look = takeLook(&ends);
        ++_looksTaken;
        bool shown = false;
        {
            const std::lock_guard<std::mutex> lock(_lookLock);
            shown = _appliedLook && _appliedLook->sameAs(look);
        }
        if (!shown)
            looksAtTick = kLooksAfterChange;
        // A descriptor that stays readable while nothing changes would wake the thread at once,
        // again and again: after a few such wakes in a row it looks every tick from then on.
        fruitlessWakes = woken == sys::Wakeup::Woken::ByWatched && atOnce && !changed && shown ? fruitlessWakes + 1 : 0;
        watchStuck = watchStuck || fruitlessWakes >= 3;
        const bool canWatch = changes.active() && ends && !watchStuck;
        // The watches are set up again at every quiet look: a program replaced by an upgrade is
        // a new file.
        if (canWatch && (!watching || quietLook || changed))
            watching = watchChanges(changes);
        watching = watching && canWatch && !look.wantsMainThread();
        watched.clear();
        if (watching) {
            watched.push_back(changes.descriptor());
            watched.insert(watched.end(), ends->begin(), ends->end());
        }
        if (shown && !look.wantsMainThread())
            continue;
        QMetaObject::invokeMethod(this, [this, look] { applyLook(look); }, Qt::QueuedConnection);
    }
}

void ZRMenuExtra::stopRefresh() {
    if (_refresh.joinable()) {
        _refresh.request_stop();
        _refreshWake.wake();
        _refresh.join();
    }
}

void ZRMenuExtra::timerMethod() { applyLook(takeLook()); }

void ZRMenuExtra::applyLook(const Look &look) {
    {
        const std::lock_guard<std::mutex> lock(_lookLock);
        _appliedLook = look;
    }
    ++_refreshesShown;
    const DaemonCounts counts = look.counts;
    const bool qlLaunched = look.qlLaunched;
    _qlLaunched = qlLaunched;
    const bool wasDisplayed = _menuDisplayed;
    setState(counts.anyRunning());
    // While Quillet runs, protection is its business.
    _startItem->setEnabled(!_busy && !qlLaunched && !counts.anyRunning());
    _stopItem->setEnabled(!_busy && !qlLaunched && counts.anyRunning());
    checkAnomaly(counts.anomalous());

    readPrefsFromMainApp(false);
    const bool wanted = _mainAppPrefs.displayMenuExtra();
    if (wasDisplayed && !wanted)
        hideStatusItem();
    else if (!wasDisplayed && wanted && _trayAvailable) {
        showStatusItem();
        if (_theItem)
            _theItem->setIcon(menuImage(_running));
    }
}

// ---- the damaged set of daemons ----------------------------------------------------------------

void ZRMenuExtra::checkAnomaly(bool anomalous) {
    // A start or stop under way passes through such states; so does Quillet's own.
    if (!anomalous || _qlLaunched || _busy) {
        _anomalySince = -1;
        return;
    }
    const int64_t now = sys::monotonicMillis();
    if (_anomalySince < 0) {
        _anomalySince = now;
        return;
    }
    if (now - _anomalySince >= _options.anomalyPauseMs && !_problemAlert)
        protectionProblem();
}

void ZRMenuExtra::protectionProblem() {
    _problemAlert = app::showSheet(
        nullptr, AlertStyle::Critical, tr("Protection problem!"),
        tr("The protection seems to be damaged and not fully working. Your System can be damaged or Quillet is not "
           "installed correctly.\nBe carefull, data may not be saved by Quillet."),
        {tr("Try to stop and relaunch"), tr("Continue anyway")}, [this](int code) {
            _problemAlert = nullptr;
            _anomalySince = -1;
            if (code != kAlertFirstButtonReturn)
                return;
            _busy = true;
            refreshServiceMirror();
            _service->run(
                [](ProtectionControl &control) {
                    std::vector<std::string> caches;
                    for (const sys::LocalVolume &volume : sys::mountedLocalVolumes())
                        caches.push_back(volume.isHomeVolume ? homeCacheFolder()
                                                             : volumeCacheFolder(volume.mountPoint));
                    control.daemons().cleanConfigFiles(caches);
                    (void)control.daemons().waitUntilNoDaemonRuns(std::chrono::seconds(10));
                    (void)control.refreshRunningState();
                },
                [this] {
                    _busy = false;
                    QTimer::singleShot(1000, this, &ZRMenuExtra::startStop);
                });
        });
}

// ---- menu actions ------------------------------------------------------------------------------

void ZRMenuExtra::menuAction(int tag) {
    switch (tag) {
    case kOpenTag:
        launchMainApp();
        break;
    case kSettingsTag:
        showSettings();
        break;
    case kStartTag:
    case kStopTag:
        startStop();
        break;
    case kCheckUpdateTag:
        checkUpdate();
        break;
    case kQuitTag:
        QMetaObject::invokeMethod(this, &ZRMenuExtra::quitMenu, Qt::QueuedConnection);
        break;
    default:
        break;
    }
}

void ZRMenuExtra::launchMainApp() {
    if (_options.mainAppPath.empty())
        return;
    auto launched = sys::launchDetached(_options.mainAppPath, {});
    if (!launched)
        sys::logLine("QuilletMenuExtra: cannot open Quillet: " + launched.status().message());
}

void ZRMenuExtra::showSettings() {
    // A fresh look: Quillet may have started or ended since the last tick.
    bool running = false;
    for (const sys::ProcessEntry &entry : processTable())
        running = running || entry.command == kMainAppName;
    if (running) {
        const QDBusMessage signal = QDBusMessage::createSignal(
            QStringLiteral("/com/plx/Quillet"), QStringLiteral("com.plx.Quillet"), QStringLiteral("kNotificationShowSettings"));
        if (!QDBusConnection::sessionBus().send(signal))
            sys::logLine("QuilletMenuExtra: the session bus is not reachable; Quillet's settings cannot be shown");
        return;
    }
    if (sys::Status left = sys::leaveSettingsFlag(_options.settingsFlagPath); !left)
        sys::logLine("QuilletMenuExtra: cannot ask Quillet for its settings: " + left.message());
    launchMainApp();
}

void ZRMenuExtra::startStop() {
    if (_busy)
        return;
    _busy = true;
    _startItem->setEnabled(false);
    _stopItem->setEnabled(false);
    refreshServiceMirror();
    _service->run(
        [](ProtectionControl &control) {
            if (control.daemons().isDaemonRunning(ReportProblems::No)) {
                // A stopping quilletd still writes its index: the next start must not see it.
                (void)control.stopAndWait(std::chrono::seconds(5));
                return;
            }
            control.startProtection();
            for (const std::string &failure : control.failures())
                sys::logLine("QuilletMenuExtra: " + failure);
        },
        [this] {
            _busy = false;
            readPrefsFromMainApp(true);
            timerMethod();
            emit startStopFinished();
        });
}

// ---- quitting ----------------------------------------------------------------------------------

void ZRMenuExtra::quitMenu() {
    app::showSheet(nullptr, AlertStyle::Critical, tr("120_Quit QuilletMenu title"), tr("120_Quit QuilletMenu Message"),
                   {tr("120_Quit QuilletMenu Cancel Button"), tr("120_Quit QuilletMenu Quit Button")},
                   [this](int code) {
                       if (code != kAlertSecondButtonReturn)
                           return;
                       // Quitting the companion stops protection, also while Quillet runs.
                       _busy = true;
                       refreshServiceMirror();
                       _service->run(
                           [](ProtectionControl &control) {
                               if (control.daemons().isDaemonRunning(ReportProblems::No))
                                   (void)control.stopAndWait(std::chrono::seconds(5));
                           },
                           [this] {
                               _busy = false;
                               emit quitRequested();
                           });
                   });
}

// ---- the update check --------------------------------------------------------------------------

void ZRMenuExtra::versionCheckTimer() {
    readPrefsFromMainApp(false);
    if (_storedPrefs.contains(prefs::kAppPrefsCheckUpdates)) {
        _updateTimer->stop();
        return;
    }
    checkUpdate();
}

void ZRMenuExtra::checkUpdate() {
    bool running = false;
    for (const sys::ProcessEntry &entry : processTable())
        running = running || entry.command == kMainAppName;
    if (running || _updateWatcher)
        return;
    UpdateCheck::Request request = _options.updateRequest;
    request.confirmAnyway = ConfirmAnyway::Yes;
    auto job = UpdateCheck::checkLatestVersionAt(request);
    _updateWatcher = new app::JobWatcher(job, this);
    connect(_updateWatcher, &app::JobWatcher::finished, this, [this, job](JobEnd) {
        const UpdateCheckResult result = job->result();
        _updateWatcher->deleteLater();
        _updateWatcher = nullptr;
        if (!result.failure.empty())
            sys::logLine("QuilletMenuExtra: update check: " + result.failure);
        presentVersion(result);
        emit versionChecked(result);
    });
}

void ZRMenuExtra::presentVersion(const UpdateCheckResult &result) {
    if (!result.newVersionAvailable)
        return;
    app::showSheet(nullptr, AlertStyle::Informational, tr("NewVersionCheckTitle"),
                   tr("NewVersionCheckText").arg(QString::fromStdString(result.newVersionString)),
                   {tr("NewVersionCheckGoToButton"), tr("NewVersionCheckCancelButton")}, [this](int code) {
                       if (code != kAlertFirstButtonReturn)
                           return;
                       const QString address = tr("DownloadURL");
                       if (!address.isEmpty() && address != QStringLiteral("DownloadURL") && openUrl)
                           openUrl(address);
                   });
}

} // namespace quillet::menuextra
