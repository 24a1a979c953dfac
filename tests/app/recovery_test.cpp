// Getting items back from the browser tab: Recover through its folder sheet (files and folders
// byte for byte under their visible names, the failure alert naming the item, cancelling, no
// selection) and Put Back (to the recorded original path byte for byte, refused where that path
// is taken, with the message quilletctl restore gives).

#include "AppKeyring.h"
#include "AppTestSupport.h"
#include "ProtectionTestSupport.h"

#include "BrowserTab.h"
#include "CacheDragSource.h"
#include "CacheModel.h"
#include "CacheRecoverer.h"
#include "MainTabView.h"

#include "archive/TrashInfo.h"
#include "jobs/CacheRestore.h"

#include <QAction>
#include <QFileDialog>
#include <QItemSelectionModel>
#include <QLineEdit>
#include <QPushButton>
#include <QSignalSpy>
#include <QTreeView>
#include <QtTest>

#include <filesystem>
#include <fstream>
#include <memory>
#include <sstream>

using namespace quillet;
using namespace quillet::app;
using namespace quillet::apptest;

namespace {

bool listShows(BrowserTab &browser, int rows) {
    return waitUntil([&] { return browser.model()->rowCount() == rows && !browser.model()->busy(); }, 15000);
}

bool selectRowsNamed(BrowserTab &browser, const std::vector<std::string> &names) {
    browser.outlineView->clearSelection();
    size_t found = 0;
    for (int row = 0; row < browser.model()->rowCount(); ++row)
        for (const std::string &name : names)
            if (browser.model()->item(row)->displayName() == name) {
                browser.outlineView->selectionModel()->select(browser.model()->index(row, 0),
                                                              QItemSelectionModel::Select | QItemSelectionModel::Rows);
                ++found;
            }
    return found == names.size();
}

/// Answers the folder sheet with the path typed into its name field and its Recover button.
bool answerFolderSheet(const std::string &path) {
    QDialog *sheet = waitForDialog(QStringLiteral("Recovery"));
    if (!sheet || sheet->windowModality() != Qt::WindowModal)
        return false;
    auto *name = findByName<QLineEdit>(QStringLiteral("Save into: "), sheet);
    auto *recover = findByName<QPushButton>(QStringLiteral("Recover"), sheet);
    if (!name || !recover)
        return false;
    name->setText(QString::fromStdString(path));
    if (!recover->isEnabled())
        return false;
    recover->click();
    return true;
}

} // namespace

class RecoveryTest : public QObject {
    Q_OBJECT
private slots:
    void init();
    void cleanup();
    void recoversFilesAndFoldersThroughTheSheet();
    void aTakenNameEndsInTheFailureAlertNamingTheItem();
    void cancellingTheSheetChangesNothing();
    void theListIsReadAgainAfterADirectSave();
    void putBackRestoresTheOriginalPathAndRefusesATakenOne();
};

void RecoveryTest::init() {
    QVERIFY(sys::ensureCacheFolder(homeCacheFolder()));
    clearTrashAndCache();
}

void RecoveryTest::cleanup() {
    clearTrashAndCache();
    for (const char *name : {"Rescue", "Documents"})
        (void)sys::removeTreeAtPath(sys::homeFolder() + "/" + name);
}

