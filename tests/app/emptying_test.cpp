// Emptying the cache from the browser tab with the real daemons of the build running
// (everything, a selection, "Do not delete", an item that cannot be deleted), and the uninstall
// in the private home. It starts and stops every daemon of the user, so it runs alone (and under
// the daemon tests' lock).

#include "AppKeyring.h"
#include "AppTestSupport.h"
#include "ProtectionTestSupport.h"

#include "BrowserTab.h"
#include "CacheEmptier.h"
#include "CacheModel.h"
#include "MainTabView.h"
#include "StatusController.h"

#include "settings/PreferencesDomain.h"
#include "settings/SettingsStore.h"
#include "support/ZRAppUtils.h"

#include <QAction>
#include <QRadioButton>
#include <QItemSelectionModel>
#include <QLabel>
#include <QPushButton>
#include <QSignalSpy>
#include <QTreeView>
#include <QtTest>

#include <fcntl.h>
#include <unistd.h>

#include <memory>

using namespace quillet;
using namespace quillet::app;
using namespace quillet::apptest;

namespace {

std::unique_ptr<MainController> startedController(StartupOptions options = testOptions()) {
    auto controller = std::make_unique<MainController>(std::move(options));
    QSignalSpy refreshed(&controller->statusController(), &StatusController::statisticsRefreshed);
    if (!controller->init() || !controller->awakeFromNib())
        return nullptr;
    if (!waitUntil([&] { return refreshed.count() > 0 && !controller->trashesCachePath().isEmpty(); }, 20000))
        return nullptr;
    return controller;
}

bool startProtection(MainController &controller) {
    QSignalSpy finished(&controller.statusController(), &StatusController::startStopFinished);
    controller.statusController().startStop(false);
    if (!waitUntil([&] { return finished.count() == 1; }, 20000))
        return false;
    const DaemonCounts counts = runningDaemons();
    return counts.protection == 1 && counts.cacheManager == 1;
}

/// The names the browser lists now, sorted.
std::vector<std::string> listedNames(BrowserTab &browser) {
    std::vector<std::string> names;
    for (const BrowserItem &item : browser.model()->rows())
        names.emplace_back(item.displayName());
    std::sort(names.begin(), names.end());
    return names;
}

/// Rebuilds the browser's list and waits until it shows names.
bool browserShows(BrowserTab &browser, const std::vector<std::string> &names, int timeoutMs = 15000) {
    return waitUntil(
        [&] {
            if (listedNames(browser) == names)
                return true;
            if (!browser.refreshRunning())
                browser.refreshOutlineList();
            return false;
        },
        timeoutMs);
}

/// Puts the files into the trash with trash-put and waits until the running quilletd has
/// copied them all into the cache; then empties the trash, as a user would, so that a
/// restarted quilletd has nothing left to copy again.
bool cacheThroughTheDaemon(BrowserTab &browser, const std::vector<std::pair<std::string, uint64_t>> &files) {
    std::vector<std::string> names;
    for (const auto &[name, size] : files) {
        const std::string path = sys::homeFolder() + "/" + name;
        if (!makeFile(path, size) || !trashPut(path))
            return false;
        names.push_back(name);
    }
    std::sort(names.begin(), names.end());
    if (!browserShows(browser, names, 30000))
        return false;
    emptyFolder(homeTrashFiles());
    emptyFolder(sys::homeTrashRoot() + "/info");
    return true;
}

bool selectRowNamed(BrowserTab &browser, const std::string &name) {
    for (int row = 0; row < browser.model()->rowCount(); ++row) {
        if (browser.model()->item(row)->displayName() == name) {
            browser.outlineView->selectionModel()->select(browser.model()->index(row, 0),
                                                          QItemSelectionModel::Select | QItemSelectionModel::Rows);
            return true;
        }
    }
    return false;
}

/// Everything a test wrote to standard error while it was captured.
class StderrCapture {
public:
    StderrCapture() : _path(sys::homeFolder() + "/stderr.txt") {
        std::fflush(stderr);
        _saved = ::dup(2);
        const int file = ::open(_path.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0600);
        ::dup2(file, 2);
        ::close(file);
    }
    ~StderrCapture() { restore(); }
    std::string text() {
        restore();
        auto read = sys::readFile(_path, 1 << 20);
        return read ? *read : std::string();
    }

private:
    void restore() {
        if (_saved < 0)
            return;
        std::fflush(stderr);
        ::dup2(_saved, 2);
        ::close(_saved);
        _saved = -1;
    }
    std::string _path;
    int _saved = -1;
};

} // namespace

