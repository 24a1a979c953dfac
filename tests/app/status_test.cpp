// The status tab with the real daemons of the build: start and stop through the window with the
// stop confirmed or cancelled, the sizes after a refresh (the user's decimal separator), the
// one-second change test after a real trash-put and after an "UPD_FLAG", and the
// "Protection problem!" alert for a second housekeeping daemon. It starts and stops every
// daemon of the user, so it runs alone (and under the daemon tests' lock).

#include "AppTestSupport.h"
#include "ProtectionTestSupport.h"

#include "StatusController.h"
#include "StatusTab.h"

#include "platform/RemoveTree.h"
#include "settings/PreferencesDomain.h"
#include "settings/SettingsStore.h"

#include <QAction>
#include <QLabel>
#include <QLocale>
#include <QPushButton>
#include <QSignalSpy>
#include <QtTest>

#include <fcntl.h>

#include <memory>

using namespace quillet;
using namespace quillet::app;
using namespace quillet::apptest;

namespace {

/// A controller started as the application starts it, with its first refresh shown.
std::unique_ptr<MainController> startedController() {
    auto controller = std::make_unique<MainController>(testOptions());
    QSignalSpy refreshed(&controller->statusController(), &StatusController::statisticsRefreshed);
    if (!controller->init() || !controller->awakeFromNib())
        return nullptr;
    if (!waitUntil([&] { return refreshed.count() > 0; }, 20000))
        return nullptr;
    return controller;
}

/// Runs a full refresh and waits until it is shown.
bool refreshNow(MainController &controller) {
    QSignalSpy refreshed(&controller.statusController(), &StatusController::statisticsRefreshed);
    controller.statusController().timerRefreshStats(false);
    return waitUntil([&] { return refreshed.count() > 0; }, 20000);
}

QString labelText(MainController &controller, const char *name) {
    auto *label = findByName<QLabel>(QString::fromUtf8(name), &controller);
    return label ? label->text() : QStringLiteral("<no label named %1>").arg(QString::fromUtf8(name));
}

} // namespace

class StatusTest : public QObject {
    Q_OBJECT
private slots:
    void initTestCase();
    void init();
    void cleanup();
    void startsAndStopsTheRealDaemonsThroughTheWindow();
    void aTrashPutShowsInTheTrashSizeWithinTheChangeTest();
    void anUpdateFlagInTheCacheBringsAFullRefreshAndIsTaken();
    void theChangeTestSleepsUntilATrashOrCacheFolderChanges();
    void sizesAfterARefresh_data();
    void sizesAfterARefresh();
    void sizesTakeTheUsersDecimalSeparator();
    void aSecondHousekeepingDaemonIsReportedAfterThePause();
    void aStartThatProtectsNothingSaysWhy();
};

void StatusTest::initTestCase() {
    if (buildDir().empty())
        QSKIP("QUILLET_BUILD_DIR is not set: run through ctest");
    // Only the home trash: exactly one quilletd and one quilletCacheManagerd run.
    PreferencesDomain domain(kQuilletDomain);
    QVERIFY(domain.setValue(prefs::kSurveyHomeTrashOnly, PrefValue(1)).ok());
    QVERIFY(sys::ensureHomeTrash());
    QVERIFY(sys::ensureCacheFolder(homeCacheFolder()));
}

void StatusTest::init() {
    QVERIFY2(!runningDaemons().anyRunning(), "quillet daemons of this user are running already (another test?)");
    clearTrashAndCache();
}

void StatusTest::cleanup() {
    QVERIFY2(stopAllDaemons(), "a daemon is still running after the stop");
    if (auto st = sys::stat(homeCache(), sys::FollowLinks::No); st && S_ISLNK(st->st_mode))
        QVERIFY(sys::unlink(homeCache()));
    QVERIFY(sys::ensureCacheFolder(homeCacheFolder()));
    clearTrashAndCache();
}

