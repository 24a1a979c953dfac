// The browser tab: its model under Qt's model tester in both views, sorting both ways, the age
// limit, children read when a row is expanded, a cache that changes underneath with the expanded
// and selected rows kept, the search while its walk runs, and the selection line with its
// rounding and the controls it enables.

#include "AppKeyring.h"
#include "AppTestSupport.h"
#include "ProtectionTestSupport.h"

#include "BrowserTab.h"
#include "CacheModel.h"
#include "MainTabView.h"
#include "StatusController.h"

#include "browser/CacheTree.h"

#include <QAbstractItemModelTester>
#include <QAction>
#include <QBrush>
#include <QComboBox>
#include <QItemSelectionModel>
#include <QLabel>
#include <QLineEdit>
#include <QPushButton>
#include <QRadioButton>
#include <QScrollBar>
#include <QSignalSpy>
#include <QTreeView>
#include <QtTest>

#include <fcntl.h>
#include <sys/stat.h>

#include <algorithm>
#include <memory>

using namespace quillet;
using namespace quillet::app;
using namespace quillet::apptest;

namespace {

/// A date folder of the home cache folder for a moment hoursAgo hours before now.
std::string dateFolderAgo(double hoursAgo) {
    const std::string folder =
        homeCache() + "/" + finderCompatibleDateDescription(sys::now() - static_cast<time_t>(hoursAgo * 3600));
    (void)sys::makeDirectories(folder, 0700);
    return folder;
}

bool settled(const CacheModel &model) {
    // Two turns of the event loop with nothing running: answers of jobs are all in.
    return waitUntil([&] { return !model.busy(); }, 15000) && (QTest::qWait(30), !model.busy());
}

bool listShows(BrowserTab &browser, int rows) {
    return waitUntil([&] { return browser.model()->rowCount() == rows && !browser.model()->busy(); }, 15000);
}

/// The shown names of the rows below parent (the root when invalid), in order.
std::vector<std::string> namesOf(const CacheModel &model, const QModelIndex &parent = {}) {
    std::vector<std::string> names;
    for (int row = 0; row < model.rowCount(parent); ++row)
        names.push_back(model.data(model.index(row, CacheModel::NameColumn, parent)).toString().toStdString());
    return names;
}

QModelIndex rowNamed(const CacheModel &model, const std::string &name, const QModelIndex &parent = {}) {
    for (int row = 0; row < model.rowCount(parent); ++row) {
        QModelIndex index = model.index(row, 0, parent);
        if (model.data(index).toString().toStdString() == name)
            return index;
    }
    return {};
}

void selectRows(BrowserTab &browser, const std::vector<std::string> &names) {
    browser.outlineView->clearSelection();
    for (int row = 0; row < browser.model()->rowCount(); ++row)
        for (const std::string &name : names)
            if (browser.model()->item(row)->displayName() == name)
                browser.outlineView->selectionModel()->select(browser.model()->index(row, 0),
                                                              QItemSelectionModel::Select | QItemSelectionModel::Rows);
}

/// The title of a date folder's day row: its date in the local time zone.
std::string dayTitle(const std::string &dateFolder) {
    auto date = dateFromFinderCompatibleDateDescription(sys::lastPathComponent(dateFolder));
    std::string title = date ? finderCompatibleDateDescription(*date) : sys::lastPathComponent(dateFolder);
    std::replace(title.begin(), title.end(), '_', ':');
    return title;
}

} // namespace

class BrowserTabTest : public QObject {
    Q_OBJECT
private slots:
    void init();
    void cleanup();
    void modelPassesTheModelTester_data();
    void modelPassesTheModelTester();
    void flatViewShowsItsFirstRowsBeforeTheWholeList();
    void anExpandedFolderShowsItsListingThenItsAttributes();
    void dayRowsAreBlueDatesThatExpandIntoTheirItems();
    void sortsTheRootRowsBothWays_data();
    void sortsTheRootRowsBothWays();
    void ageLimitHidesOlderDays();
    void aChangedCacheKeepsExpansionAndSelection();
    void aFolderGoneAndBackIsReadAgain();
    void viewControlsAndAgeLimitPopUp();
    void listsTheItemsOfTheCacheFolders();
    void keepsTheSelectionAcrossARebuild();
    void searchShowsHitsWhileTypingAndClearingReturns();
    void selectionLine_data();
    void selectionLine();
};

