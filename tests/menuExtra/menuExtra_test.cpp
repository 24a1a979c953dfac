// The tray companion against the real daemons of the build, a real session bus of the test's own,
// a loopback HTTP server and the built QuilletMenuExtra. The offscreen platform has no system
// tray: the icon is never shown, and everything else must work without it.

#include "AppKeyring.h"
#include "AppTestSupport.h"
#include "HttpTestServer.h"
#include "OwnDaemons.h"
#include "TestDir.h"

#include "ZRMenuExtra.h"

#include "control/DaemonControl.h"
#include "platform/Process.h"
#include "platform/System.h"
#include "platform/UserPaths.h"
#include "settings/PreferencesDomain.h"

#include <QAction>
#include <QDBusConnection>
#include <QMenu>
#include <QSignalSpy>
#include <QTest>

#include <sys/stat.h>

#include <fcntl.h>
#include <memory>
#include <signal.h>

using namespace quillet;
using namespace quillet::menuextra;

namespace {

/// A process of the test's own that the process table shows under name (a copy of sleep):
/// "Quillet" stands for the main application, as the companion sees it.
class NamedProcess {
public:
    NamedProcess(const test::TestDir &dir, const std::string &name) {
        // A copy made before is run again as it is: a watch of its file stays on it.
        const std::string path = dir / name;
        if (!sys::stat(path, sys::FollowLinks::No)) {
            auto copied = sys::readFile("/bin/sleep", 4 * 1024 * 1024);
            if (!copied || !sys::writeFileAtomically(path, *copied, 0755))
                return;
        }
        auto child = sys::spawnChild(path, {"600"});
        if (child)
            _pid = *child;
    }
    ~NamedProcess() {
        if (_pid > 0) {
            (void)sys::sendSignal(_pid, SIGKILL);
            (void)sys::waitChild(_pid, 5000);
        }
    }
    bool started() const { return _pid > 0; }

private:
    pid_t _pid = -1;
};

class SettingsListener : public QObject {
    Q_OBJECT
public:
    int received = 0;
public slots:
    void showSettingsNotification() { ++received; }
};

bool ownProcessNamed(const std::string &name) {
    for (const sys::ProcessEntry &entry : apptest::ownProcessTable())
        if (sys::matchesProgram(entry.command, name))
            return true;
    return false;
}

/// A daemon launched detached takes its name at its exec, a moment after the launch returned.
bool ownDaemonShows(const std::string &name) {
    return apptest::waitUntil([&] { return ownProcessNamed(name); }, 10000);
}

} // namespace

class MenuExtraTest : public QObject {
    Q_OBJECT
private slots:
    void initTestCase();
    void init();
    void cleanup();

    void menuFollowsRealDaemonsAndStartsAndStops();
    void menuLeavesProtectionToRunningQuillet();
    void idleRefreshLeavesTheMainThreadAloneAndSettingsChangesReachIt();
    void quietRefreshSleepsUntilAProgramStartsOrEndsOrTheSettingsChange();
    void quitStopsProtection();
    void resumesOnlyAfterARestartWithProtectionOn_data();
    void resumesOnlyAfterARestartWithProtectionOn();
    void secondCompanionSeesTheFirstAndQuits();
    void noTrayIsSaidOnceAndTheCompanionKeepsRunning();
    void settingsRequestReachesRunningQuilletOverTheBus();
    void settingsRequestLeavesFlagAndLaunchesQuillet();
    void updateCheckOnlyUnderItsConditions_data();
    void updateCheckOnlyUnderItsConditions();

private:
    MenuExtraOptions options() const;
    std::unique_ptr<ZRMenuExtra> makeController(MenuExtraOptions options) const;
    static bool trigger(ZRMenuExtra &controller, int tag);

    std::unique_ptr<test::TestDir> _dir;
    std::unique_ptr<test::HttpTestServer> _server;
};