class EmptyingTest : public QObject {
    Q_OBJECT
private slots:
    void initTestCase();
    void init();
    void cleanup();
    void doNotDeleteChangesNothing();
    void emptiesEverythingWithTheDaemonsRunning();
    void emptiesOnlyTheSelectionWithTheDaemonsRunning();
    void namesTheItemsThatCouldNotBeDeleted();
    void theBrowserFollowsTheDaemonWithADayOpen();
    void uninstallCancelledChangesNothing();
    void uninstallRemovesCachesPreferencesAndTheLoginItem();
};

void EmptyingTest::initTestCase() {
    if (buildDir().empty())
        QSKIP("QUILLET_BUILD_DIR is not set: run through ctest");
    qputenv("QUILLET_NO_REVEAL", "1");
    PreferencesDomain domain(kQuilletDomain);
    QVERIFY(domain.setValue(prefs::kSurveyHomeTrashOnly, PrefValue(1)).ok());
    QVERIFY(sys::ensureHomeTrash());
}

void EmptyingTest::init() {
    QVERIFY2(!runningDaemons().anyRunning(), "quillet daemons of this user are running already (another test?)");
    QVERIFY(sys::ensureCacheFolder(homeCacheFolder()));
    clearTrashAndCache();
}

void EmptyingTest::cleanup() {
    QVERIFY2(stopAllDaemons(), "a daemon is still running after the stop");
    clearTrashAndCache();
}

void EmptyingTest::doNotDeleteChangesNothing() {
    SKIP_WITHOUT_KEYRING();
    const std::string date = dateFolderNow();
    QVERIFY(makeFile(date + "/one.txt", 10));
    QVERIFY(makeFile(date + "/two.txt", 20));
    auto controller = startedController();
    QVERIFY(controller);
    QVERIFY(openBrowserTab(*controller));
    BrowserTab &browser = *controller->browserTab();
    QVERIFY(browserShows(browser, {"one.txt", "two.txt"}));
    QVERIFY(selectRowNamed(browser, "one.txt"));
    QVERIFY(browser.emptySelectionButton->isEnabled());

    for (QPushButton *button : {browser.emptyAllButton, browser.emptySelectionButton}) {
        button->click();
        QVERIFY(answerDialog(QStringLiteral("Are you sure you want to delete files?"), QStringLiteral("Do not delete")));
        QVERIFY(!controller->cacheEmptier().deleteThreadRunning());
        QVERIFY(browser.emptyAllButton->isEnabled());
        QVERIFY(browser.emptySelectionButton->isEnabled());
        QCOMPARE(entriesOf(date), (std::vector<std::string>{"one.txt", "two.txt"}));
    }
    QCOMPARE(browser.selectedItems().size(), size_t(1));
}

void EmptyingTest::emptiesEverythingWithTheDaemonsRunning() {
    SKIP_WITHOUT_KEYRING();
    auto controller = startedController();
    QVERIFY(controller);
    QVERIFY(startProtection(*controller));
    QVERIFY(openBrowserTab(*controller));
    BrowserTab &browser = *controller->browserTab();
    QVERIFY2(cacheThroughTheDaemon(browser, {{"alpha.txt", 100}, {"beta.txt", 2000}, {"gamma.txt", 3000}}),
             "the items did not reach the cache");
    const std::vector<pid_t> before = processesOf(kProtectionDaemonName);

    QSignalSpy finished(&controller->cacheEmptier(), &CacheEmptier::emptyingFinished);
    browser.emptyAllButton->click();
    QVERIFY(answerDialog(QStringLiteral("Are you sure you want to delete files?"), QStringLiteral("Delete files")));
    // The controls stay disabled while the job runs, and the selection line follows it.
    QVERIFY(controller->cacheEmptier().deleteThreadRunning());
    QVERIFY2(browser.outlineListStatsTF->text().startsWith(QStringLiteral("Deleting… ")),
             qPrintable(browser.outlineListStatsTF->text()));
    QVERIFY(!browser.emptyAllButton->isEnabled());
    QVERIFY(!browser.emptySelectionButton->isEnabled());
    QVERIFY(!browser.recoverButton->isEnabled());
    QVERIFY(!controller->recoverSelectionItemMenuItem->isEnabled());
    QVERIFY(waitUntil([&] { return finished.count() == 1; }, 60000));
    QVERIFY(!waitForDialog(QStringLiteral("Some items could not be deleted."), 0));

    QVERIFY(dateFolders().empty());
    QVERIFY(browserShows(browser, {}));
    QVERIFY(waitUntil([&] { return browser.outlineListStatsTF->text() == QStringLiteral("0 items displayed"); }));
    QVERIFY(browser.emptyAllButton->isEnabled());
    // Protection runs again, with new daemons.
    QVERIFY(waitUntil([] {
        const DaemonCounts counts = runningDaemons();
        return counts.protection == 1 && counts.cacheManager == 1;
    }));
    QVERIFY(processesOf(kProtectionDaemonName) != before);
}

