// The browser tab's list of cached items: the model under Qt's model tester, the items of the
// cache folders read on a job and shown flat, the selection kept across a rebuild, and the
// selection line with its rounding and the controls it enables.

#include "AppKeyring.h"
#include "AppTestSupport.h"
#include "ProtectionTestSupport.h"

#include "BrowserTab.h"
#include "CacheListModel.h"
#include "MainTabView.h"
#include "StatusController.h"

#include "browser/CacheTree.h"

#include <QAbstractItemModelTester>
#include <QAction>
#include <QItemSelectionModel>
#include <QLabel>
#include <QPushButton>
#include <QSignalSpy>
#include <QTreeView>
#include <QtTest>

#include <memory>

using namespace quillet;
using namespace quillet::app;
using namespace quillet::apptest;

namespace {

/// The rows the core lists flat for the home cache folder.
std::vector<BrowserItem> flatRows() {
    CacheTree tree;
    tree.setViewMode(ViewMode::Flat);
    tree.setTrashesCachePath(std::vector<std::string>{homeCacheFolder()});
    return tree.takeRootListItems();
}

std::unique_ptr<MainController> controllerOnTheBrowserTab() {
    auto controller = std::make_unique<MainController>(testOptions());
    if (!controller->init() || !controller->awakeFromNib())
        return nullptr;
    if (!waitUntil([&] { return !controller->trashesCachePath().isEmpty(); }))
        return nullptr;
    if (!openBrowserTab(*controller))
        return nullptr;
    return controller;
}

bool listShows(BrowserTab &browser, int rows) {
    return waitUntil([&] { return browser.model()->rowCount() == rows && !browser.refreshRunning(); }, 15000);
}

void selectRows(BrowserTab &browser, const std::vector<std::string> &names) {
    browser.outlineView->clearSelection();
    for (int row = 0; row < browser.model()->rowCount(); ++row)
        for (const std::string &name : names)
            if (browser.model()->item(row)->displayName() == name)
                browser.outlineView->selectionModel()->select(browser.model()->index(row, 0),
                                                              QItemSelectionModel::Select | QItemSelectionModel::Rows);
}

} // namespace

class BrowserTabTest : public QObject {
    Q_OBJECT
private slots:
    void init();
    void cleanup();
    void cacheListModelPassesTheModelTester();
    void listsTheItemsOfTheCacheFoldersFlat();
    void keepsTheSelectionAcrossARebuild();
    void selectionLine_data();
    void selectionLine();
};

void BrowserTabTest::init() {
    QVERIFY(sys::ensureCacheFolder(homeCacheFolder()));
    clearTrashAndCache();
}

void BrowserTabTest::cleanup() { clearTrashAndCache(); }

void BrowserTabTest::cacheListModelPassesTheModelTester() {
    const std::string date = dateFolderNow();
    for (const char *name : {"a.txt", "b.txt", "c.txt"})
        QVERIFY(makeFile(date + "/" + name, 100));
    QVERIFY(sys::makeDirectories(date + "/folder/inside", 0700));

    CacheListModel model;
    QAbstractItemModelTester tester(&model, QAbstractItemModelTester::FailureReportingMode::QtTest);
    QCOMPARE(model.rowCount(), 0);
    std::vector<BrowserItem> rows = flatRows();
    QCOMPARE(rows.size(), size_t(4));
    model.setRows(rows);
    QCOMPARE(model.rowCount(), 4);
    QCOMPARE(model.columnCount(), int(CacheListModel::ColumnCount));
    for (int row = 0; row < model.rowCount(); ++row) {
        const BrowserItem &item = rows[static_cast<size_t>(row)];
        QCOMPARE(model.data(model.index(row, CacheListModel::NameColumn)).toString().toStdString(),
                 std::string(item.displayName()));
        QCOMPARE(model.data(model.index(row, 0), CacheListModel::PathRole).toString().toStdString(), item.pathToItem);
        QCOMPARE(model.data(model.index(row, 0), CacheListModel::SizeRole).toULongLong(), item.size.value_or(0));
        QVERIFY(!model.data(model.index(row, CacheListModel::DateColumn)).toString().isEmpty());
        QCOMPARE(model.rowOf(item.id), row);
        // A table: no row has children.
        QCOMPARE(model.rowCount(model.index(row, 0)), 0);
    }
    QCOMPARE(model.data(model.index(0, CacheListModel::SizeColumn)).toString(), QStringLiteral("100B"));
    rows.pop_back();
    model.setRows(rows);
    QCOMPARE(model.rowCount(), 3);
    model.setRows({});
    QCOMPARE(model.rowCount(), 0);
    QVERIFY(!model.item(0));
    QCOMPARE(model.rowOf(rowIdOf(date + "/a.txt")), -1);
}