MenuExtraOptions MenuExtraTest::options() const {
    MenuExtraOptions options;
    options.daemonFolder = apptest::daemonFolder();
    options.mainAppPath = *_dir / "no-such-Quillet";
    options.selfPath = apptest::daemonFolder() + "/QuilletMenuExtra";
    options.settingsFlagPath = sys::settingsFlagPath();
    options.bootTime = [] { return std::optional<int64_t>(1); };
    // Only the processes this test program started: other runs' daemons are not its business.
    options.processTable = apptest::ownProcessTable;
    options.resumeDelayMs = 50;
    options.addLoginItem = false;
    options.updateRequest.pageUrl = test::refusingUrl();
    options.updateRequest.timeout = std::chrono::milliseconds(2000);
    return options;
}

std::unique_ptr<ZRMenuExtra> MenuExtraTest::makeController(MenuExtraOptions options) const {
    return std::make_unique<ZRMenuExtra>(std::move(options));
}

bool MenuExtraTest::trigger(ZRMenuExtra &controller, int tag) {
    QAction *item = controller.itemWithTag(tag);
    if (!item || !item->isEnabled())
        return false;
    item->trigger();
    return true;
}

void MenuExtraTest::initTestCase() {
    _dir = std::make_unique<test::TestDir>();
    QVERIFY(apptest::stopOwnDaemons());
}

void MenuExtraTest::init() {
    // No update check unless a case asks for one.
    PreferencesDomain domain(kQuilletDomain);
    (void)domain.removeKeys({prefs::kTimeOfLastDaemonLaunch, prefs::kDaemonsAreRunning});
    QVERIFY(domain.setValue(prefs::kAppPrefsCheckUpdates, PrefValue(1)).ok());
    (void)sys::unlink(sys::settingsFlagPath());
}

void MenuExtraTest::cleanup() {
    // A companion a failed case left behind would make every later controller a duplicate.
    for (const sys::ProcessEntry &entry : apptest::ownProcessTable())
        if (sys::matchesProgram(entry.command, kMenuExtraName))
            (void)sys::sendSignal(entry.pid, SIGKILL);
    QVERIFY(apptest::stopOwnDaemons());
}

void MenuExtraTest::menuFollowsRealDaemonsAndStartsAndStops() {
    auto controller = makeController(options());
    QVERIFY(controller->awakeFromNib());
    QAction *state = controller->theMenu()->actions().first();
    QCOMPARE(state->text(), QStringLiteral("Protection is off"));
    QVERIFY(controller->itemWithTag(kStartTag)->isEnabled());
    QVERIFY(!controller->itemWithTag(kStopTag)->isEnabled());

    QSignalSpy finished(controller.get(), &ZRMenuExtra::startStopFinished);
    QVERIFY(trigger(*controller, kStartTag));
    QVERIFY(finished.wait(30000));
    QVERIFY(ownDaemonShows(kProtectionDaemonName));
    QVERIFY(ownDaemonShows(kCacheManagerDaemonName));
    QVERIFY(apptest::waitUntil([&] { return controller->protectionRuns(); }, 5000));
    QCOMPARE(state->text(), QStringLiteral("Protection is on"));
    QVERIFY(!controller->itemWithTag(kStartTag)->isEnabled());
    QVERIFY(controller->itemWithTag(kStopTag)->isEnabled());
    auto stored = PreferencesDomain(kQuilletDomain).read();
    QVERIFY(stored.ok());
    QCOMPARE(stored->at(prefs::kDaemonsAreRunning).integerValue(), 1);
    QVERIFY(stored->at(prefs::kTimeOfLastDaemonLaunch).integerValue() > 0);

    QVERIFY(trigger(*controller, kStopTag));
    QVERIFY(finished.wait(30000));
    QVERIFY(!apptest::anyOwnDaemonRuns());
    QVERIFY(apptest::waitUntil([&] { return !controller->protectionRuns(); }, 5000));
    QCOMPARE(state->text(), QStringLiteral("Protection is off"));
    QVERIFY(controller->itemWithTag(kStartTag)->isEnabled());
    QCOMPARE(PreferencesDomain(kQuilletDomain).read()->at(prefs::kDaemonsAreRunning).integerValue(), 0);
}