void BrowserTabTest::init() {
    QVERIFY(sys::ensureCacheFolder(homeCacheFolder()));
    clearTrashAndCache();
}

void BrowserTabTest::cleanup() { clearTrashAndCache(); }

void BrowserTabTest::modelPassesTheModelTester_data() {
    QTest::addColumn<bool>("flat");
    QTest::newRow("day view") << false;
    QTest::newRow("flat view") << true;
}

void BrowserTabTest::modelPassesTheModelTester() {
    QFETCH(bool, flat);
    const std::string today = dateFolderAgo(0);
    const std::string earlier = dateFolderAgo(30);
    for (const char *name : {".x_a.txt", ".x_b.txt", ".x_c.txt"})
        QVERIFY(makeFile(today + "/" + name, 100));
    QVERIFY(makeFile(earlier + "/.x_old.txt", 5));
    QVERIFY(sys::makeDirectories(today + "/.x_folder/.x_inside", 0700));
    QVERIFY(makeFile(today + "/.x_folder/.x_inside/.x_deep.txt", 7));
    QVERIFY(makeFile(homeCache() + "/UPD_FLAG", 0));

    CacheModel model;
    QAbstractItemModelTester tester(&model, QAbstractItemModelTester::FailureReportingMode::QtTest);
    model.setViewMode(flat ? ViewMode::Flat : ViewMode::Day);
    QCOMPARE(model.rowCount(), 0);
    model.setCacheFolders({QString::fromStdString(homeCacheFolder())});
    QVERIFY(settled(model));
    QCOMPARE(model.columnCount(), int(CacheModel::ColumnCount));
    QCOMPARE(model.headerData(CacheModel::OriginColumn, Qt::Horizontal).toString(), QStringLiteral("Original location"));

    QModelIndex folder;
    if (flat) {
        QCOMPARE(namesOf(model), (std::vector<std::string>{"a.txt", "b.txt", "c.txt", "folder", "old.txt"}));
        folder = rowNamed(model, "folder");
        QCOMPARE(model.data(model.index(0, CacheModel::SizeColumn)).toString(), QStringLiteral("100B"));
        QCOMPARE(model.data(model.index(0, 0), CacheModel::PathRole).toString().toStdString(), today + "/.x_a.txt");
    } else {
        QCOMPARE(namesOf(model), (std::vector<std::string>{dayTitle(earlier), dayTitle(today)}));
        const QModelIndex day = rowNamed(model, dayTitle(today));
        QVERIFY(model.hasChildren(day));
        // The tester may have asked for the children already.
        model.fetchMore(day);
        QVERIFY(settled(model));
        QVERIFY(!model.canFetchMore(day));
        std::vector<std::string> children = namesOf(model, day);
        std::sort(children.begin(), children.end());
        QCOMPARE(children, (std::vector<std::string>{"a.txt", "b.txt", "c.txt", "folder"}));
        folder = rowNamed(model, "folder", day);
    }
    QVERIFY(folder.isValid());
    QVERIFY(model.hasChildren(folder));
    model.fetchMore(folder);
    QVERIFY(settled(model));
    QCOMPARE(namesOf(model, folder), std::vector<std::string>{"inside"});
    const QModelIndex inside = model.index(0, 0, folder);
    QCOMPARE(model.parent(inside), folder);
    model.fetchMore(inside);
    QVERIFY(settled(model));
    QCOMPARE(namesOf(model, inside), std::vector<std::string>{"deep.txt"});
    // A child shows its own size once its attributes are read, and a date.
    const QModelIndex deep = model.index(0, CacheModel::SizeColumn, inside);
    QCOMPARE(model.data(deep).toString(), QStringLiteral("7B"));
    QVERIFY(!model.data(model.index(0, CacheModel::DateColumn, inside)).toString().isEmpty());
    QCOMPARE(model.parent(model.parent(deep)), folder);

    // Read again: the same rows, and the open folders stay open.
    model.refresh();
    QVERIFY(settled(model));
    QVERIFY(!model.canFetchMore(folder));
    QCOMPARE(namesOf(model, inside), std::vector<std::string>{"deep.txt"});
}