void StatusTest::startsAndStopsTheRealDaemonsThroughTheWindow() {
    auto controller = startedController();
    QVERIFY(controller);
    StatusController &status = controller->statusController();
    auto *button = findByName<QPushButton>(QStringLiteral("Start or stop protection"), controller.get());
    QVERIFY(button);
    QCOMPARE(button->text(), QStringLiteral("Start"));
    QCOMPARE(controller->startStopMenuItem->text(), QStringLiteral("Start protection"));
    QCOMPARE(labelText(*controller, "Protection daemons"), QStringLiteral("0"));
    QVERIFY(!controller->statusTab()->BigActivatedTF->isVisibleTo(controller.get()));

    // The start runs on a job: the controls wait for it, and a second request meanwhile is
    // ignored (one quilletd, not two).
    QSignalSpy finished(&status, &StatusController::startStopFinished);
    button->click();
    QVERIFY(status.startStopRunning());
    QVERIFY(!button->isEnabled());
    QVERIFY(!controller->startStopMenuItem->isEnabled());
    status.startStop(true);
    QVERIFY(waitUntil([&] { return finished.count() == 1; }, 20000));
    QVERIFY(button->isEnabled());
    QCOMPARE(button->text(), QStringLiteral("Stop"));
    QVERIFY(controller->statusTab()->BigActivatedTF->isVisibleTo(controller.get()));
    QVERIFY(!controller->statusTab()->BigStoppedTF->isVisibleTo(controller.get()));
    DaemonCounts counts = runningDaemons();
    QCOMPARE(counts.protection, 1);
    QCOMPARE(counts.cacheManager, 1);
    QCOMPARE(counts.mountWatcher, 0);
    QVERIFY(waitUntil([&] { return labelText(*controller, "Protection daemons") == QStringLiteral("1"); }));
    QCOMPARE(controller->startStopMenuItem->text(), QStringLiteral("Stop protection..."));
    QCOMPARE(PreferencesDomain(kQuilletDomain).read()->at(prefs::kDaemonsAreRunning).integerValue(), 1);
    const std::vector<pid_t> protectionPids = processesOf(kProtectionDaemonName);

    // The button asks first; "Cancel" leaves every daemon running.
    button->click();
    QVERIFY(answerDialog(QStringLiteral("Stop Quillet?"), QStringLiteral("Cancel")));
    QVERIFY(waitUntil([&] { return finished.count() == 2; }));
    QVERIFY(refreshNow(*controller));
    QCOMPARE(processesOf(kProtectionDaemonName), protectionPids);
    QCOMPARE(runningDaemons().cacheManager, 1);
    QCOMPARE(button->text(), QStringLiteral("Stop"));

    // The menu item asks too; "Stop" ends them all.
    controller->startStopMenuItem->trigger();
    QVERIFY(answerDialog(QStringLiteral("Stop Quillet?"), QStringLiteral("Stop")));
    QVERIFY(waitUntil([&] { return finished.count() == 3; }, 20000));
    QVERIFY(!runningDaemons().anyRunning());
    QCOMPARE(button->text(), QStringLiteral("Start"));
    QVERIFY(controller->statusTab()->BigStoppedTF->isVisibleTo(controller.get()));
    QVERIFY(waitUntil([&] { return labelText(*controller, "Protection daemons") == QStringLiteral("0"); }));
    QCOMPARE(controller->startStopMenuItem->text(), QStringLiteral("Start protection"));
    QCOMPARE(PreferencesDomain(kQuilletDomain).read()->at(prefs::kDaemonsAreRunning).integerValue(), 0);

    // The program's own request (a timer, the settings) stops without asking.
    status.startStop(false);
    QVERIFY(waitUntil([&] { return finished.count() == 4; }, 20000));
    QCOMPARE(runningDaemons().protection, 1);
    status.startStop(false);
    QVERIFY(waitUntil([&] { return finished.count() == 5; }, 20000));
    QVERIFY(!waitForDialog(QStringLiteral("Stop Quillet?"), 0));
    QVERIFY(!runningDaemons().anyRunning());
    QCOMPARE(button->text(), QStringLiteral("Start"));
}

void StatusTest::aTrashPutShowsInTheTrashSizeWithinTheChangeTest() {
    auto controller = startedController();
    QVERIFY(controller);
    QCOMPARE(labelText(*controller, "Trash size"), QStringLiteral("0"));
    // Wait for a change test to have counted the empty trash, so that the next one sees the
    // item arrive.
    QTest::qWait(1500);
    const std::string document = sys::homeFolder() + "/report.txt";
    QVERIFY(makeFile(document, 1536));
    QVERIFY2(trashPut(document), "trash-put failed or is missing");
    QVERIFY(entriesOf(homeTrashFiles()) == std::vector<std::string>{"report.txt"});
    // The 30-second timer of this controller is far off: only the one-second change test can
    // bring the new size.
    QVERIFY(waitUntil([&] { return labelText(*controller, "Trash size") == QStringLiteral("1.5KB"); }, 10000));
    QCOMPARE(controller->statusController().trashFolders(), std::vector<std::string>{sys::homeTrashFolder()});
}