void MenuExtraTest::menuLeavesProtectionToRunningQuillet() {
    auto controller = makeController(options());
    QVERIFY(controller->awakeFromNib());
    QVERIFY(controller->itemWithTag(kStartTag)->isEnabled());
    NamedProcess quillet(*_dir, "Quillet");
    QVERIFY(quillet.started());
    QVERIFY(apptest::waitUntil([&] { return controller->isQLLaunched(); }, 5000));
    QVERIFY(!controller->itemWithTag(kStartTag)->isEnabled());
    QVERIFY(!controller->itemWithTag(kStopTag)->isEnabled());
}

void MenuExtraTest::idleRefreshLeavesTheMainThreadAloneAndSettingsChangesReachIt() {
    QVERIFY(PreferencesDomain(kQuilletDomain).setValue(prefs::kDisplayMenuExtra, PrefValue(1)));
    auto controller = makeController(options());
    QVERIFY(controller->awakeFromNib());
    QVERIFY(controller->mainAppPrefs().displayMenuExtra());
    // Past the settings file's settling second, then three refreshes that find nothing new.
    QTest::qWait(2500);
    const int shown = controller->refreshesShown();
    QTest::qWait(3200);
    QCOMPARE(controller->refreshesShown(), shown);
    // Quillet's settings change: the next refresh reads them.
    QVERIFY(PreferencesDomain(kQuilletDomain).setValue(prefs::kDisplayMenuExtra, PrefValue(0)));
    QVERIFY(apptest::waitUntil([&] { return !controller->mainAppPrefs().displayMenuExtra(); }, 5000));
    QVERIFY(controller->refreshesShown() > shown);
    // No settings file at all: still nothing to do while nothing changes.
    QVERIFY(sys::unlink(PreferencesDomain(kQuilletDomain).path()));
    QTest::qWait(2500);
    const int withoutFile = controller->refreshesShown();
    QTest::qWait(3200);
    QCOMPARE(controller->refreshesShown(), withoutFile);
}

void MenuExtraTest::quietRefreshSleepsUntilAProgramStartsOrEndsOrTheSettingsChange() {
    QVERIFY(PreferencesDomain(kQuilletDomain).setValue(prefs::kDisplayMenuExtra, PrefValue(1)));
    // The kernel's table (the test runs alone), so that ends are watched, and a quiet pace that
    // no case waits for: only a change it was woken by explains a prompt look.
    MenuExtraOptions quiet = options();
    quiet.processTable = nullptr;
    quiet.refreshIntervalMs = 100;
    quiet.quietRefreshIntervalMs = 600000;
    quiet.mainAppPath = *_dir / "Quillet";
    {
        NamedProcess copy(*_dir, "Quillet"); // leaves the program's file for the watch
    }
    auto controller = makeController(quiet);
    QVERIFY(controller->awakeFromNib());
    QVERIFY(apptest::waitUntil([&] { return controller->looksTaken() >= 5; }, 5000));
    QTest::qWait(1500); // past the settings file's settling second
    const int looks = controller->looksTaken();
    QTest::qWait(1500);
    QVERIFY2(controller->looksTaken() <= looks + 1, "the refresh kept looking while nothing changed");
    QVERIFY(!controller->isQLLaunched());
    {
        NamedProcess quillet(*_dir, "Quillet");
        QVERIFY(quillet.started());
        QVERIFY(apptest::waitUntil([&] { return controller->isQLLaunched(); }, 3000));
        QTest::qWait(1000);
    }
    QVERIFY(apptest::waitUntil([&] { return !controller->isQLLaunched(); }, 3000));
    QVERIFY(PreferencesDomain(kQuilletDomain).setValue(prefs::kDisplayMenuExtra, PrefValue(0)));
    QVERIFY(apptest::waitUntil([&] { return !controller->mainAppPrefs().displayMenuExtra(); }, 3000));
}