void BrowserTabTest::listsTheItemsOfTheCacheFoldersFlat() {
    SKIP_WITHOUT_KEYRING();
    // Items in two date folders, and the cache folder's own files, which are no items.
    const std::string today = dateFolderNow();
    const std::string earlier = homeCache() + "/" + finderCompatibleDateDescription(sys::now() - 86400);
    QVERIFY(makeFile(today + "/today.txt", 10));
    QVERIFY(makeFile(earlier + "/yesterday.txt", 20));
    QVERIFY(makeFile(homeCache() + "/UPD_FLAG_CACHE_MANAGER", 0));

    // While the tab is hidden nothing is read.
    MainController hidden(testOptions());
    QVERIFY(hidden.init());
    QVERIFY(hidden.awakeFromNib());
    QVERIFY(waitUntil([&] { return !hidden.trashesCachePath().isEmpty(); }));
    QCOMPARE(hidden.trashesCachePath(), QStringList{QString::fromStdString(homeCacheFolder())});
    QCOMPARE(hidden.browserTab()->model()->rowCount(), 0);

    auto controller = controllerOnTheBrowserTab();
    QVERIFY(controller);
    BrowserTab &browser = *controller->browserTab();
    QVERIFY(listShows(browser, 2));
    std::vector<std::string> paths;
    for (const BrowserItem &item : browser.model()->rows())
        paths.push_back(item.pathToItem);
    std::sort(paths.begin(), paths.end());
    std::vector<std::string> expected{earlier + "/yesterday.txt", today + "/today.txt"};
    std::sort(expected.begin(), expected.end());
    QCOMPARE(paths, expected);
    QCOMPARE(browser.countDisplayedItems(), uint64_t(2));
    QCOMPARE(browser.outlineListStatsTF->text(), QStringLiteral("2 items displayed"));

    // A rebuild asked for by the window reads the cache again.
    QVERIFY(makeFile(today + "/new.txt", 30));
    QSignalSpy refreshed(&browser, &BrowserTab::outlineListRefreshed);
    emit controller->refreshOutlineList();
    QVERIFY(waitUntil([&] { return refreshed.count() > 0; }));
    QVERIFY(listShows(browser, 3));
    QCOMPARE(browser.outlineListStatsTF->text(), QStringLiteral("3 items displayed"));
}

void BrowserTabTest::keepsTheSelectionAcrossARebuild() {
    SKIP_WITHOUT_KEYRING();
    const std::string date = dateFolderNow();
    for (const char *name : {"a.txt", "b.txt", "c.txt"})
        QVERIFY(makeFile(date + "/" + name, 10));
    auto controller = controllerOnTheBrowserTab();
    QVERIFY(controller);
    BrowserTab &browser = *controller->browserTab();
    QVERIFY(listShows(browser, 3));
    selectRows(browser, {"b.txt"});
    QCOMPARE(browser.selectedItems().size(), size_t(1));

    // b.txt stays selected when the list is read again; a.txt, gone meanwhile, drops out.
    QVERIFY(sys::unlink(date + "/a.txt"));
    browser.refreshOutlineList();
    QVERIFY(listShows(browser, 2));
    const std::vector<BrowserItem> selected = browser.selectedItems();
    QCOMPARE(selected.size(), size_t(1));
    QCOMPARE(std::string(selected[0].displayName()), std::string("b.txt"));
    QVERIFY(browser.emptySelectionButton->isEnabled());

    browser.deselectAll();
    QVERIFY(browser.selectedItems().empty());
    QVERIFY(!browser.emptySelectionButton->isEnabled());
}

void BrowserTabTest::selectionLine_data() {
    QTest::addColumn<QList<qulonglong>>("sizes");
    QTest::addColumn<int>("selected");
    QTest::addColumn<QString>("line");
    QTest::newRow("nothing selected") << QList<qulonglong>{10, 20} << 0 << QStringLiteral("2 items displayed");
    QTest::newRow("2 MiB is 2MB") << QList<qulonglong>{2097152} << 1 << QStringLiteral("1 items selected, 2MB");
    QTest::newRow("one byte less is 2048KB")
        << QList<qulonglong>{2097151} << 1 << QStringLiteral("1 items selected, 2048KB");
    QTest::newRow("2047 bytes stay bytes") << QList<qulonglong>{2047} << 1 << QStringLiteral("1 items selected, 2047B");
    QTest::newRow("2048 bytes are 2KB") << QList<qulonglong>{2048} << 1 << QStringLiteral("1 items selected, 2KB");
    QTest::newRow("rows add up") << QList<qulonglong>{1000, 1047, 5} << 2 << QStringLiteral("2 items selected, 2047B");
    QTest::newRow("whole units, rounded down") << QList<qulonglong>{3 * 1048576 + 524287} << 1
                                               << QStringLiteral("1 items selected, 3MB");
}

void BrowserTabTest::selectionLine() {
    SKIP_WITHOUT_KEYRING();
    QFETCH(QList<qulonglong>, sizes);
    QFETCH(int, selected);
    QFETCH(QString, line);
    const std::string date = dateFolderNow();
    std::vector<std::string> names;
    for (int i = 0; i < sizes.size(); ++i) {
        names.push_back("item" + std::to_string(i));
        QVERIFY(makeFile(date + "/" + names.back(), sizes[i]));
    }
    auto controller = controllerOnTheBrowserTab();
    QVERIFY(controller);
    BrowserTab &browser = *controller->browserTab();
    QVERIFY(listShows(browser, static_cast<int>(sizes.size())));
    selectRows(browser, std::vector<std::string>(names.begin(), names.begin() + selected));
    QCOMPARE(browser.outlineListStatsTF->text(), line);
    QCOMPARE(browser.emptySelectionButton->isEnabled(), selected > 0);
    QCOMPARE(browser.recoverButton->isEnabled(), selected > 0);
    QCOMPARE(controller->recoverSelectionItemMenuItem->isEnabled(), selected > 0);
    QVERIFY(browser.emptyAllButton->isEnabled());
}

QUILLET_APP_KEYRING_TEST_MAIN(BrowserTabTest)
#include "browserTab_test.moc"