void StatusTest::anUpdateFlagInTheCacheBringsAFullRefreshAndIsTaken() {
    auto controller = startedController();
    QVERIFY(controller);
    QCOMPARE(labelText(*controller, "Cache size"), QStringLiteral("0B"));
    QTest::qWait(1500);
    QVERIFY(makeFile(dateFolderNow() + "/kept.bin", 3 * 1024));
    // Without the marker nothing tells the window that the cache changed.
    QTest::qWait(2500);
    QCOMPARE(labelText(*controller, "Cache size"), QStringLiteral("0B"));
    const std::string flag = homeCache() + "/UPD_FLAG";
    QVERIFY(makeFile(flag, 0));
    QVERIFY(waitUntil([&] { return labelText(*controller, "Cache size") == QStringLiteral("3KB"); }, 10000));
    QVERIFY(!sys::exists(flag));
}

// Idle, the change test waits for a change of the watched trash and cache folders instead of
// looking every second; a trashing or a marker wakes it at once, and it sleeps again once quiet.
// A folder it cannot watch keeps it ticking.
void StatusTest::theChangeTestSleepsUntilATrashOrCacheFolderChanges() {
    auto controller = startedController();
    QVERIFY(controller);
    StatusController &status = controller->statusController();
    QVERIFY(waitUntil([&] { return status.changeTestSleeps(); }, 10000));
    uint64_t tests = status.changeTests();
    QTest::qWait(2500);
    QCOMPARE(status.changeTests(), tests);

    const std::string document = sys::homeFolder() + "/letter.txt";
    QVERIFY(makeFile(document, 2048));
    QVERIFY2(trashPut(document), "trash-put failed or is missing");
    QVERIFY(waitUntil([&] { return labelText(*controller, "Trash size") == QStringLiteral("2KB"); }, 3000));
    QVERIFY(status.changeTests() > tests);
    QVERIFY(waitUntil([&] { return status.changeTestSleeps(); }, 10000));

    QVERIFY(makeFile(dateFolderNow() + "/kept.bin", 5 * 1024));
    QVERIFY(makeFile(homeCache() + "/UPD_FLAG", 0));
    QVERIFY(waitUntil([&] { return labelText(*controller, "Cache size") == QStringLiteral("5KB"); }, 3000));
    QVERIFY(!sys::exists(homeCache() + "/UPD_FLAG"));
    QVERIFY(waitUntil([&] { return status.changeTestSleeps(); }, 10000));
    controller.reset();

    // Without the trash folder there is nothing to watch there: the test looks every second.
    QVERIFY(sys::removeTreeAtPath(homeTrashFiles()).ok());
    auto unwatched = startedController();
    QVERIFY(unwatched);
    StatusController &ticking = unwatched->statusController();
    QVERIFY(waitUntil([&] { return ticking.changeTests() >= 2; }, 5000));
    tests = ticking.changeTests();
    QTest::qWait(5500);
    QVERIFY(!ticking.changeTestSleeps());
    QVERIFY(ticking.changeTests() >= tests + 4);
    unwatched.reset();
    QVERIFY(sys::ensureHomeTrash());
}

void StatusTest::sizesAfterARefresh_data() {
    QTest::addColumn<qulonglong>("trashBytes");
    QTest::addColumn<qulonglong>("cacheBytes");
    QTest::addColumn<QString>("trashText");
    QTest::addColumn<QString>("cacheText");
    QTest::newRow("empty") << 0ULL << 0ULL << QStringLiteral("0") << QStringLiteral("0B");
    QTest::newRow("bytes and kilobytes") << 1024ULL << 1536ULL << QStringLiteral("1024B") << QStringLiteral("1.5KB");
    QTest::newRow("gigabytes and megabytes")
        << 3ULL * 1024 * 1024 * 1024 << 2ULL * 1024 * 1024 << QStringLiteral("3GB") << QStringLiteral("2MB");
}

void StatusTest::sizesAfterARefresh() {
    QFETCH(qulonglong, trashBytes);
    QFETCH(qulonglong, cacheBytes);
    QFETCH(QString, trashText);
    QFETCH(QString, cacheText);
    if (trashBytes)
        QVERIFY(makeFile(homeTrashFiles() + "/trashed.bin", trashBytes));
    if (cacheBytes)
        QVERIFY(makeFile(dateFolderNow() + "/cached.bin", cacheBytes));
    auto controller = startedController();
    QVERIFY(controller);
    QVERIFY(refreshNow(*controller));
    QCOMPARE(labelText(*controller, "Trash size"), trashText);
    QCOMPARE(labelText(*controller, "Cache size"), cacheText);
    QCOMPARE(labelText(*controller, "Protection daemons"), QStringLiteral("0"));
}