void MenuExtraTest::quitStopsProtection() {
    auto controller = makeController(options());
    QVERIFY(controller->awakeFromNib());
    QSignalSpy finished(controller.get(), &ZRMenuExtra::startStopFinished);
    QVERIFY(trigger(*controller, kStartTag));
    QVERIFY(finished.wait(30000));
    QVERIFY(ownDaemonShows(kProtectionDaemonName));
    QVERIFY(ownDaemonShows(kCacheManagerDaemonName));

    // Cancelling keeps both the companion and protection.
    QSignalSpy quit(controller.get(), &ZRMenuExtra::quitRequested);
    QVERIFY(trigger(*controller, kQuitTag));
    QVERIFY(apptest::answerDialog("Quit the Quillet tray icon?", "Cancel"));
    QTest::qWait(200);
    QCOMPARE(quit.count(), 0);
    QVERIFY(ownProcessNamed(kProtectionDaemonName));

    QVERIFY(trigger(*controller, kQuitTag));
    QVERIFY(apptest::answerDialog("Quit the Quillet tray icon?", "Quit and Stop Protection"));
    QVERIFY(quit.wait(30000));
    QVERIFY(!apptest::anyOwnDaemonRuns());
}

void MenuExtraTest::resumesOnlyAfterARestartWithProtectionOn_data() {
    QTest::addColumn<qint64>("lastLaunchFromBoot");
    QTest::addColumn<int>("daemonsAreRunning");
    QTest::addColumn<bool>("resumed");
    QTest::newRow("launched before the restart, running") << qint64(-3600) << 1 << true;
    QTest::newRow("launched after the restart, running") << qint64(60) << 1 << false;
    QTest::newRow("launched before the restart, stopped") << qint64(-3600) << 0 << false;
    QTest::newRow("never launched") << qint64(0) << 1 << false;
}

void MenuExtraTest::resumesOnlyAfterARestartWithProtectionOn() {
    QFETCH(qint64, lastLaunchFromBoot);
    QFETCH(int, daemonsAreRunning);
    QFETCH(bool, resumed);
    const int64_t boot = sys::now() - 600;
    const int64_t lastLaunch = lastLaunchFromBoot == 0 ? 0 : boot + lastLaunchFromBoot;
    PreferencesDomain domain(kQuilletDomain);
    QVERIFY(domain.setValues({{prefs::kTimeOfLastDaemonLaunch, PrefValue(lastLaunch)},
                              {prefs::kDaemonsAreRunning, PrefValue(daemonsAreRunning)}})
                .ok());

    MenuExtraOptions settings = options();
    settings.bootTime = [boot] { return std::optional<int64_t>(boot); };
    auto controller = makeController(settings);
    QSignalSpy finished(controller.get(), &ZRMenuExtra::startStopFinished);
    QVERIFY(controller->awakeFromNib());
    if (resumed) {
        QVERIFY(finished.wait(30000));
        QVERIFY(ownDaemonShows(kProtectionDaemonName));
        QVERIFY(ownDaemonShows(kCacheManagerDaemonName));
        QVERIFY(PreferencesDomain(kQuilletDomain).read()->at(prefs::kTimeOfLastDaemonLaunch).integerValue() > boot);
    } else {
        // Well past the pause a resume would wait.
        QVERIFY(!finished.wait(1000));
        QVERIFY(!apptest::anyOwnDaemonRuns());
    }
}