// Expanding a folder shows its listing at once (names, no sizes yet), then the same rows with
// their sizes; a row held meanwhile (a selection, the current row) stays on its entry.
void BrowserTabTest::anExpandedFolderShowsItsListingThenItsAttributes() {
    const std::string day = dateFolderAgo(0);
    const std::string folder = day + "/.x_many";
    std::vector<std::string> names;
    for (int i = 0; i < 400; ++i) {
        names.push_back("file-" + std::to_string(i) + ".txt");
        QVERIFY(makeFile(folder + "/.x_" + names.back(), i % 50));
    }
    QVERIFY(sys::makeDirectories(folder + "/.x_sub", 0700));
    names.push_back("sub");
    std::sort(names.begin(), names.end());

    CacheModel model;
    model.setViewMode(ViewMode::Flat);
    model.setCacheFolders({QString::fromStdString(homeCacheFolder())});
    QVERIFY(settled(model));
    const QModelIndex many = rowNamed(model, "many");
    QVERIFY(many.isValid());
    QSignalSpy shown(&model, &CacheModel::childrenShown);
    model.fetchMore(many);
    QVERIFY(shown.wait(15000));
    // The listing: every entry by name, its size not known yet, the folder among them expandable.
    std::vector<std::string> listed = namesOf(model, many);
    std::sort(listed.begin(), listed.end());
    QCOMPARE(listed, names);
    const QPersistentModelIndex held(rowNamed(model, "file-123.txt", many));
    QVERIFY(held.isValid());
    const bool attributesIn = shown.count() > 1;
    if (!attributesIn)
        QVERIFY(model.data(model.index(held.row(), CacheModel::SizeColumn, many)).toString().isEmpty());
    QVERIFY(model.hasChildren(rowNamed(model, "sub", many)));
    QVERIFY(!model.hasChildren(held));
    QCOMPARE(model.data(held, CacheModel::PathRole).toString().toStdString(), folder + "/.x_file-123.txt");

    // The tester looks at the model as the listing shows it, and follows the change to rows.
    QAbstractItemModelTester tester(&model, QAbstractItemModelTester::FailureReportingMode::QtTest);
    QVERIFY(settled(model));
    QVERIFY(held.isValid());
    QCOMPARE(model.data(held).toString(), QStringLiteral("file-123.txt"));
    QCOMPARE(model.data(held.sibling(held.row(), CacheModel::SizeColumn)).toString(), QStringLiteral("23B"));
    listed = namesOf(model, many);
    std::sort(listed.begin(), listed.end());
    QCOMPARE(listed, names);
}