void EmptyingTest::emptiesOnlyTheSelectionWithTheDaemonsRunning() {
    SKIP_WITHOUT_KEYRING();
    auto controller = startedController();
    QVERIFY(controller);
    QVERIFY(startProtection(*controller));
    QVERIFY(openBrowserTab(*controller));
    BrowserTab &browser = *controller->browserTab();
    QVERIFY2(cacheThroughTheDaemon(browser, {{"keep-one.txt", 10}, {"delete-me.txt", 20}, {"keep-two.txt", 30}}),
             "the items did not reach the cache");
    const std::vector<pid_t> before = processesOf(kProtectionDaemonName);

    QVERIFY(selectRowNamed(browser, "delete-me.txt"));
    QCOMPARE(browser.outlineListStatsTF->text(), QStringLiteral("1 items selected, 20B"));
    QSignalSpy finished(&controller->cacheEmptier(), &CacheEmptier::emptyingFinished);
    browser.emptySelectionButton->click();
    QVERIFY(answerDialog(QStringLiteral("Are you sure you want to delete files?"), QStringLiteral("Delete files")));
    QVERIFY(waitUntil([&] { return finished.count() == 1; }, 60000));
    QVERIFY(!waitForDialog(QStringLiteral("Some items could not be deleted."), 0));

    QVERIFY(browserShows(browser, {"keep-one.txt", "keep-two.txt"}));
    std::vector<std::string> cached;
    for (const std::string &date : dateFolders())
        for (const std::string &name : entriesOf(homeCache() + "/" + date))
            if (!isInternalName(name))
                cached.push_back(setFileName(name, Visibility::Visible));
    std::sort(cached.begin(), cached.end());
    QCOMPARE(cached, (std::vector<std::string>{"keep-one.txt", "keep-two.txt"}));
    QVERIFY(browser.selectedItems().empty());
    QVERIFY(waitUntil([] {
        const DaemonCounts counts = runningDaemons();
        return counts.protection == 1 && counts.cacheManager == 1;
    }));
    QVERIFY(processesOf(kProtectionDaemonName) != before);
}

void EmptyingTest::namesTheItemsThatCouldNotBeDeleted() {
    SKIP_WITHOUT_KEYRING();
    if (::geteuid() != 0)
        QSKIP("making a folder of another account needs root");
    const std::string date = dateFolderNow();
    const std::string foreign = date + "/foreign";
    QVERIFY(sys::makeDirectories(foreign, 0755));
    QVERIFY(::chown(foreign.c_str(), 65534, 65534) == 0);
    QVERIFY(makeFile(date + "/plain.txt", 10));
    auto controller = startedController();
    QVERIFY(controller);
    QVERIFY(openBrowserTab(*controller));
    BrowserTab &browser = *controller->browserTab();
    QVERIFY(browserShows(browser, {"foreign", "plain.txt"}));
    QVERIFY(selectRowNamed(browser, "foreign"));
    QVERIFY(selectRowNamed(browser, "plain.txt"));

    QSignalSpy finished(&controller->cacheEmptier(), &CacheEmptier::emptyingFinished);
    browser.emptySelectionButton->click();
    QVERIFY(answerDialog(QStringLiteral("Are you sure you want to delete files?"), QStringLiteral("Delete files")));
    QDialog *report = waitForDialog(QStringLiteral("Some items could not be deleted."), 30000);
    QVERIFY(report);
    QVERIFY2(report->accessibleDescription().contains(QString::fromStdString(foreign)),
             qPrintable(report->accessibleDescription()));
    QVERIFY2(report->accessibleDescription().contains(QStringLiteral("another account")),
             qPrintable(report->accessibleDescription()));
    QVERIFY(!report->accessibleDescription().contains(QStringLiteral("plain.txt")));
    QVERIFY(answerDialog(QStringLiteral("Some items could not be deleted."), QStringLiteral("OK")));
    QVERIFY(waitUntil([&] { return finished.count() == 1; }));
    QVERIFY(sys::exists(foreign));
    QVERIFY(!sys::exists(date + "/plain.txt"));
    (void)sys::removeTreeAtPath(foreign);
}