void MenuExtraTest::secondCompanionSeesTheFirstAndQuits() {
    const std::string program = apptest::daemonFolder() + "/QuilletMenuExtra";
    auto first = sys::launchDetached(program, {}, *_dir / "first-companion.txt");
    QVERIFY(first.ok());
    QVERIFY(apptest::waitUntil([] { return ownProcessNamed(kMenuExtraName); }, 10000));

    auto controller = makeController(options());
    QVERIFY(controller->checkMenuBarExistence());
    QVERIFY(!controller->awakeFromNib());

    // A second program quits at once; the first stays.
    auto second = sys::spawnChild(program, {});
    QVERIFY(second.ok());
    QVERIFY(apptest::waitUntil([&] { return !sys::isRunning(*second, kMenuExtraName); }, 20000));
    (void)sys::waitChild(*second, 5000);
    int companions = 0;
    for (const sys::ProcessEntry &entry : apptest::ownProcessTable())
        if (sys::matchesProgram(entry.command, kMenuExtraName)) {
            ++companions;
            first = entry.pid;
        }
    QCOMPARE(companions, 1);

    (void)sys::sendSignal(*first, SIGKILL);
    // With the first gone, a new controller is alone.
    QVERIFY(apptest::waitUntil([] { return !ownProcessNamed(kMenuExtraName); }, 5000));
    QVERIFY(!makeController(options())->checkMenuBarExistence());
}

void MenuExtraTest::noTrayIsSaidOnceAndTheCompanionKeepsRunning() {
    const std::string errors = *_dir / "companion-errors.txt";
    const std::string program = apptest::daemonFolder() + "/QuilletMenuExtra";
    auto companion = sys::launchDetached(program, {}, errors);
    QVERIFY(companion.ok());
    auto noTrayLines = [&] {
        auto text = sys::readFile(errors, 1024 * 1024);
        if (!text)
            return -1;
        int count = 0;
        for (size_t at = text->find("no system tray"); at != std::string::npos;
             at = text->find("no system tray", at + 1))
            ++count;
        return count;
    };
    QVERIFY(apptest::waitUntil([&] { return noTrayLines() == 1; }, 10000));
    // Several refreshes later: still running, still said only once.
    QTest::qWait(3500);
    QVERIFY(sys::isRunning(*companion, kMenuExtraName));
    QCOMPARE(noTrayLines(), 1);
    (void)sys::sendSignal(*companion, SIGKILL);
    QVERIFY(apptest::waitUntil([] { return !ownProcessNamed(kMenuExtraName); }, 5000));
}

void MenuExtraTest::settingsRequestReachesRunningQuilletOverTheBus() {
    if (!apptest::PrivateKeyring::unavailable().empty())
        QSKIP(apptest::PrivateKeyring::unavailable().c_str());
    SettingsListener listener;
    QVERIFY(QDBusConnection::sessionBus().connect(QString(), QStringLiteral("/com/plx/Quillet"),
                                                  QStringLiteral("com.plx.Quillet"),
                                                  QStringLiteral("kNotificationShowSettings"), &listener,
                                                  SLOT(showSettingsNotification())));
    NamedProcess quillet(*_dir, "Quillet");
    QVERIFY(quillet.started());
    const std::string launched = *_dir / "launched";
    MenuExtraOptions settings = options();
    settings.mainAppPath = _dir->writeFile("quillet-launcher.sh", "#!/bin/sh\ntouch '" + launched + "'\n");
    QVERIFY(::chmod(settings.mainAppPath.c_str(), 0755) == 0);
    auto controller = makeController(settings);
    QVERIFY(controller->awakeFromNib());

    QVERIFY(trigger(*controller, kSettingsTag));
    QVERIFY(apptest::waitUntil([&] { return listener.received == 1; }, 5000));
    QVERIFY(!sys::exists(sys::settingsFlagPath()));
    QVERIFY(!sys::exists(launched));
}