void BrowserTabTest::flatViewShowsItsFirstRowsBeforeTheWholeList() {
    // More items than the first rows the flat view shows ahead of the whole list.
    std::vector<std::string> all;
    for (int day = 0; day < 3; ++day) {
        const std::string folder = dateFolderAgo(1 + day * 30);
        for (int i = 0; i < 90; ++i) {
            const std::string name = "item-" + std::to_string(i * 3 + day) + ".txt";
            QVERIFY(makeFile(folder + "/.x_" + name, 10));
            all.push_back(name);
        }
    }
    CacheModel model;
    QAbstractItemModelTester tester(&model, QAbstractItemModelTester::FailureReportingMode::QtTest);
    model.setViewMode(ViewMode::Flat);
    std::vector<std::vector<std::string>> shown;
    std::vector<uint64_t> counted;
    connect(&model, &CacheModel::rootListReplaced, this, [&] {
        shown.push_back(namesOf(model));
        counted.push_back(model.countDisplayedItems([](const QModelIndex &) { return false; }));
    });
    model.setCacheFolders({QString::fromStdString(homeCacheFolder())});
    QVERIFY(settled(model));
    std::sort(all.begin(), all.end());
    QCOMPARE(shown.size(), size_t{2});
    // First the top of the list by name, whole, counted as the whole list.
    QCOMPARE(shown[0], std::vector<std::string>(all.begin(), all.begin() + 200));
    QCOMPARE(counted[0], uint64_t{270});
    QCOMPARE(model.data(model.index(0, CacheModel::SizeColumn)).toString(), QStringLiteral("10B"));
    // Then all of it.
    QCOMPARE(shown[1], all);
    QCOMPARE(counted[1], uint64_t{270});
}

void BrowserTabTest::dayRowsAreBlueDatesThatExpandIntoTheirItems() {
    const std::string day = homeCache() + "/2008-03-14 15_42 +0100";
    QVERIFY(makeFile(day + "/.x_Report.pdf", 1536));
    QVERIFY(makeFile(homeCache() + "/ArchivedFileData", 10));
    CacheModel model;
    model.setViewMode(ViewMode::Day);
    model.setCacheFolders({QString::fromStdString(homeCacheFolder())});
    QVERIFY(settled(model));
    // 2008-03-14 15:42 +0100, in the local time zone.
    QCOMPARE(namesOf(model), std::vector<std::string>{dayTitle(day)});
    QCOMPARE(dateFromFinderCompatibleDateDescription(sys::lastPathComponent(day)), time_t(1205505720));
    const QModelIndex row = model.index(0, 0);
    QCOMPARE(model.data(row, Qt::ForegroundRole).value<QBrush>().color(), QColor(Qt::blue));
    QVERIFY(model.data(row, CacheModel::DateFolderRole).toBool());
    // The application's own icon, not a folder's.
    const QIcon appIcon(QString::fromStdString(buildDir() + "/share/quillet/App_Icon.png"));
    QVERIFY(!appIcon.isNull());
    QCOMPARE(model.data(row, Qt::DecorationRole).value<QIcon>().pixmap(16, 16).toImage(),
             appIcon.pixmap(16, 16).toImage());
    model.fetchMore(row);
    QVERIFY(settled(model));
    const QModelIndex child = model.index(0, 0, row);
    QCOMPARE(model.data(child).toString(), QStringLiteral("Report.pdf"));
    QVERIFY(!model.data(child, CacheModel::DateFolderRole).toBool());
    QVERIFY(!model.data(child, Qt::ForegroundRole).isValid());
    QCOMPARE(model.data(model.index(0, CacheModel::SizeColumn, row)).toString(), QStringLiteral("1.5KB"));
    QVERIFY(!model.hasChildren(child));
}

void BrowserTabTest::sortsTheRootRowsBothWays_data() {
    QTest::addColumn<int>("column");
    QTest::addColumn<bool>("descending");
    QTest::addColumn<QStringList>("expected");
    // b is the largest and oldest, c the smallest and newest.
    QTest::newRow("name ascending") << int(CacheModel::NameColumn) << false << QStringList{"a", "B", "c"};
    QTest::newRow("name descending") << int(CacheModel::NameColumn) << true << QStringList{"c", "B", "a"};
    QTest::newRow("date ascending") << int(CacheModel::DateColumn) << false << QStringList{"B", "a", "c"};
    QTest::newRow("date descending") << int(CacheModel::DateColumn) << true << QStringList{"c", "a", "B"};
    QTest::newRow("size ascending") << int(CacheModel::SizeColumn) << false << QStringList{"c", "a", "B"};
    QTest::newRow("size descending") << int(CacheModel::SizeColumn) << true << QStringList{"B", "a", "c"};
}