void StatusTest::sizesTakeTheUsersDecimalSeparator() {
    const QLocale german(QLocale::German, QLocale::Germany);
    if (german.decimalPoint() != QStringLiteral(","))
        QSKIP("no German locale data with a decimal comma");
    QVERIFY(makeFile(homeTrashFiles() + "/trashed.bin", 1536));
    QVERIFY(makeFile(dateFolderNow() + "/cached.bin", 1536 * 1024));
    const QLocale previous;
    QLocale::setDefault(german);
    auto controller = startedController();
    QVERIFY(controller);
    QVERIFY(refreshNow(*controller));
    const QString trash = labelText(*controller, "Trash size");
    const QString cache = labelText(*controller, "Cache size");
    QLocale::setDefault(previous);
    QCOMPARE(trash, QStringLiteral("1,5KB"));
    QCOMPARE(cache, QStringLiteral("1,5MB"));
}

void StatusTest::aSecondHousekeepingDaemonIsReportedAfterThePause() {
    auto controller = startedController();
    QVERIFY(controller);
    StatusController &status = controller->statusController();
    status.setAnomalyPause(std::chrono::milliseconds(300));
    QSignalSpy finished(&status, &StatusController::startStopFinished);
    controller->startStopMenuItem->trigger();
    QVERIFY(waitUntil([&] { return finished.count() == 1; }, 20000));
    QCOMPARE(runningDaemons().protection, 1);
    QCOMPARE(runningDaemons().cacheManager, 1);
    const std::vector<pid_t> before = processesOf(kProtectionDaemonName);

    // A second housekeeping daemon beside the protection daemon: the set is damaged.
    DaemonControl daemons(daemonFolder());
    auto extra = daemons.launch(kCacheManagerDaemonName, {"0", "0", "0", "0"}, DaemonControl::logPath());
    QVERIFY2(extra.ok(), extra.status().message().c_str());
    QVERIFY(waitUntil([] { return runningDaemons().cacheManager == 2; }));
    // The control files at the top of the cache folder go with a relaunch; the date folders stay.
    const std::string marker = homeCache() + "/marker";
    QVERIFY(makeFile(marker, 10));
    QVERIFY(makeFile(dateFolderNow() + "/kept.bin", 10));

    // "Continue anyway" leaves everything as it is.
    status.timerRefreshStats(false);
    QVERIFY(answerDialog(QStringLiteral("Protection problem!"), QStringLiteral("Continue anyway"), 15000));
    QCOMPARE(runningDaemons().cacheManager, 2);
    QCOMPARE(processesOf(kProtectionDaemonName), before);
    QVERIFY(sys::exists(marker));

    // "Try to stop and relaunch" stops everything, cleans the control files and starts anew a
    // second later: one of each again.
    status.timerRefreshStats(false);
    QVERIFY(answerDialog(QStringLiteral("Protection problem!"), QStringLiteral("Try to stop and relaunch"), 15000));
    QVERIFY(waitUntil([&] { return finished.count() == 2; }, 30000));
    QVERIFY(waitUntil([&] {
        const DaemonCounts counts = runningDaemons();
        return counts.protection == 1 && counts.cacheManager == 1;
    }));
    QVERIFY(processesOf(kProtectionDaemonName) != before);
    QVERIFY(!sys::exists(marker));
    QCOMPARE(dateFolders().size(), size_t(1));
    QCOMPARE(controller->statusTab()->startStopButton->text(), QStringLiteral("Stop"));
}

void StatusTest::aStartThatProtectsNothingSaysWhy() {
    // The home cache folder is a link elsewhere: not this user's cache, so no quilletd.
    const std::string elsewhere = sys::homeFolder() + "/elsewhere";
    QVERIFY(sys::makeDirectories(elsewhere, 0700));
    QVERIFY(sys::removeTreeAtPath(homeCache()));
    QVERIFY(sys::symlinkAt(elsewhere, AT_FDCWD, homeCache()));
    auto controller = startedController();
    QVERIFY(controller);
    QSignalSpy finished(&controller->statusController(), &StatusController::startStopFinished);
    controller->statusController().startStop(false);
    QDialog *report = waitForDialog(QStringLiteral("Protection could not be started."), 20000);
    QVERIFY(report);
    const QString why = report->accessibleDescription();
    QVERIFY2(why.contains(QString::fromStdString(sys::homeFolder() + " is not protected: ")), qPrintable(why));
    QVERIFY2(why.contains(QString::fromStdString(homeCache())), qPrintable(why));
    QVERIFY2(why.contains(QStringLiteral("symbolic link")), qPrintable(why));
    QVERIFY(answerDialog(QStringLiteral("Protection could not be started."), QStringLiteral("OK")));
    QVERIFY(waitUntil([&] { return finished.count() == 1; }));
    QCOMPARE(runningDaemons().protection, 0);
    QVERIFY(entriesOf(elsewhere).empty());
}

QUILLET_APP_TEST_MAIN(StatusTest)
#include "status_test.moc"
