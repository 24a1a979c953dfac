#include "MainController.h"

#include "Alerts.h"
#include "BrowserTab.h"
#include "CacheEmptier.h"
#include "CacheDragSource.h"
#include "CacheOutlineView.h"
#include "CacheRecoverer.h"
#include "MainTabView.h"
#include "PasswordLock.h"
#include "ProtectionService.h"
#include "Resources.h"
#include "SettingsController.h"
#include "SettingsTab.h"
#include "StatusController.h"
#include "StatusTab.h"
#include "UpdatePresenter.h"
#include "ZRAppDelegate.h"

#include "archive/CacheFolders.h"
#include "jobs/CallJob.h"
#include "platform/Log.h"
#include "platform/MountTable.h"
#include "platform/Process.h"
#include "platform/System.h"
#include "platform/TrustedFolder.h"
#include "platform/UserPaths.h"
#include "support/BuildInfo.h"
#include "support/ZRAppUtils.h"
#include "JobWatcher.h"

#include <QAction>
#include <QApplication>
#include <QDBusConnection>
#include <QDesktopServices>
#include <QFileInfo>
#include <QLabel>
#include <QMenuBar>
#include <QPushButton>
#include <QScreen>
#include <QUrl>

namespace quillet::app {

StartupOptions StartupOptions::fromSystem() {
    StartupOptions options;
    options.systemVersion = ZRAppUtils().getSystemVersion();
    if (auto self = sys::siblingExecutable("Quillet"))
        options.executablePath = *self;
    options.daemonFolder = DaemonControl::defaultDaemonFolder();
    options.companionPath = sys::joinPath(options.daemonFolder, "QuilletMenuExtra");
    options.settingsFlagPath = app::settingsFlagPath();
    return options;
}

std::string settingsFlagPath() { return sys::settingsFlagPath(); }

MainController::MainController(StartupOptions options, QWidget *parent)
    : QMainWindow(parent), _options(std::move(options)) {
    setObjectName(QStringLiteral("mainQuilletWindow"));
    openUrl = [](const QUrl &url) { QDesktopServices::openUrl(url); };
    setWindowTitle(tr("Quillet"));
    setAccessibleName(tr("Quillet"));
    _service = new ProtectionService(_options.daemonFolder, this);

    _tabs = new MainTabView(this);
    _statusTab = new StatusTab(_tabs);
    _settingsTab = new SettingsTab(_tabs);
    _browserTab = new BrowserTab(_tabs);
    _tabs->addTab(_statusTab, tr("Status"), QStringLiteral("1"));
    _tabs->addTab(_settingsTab, tr("Settings"), QStringLiteral("2"));
    _tabs->addTab(_browserTab, tr("Cache"), QStringLiteral("3"));
    setCentralWidget(_tabs);

    _password = new PasswordLock(*this, *_service);
    _settings = new SettingsController(*this, *_service, *_password);
    _status = new StatusController(*this, *_service);
    _emptier = new CacheEmptier(*this, *_service);
    _recoverer = new CacheRecoverer(*this);
    _dragSource = new CacheDragSource(*_service, this, this);
    _browserTab->outlineView->setDragSource(_dragSource);
    // Protection was paused for the drop and may have archived since: the list is read again.
    connect(_dragSource, &CacheDragSource::directSaveFinished, _browserTab, [this] { _browserTab->refreshOutlineList(); });
    _update = new UpdatePresenter(*this);
    buildMenus();

    _tabs->shouldSelect = [this](const QString &identifier) { return shouldSelectTab(identifier); };
    connect(_tabs, &MainTabView::willSelect, this, &MainController::tabWillSelect);
    connect(_tabs, &MainTabView::didSelect, this, &MainController::tabDidSelect);
    connect(_statusTab, &StatusTab::startStopClicked, this, [this] { _status->startStop(true); });
    connect(_statusTab, &StatusTab::urlLinkClicked, this, &MainController::launchURL);
    connect(_settingsTab, &SettingsTab::saveClicked, this, [this] { _settings->saveSettings(); });
    connect(_settingsTab, &SettingsTab::checkUpdateClicked, this, [this] { _update->checkLatestVersion(true, false); });
    connect(_settingsTab, &SettingsTab::uninstallClicked, this, [this] { _emptier->uninstallSoftware(); });
    connect(_browserTab, &BrowserTab::emptyClicked, this, [this](int tag) { _emptier->emptyCaches(tag); });
    connect(_browserTab, &BrowserTab::recoverClicked, _recoverer, &CacheRecoverer::recoverItems);
    connect(_browserTab, &BrowserTab::putBackClicked, _recoverer, &CacheRecoverer::putBack);
    connect(_browserTab, &BrowserTab::outlineViewClicked, _status, &StatusController::didOutlineViewWasClicked);
    connect(this, &MainController::refreshOutlineList, _browserTab, &BrowserTab::refreshOutlineList);
    connect(this, &MainController::trashesCachePathChanged, _browserTab, &BrowserTab::setCacheFolders);
}

MainController::~MainController() = default;

void MainController::buildMenus() {
    QMenu *application = menuBar()->addMenu(tr("&Quillet"));
    startStopMenuItem = application->addAction(tr("Start protection"));
    startStopMenuItem->setProperty("tag", StatusTab::kStartStopTag);
    startStopMenuItem->setShortcut(QKeySequence(Qt::CTRL | Qt::Key_T));
    connect(startStopMenuItem, &QAction::triggered, this, [this] { _status->startStop(true); });
    recoverSelectionItemMenuItem = application->addAction(tr("Recover Selection..."));
    connect(recoverSelectionItemMenuItem, &QAction::triggered, this, [this] { _recoverer->recoverItems(); });
    putBackSelectionItemMenuItem = application->addAction(tr("Put Back"));
    putBackSelectionItemMenuItem->setShortcut(QKeySequence(Qt::CTRL | Qt::Key_Backspace));
    connect(putBackSelectionItemMenuItem, &QAction::triggered, this, [this] { _recoverer->putBack(); });
    checkUpdateMenuItem = application->addAction(tr("Check for Updates..."));
    connect(checkUpdateMenuItem, &QAction::triggered, this, [this] { _update->checkLatestVersion(true, false); });
    application->addSeparator();
    uninstallMenuItem = application->addAction(tr("Uninstall..."));
    connect(uninstallMenuItem, &QAction::triggered, this, [this] { _emptier->uninstallSoftware(); });
    application->addSeparator();
    quitMenuItem = application->addAction(tr("Quit"));
    quitMenuItem->setShortcut(QKeySequence(Qt::CTRL | Qt::Key_Q));
    connect(quitMenuItem, &QAction::triggered, qApp, &QApplication::quit);

    QMenu *help = menuBar()->addMenu(tr("&Help"));
    helpMenuItem = help->addAction(tr("Quillet Manual"));
    helpMenuItem->setShortcut(QKeySequence(Qt::Key_F1));
    connect(helpMenuItem, &QAction::triggered, this, &MainController::showHelpFile);
}

bool MainController::init() {
    if (_options.systemVersion <= kOldestSystemVersion - 1) {
        runModalAlert(this, AlertStyle::Critical, tr("Bad System version!"),
                      tr("This version of Quillet do not work with this System.\nCheck our website to download the right "
                         "version."),
                      {tr("Quit")});
        return false;
    }
    _appDelegate = new ZRAppDelegate(this);
    // Copies a crashed run had prepared for a drag.
    _dragSource->removeLeftoverStaging();
    _password->checkPasswordAtStart();
    _status->startTimers();
    return true;
}

bool MainController::awakeFromNib() {
    _statusTab->copyrightTF->setText(tr("120_Copyright"));
    if (_options.listenOnSessionBus) {
        // The companion asks for the settings this way when the application runs already.
        const bool listening = QDBusConnection::sessionBus().connect(
            QString(), QStringLiteral("/com/plx/Quillet"), QStringLiteral("com.plx.Quillet"),
            QStringLiteral("kNotificationShowSettings"), this, SLOT(showSettingsNotification()));
        if (!listening)
            sys::logLine("Quillet: the session bus is not reachable; the tray companion's settings request "
                         "works only when it launches the application");
    }
    _settingsTab->saveSettingsButton->setEnabled(false);
    recoverSelectionItemMenuItem->setEnabled(false);
    putBackSelectionItemMenuItem->setEnabled(false);

    // Run from a removable volume, the program would stop protecting once that is unmounted.
    const std::string self = _options.executablePath;
    for (const std::string &root : sys::volumeRoots()) {
        if (!self.empty() && self.starts_with(sys::withTrailingSlash(root))) {
            runModalAlert(this, AlertStyle::Critical, tr("Bad installation!"),
                          tr("This software MUST be installed on your System disk.\nMake sure you copy the software in "
                             "the Applications folder and try again."),
                          {tr("Quit")});
            return false;
        }
    }

    _status->timerRefreshStats(true);

    const QString address = tr("https://www.quillet.example/");
    _statusTab->urlLinkText->setText(address);
    _statusTab->urlLinkText->setStyleSheet(QStringLiteral("color: blue; text-decoration: underline;"));
    _statusTab->versionTF->setText(tr("Version %1").arg(QString::fromStdString(applicationVersion())));

    collectCacheFolders();
    startStopMenuItem->setText(tr("Start protection"));
    _settings->loadControls();

    setMinimumSize(kWindowWidth, kStatusTabHeight);
    setMaximumSize(kWindowWidth, kStatusTabHeight);
    resize(kWindowWidth, kStatusTabHeight);
    if (QScreen *screen = QApplication::primaryScreen())
        move(x(), screen->availableGeometry().top());

    if (_appDelegate)
        _appDelegate->setMainController(this);
    launchCompanion();
    takeSettingsRequest();
    show();
    raise();
    activateWindow();
    return true;
}

void MainController::collectCacheFolders() {
    // Every volume's cache folder is made here, whatever the settings say, so that the browser
    // sees the same folders whether protection runs or not. Done off the event loop: a slow
    // volume must not freeze the window.
    auto found = std::make_shared<QStringList>();
    auto job = CallJob::create([found] {
        std::vector<std::string> caches;
        for (const sys::LocalVolume &volume : sys::mountedLocalVolumes()) {
            const std::string cache = volume.isHomeVolume ? homeCacheFolder() : volumeCacheFolder(volume.mountPoint);
            // A volume root this user may not write to, a link or another account's folder:
            // not this user's cache, and not reported (nothing was asked of the user).
            if (sys::ensureCacheFolder(cache))
                found->append(QString::fromStdString(cache));
        }
    });
    auto *watcher = new JobWatcher(job, this);
    connect(watcher, &JobWatcher::finished, this, [this, watcher, found](JobEnd) {
        setTrashesCachePath(*found);
        watcher->deleteLater();
    });
}

void MainController::setTrashesCachePath(const QStringList &paths) {
    _cachePaths = paths;
    emit trashesCachePathChanged(paths);
}

void MainController::launchCompanion() {
    if (!_options.launchCompanion || _options.companionPath.empty())
        return;
    // Launched at every start; the companion decides itself whether to show its icon.
    if (!QFileInfo(QString::fromStdString(_options.companionPath)).isExecutable())
        return;
    auto launched = sys::launchDetached(_options.companionPath, {});
    if (!launched)
        sys::logLine("Quillet: cannot launch the tray companion: " + launched.status().message());
}

void MainController::takeSettingsRequest() {
    const std::string &flag = _options.settingsFlagPath;
    if (flag.empty())
        return;
    // The companion leaves the request before launching the application; taking it is removing it,
    // through its folder only when that is a real folder of this user.
    auto folder = sys::openOwnedFolder(sys::parentPath(flag));
    if (folder && sys::unlinkAt(*folder, sys::lastPathComponent(flag)))
        _tabs->selectTab(QStringLiteral("2"));
}

void MainController::showSettingsNotification() { _tabs->selectTabAtIndex(1); }

void MainController::showHelpFile() {
    const QString manual = shareFolder() + QStringLiteral("/help/index.html");
    // Without the manual (a partial installation), the web site stands in for it.
    openUrl(QFileInfo::exists(manual) ? QUrl::fromLocalFile(manual) : QUrl(tr("https://www.quillet.example/")));
}

void MainController::launchURL() { openUrl(QUrl(_statusTab->urlLinkText->text())); }

bool MainController::shouldSelectTab(const QString &identifier) {
    if (_tabs->currentIdentifier() == QStringLiteral("2") && !_settings->shouldLeaveSettings(identifier))
        return false;
    if (identifier == QStringLiteral("3"))
        return _password->gateBrowserTab();
    return true;
}

void MainController::tabWillSelect(const QString &identifier) {
    const bool leavingSettings = _tabs->currentIdentifier() == QStringLiteral("2");
    _settings->tabWillSelect(identifier);
    if (leavingSettings)
        systemVersionGate();
}

bool MainController::systemVersionGate() {
    if (_options.systemVersion >= kOldestSystemVersion)
        return true;
    runModalAlert(this, AlertStyle::Critical, tr("Upgrade your System"),
                  tr("The current Mac OS installed on your machine is not supported by this application.\n Upgrade your "
                     "System or check our website to download updates."),
                  {tr("Quit")});
    QMetaObject::invokeMethod(qApp, &QApplication::quit, Qt::QueuedConnection);
    return false;
}

void MainController::tabDidSelect(const QString &identifier) {
    _settings->tabDidSelect(identifier);
    if (identifier == QStringLiteral("3")) {
        _browserTab->emptySelectionButton->setEnabled(false);
        _browserTab->recoverButton->setEnabled(false);
        _browserTab->putBackButton->setEnabled(false);
        recoverSelectionItemMenuItem->setEnabled(false);
        putBackSelectionItemMenuItem->setEnabled(false);
        emit refreshOutlineList();
    }
    applyTabSize(identifier);
    if (identifier == QStringLiteral("3"))
        emit refreshOutlineList();
}

void MainController::applyTabSize(const QString &identifier) {
    int minimum = 0;
    int maximum = 0;
    if (identifier == QStringLiteral("1"))
        minimum = maximum = kStatusTabHeight;
    else if (identifier == QStringLiteral("2"))
        minimum = maximum = kSettingsTabHeight;
    else if (identifier == QStringLiteral("3"))
        minimum = kBrowserTabHeight, maximum = kBrowserMaximumHeight;
    else
        return;
    // The top edge stays where it is; the bottom edge moves.
    const int currentWidth = width();
    const QPoint topLeft = pos();
    setMinimumSize(currentWidth, minimum);
    setMaximumSize(currentWidth, maximum);
    resize(currentWidth, minimum);
    move(topLeft);
}

} // namespace quillet::app