void MenuExtraTest::settingsRequestLeavesFlagAndLaunchesQuillet() {
    const std::string launched = *_dir / "launched-quillet";
    MenuExtraOptions settings = options();
    settings.mainAppPath = _dir->writeFile("quillet-app.sh", "#!/bin/sh\ntouch '" + launched + "'\n");
    QVERIFY(::chmod(settings.mainAppPath.c_str(), 0755) == 0);
    auto controller = makeController(settings);
    QVERIFY(controller->awakeFromNib());
    QVERIFY(!controller->isQLLaunched());

    QVERIFY(trigger(*controller, kSettingsTag));
    QVERIFY(apptest::waitUntil([&] { return sys::exists(launched); }, 10000));
    const std::string flag = sys::settingsFlagPath();
    auto st = sys::stat(flag, sys::FollowLinks::No);
    QVERIFY(st.ok() && S_ISREG(st->st_mode) && st->st_size == 0);
    auto folder = sys::stat(sys::parentPath(flag), sys::FollowLinks::No);
    QVERIFY(folder.ok() && S_ISDIR(folder->st_mode));
    QCOMPARE(folder->st_mode & 0777, mode_t(0700));

    // A link put in place of the folder is never written through.
    QVERIFY(sys::unlink(flag).ok());
    const std::string elsewhere = _dir->makeDir("elsewhere");
    QVERIFY(::rmdir(sys::parentPath(flag).c_str()) == 0);
    QVERIFY(::symlink(elsewhere.c_str(), sys::parentPath(flag).c_str()) == 0);
    QVERIFY(!sys::leaveSettingsFlag(flag).ok());
    QVERIFY(!sys::exists(elsewhere + "/SETTINGS_FLAG"));
    QVERIFY(sys::unlink(sys::parentPath(flag)).ok());
}

void MenuExtraTest::updateCheckOnlyUnderItsConditions_data() {
    QTest::addColumn<bool>("keyPresent");
    QTest::addColumn<bool>("quilletRuns");
    QTest::addColumn<bool>("checked");
    QTest::newRow("key absent, Quillet not running") << false << false << true;
    QTest::newRow("key present") << true << false << false;
    QTest::newRow("Quillet running") << false << true << false;
}

void MenuExtraTest::updateCheckOnlyUnderItsConditions() {
    QFETCH(bool, keyPresent);
    QFETCH(bool, quilletRuns);
    QFETCH(bool, checked);
    if (std::string missing = test::HttpTestServer::missingTools(); !missing.empty())
        QSKIP(missing.c_str());
    if (!_server) {
        _server = std::make_unique<test::HttpTestServer>(_dir->makeDir("pages"));
        _server->addPage("newer.html", "<html><body><h1>Quillet <b>99.0.1</b></h1></body></html>");
    }
    QVERIFY2(_server->started(), _server->failure().c_str());
    PreferencesDomain domain(kQuilletDomain);
    if (!keyPresent)
        QVERIFY(domain.removeKey(prefs::kAppPrefsCheckUpdates).ok());
    std::unique_ptr<NamedProcess> quillet;
    if (quilletRuns) {
        quillet = std::make_unique<NamedProcess>(*_dir, "Quillet");
        QVERIFY(quillet->started());
        QVERIFY(apptest::waitUntil([] { return ownProcessNamed("Quillet"); }, 5000));
    }

    MenuExtraOptions settings = options();
    settings.updateRequest.pageUrl = _server->url("/page/newer.html");
    auto controller = makeController(settings);
    QSignalSpy versions(controller.get(), &ZRMenuExtra::versionChecked);
    QVERIFY(controller->awakeFromNib());
    if (!checked) {
        QVERIFY(!controller->checkingForUpdates());
        QVERIFY(!versions.wait(1000));
        return;
    }
    QVERIFY(controller->checkingForUpdates());
    QVERIFY(versions.wait(15000));
    const auto result = versions.first().first().value<UpdateCheckResult>();
    QVERIFY(result.newVersionAvailable);
    QCOMPARE(result.newVersionString, std::string("99.0.1"));
    QString opened;
    controller->openUrl = [&](const QString &url) { opened = url; };
    QVERIFY(apptest::answerDialog("A new version of Quillet is available", "Open Download Page"));
    QCOMPARE(opened, QStringLiteral("https://www.quillet.example/download.html"));
}

QUILLET_APP_KEYRING_TEST_MAIN(MenuExtraTest)
#include "menuExtra_test.moc"