void RecoveryTest::recoversFilesAndFoldersThroughTheSheet() {
    SKIP_WITHOUT_KEYRING();
    const std::string date = dateFolderNow();
    const std::string report = contentFor("Report.pdf", 70000);
    const std::string picture = contentFor("a.png", 12345);
    const std::string deep = contentFor("deep.txt", 3);
    QVERIFY(writeFile(date + "/.x_Report.pdf", report));
    QVERIFY(writeFile(date + "/.x_Pics/.x_a.png", picture));
    QVERIFY(writeFile(date + "/.x_Pics/.x_inner/.x_deep.txt", deep));
    QVERIFY(writeFile(date + "/.x_left alone.txt", "x"));
    auto controller = controllerOnTheBrowserTab();
    QVERIFY(controller);
    BrowserTab &browser = *controller->browserTab();
    QVERIFY(listShows(browser, 3));
    QVERIFY(selectRowsNamed(browser, {"Report.pdf", "Pics"}));
    QVERIFY(browser.recoverButton->isEnabled());
    QVERIFY(controller->recoverSelectionItemMenuItem->isEnabled());

    QSignalSpy finished(&controller->cacheRecoverer(), &CacheRecoverer::recoveryFinished);
    browser.recoverButton->click();
    const std::string rescue = sys::homeFolder() + "/Rescue";
    QVERIFY(answerFolderSheet(rescue));
    // Under way (its end comes through the event loop): the progress sheet is up and the
    // controls that would touch the cache are off.
    QVERIFY(controller->cacheRecoverer().running());
    QDialog *progress = waitForDialog(QStringLiteral("Recovering items…"), 0);
    QVERIFY(progress);
    QCOMPARE(progress->windowModality(), Qt::WindowModal);
    QVERIFY(!browser.recoverButton->isEnabled());
    QVERIFY(!browser.emptySelectionButton->isEnabled());
    QVERIFY(!controller->recoverSelectionItemMenuItem->isEnabled());
    QVERIFY(waitUntil([&] { return finished.count() == 1; }, 30000));
    QVERIFY(!waitForDialog(QStringLiteral("Recovering items…"), 0));
    QVERIFY2(finished.first().first().toStringList().isEmpty(),
             qPrintable(finished.first().first().toStringList().join('\n')));
    QVERIFY(!waitForDialog(CacheRecoverer::failureMessage(), 0));
    QCOMPARE(entriesOf(rescue), (std::vector<std::string>{"Pics", "Report.pdf"}));
    QVERIFY(readAll(rescue + "/Report.pdf") == report);
    QVERIFY(readAll(rescue + "/Pics/a.png") == picture);
    QVERIFY(readAll(rescue + "/Pics/inner/deep.txt") == deep);
    // The cache keeps its copies; the controls come back.
    QVERIFY(sys::exists(date + "/.x_Report.pdf"));
    QVERIFY(waitUntil([&] { return browser.recoverButton->isEnabled(); }));
}

void RecoveryTest::aTakenNameEndsInTheFailureAlertNamingTheItem() {
    SKIP_WITHOUT_KEYRING();
    const std::string date = dateFolderNow();
    QVERIFY(writeFile(date + "/.x_a.txt", "cached"));
    QVERIFY(writeFile(date + "/.x_b.txt", "other"));
    const std::string rescue = sys::homeFolder() + "/Rescue";
    QVERIFY(writeFile(rescue + "/a.txt", "already here"));
    auto controller = controllerOnTheBrowserTab();
    QVERIFY(controller);
    BrowserTab &browser = *controller->browserTab();
    QVERIFY(listShows(browser, 2));
    QVERIFY(selectRowsNamed(browser, {"a.txt", "b.txt"}));

    QSignalSpy finished(&controller->cacheRecoverer(), &CacheRecoverer::recoveryFinished);
    // An existing folder is chosen by name from the menu item's sheet, as a user would from
    // inside its parent.
    controller->recoverSelectionItemMenuItem->trigger();
    QVERIFY(controller->cacheRecoverer().folderSheet());
    controller->cacheRecoverer().folderSheet()->reject();
    controller->cacheRecoverer().recoverInto(QString::fromStdString(rescue));
    QDialog *alert = waitForDialog(CacheRecoverer::failureMessage(), 30000);
    QVERIFY(alert);
    QVERIFY(alert->accessibleDescription().startsWith(CacheRecoverer::failureInformative()));
    QVERIFY2(alert->accessibleDescription().contains(QString::fromStdString(date + "/.x_a.txt")),
             qPrintable(alert->accessibleDescription()));
    QVERIFY(!alert->accessibleDescription().contains(QStringLiteral(".x_b.txt")));
    QVERIFY(answerDialog(CacheRecoverer::failureMessage(), QStringLiteral("OK")));
    QCOMPARE(finished.count(), 1);
    // Nothing replaced; the other item recovered.
    QCOMPARE(readAll(rescue + "/a.txt"), std::string("already here"));
    QCOMPARE(readAll(rescue + "/b.txt"), std::string("other"));
}

void RecoveryTest::cancellingTheSheetChangesNothing() {
    SKIP_WITHOUT_KEYRING();
    const std::string date = dateFolderNow();
    QVERIFY(writeFile(date + "/.x_a.txt", "cached"));
    auto controller = controllerOnTheBrowserTab();
    QVERIFY(controller);
    BrowserTab &browser = *controller->browserTab();
    QVERIFY(listShows(browser, 1));

    // No selection: nothing is asked.
    controller->cacheRecoverer().recoverItems();
    QVERIFY(!controller->cacheRecoverer().folderSheet());

    QVERIFY(selectRowsNamed(browser, {"a.txt"}));
    browser.recoverButton->click();
    QVERIFY(waitForDialog(QStringLiteral("Recovery")));
    QVERIFY(answerDialog(QStringLiteral("Recovery"), QStringLiteral("Cancel")));
    QVERIFY(waitUntil([&] { return !controller->cacheRecoverer().folderSheet(); }));
    QVERIFY(!controller->cacheRecoverer().running());
    QVERIFY(!waitForDialog(QStringLiteral("Recovering items…"), 200));
    QVERIFY(!sys::exists(sys::homeFolder() + "/Rescue"));
}