void BrowserTabTest::sortsTheRootRowsBothWays() {
    QFETCH(int, column);
    QFETCH(bool, descending);
    QFETCH(QStringList, expected);
    const std::string day = dateFolderAgo(0);
    const struct {
        const char *name;
        uint64_t size;
        time_t age;
    } files[] = {{"a", 200, 2000}, {"B", 300, 3000}, {"c", 100, 1000}};
    for (const auto &file : files) {
        const std::string path = day + "/.x_" + file.name;
        QVERIFY(makeFile(path, file.size));
        const time_t when = sys::now() - file.age;
        const struct timespec times[2] = {{when, 0}, {when, 0}};
        QVERIFY(::utimensat(AT_FDCWD, path.c_str(), times, AT_SYMLINK_NOFOLLOW) == 0);
    }
    CacheModel model;
    QAbstractItemModelTester tester(&model, QAbstractItemModelTester::FailureReportingMode::QtTest);
    model.setViewMode(ViewMode::Flat);
    model.setCacheFolders({QString::fromStdString(homeCacheFolder())});
    QVERIFY(settled(model));
    model.sort(column, descending ? Qt::DescendingOrder : Qt::AscendingOrder);
    QVERIFY(settled(model));
    QStringList shown;
    for (const std::string &name : namesOf(model))
        shown.append(QString::fromStdString(name));
    QCOMPARE(shown, expected);
    // A rebuild keeps the order chosen.
    model.refresh();
    QVERIFY(settled(model));
    shown.clear();
    for (const std::string &name : namesOf(model))
        shown.append(QString::fromStdString(name));
    QCOMPARE(shown, expected);
}

void BrowserTabTest::ageLimitHidesOlderDays() {
    const std::string young = dateFolderAgo(23);
    const std::string old = dateFolderAgo(25);
    QVERIFY(makeFile(young + "/.x_young.txt", 1));
    QVERIFY(makeFile(old + "/.x_old.txt", 1));
    QVERIFY(sys::makeDirectories(homeCache() + "/not a date", 0700));
    CacheModel model;
    QAbstractItemModelTester tester(&model, QAbstractItemModelTester::FailureReportingMode::QtTest);
    model.setViewMode(ViewMode::Flat);
    model.setCacheFolders({QString::fromStdString(homeCacheFolder())});
    QVERIFY(settled(model));
    QCOMPARE(namesOf(model), (std::vector<std::string>{"old.txt", "young.txt"}));
    model.setAgeLimitHours(24);
    QVERIFY(settled(model));
    QCOMPARE(namesOf(model), std::vector<std::string>{"young.txt"});
    model.setViewMode(ViewMode::Day);
    QVERIFY(settled(model));
    QCOMPARE(namesOf(model), std::vector<std::string>{dayTitle(young)});
    model.setAgeLimitHours(0);
    QVERIFY(settled(model));
    QCOMPARE(namesOf(model).size(), size_t(2));
    QVERIFY(std::find(CacheModel::ageLimitChoices().begin(), CacheModel::ageLimitChoices().end(), 24u) !=
            CacheModel::ageLimitChoices().end());
}