void EmptyingTest::theBrowserFollowsTheDaemonWithADayOpen() {
    SKIP_WITHOUT_KEYRING();
    auto controller = startedController();
    QVERIFY(controller);
    QVERIFY(startProtection(*controller));
    QVERIFY(openBrowserTab(*controller));
    BrowserTab &browser = *controller->browserTab();
    browser.dayViewButton->click();
    CacheModel &model = *browser.model();
    const std::string first = sys::homeFolder() + "/first.txt";
    QVERIFY(makeFile(first, 10) && trashPut(first));
    // The day the daemon archived it into, as a row.
    auto dayRow = [&]() -> QModelIndex {
        for (int row = 0; row < model.rowCount(); ++row)
            if (model.data(model.index(row, 0), CacheModel::DateFolderRole).toBool())
                return model.index(row, 0);
        return {};
    };
    QVERIFY(waitUntil(
        [&] {
            if (dayRow().isValid() && !model.busy())
                return true;
            if (!browser.refreshRunning())
                emit controller->refreshOutlineList();
            return false;
        },
        30000));
    const QPersistentModelIndex day(dayRow());
    browser.outlineView->expand(day);
    auto childNamed = [&](const QModelIndex &parent, const QString &name) {
        for (int row = 0; row < model.rowCount(parent); ++row)
            if (model.data(model.index(row, 0, parent)).toString() == name)
                return model.index(row, 0, parent);
        return QModelIndex();
    };
    QVERIFY(waitUntil([&] { return childNamed(day, QStringLiteral("first.txt")).isValid() && !model.busy(); }));
    browser.outlineView->selectionModel()->select(childNamed(day, QStringLiteral("first.txt")),
                                                  QItemSelectionModel::ClearAndSelect | QItemSelectionModel::Rows);

    // The daemon archives another item while the day is open, into it or into a new day.
    const std::string second = sys::homeFolder() + "/second.txt";
    QVERIFY(makeFile(second, 20) && trashPut(second));
    auto shown = [&] {
        for (int row = 0; row < model.rowCount(); ++row) {
            const QModelIndex root = model.index(row, 0);
            if (childNamed(root, QStringLiteral("second.txt")).isValid())
                return true;
            if (root != day && model.data(root, CacheModel::DateFolderRole).toBool() && !model.busy())
                return true;
        }
        return false;
    };
    QVERIFY(waitUntil(
        [&] {
            if (shown())
                return true;
            if (!browser.refreshRunning())
                emit controller->refreshOutlineList();
            return false;
        },
        30000));
    QVERIFY(day.isValid());
    QVERIFY(browser.outlineView->isExpanded(day));
    const std::vector<BrowserItem> selected = browser.selectedItems();
    QCOMPARE(selected.size(), size_t(1));
    QCOMPARE(std::string(selected[0].displayName()), std::string("first.txt"));
    emptyFolder(homeTrashFiles());
    emptyFolder(sys::homeTrashRoot() + "/info");
}

void EmptyingTest::uninstallCancelledChangesNothing() {
    QVERIFY(makeFile(dateFolderNow() + "/cached.txt", 10));
    QVERIFY(PreferencesDomain(kQuilletDomain).setValue(prefs::kSurveyHomeTrashOnly, PrefValue(1)).ok());
    auto controller = startedController();
    QVERIFY(controller);
    answerDialogLater(QStringLiteral("Do you want to uninstall the application?"), QStringLiteral("Cancel"));
    controller->uninstallMenuItem->trigger();
    QVERIFY(!controller->cacheEmptier().uninstalling());
    QCOMPARE(dateFolders().size(), size_t(1));
    QVERIFY(sys::exists(PreferencesDomain(kQuilletDomain).path()));
    // The statistics go on.
    QSignalSpy refreshed(&controller->statusController(), &StatusController::statisticsRefreshed);
    controller->statusController().timerRefreshStats(false);
    QVERIFY(waitUntil([&] { return refreshed.count() > 0; }, 20000));
}