void RecoveryTest::theListIsReadAgainAfterADirectSave() {
    SKIP_WITHOUT_KEYRING();
    const std::string date = dateFolderNow();
    QVERIFY(writeFile(date + "/.x_a.txt", "cached"));
    auto controller = controllerOnTheBrowserTab();
    QVERIFY(controller);
    BrowserTab &browser = *controller->browserTab();
    QVERIFY(listShows(browser, 1));
    // Archived while protection ran again after the drop: nothing else tells the window.
    QVERIFY(writeFile(date + "/.x_b.txt", "archived meanwhile"));
    QTest::qWait(1500);
    QCOMPARE(browser.model()->rowCount(), 1);
    emit controller->dragSource().directSaveFinished(QString::fromStdString(sys::homeFolder()), {});
    QVERIFY(listShows(browser, 2));
}

void RecoveryTest::putBackRestoresTheOriginalPathAndRefusesATakenOne() {
    SKIP_WITHOUT_KEYRING();
    const std::string date = dateFolderNow();
    const std::string documents = sys::homeFolder() + "/Documents";
    const std::string plan = contentFor("plan.txt", 40000);
    QVERIFY(writeFile(date + "/.x_plan.txt", plan));
    QVERIFY(writeFile(date + "/.x_notes.txt", "cached notes"));
    QVERIFY(writeFile(date + "/.x_unknown.txt", "no origin"));
    // Where the trash said they came from: plan.txt into a folder that is gone now (made again),
    // notes.txt onto a path taken meanwhile.
    {
        auto folder = sys::openDirectory(date);
        QVERIFY(folder);
        TrashInfoStore store;
        store[".x_plan.txt"] = TrashInfo{percentEncode(documents + "/Work/plan.txt"), "2026-12-08T10:00:00"};
        store[".x_notes.txt"] = TrashInfo{percentEncode(documents + "/notes.txt"), "2026-12-08T10:00:00"};
        QVERIFY(addToTrashInfoStore(folder->get(), date, store));
    }
    QVERIFY(writeFile(documents + "/notes.txt", "newer notes"));

    auto controller = controllerOnTheBrowserTab();
    QVERIFY(controller);
    BrowserTab &browser = *controller->browserTab();
    QVERIFY(listShows(browser, 3));
    // The original location column shows where each came from.
    QVERIFY(waitUntil([&] {
        return browser.model()->originalLocation(date + "/.x_plan.txt") ==
               QString::fromStdString(documents + "/Work/plan.txt");
    }));
    QVERIFY(selectRowsNamed(browser, {"plan.txt", "notes.txt", "unknown.txt"}));
    QVERIFY(browser.putBackButton->isEnabled());
    QVERIFY(controller->putBackSelectionItemMenuItem->isEnabled());
    QCOMPARE(controller->putBackSelectionItemMenuItem->shortcut(), QKeySequence(Qt::CTRL | Qt::Key_Backspace));

    QSignalSpy finished(&controller->cacheRecoverer(), &CacheRecoverer::putBackFinished);
    browser.putBackButton->click();
    QDialog *report = waitForDialog(QStringLiteral("Some items could not be put back."), 30000);
    QVERIFY(report);
    const QString text = report->accessibleDescription();
    QVERIFY2(text.contains(QStringLiteral("cannot restore %1: %2: already exists")
                               .arg(QString::fromStdString(date + "/.x_notes.txt"),
                                    QString::fromStdString(documents + "/notes.txt"))),
             qPrintable(text));
    QVERIFY2(text.contains(QStringLiteral("cannot restore %1: %2")
                               .arg(QString::fromStdString(date + "/.x_unknown.txt"),
                                    QString::fromLatin1(CacheRestore::kUnknownOrigin))),
             qPrintable(text));
    QVERIFY(!text.contains(QStringLiteral("plan.txt")));
    QVERIFY(answerDialog(QStringLiteral("Some items could not be put back."), QStringLiteral("OK")));
    QCOMPARE(finished.count(), 1);
    QVERIFY(readAll(documents + "/Work/plan.txt") == plan);
    QCOMPARE(readAll(documents + "/notes.txt"), std::string("newer notes"));
    // The cache keeps its copies.
    QVERIFY(sys::exists(date + "/.x_plan.txt"));
}

QUILLET_APP_KEYRING_TEST_MAIN(RecoveryTest)
#include "recovery_test.moc"