void BrowserTabTest::aChangedCacheKeepsExpansionAndSelection() {
    const std::string first = dateFolderAgo(2);
    const std::string second = dateFolderAgo(1);
    for (int i = 0; i < 40; ++i)
        QVERIFY(makeFile(second + "/.x_item" + std::to_string(100 + i) + ".txt", 10));
    QVERIFY(makeFile(first + "/.x_first.txt", 10));

    CacheModel model;
    QAbstractItemModelTester tester(&model, QAbstractItemModelTester::FailureReportingMode::QtTest);
    model.setViewMode(ViewMode::Day);
    QTreeView view;
    view.setModel(&model);
    view.resize(400, 200);
    view.show();
    model.setCacheFolders({QString::fromStdString(homeCacheFolder())});
    QVERIFY(settled(model));
    const QModelIndex day = rowNamed(model, dayTitle(second));
    view.expand(day);
    QVERIFY(waitUntil([&] { return model.rowCount(day) == 40 && !model.busy(); }));
    const QModelIndex chosen = rowNamed(model, "item130.txt", day);
    QVERIFY(chosen.isValid());
    view.selectionModel()->select(chosen, QItemSelectionModel::ClearAndSelect | QItemSelectionModel::Rows);
    view.scrollTo(chosen, QAbstractItemView::PositionAtTop);
    const int scrolled = view.verticalScrollBar()->value();
    QVERIFY(scrolled > 0);

    // The daemons archive meanwhile: a new day, and a new item in the open one.
    const std::string third = dateFolderAgo(0.1);
    QVERIFY(makeFile(third + "/.x_latest.txt", 10));
    QVERIFY(makeFile(second + "/.x_item099.txt", 10));
    // The folder's times must move for its listing to be read again.
    const struct timespec later[2] = {{sys::now() + 5, 0}, {sys::now() + 5, 0}};
    QVERIFY(::utimensat(AT_FDCWD, second.c_str(), later, 0) == 0);
    model.refresh();
    QVERIFY(settled(model));
    QCOMPARE(model.rowCount(), 3);
    const QModelIndex dayAfter = rowNamed(model, dayTitle(second));
    QVERIFY(view.isExpanded(dayAfter));
    QVERIFY(waitUntil([&] { return model.rowCount(dayAfter) == 41; }));
    const QModelIndexList selected = view.selectionModel()->selectedRows();
    QCOMPARE(selected.size(), 1);
    QCOMPARE(model.data(selected.first()).toString(), QStringLiteral("item130.txt"));
    QCOMPARE(view.verticalScrollBar()->value(), scrolled);
    QCOMPARE(model.countDisplayedItems([&](const QModelIndex &index) { return view.isExpanded(index); }),
             uint64_t(3 + 41));
}

void BrowserTabTest::aFolderGoneAndBackIsReadAgain() {
    const std::string day = dateFolderAgo(0);
    QVERIFY(makeFile(day + "/.x_Pics/.x_a.png", 3));
    CacheModel model;
    QAbstractItemModelTester tester(&model, QAbstractItemModelTester::FailureReportingMode::QtTest);
    model.setViewMode(ViewMode::Flat);
    model.setCacheFolders({QString::fromStdString(homeCacheFolder())});
    QVERIFY(settled(model));
    model.fetchMore(rowNamed(model, "Pics"));
    QVERIFY(settled(model));
    QCOMPARE(namesOf(model, rowNamed(model, "Pics")), std::vector<std::string>{"a.png"});
    // The day view has no such root row: the folder's children go with it.
    model.setViewMode(ViewMode::Day);
    QVERIFY(settled(model));
    QCOMPARE(namesOf(model), std::vector<std::string>{dayTitle(day)});
    QVERIFY(makeFile(day + "/.x_Pics/.x_b.png", 3));
    model.setViewMode(ViewMode::Flat);
    QVERIFY(settled(model));
    const QModelIndex pics = rowNamed(model, "Pics");
    QVERIFY(pics.isValid());
    model.fetchMore(pics);
    QVERIFY(settled(model));
    QCOMPARE(namesOf(model, pics).size(), size_t(2));
}

