#pragma once
// The main window and its controller: start-up in its order (the system-version gate, the
// defaults, the statistics timers; then the window: observers, the installation gate, the
// first refresh, the cache folders handed to the browser, the companion, the settings request),
// the three tabs with their sizes, and the small actions of the window (help, web link, update
// check). The work of each tab is done by its controller: StatusController (protection and
// statistics), SettingsController (settings), PasswordLock (the browser's password),
// CacheEmptier (emptying and uninstall), CacheRecoverer (recovery and put back), UpdatePresenter
// (update check).

#include "StartupOptions.h"

#include <QMainWindow>
#include <QStringList>
#include <QUrl>

#include <functional>

class QAction;
class QMenu;

namespace quillet::app {

class BrowserTab;
class CacheDragSource;
class CacheEmptier;
class CacheRecoverer;
class MainTabView;
class PasswordLock;
class ProtectionService;
class SettingsController;
class SettingsTab;
class StatusController;
class StatusTab;
class UpdatePresenter;
class ZRAppDelegate;

/// Heights of the window per tab; the browser tab may grow up to kBrowserMaximumHeight.
inline constexpr int kStatusTabHeight = 560;
inline constexpr int kSettingsTabHeight = 590;
inline constexpr int kBrowserTabHeight = 649;
inline constexpr int kBrowserMaximumHeight = 5000;
inline constexpr int kWindowWidth = 620;

class MainController : public QMainWindow {
    Q_OBJECT
public:
    explicit MainController(StartupOptions options = StartupOptions::fromSystem(), QWidget *parent = nullptr);
    ~MainController() override;

    /// Controller initialisation: false (after the "Bad System version!" alert) when the
    /// application must quit.
    bool init();
    /// Window set-up: false (after the "Bad installation!" alert) when the application must quit.
    bool awakeFromNib();

    MainTabView *mainTabView() const { return _tabs; }
    StatusTab *statusTab() const { return _statusTab; }
    SettingsTab *settingsTab() const { return _settingsTab; }
    BrowserTab *browserTab() const { return _browserTab; }
    ProtectionService &service() const { return *_service; }
    StatusController &statusController() const { return *_status; }
    SettingsController &settingsController() const { return *_settings; }
    PasswordLock &passwordLock() const { return *_password; }
    CacheEmptier &cacheEmptier() const { return *_emptier; }
    CacheRecoverer &cacheRecoverer() const { return *_recoverer; }
    CacheDragSource &dragSource() const { return *_dragSource; }
    UpdatePresenter &updatePresenter() const { return *_update; }
    ZRAppDelegate *appDelegate() const { return _appDelegate; }
    const StartupOptions &options() const { return _options; }

    QAction *startStopMenuItem = nullptr;
    QAction *recoverSelectionItemMenuItem = nullptr;
    QAction *putBackSelectionItemMenuItem = nullptr;
    QAction *uninstallMenuItem = nullptr;
    QAction *checkUpdateMenuItem = nullptr;
    QAction *helpMenuItem = nullptr;
    QAction *quitMenuItem = nullptr;

    /// How a web address or the manual is opened (the desktop's viewer by default).
    std::function<void(const QUrl &)> openUrl;

    /// The cache folders of every mounted local volume, as handed to the browser at start-up
    /// and at every start of protection.
    const QStringList &trashesCachePath() const { return _cachePaths; }
    void setTrashesCachePath(const QStringList &paths);

    /// The manual in share/quillet, opened with the desktop's viewer.
    void showHelpFile();
    /// Opens the web link's address.
    void launchURL();
    /// Resizes the window for the tab: fixed height for "1" and "2", 649 to 5000 for "3"; the
    /// top edge stays, the width never changes.
    void applyTabSize(const QString &identifier);

public slots:
    /// Selects the settings tab (index 1): the companion's request, on the session bus too.
    void showSettingsNotification();

signals:
    /// The browser should rebuild its list (the browser tab of the next issue listens).
    void refreshOutlineList();
    /// The cache folders handed to the browser changed.
    void trashesCachePathChanged(const QStringList &paths);

private:
    void buildMenus();
    bool shouldSelectTab(const QString &identifier);
    void tabWillSelect(const QString &identifier);
    void tabDidSelect(const QString &identifier);
    /// "Upgrade your System" when the kernel is too old; answers false when quitting.
    bool systemVersionGate();
    void collectCacheFolders();
    void launchCompanion();
    void takeSettingsRequest();

    StartupOptions _options;
    ProtectionService *_service = nullptr;
    MainTabView *_tabs = nullptr;
    StatusTab *_statusTab = nullptr;
    SettingsTab *_settingsTab = nullptr;
    BrowserTab *_browserTab = nullptr;
    StatusController *_status = nullptr;
    SettingsController *_settings = nullptr;
    PasswordLock *_password = nullptr;
    CacheEmptier *_emptier = nullptr;
    CacheRecoverer *_recoverer = nullptr;
    CacheDragSource *_dragSource = nullptr;
    UpdatePresenter *_update = nullptr;
    ZRAppDelegate *_appDelegate = nullptr;
    QStringList _cachePaths;
};

} // namespace quillet::app