void EmptyingTest::uninstallRemovesCachesPreferencesAndTheLoginItem() {
    // A companion of its own: a copy of sleep named as the tray companion, in the login items
    // and running.
    const std::string companion = sys::homeFolder() + "/libexec/QuilletMenuExtra";
    QVERIFY(sys::makeDirectories(sys::parentPath(companion), 0700));
    std::error_code error;
    std::filesystem::copy_file("/bin/sleep", companion, std::filesystem::copy_options::overwrite_existing, error);
    QVERIFY2(!error, error.message().c_str());
    ZRAppUtils utils;
    utils.setAnAppInLoginItems(true, companion);
    QVERIFY(utils.isInLoginItems(companion));
    auto running = sys::launchDetached(companion, {"600"});
    QVERIFY(running.ok());
    QVERIFY(waitUntil([] { return !processesOf("QuilletMenuExtra").empty(); }));

    const std::string companionPreferences = PreferencesDomain(kMenuExtraDomain).path();
    QVERIFY(sys::writeFileAtomically(companionPreferences,
                                     "<?xml version=\"1.0\" encoding=\"UTF-8\"?>\n<plist version=\"1.0\">\n<dict/>\n"
                                     "</plist>\n"));
    const std::string preferences = PreferencesDomain(kQuilletDomain).path();
    QVERIFY(PreferencesDomain(kQuilletDomain).setValue(prefs::kSurveyHomeTrashOnly, PrefValue(1)).ok());
    QVERIFY(makeFile(dateFolderNow() + "/cached.txt", 10));
    const std::string keep = sys::homeFolder() + "/keep.txt";
    QVERIFY(makeFile(keep, 5));
    const std::string trashed = sys::homeFolder() + "/trashed.txt";
    QVERIFY(makeFile(trashed, 7));
    QVERIFY(trashPut(trashed));

    StartupOptions options = testOptions();
    options.companionPath = companion;
    auto controller = startedController(options);
    QVERIFY(controller);
    QVERIFY(startProtection(*controller));

    QSignalSpy uninstalled(&controller->cacheEmptier(), &CacheEmptier::uninstalled);
    std::string messages;
    {
        StderrCapture capture;
        answerDialogLater(QStringLiteral("Do you want to uninstall the application?"), QStringLiteral("Uninstall"));
        answerDialogLater(QStringLiteral("Uninstallation terminated."), QStringLiteral("Quit"));
        controller->uninstallMenuItem->trigger();
        QVERIFY(controller->cacheEmptier().uninstalling());
        QVERIFY(waitUntil([&] { return uninstalled.count() == 1; }, 60000));
        messages = capture.text();
    }
    QVERIFY(!runningDaemons().anyRunning());
    QVERIFY(processesOf("QuilletMenuExtra").empty());
    QVERIFY(!sys::exists(homeCache()));
    QVERIFY(!sys::exists(preferences));
    QVERIFY(!sys::exists(companionPreferences));
    QVERIFY(!utils.isInLoginItems(companion));
    // The daemons' log (protection ran) and its folder went too.
    QVERIFY(!sys::exists(sys::daemonLogPath()));
    QVERIFY(!sys::exists(sys::stateFolder()));
    QVERIFY(sys::exists(keep));
    QCOMPARE(entriesOf(homeTrashFiles()), std::vector<std::string>{"trashed.txt"});
    QVERIFY2(messages.find("Quillet uninstall, removing: " + companionPreferences + "\n") != std::string::npos,
             messages.c_str());
    QVERIFY2(messages.find("Quillet uninstall, removing " + homeCacheFolder() + "\n    Done!\n") != std::string::npos,
             messages.c_str());
    QVERIFY2(messages.find("Error") == std::string::npos, messages.c_str());

    // Nothing is written once the application has quit: the settings stay gone.
    QTest::qWait(1500);
    QVERIFY(!sys::exists(preferences));
    (void)sys::ensureCacheFolder(homeCacheFolder());
}

QUILLET_APP_KEYRING_TEST_MAIN(EmptyingTest)
#include "emptying_test.moc"