void BrowserTabTest::viewControlsAndAgeLimitPopUp() {
    SKIP_WITHOUT_KEYRING();
    const std::string today = dateFolderAgo(0);
    QVERIFY(makeFile(today + "/.x_one.txt", 10));
    QVERIFY(makeFile(today + "/.x_two.txt", 10));
    QVERIFY(makeFile(dateFolderAgo(100) + "/.x_old.txt", 10));
    auto controller = controllerOnTheBrowserTab();
    QVERIFY(controller);
    BrowserTab &browser = *controller->browserTab();
    QVERIFY(listShows(browser, 3));
    auto *day = findByName<QRadioButton>(QStringLiteral("Show the items by day"), &browser);
    auto *flat = findByName<QRadioButton>(QStringLiteral("Show all items in one list"), &browser);
    auto *age = findByName<QComboBox>(QStringLiteral("Age limit"), &browser);
    QVERIFY(day && flat && age);
    QVERIFY(flat->isChecked());
    day->click();
    QVERIFY(listShows(browser, 2));
    QCOMPARE(browser.outlineListStatsTF->text(), QStringLiteral("2 items displayed"));
    // Expanding a day counts its items.
    const QModelIndex todayRow = rowNamed(*browser.model(), dayTitle(today));
    browser.outlineView->expand(todayRow);
    QVERIFY(waitUntil([&] { return browser.outlineListStatsTF->text() == QStringLiteral("4 items displayed"); }));
    age->setCurrentIndex(age->findData(24u));
    QVERIFY(listShows(browser, 1));
    flat->click();
    QVERIFY(listShows(browser, 2));
    age->setCurrentIndex(age->findData(0u));
    QVERIFY(listShows(browser, 3));
}

void BrowserTabTest::listsTheItemsOfTheCacheFolders() {
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
    QTest::qWait(100);
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

void BrowserTabTest::searchShowsHitsWhileTypingAndClearingReturns() {
    SKIP_WITHOUT_KEYRING();
    // Enough entries that the walk takes a while: the field is typed into while it runs.
    const std::string date = dateFolderAgo(0);
    for (int folder = 0; folder < 20; ++folder) {
        const std::string inside = date + "/.x_batch" + std::to_string(folder);
        QVERIFY(sys::makeDirectories(inside, 0700));
        for (int i = 0; i < 200; ++i)
            QVERIFY(makeFile(inside + "/.x_note" + std::to_string(i) + ".txt", 1));
    }
    QVERIFY(makeFile(date + "/.x_Report.pdf", 10));
    QVERIFY(sys::makeDirectories(date + "/.x_old reports", 0700));
    QVERIFY(makeFile(date + "/.x_batch7/.x_deep report.txt", 10));

    auto controller = controllerOnTheBrowserTab();
    QVERIFY(controller);
    BrowserTab &browser = *controller->browserTab();
    QVERIFY(listShows(browser, 22));
    auto *field = findByName<QLineEdit>(QStringLiteral("Search the cache"), &browser);
    QVERIFY(field);

    QSignalSpy finished(&browser, &BrowserTab::searchFinished);
    QTest::keyClicks(field, QStringLiteral("note"));
    QVERIFY(browser.userIsSearching());
    // A new text stops the walk under way and starts over: only its own hits are shown.
    field->clear();
    QTest::keyClicks(field, QStringLiteral("REPORT"));
    QVERIFY(waitUntil([&] { return finished.count() > 0 && !browser.searchThreadRunning(); }, 30000));
    std::vector<std::string> hits = namesOf(*browser.model());
    std::sort(hits.begin(), hits.end());
    QCOMPARE(hits, (std::vector<std::string>{"Report.pdf", "deep report.txt", "old reports"}));
    QCOMPARE(browser.outlineListStatsTF->text(), QStringLiteral("3 items displayed"));
    // A rebuild asked for meanwhile leaves the results alone.
    emit controller->refreshOutlineList();
    QTest::qWait(200);
    QCOMPARE(browser.model()->rowCount(), 3);

    // Nothing found: an empty list.
    field->setText(QStringLiteral("nothing by that name"));
    QVERIFY(waitUntil([&] { return finished.count() > 1; }, 30000));
    QCOMPARE(browser.model()->rowCount(), 0);
    QCOMPARE(browser.outlineListStatsTF->text(), QStringLiteral("0 items displayed"));

    field->clear();
    QVERIFY(!browser.userIsSearching());
    QVERIFY(listShows(browser, 22));
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
