#include "browser/CacheTree.h"

#include <limits>
#include <map>
#include <gtest/gtest.h>

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <ctime>
#include <map>
#include <memory>
#include <set>
#include <string>
#include <unordered_map>
#include <unordered_set>
#include <vector>

#include "browser/BrowserItem.h"
#include "browser/FolderListing.h"
#include "archive/CacheLayout.h"
#include "TestDir.h"
#include "support/ZRAppUtils.h"
#include "platform/System.h"

using namespace quillet;
using namespace quillet::test;

namespace {

class CacheTreeTest : public ::testing::Test {
protected:
    CacheTreeTest() : _zone("TZ", "UTC") {
        ::tzset();
        cache = dir.makeDir(".TrashCacheFolder", 0700);
    }
    ~CacheTreeTest() override { ::tzset(); }

    std::vector<std::string> names(const std::vector<BrowserItem> &rows) {
        std::vector<std::string> result;
        for (const BrowserItem &row : rows)
            result.emplace_back(row.displayName());
        return result;
    }

    const BrowserItem *findRow(const std::vector<BrowserItem> &rows, const std::string &name) {
        auto it = std::find_if(rows.begin(), rows.end(), [&](const BrowserItem &r) { return r.displayName() == name; });
        return it == rows.end() ? nullptr : &*it;
    }

    ScopedEnv _zone;
    TestDir dir;
    std::string cache;
};

TEST_F(CacheTreeTest, dayViewListsDateFoldersWithTitlesAndSkipsFiles) {
    touch(cache + "/ArchivedFileData");
    touch(cache + "/UPD_FLAG");
    writeData(cache + "/2008-03-14 15_42 +0000/.x_Report.pdf", 1000);
    ASSERT_TRUE(makeFolder(cache + "/2008-03-15 09_00 +0000"));

    CacheTree tree;
    tree.setTrashesCachePath(std::vector<std::string>{cache});
    auto rows = tree.rootListItems();
    ASSERT_EQ(names(rows), (std::vector<std::string>{"2008-03-14 15:42 +0000", "2008-03-15 09:00 +0000"}));
    const BrowserItem &first = rows[0];
    EXPECT_EQ(first.pathToItem, cache + "/2008-03-14 15_42 +0000");
    EXPECT_EQ(first.itemName, "2008-03-14 15:42 +0000");
    EXPECT_TRUE(first.isDirectory);
    EXPECT_EQ(first.isDirectoryText(), "YES");
    EXPECT_EQ(first.size, ZRAppUtils().getFolderSize(first.pathToItem));
    EXPECT_GE(*first.size, 1000u);
    ASSERT_TRUE(first.modificationDate);
    EXPECT_EQ(dateFromModificationDescription(*first.modificationDate), lstatOf(first.pathToItem)->st_mtim.tv_sec);

    CellValue title = tree.objectValue(kItemNameColumn, &first);
    EXPECT_EQ(title.kind, CellValue::Kind::Name);
    EXPECT_EQ(title.text, "2008-03-14 15:42 +0000");
    EXPECT_TRUE(title.isDateFolderRow);
    EXPECT_EQ(tree.objectValue(kSizeColumn, &first).size, *first.size);
    EXPECT_EQ(tree.objectValue(kModifDateColumn, &first).text, *first.modificationDate);
    EXPECT_EQ(tree.objectValue("other", &first).kind, CellValue::Kind::Empty);
    EXPECT_EQ(tree.objectValue(kItemNameColumn, nullptr).kind, CellValue::Kind::Empty);
}

// Only real date folders of the user's make rows: not a folder without a date's name, not a
// link under a date's name (it would show, and let emptying delete, what it points to), not a
// date folder another account planted. A cache folder that is a link shows nothing at all.
TEST_F(CacheTreeTest, onlyRealDateFoldersOfTheUserAreListed) {
    const std::string outside = dir.makeDir("outside");
    writeData(outside + "/.x_not-archived", 10);
    ASSERT_TRUE(makeFolder(cache + "/misc"));
    ASSERT_EQ(::symlink(outside.c_str(), (cache + "/" + dateName(2008, 1, 1)).c_str()), 0);
    ASSERT_TRUE(makeFolder(cache + "/" + dateName(2008, 1, 2)));
    ASSERT_EQ(::chown((cache + "/" + dateName(2008, 1, 2)).c_str(), 4242, 4242), 0);
    writeData(cache + "/" + dateName(2008, 1, 3) + "/.x_kept", 10);
    for (ViewMode mode : {ViewMode::Day, ViewMode::Flat}) {
        CacheTree tree({cache});
        tree.setViewMode(mode);
        tree.buildListRootItems();
        auto rows = tree.rootListItems();
        ASSERT_EQ(rows.size(), 1u);
        EXPECT_EQ(rows[0].pathToItem, mode == ViewMode::Day ? cache + "/" + dateName(2008, 1, 3)
                                                            : cache + "/" + dateName(2008, 1, 3) + "/.x_kept");
    }
    // A row naming the link (as a caller might have kept one) opens nothing through it.
    CacheTree tree({cache});
    BrowserItem linked;
    linked.pathToItem = cache + "/" + dateName(2008, 1, 1);
    linked.isDirectory = true;
    EXPECT_EQ(tree.numberOfChildren(&linked), 0u);
    EXPECT_TRUE(tree.child(&linked, 0)->isEmpty());

    const std::string linkedCache = dir / "linked/.TrashCacheFolder";
    ASSERT_TRUE(makeFolder(dir / "linked"));
    ASSERT_EQ(::symlink(cache.c_str(), linkedCache.c_str()), 0);
    CacheTree throughLink({linkedCache});
    throughLink.buildListRootItems();
    EXPECT_TRUE(throughLink.rootListItems().empty());
}

// A folder being assembled in a date folder is the system's own work: no row, no child, not
// counted among the items shown.
TEST_F(CacheTreeTest, workInProgressIsNeverShown) {
    const std::string day = cache + "/" + dateName(2008, 2, 1);
    writeData(day + "/.x_whole", 10);
    writeData(day + "/.quillet-partial-123-4/.x_half", 10);
    CacheTree flat({cache});
    flat.setViewMode(ViewMode::Flat);
    flat.buildListRootItems();
    ASSERT_EQ(flat.rootListItems().size(), 1u);
    EXPECT_EQ(flat.rootListItems()[0].pathToItem, day + "/.x_whole");
    CacheTree tree({cache});
    tree.buildListRootItems();
    auto rows = tree.rootListItems();
    ASSERT_EQ(rows.size(), 1u);
    EXPECT_EQ(tree.numberOfChildren(&rows[0]), 1u);
    EXPECT_EQ(tree.child(&rows[0], 0)->pathToItem, day + "/.x_whole");
    EXPECT_TRUE(tree.child(&rows[0], 1)->isEmpty());
    tree.setRowExpanded(rows[0].pathToItem, true);
    EXPECT_EQ(tree.countDisplayedItems(), 2u);
}

TEST_F(CacheTreeTest, cacheFoldersAreListedInTheOrderGivenAndMissingOnesAddNothing) {
    std::string second = dir.makeDir("vol/.TrashCacheFolder");
    ASSERT_TRUE(makeFolder(second + "/" + dateName(2001, 1, 1)));
    ASSERT_TRUE(makeFolder(cache + "/" + dateName(2009, 1, 1)));
    CacheTree tree;
    tree.sortDescriptorsDidChange({SortDescriptor{"unknownKey", SortOrder::Ascending}});
    tree.setTrashesCachePath(std::vector<std::string>{cache, dir / "missing", second});
    EXPECT_EQ(names(tree.rootListItems()),
              (std::vector<std::string>{"2009-01-01 12:00 +0000", "2001-01-01 12:00 +0000"}));

    tree.sortDescriptorsDidChange({});
    EXPECT_EQ(names(tree.rootListItems()),
              (std::vector<std::string>{"2009-01-01 12:00 +0000", "2001-01-01 12:00 +0000"}));

    tree.setTrashesCachePath(std::nullopt);
    EXPECT_EQ(tree.cachesPath(), (std::vector<std::string>{cache, dir / "missing", second}));
}

TEST_F(CacheTreeTest, hiddenNamesShowVisibleInFlatViewAndChildRows) {
    std::string day = cache + "/" + dateName(2008, 3, 14);
    writeData(day + "/.x_Report.pdf", 1000);
    CacheTree tree({cache});

    tree.setViewMode(ViewMode::Flat);
    tree.refreshOutlineList(RefreshSender::ViewModeControl);
    auto flat = tree.rootListItems();
    ASSERT_EQ(flat.size(), 1u);
    EXPECT_EQ(flat[0].itemName, "Report.pdf");
    EXPECT_EQ(flat[0].itemRepresentationName, "Report.pdf");
    EXPECT_EQ(flat[0].pathToItem, day + "/.x_Report.pdf");
    EXPECT_FALSE(tree.objectValue(kItemNameColumn, &flat[0]).isDateFolderRow);

    tree.setViewMode(ViewMode::Day);
    tree.refreshOutlineList(RefreshSender::ViewModeControl);
    auto dayRow = tree.child(nullptr, 0);
    ASSERT_TRUE(dayRow);
    auto child = tree.child(&*dayRow, 0);
    ASSERT_TRUE(child);
    EXPECT_EQ(child->itemName, "Report.pdf");
    EXPECT_EQ(child->size, 1000u);
    EXPECT_FALSE(child->isDirectory);
}

TEST_F(CacheTreeTest, ageLimitHidesOlderDateFoldersInBothViews) {
    const time_t now = ::time(nullptr);
    std::string older = finderCompatibleDateDescription(now - 25 * 3600);
    std::string younger = finderCompatibleDateDescription(now - 23 * 3600);
    touch(cache + "/" + older + "/.x_old.txt");
    touch(cache + "/" + younger + "/.x_new.txt");
    touch(cache + "/misc/.x_undated.txt");

    struct Case {
        unsigned hours;
        ViewMode mode;
        std::vector<std::string> paths;
    };
    const std::vector<Case> cases = {
        {24, ViewMode::Day, {cache + "/" + younger}},
        {0, ViewMode::Day, {cache + "/" + older, cache + "/" + younger}},
        {24, ViewMode::Flat, {cache + "/" + younger + "/.x_new.txt"}},
        {0, ViewMode::Flat, {cache + "/" + older + "/.x_old.txt", cache + "/" + younger + "/.x_new.txt"}},
    };
    CacheTree tree({cache});
    tree.sortDescriptorsDidChange({SortDescriptor{std::string(kModifDateSortKey), SortOrder::Ascending}});
    for (const Case &c : cases) {
        SCOPED_TRACE(std::to_string(c.hours) + (c.mode == ViewMode::Flat ? " flat" : " day"));
        tree.setAgeLimitHours(c.hours);
        tree.setViewMode(c.mode);
        tree.refreshOutlineList();
        std::vector<std::string> paths;
        for (const BrowserItem &row : tree.rootListItems())
            paths.push_back(row.pathToItem);
        std::sort(paths.begin(), paths.end());
        std::vector<std::string> expected = c.paths;
        std::sort(expected.begin(), expected.end());
        EXPECT_EQ(paths, expected);
    }
}

// What a window shows before every date folder's size is read: the same rows (ids, titles,
// the order, the age limit), their sizes pending; nothing where the order needs the sizes, nor
// for the flat view.
TEST_F(CacheTreeTest, listedRootRowsAreTheDayRowsBeforeTheirSizes) {
    const time_t now = ::time(nullptr);
    const std::string recent = cache + "/" + finderCompatibleDateDescription(now - 3600);
    const std::string older = cache + "/" + finderCompatibleDateDescription(now - 3 * 86400);
    writeData(recent + "/.x_zeta.txt", 10);
    writeData(older + "/.x_beta.pdf", 30);
    touch(cache + "/ArchivedFileData");

    CacheTree tree({cache});
    tree.setViewMode(ViewMode::Day);
    for (const SortOrder order : {SortOrder::Ascending, SortOrder::Descending}) {
        for (const BrowserColumn column : {BrowserColumn::Name, BrowserColumn::Date}) {
            tree.sortDescriptorsDidChange({SortDescriptor{column, order}});
            const std::vector<BrowserItem> days = tree.rootListItems();
            const std::vector<BrowserItem> preview = tree.listedRootRows();
            ASSERT_EQ(days.size(), 2u);
            ASSERT_EQ(preview.size(), 2u);
            for (size_t i = 0; i < days.size(); ++i) {
                EXPECT_EQ(preview[i].id, days[i].id);
                EXPECT_EQ(preview[i].displayName(), days[i].displayName());
                EXPECT_TRUE(preview[i].attributesPending);
                EXPECT_FALSE(preview[i].size);
                EXPECT_TRUE(days[i].size);
            }
        }
    }
    tree.setAgeLimitHours(24);
    ASSERT_EQ(tree.listedRootRows().size(), 1u);
    EXPECT_EQ(tree.listedRootRows().front().pathToItem, recent);
    tree.sortDescriptorsDidChange({SortDescriptor{BrowserColumn::Size}});
    EXPECT_TRUE(tree.listedRootRows().empty());
    tree.sortDescriptorsDidChange({SortDescriptor{BrowserColumn::Name}});
    tree.setViewMode(ViewMode::Flat);
    EXPECT_TRUE(tree.listedRootRows().empty());
}

// The flat view's first rows by name, ahead of the finished list: exactly its first rows, whole,
// in both orders, equal names in the same order, Unicode folded as the list is, the age limit
// kept; the count is the finished list's. Nothing for the other orders or the day view.
TEST_F(CacheTreeTest, flatPreviewRowsAreTheFirstRowsOfTheFinishedFlatList) {
    const time_t now = ::time(nullptr);
    const std::string recent = cache + "/" + finderCompatibleDateDescription(now - 3600);
    const std::string older = cache + "/" + finderCompatibleDateDescription(now - 2 * 86400);
    const std::string oldest = cache + "/" + finderCompatibleDateDescription(now - 9 * 86400);
    int size = 1;
    for (const std::string &day : {recent, older, oldest})
        for (const char *name : {".x_été.txt", ".x_Zeta", ".x_alpha", ".x_Été à Paris.txt", ".x_b", ".x_Same", ".x_same"})
            writeData(day + "/" + name, static_cast<size_t>(size++));
    writeData(older + "/.x_Photos/.x_inside.jpg", 5000);
    touch(older + "/" + std::string(kInternalPrefix) + "trash-info"); // the system's own: no row

    CacheTree tree({cache});
    tree.setViewMode(ViewMode::Flat);
    for (const unsigned hours : {0u, 72u}) {
        tree.setAgeLimitHours(hours);
        for (const SortOrder order : {SortOrder::Ascending, SortOrder::Descending}) {
            tree.sortDescriptorsDidChange({SortDescriptor{BrowserColumn::Name, order}});
            const std::vector<BrowserItem> finished = tree.rootListItems();
            ASSERT_EQ(finished.size(), hours == 0 ? 22u : 15u);
            for (const size_t wanted : {size_t{1}, size_t{9}, size_t{100}}) {
                const CacheTree::FlatPreview preview = tree.flatPreviewRows(wanted);
                EXPECT_EQ(preview.total, finished.size());
                ASSERT_EQ(preview.rows.size(), std::min(wanted, finished.size()));
                for (size_t i = 0; i < preview.rows.size(); ++i)
                    EXPECT_EQ(preview.rows[i], finished[i]) << "row " << i << " of " << wanted;
            }
        }
    }
    tree.sortDescriptorsDidChange({SortDescriptor{BrowserColumn::Date}});
    EXPECT_TRUE(tree.flatPreviewRows(10).rows.empty());
    tree.sortDescriptorsDidChange({SortDescriptor{BrowserColumn::Name}});
    tree.setViewMode(ViewMode::Day);
    EXPECT_TRUE(tree.flatPreviewRows(10).rows.empty());
}

TEST_F(CacheTreeTest, flatRowsWeighFilesFoldersAndPackages) {
    std::string day = cache + "/" + dateName(2010, 5, 1);
    writeData(day + "/.x_file.bin", 1000);
    writeData(day + "/.x_Photos/.x_a.jpg", 3000);
    writeData(day + "/.x_Photos/.x_b.jpg", 4000);
    writeData(day + "/.x_Tool.app/.x_Contents/.x_binary", 5000);
    CacheTree tree({cache});
    tree.setViewMode(ViewMode::Flat);
    tree.refreshOutlineList();
    auto rows = tree.rootListItems();
    ASSERT_EQ(names(rows), (std::vector<std::string>{"file.bin", "Photos", "Tool.app"}));

    EXPECT_EQ(rows[0].size, 1000u);
    EXPECT_FALSE(rows[0].isDirectory);
    EXPECT_EQ(rows[1].size, ZRAppUtils().getFolderSize(day + "/.x_Photos"));
    EXPECT_GE(*rows[1].size, 7000u);
    EXPECT_TRUE(rows[1].isDirectory);
    EXPECT_EQ(rows[2].size, ZRAppUtils().getFolderSize(day + "/.x_Tool.app"));
    EXPECT_GE(*rows[2].size, 5000u);
    EXPECT_FALSE(rows[2].isDirectory) << "a package is not expandable";
    EXPECT_FALSE(CacheTree::isItemExpandable(rows[2]));

    // A child row shows the folder entry's own size, not its content.
    auto dayRow = BrowserItem{};
    dayRow.pathToItem = day;
    dayRow.isDirectory = true;
    for (size_t i = 0; i < tree.numberOfChildren(&dayRow); ++i) {
        auto child = tree.child(&dayRow, i);
        ASSERT_TRUE(child);
        if (child->itemName == "Photos") {
            EXPECT_EQ(child->size, static_cast<uint64_t>(lstatOf(day + "/.x_Photos")->st_size));
            EXPECT_TRUE(child->isDirectory);
        }
    }
}

TEST(CompareBrowserItems, ordersByEachKeyInBothDirections) {
    BrowserItem small;
    small.itemName = "apple";
    small.modificationDate = "2008-03-14 15:42:00 +0000";
    small.modificationTime = 1205509320;
    small.size = 10;
    BrowserItem big;
    big.itemName = "Banana";
    big.modificationDate = "2009-03-14 15:42:00 +0000";
    big.modificationTime = 1237045320;
    big.size = 20;
    BrowserItem sameName = small;
    sameName.itemName = "APPLE";

    struct Case {
        std::string key;
        SortOrder order;
        const BrowserItem *a;
        const BrowserItem *b;
        int expected;
    };
    const std::vector<Case> cases = {
        {"itemNameSortKey", SortOrder::Ascending, &small, &big, -1},
        {"itemNameSortKey", SortOrder::Descending, &small, &big, 1},
        {"itemNameSortKey", SortOrder::Ascending, &small, &sameName, 0},
        {"itemNameSortKey", SortOrder::Descending, &small, &sameName, 0},
        {"modifDateSortKey", SortOrder::Ascending, &big, &small, 1},
        {"modifDateSortKey", SortOrder::Descending, &big, &small, -1},
        {"itemSizeSortKey", SortOrder::Ascending, &small, &big, -1},
        {"itemSizeSortKey", SortOrder::Descending, &small, &big, 1},
        {"itemSizeSortKey", SortOrder::Ascending, &small, &sameName, 0},
        {"anotherKey", SortOrder::Ascending, &big, &small, -1},
        {"anotherKey", SortOrder::Ascending, &small, &big, -1},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(c.key);
        EXPECT_EQ(compareBrowserItems(*c.a, *c.b, SortDescriptor{c.key, c.order}), c.expected);
    }
}

// Names compare by their full case foldings, byte for byte: equal but for case (whatever the
// script), accented letters after z (code point order), and bytes that are not UTF-8 as they
// are, in either direction.
TEST(CompareBrowserItems, ordersNamesByUnicodeCaseFolding) {
    struct Case {
        std::string a;
        std::string b;
        int expected;
    };
    const std::vector<Case> cases = {
        {"\xc3\xa9t\xc3\xa9", "\xc3\x89T\xc3\x89", 0},                                      // été, ÉTÉ
        {"\xc3\xa9t\xc3\xa9", "\xc3\x89t\xc3\xa9 \xc3\xa0 Paris.txt", -1},                   // été, Été à Paris.txt
        {"\xc3\x89t\xc3\xa9", "zebra", 1},                                                  // é after z
        {"Eagle", "\xc3\xa9t\xc3\xa9", -1},
        {"Stra\xc3\x9f" "e", "STRASSE", 0},                                                  // Straße, STRASSE
        {"Stra\xc3\x9f" "e", "strand", 1},                                                   // "strasse" > "strand"
        {"\xce\x9f\xce\x94\xce\x9f\xce\xa3", "\xce\xbf\xce\xb4\xce\xbf\xcf\x82", 0},         // ΟΔΟΣ, οδος
        {"\xc4\xb0stanbul", "i\xcc\x87STANBUL", 0},                                          // İstanbul, i̇STANBUL
        {"\xc4\xb0stanbul", "istanbul", 1},                                                  // the dot follows the i
        {"\xd0\x9c\xd0\xbe\xd1\x81\xd0\xba\xd0\xb2\xd0\xb0", "\xd0\xbc\xd0\x9e\xd0\xa1\xd0\x9a\xd0\x92\xd0\x90", 0}, // Москва, мОСКВА
        {"A\xff", "a\xff", 0},
        {"A\xff", "B", -1},
        {"\xe9t\xe9", "\xc3\xa9t\xc3\xa9", 1}, // Latin-1 é (e9) after UTF-8 é (c3 a9)
        {"\xc9", "\xe9", -1},                    // and Latin-1 É is not lowered
        {"report", "REPORT", 0},
        {"Report", "reports", -1},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(::testing::PrintToString(c.a) + " vs " + ::testing::PrintToString(c.b));
        BrowserItem a, b;
        a.itemName = c.a;
        b.itemName = c.b;
        const SortDescriptor ascending{std::string(kItemNameSortKey), SortOrder::Ascending};
        const SortDescriptor descending{std::string(kItemNameSortKey), SortOrder::Descending};
        EXPECT_EQ(compareBrowserItems(a, b, ascending), c.expected);
        EXPECT_EQ(compareBrowserItems(b, a, ascending), -c.expected);
        EXPECT_EQ(compareBrowserItems(a, b, descending), -c.expected);
    }
}

// "été" sorts with "Été" and "ÉTÉ", not apart from them; rows with names equal once folded keep
// the order they came in, in both directions.
TEST(BrowserItemSorting, namesEqualButForCaseSortTogetherAndKeepTheirOrder) {
    const std::vector<std::string> input = {
        "\xc3\x89t\xc3\xa9 \xc3\xa0 Paris.txt", // Été à Paris.txt
        "zebra",
        "Stra\xc3\x9f" "e",                   // Straße
        "\xc3\xa9t\xc3\xa9",                   // été
        "Eagle",
        "STRASSE",
        "\xc3\x89T\xc3\x89 2",                 // ÉTÉ 2
        "Strand",
        "\xc3\x89T\xc3\x89",                   // ÉTÉ
    };
    std::vector<BrowserItem> rows;
    for (const std::string &name : input) {
        BrowserItem row;
        row.itemName = name;
        rows.push_back(row);
    }
    auto sortedNames = [&](SortOrder order) {
        std::vector<BrowserItem> sorted = rows;
        sortBrowserItems(sorted, SortDescriptor{std::string(kItemNameSortKey), order});
        std::vector<std::string> result;
        for (const BrowserItem &row : sorted)
            result.push_back(*row.itemName);
        return result;
    };
    EXPECT_EQ(sortedNames(SortOrder::Ascending),
              (std::vector<std::string>{"Eagle", "Strand", "Stra\xc3\x9f" "e", "STRASSE", "zebra", "\xc3\xa9t\xc3\xa9",
                                        "\xc3\x89T\xc3\x89", "\xc3\x89T\xc3\x89 2", "\xc3\x89t\xc3\xa9 \xc3\xa0 Paris.txt"}));
    EXPECT_EQ(sortedNames(SortOrder::Descending),
              (std::vector<std::string>{"\xc3\x89t\xc3\xa9 \xc3\xa0 Paris.txt", "\xc3\x89T\xc3\x89 2", "\xc3\xa9t\xc3\xa9",
                                        "\xc3\x89T\xc3\x89", "zebra", "Stra\xc3\x9f" "e", "STRASSE", "Strand", "Eagle"}));
}

// The flat view of real archived entries, names outside ASCII and not UTF-8 among them.
TEST_F(CacheTreeTest, flatViewSortsAccentedAndNonUtf8NamesByFolding) {
    const std::string day = cache + "/" + dateName(2008, 3, 14);
    for (const char *name : {".x_\xc3\xa9t\xc3\xa9", "\xc3\x89T\xc3\x89 2", ".x_apple", "Zebra", "L\xe9T\xe9", "l\xe9t\xe8"})
        touch(day + "/" + name);
    CacheTree tree({cache});
    tree.setViewMode(ViewMode::Flat);
    tree.sortDescriptorsDidChange({SortDescriptor{std::string(kItemNameSortKey), SortOrder::Ascending}});
    // l e9 t e8 < l e9 t e9 (Latin-1, not lowered but for the ASCII letters), then the UTF-8 é.
    EXPECT_EQ(names(tree.rootListItems()), (std::vector<std::string>{"apple", "l\xe9t\xe8", "L\xe9T\xe9", "Zebra",
                                                                     "\xc3\xa9t\xc3\xa9", "\xc3\x89T\xc3\x89 2"}));
}

TEST_F(CacheTreeTest, sortingOrdersRootRowsButNotChildren) {
    for (auto [year, month] : {std::pair{2008, 3}, std::pair{2007, 1}, std::pair{2009, 12}})
        ASSERT_TRUE(makeFolder(cache + "/" + dateName(year, month, 14)));
    std::string day = cache + "/" + dateName(2008, 3, 14);
    for (const char *name : {".x_b", ".x_C", ".x_a"})
        touch(day + "/" + name);

    CacheTree tree({cache});
    tree.refreshOutlineList();
    EXPECT_EQ(names(tree.rootListItems()),
              (std::vector<std::string>{"2007-01-14 12:00 +0000", "2008-03-14 12:00 +0000", "2009-12-14 12:00 +0000"}));

    tree.sortDescriptorsDidChange({SortDescriptor{std::string(kItemNameSortKey), SortOrder::Descending}});
    auto rows = tree.rootListItems();
    EXPECT_EQ(names(rows),
              (std::vector<std::string>{"2009-12-14 12:00 +0000", "2008-03-14 12:00 +0000", "2007-01-14 12:00 +0000"}));

    std::vector<std::string> listing;
    auto entries = sys::listDirectory(day);
    ASSERT_TRUE(entries.ok());
    for (const auto &entry : *entries)
        listing.push_back(setFileName(entry.name, Visibility::Visible));
    const BrowserItem &expanded = rows[1];
    ASSERT_EQ(tree.numberOfChildren(&expanded), 3u);
    std::vector<std::string> children;
    for (size_t i = 0; i < 3; ++i)
        children.emplace_back(tree.child(&expanded, i)->displayName());
    EXPECT_EQ(children, listing) << "children keep their listing order";
}

TEST(BrowserItemSorting, manyRowsSortAsStableSortingWithCompareBrowserItems) {
    // Names that differ only in case, equal names, missing values and equal dates and sizes,
    // so that the ties show whether their order is kept.
    const char *names[] = {"Report.pdf", "report.PDF", "a", "B", "b", "", "Zeta", "zeta", "_x", "éa", "Éa", "10", "9",
                           "Straße", "STRASSE", "ΟΔΟΣ", "οδος", "İstanbul", "i̇STANBUL", "\xe9t\xe9", "A\xff", "a\xff", "\xc3"};
    std::vector<BrowserItem> rows;
    for (uint32_t i = 0; i < 300; ++i) {
        BrowserItem row;
        row.pathToItem = "/cache/row" + std::to_string(i);
        if (i % 17 != 5)
            row.itemName = names[(i * 7) % std::size(names)];
        if (i % 11 != 3) {
            row.modificationTime = static_cast<time_t>(1200000000 + (i * 13) % 40);
            row.modificationDate = "text";
        } else {
            row.modificationTime = 1300000000; // ignored: there is no date text
        }
        if (i % 9 != 4)
            row.size = (i * 29) % 50;
        rows.push_back(row);
    }
    for (const char *key : {"itemNameSortKey", "modifDateSortKey", "itemSizeSortKey", "anotherKey"}) {
        for (SortOrder order : {SortOrder::Ascending, SortOrder::Descending}) {
            SCOPED_TRACE(std::string(key) + (order == SortOrder::Ascending ? " ascending" : " descending"));
            const SortDescriptor descriptor{key, order};
            std::vector<BrowserItem> expected = rows;
            if (std::string_view(key) != "anotherKey")
                std::stable_sort(expected.begin(), expected.end(), [&](const BrowserItem &a, const BrowserItem &b) {
                    return compareBrowserItems(a, b, descriptor) < 0;
                });
            std::vector<BrowserItem> sorted = rows;
            sortBrowserItems(sorted, descriptor);
            EXPECT_EQ(sorted, expected);
        }
    }
}

TEST_F(CacheTreeTest, flatRowsOfManyDateFoldersComeInListingOrder) {
    // Without a usable sort key the rows keep the order they were built in: date folders as
    // the cache folder lists them, each one's entries as it lists them.
    for (int day = 1; day <= 28; ++day)
        for (int item = 0; item < 5; ++item)
            writeData(cache + "/" + dateName(2008, 2, day) + "/.x_item" + std::to_string(day * 10 + item), item);
    touch(cache + "/ArchivedFileData");
    std::vector<std::string> expected;
    auto dates = sys::listDirectory(cache);
    ASSERT_TRUE(dates.ok());
    for (const auto &date : *dates) {
        if (date.name == "ArchivedFileData")
            continue;
        auto entries = sys::listDirectory(cache + "/" + date.name);
        ASSERT_TRUE(entries.ok());
        for (const auto &entry : *entries)
            expected.push_back(cache + "/" + date.name + "/" + entry.name);
    }

    CacheTree tree({cache});
    tree.setViewMode(ViewMode::Flat);
    tree.sortDescriptorsDidChange({SortDescriptor{"unknownKey", SortOrder::Ascending}});
    std::vector<std::string> paths;
    for (const BrowserItem &row : tree.rootListItems())
        paths.push_back(row.pathToItem);
    EXPECT_EQ(paths, expected);
}

TEST_F(CacheTreeTest, takingTheRootRowsLeavesTheListEmptyUntilTheNextBuild) {
    touch(cache + "/" + dateName(2008, 3, 14) + "/.x_a");
    touch(cache + "/" + dateName(2008, 3, 15) + "/.x_b");
    CacheTree tree({cache});
    tree.setViewMode(ViewMode::Flat);
    tree.buildListRootItems();
    const std::vector<BrowserItem> copy = tree.rootListItems();
    EXPECT_EQ(names(copy), (std::vector<std::string>{"a", "b"}));
    EXPECT_EQ(tree.takeRootListItems(), copy);
    EXPECT_TRUE(tree.rootListItems().empty());
    EXPECT_EQ(tree.numberOfChildren(nullptr), 0u);
    tree.buildListRootItems();
    EXPECT_EQ(tree.rootListItems(), copy);
}

TEST_F(CacheTreeTest, childOfVanishedEntryIsEmptyRow) {
    std::string day = cache + "/" + dateName(2008, 3, 14);
    touch(day + "/.x_gone");
    CacheTree tree({cache});
    tree.refreshOutlineList();
    auto dayRow = tree.child(nullptr, 0);
    ASSERT_TRUE(dayRow);
    ASSERT_EQ(tree.numberOfChildren(&*dayRow), 1u);
    ASSERT_EQ(::unlink((day + "/.x_gone").c_str()), 0);
    auto child = tree.child(&*dayRow, 0);
    ASSERT_TRUE(child);
    EXPECT_TRUE(child->isEmpty());
    EXPECT_EQ(*child, BrowserItem{});
    EXPECT_FALSE(tree.child(nullptr, 1));
}

TEST_F(CacheTreeTest, displayedItemsCountFollowsExpandedRows) {
    std::string day1 = cache + "/" + dateName(2008, 3, 14);
    std::string day2 = cache + "/" + dateName(2008, 3, 15);
    touch(day1 + "/.x_a");
    touch(day1 + "/.x_Folder/.x_inner1");
    touch(day1 + "/.x_Folder/.x_inner2");
    touch(day2 + "/.x_b");
    std::vector<uint64_t> statusLines;
    CacheTree tree({cache});
    tree.setStatusCallback([&](uint64_t count) { statusLines.push_back(count); });
    tree.refreshOutlineList();
    EXPECT_EQ(tree.countDisplayedItems(), 2u);

    tree.setRowExpanded(day1, true);
    EXPECT_EQ(tree.countDisplayedItems(), 4u);
    tree.setRowExpanded(day1 + "/.x_Folder", true);
    EXPECT_EQ(tree.countDisplayedItems(), 6u);
    tree.setRowExpanded(day2, true);
    tree.refreshOutlineList();
    EXPECT_EQ(statusLines, (std::vector<uint64_t>{2, 7}));
    tree.setRowExpanded(day1, false);
    EXPECT_EQ(tree.countDisplayedItems(), 3u) << "children of a collapsed row are hidden";
}

TEST_F(CacheTreeTest, otherTabSelectedBuildsAndRefreshesNothing) {
    ASSERT_TRUE(makeFolder(cache + "/" + dateName(2008, 3, 14)));
    int reloads = 0;
    int statusLines = 0;
    CacheTree tree;
    tree.setReloadCallback([&] { ++reloads; });
    tree.setStatusCallback([&](uint64_t) { ++statusLines; });
    tree.setBrowserTabSelected(false);
    tree.setTrashesCachePath(std::vector<std::string>{cache});
    tree.refreshOutlineList();
    EXPECT_EQ(tree.cachesPath(), std::vector<std::string>{cache});
    EXPECT_TRUE(tree.rootListItems().empty());
    EXPECT_EQ(reloads, 0);
    EXPECT_EQ(statusLines, 0);

    tree.setBrowserTabSelected(true);
    tree.refreshOutlineList();
    EXPECT_EQ(tree.rootListItems().size(), 1u);
    EXPECT_EQ(reloads, 1);
    EXPECT_EQ(statusLines, 1);
}

TEST(SelectionSize, isAWholeNumberAndItsUnit) {
    struct Case {
        uint64_t bytes;
        int32_t value;
        std::string unit;
    } cases[] = {{2097152, 2, "MB"}, {2097151, 2048, "KB"}, {2048, 2, "KB"}, {2047, 2047, "B"}, {0, 0, "B"}};
    for (const Case &c : cases) {
        WholeSize size = selectionSize(c.bytes);
        EXPECT_EQ(size.value, c.value) << c.bytes;
        EXPECT_EQ(size.unit, c.unit) << c.bytes;
    }
}

TEST(SelectionSummary, choosesUnitByTotal) {
    struct Case {
        size_t rows;
        uint64_t bytes;
        SelectionSummary expected;
    };
    const std::vector<Case> cases = {
        {1, 0, {1, 0, "B"}},
        {2, 2047, {2, 2047, "B"}},
        {3, 2048, {3, 2, "KB"}},
        {1, 1536 * 1024 + 511, {1, 1536, "KB"}},
        {1, 2097151, {1, 2048, "KB"}},
        {4, 2097152, {4, 2, "MB"}},
        {1, (5ull << 20) + 524288, {1, 5, "MB"}},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(c.bytes);
        EXPECT_EQ(summarizeSelection(c.rows, c.bytes), c.expected);
    }
}

TEST(ModificationDateDescription, roundTripsInTheLocalZone) {
    ScopedEnv zone("TZ", "Europe/Paris");
    ::tzset();
    const time_t moment = 1205505720; // 2008-03-14 14:42:00 UTC
    EXPECT_EQ(modificationDateDescription(moment), "2008-03-14 15:42:00 +0100");
    EXPECT_EQ(dateFromModificationDescription("2008-03-14 15:42:00 +0100"), moment);
    EXPECT_EQ(dateFromModificationDescription("2008-03-14 14:42:00 +0000"), moment);
    EXPECT_FALSE(dateFromModificationDescription("2008-03-14 15_42 +0100"));
    EXPECT_FALSE(dateFromModificationDescription(""));
}

// ---- children read once, kept while their folder is unchanged ---------------------------------

// A clock far past every file time: whatever was read is settled and may be kept.
struct timespec muchLater() { return timespec{sys::realtimeNow().tv_sec + 100000, 0}; }

// The folder's modification time set to a moment of its own: a change that no timestamp
// granularity can hide.
void setModificationTime(const std::string &path, time_t moment) {
    const struct timespec times[2] = {{moment, 0}, {moment, 0}};
    ASSERT_EQ(::utimensat(AT_FDCWD, path.c_str(), times, AT_SYMLINK_NOFOLLOW), 0) << path;
}

BrowserItem folderRow(const std::string &path) {
    BrowserItem row;
    row.pathToItem = path;
    row.isDirectory = true;
    row.id = rowIdOf(path);
    return row;
}

std::vector<std::string> pathsOf(const std::vector<BrowserItem> &rows) {
    std::vector<std::string> paths;
    for (const BrowserItem &row : rows)
        paths.push_back(row.pathToItem);
    return paths;
}

// The entries of the folder in listing order, as the browser must give them.
std::vector<std::string> listedPaths(const std::string &folder) {
    std::vector<std::string> paths;
    auto entries = sys::listDirectory(folder);
    EXPECT_TRUE(entries.ok());
    if (entries.ok())
        for (const auto &entry : *entries)
            paths.push_back(folder + "/" + entry.name);
    return paths;
}

// 10,000 children of a folder inside an archived folder: one read of the folder for the count
// and every child, in listing order, each row the entry's own (path, visible name, size).
TEST_F(CacheTreeTest, aFolderOfManyChildrenIsReadOnceForAllOfThem) {
    const std::string big = cache + "/" + dateName(2008, 3, 14) + "/.x_project/.x_big";
    ASSERT_TRUE(makeFolder(cache + "/" + dateName(2008, 3, 14)));
    ASSERT_TRUE(makeFolder(cache + "/" + dateName(2008, 3, 14) + "/.x_project"));
    ASSERT_TRUE(makeFolder(big));
    constexpr size_t kEntries = 10000;
    for (size_t i = 0; i < kEntries; ++i)
        writeData(big + "/.x_file-" + std::to_string(i), i % 7);
    writeData(big + "/.quillet-partial-1-1", 3); // the system's own work: no child
    std::vector<std::string> expected = listedPaths(big);
    std::erase(expected, big + "/.quillet-partial-1-1");

    CacheTree tree({cache});
    tree.setListingClock(muchLater);
    const BrowserItem row = folderRow(big);
    ASSERT_EQ(tree.numberOfChildren(&row), kEntries);
    std::vector<BrowserItem> children;
    for (size_t i = 0; i < kEntries; ++i)
        children.push_back(*tree.child(&row, i));
    EXPECT_EQ(tree.folderReads(), 1u);
    EXPECT_EQ(pathsOf(children), expected);
    for (size_t i = 0; i < kEntries; i += 997) {
        SCOPED_TRACE(expected[i]);
        const std::string stored = sys::lastPathComponent(expected[i]);
        EXPECT_EQ(children[i].itemName, stored.substr(3));
        EXPECT_EQ(children[i].size, static_cast<uint64_t>(lstatOf(expected[i])->st_size));
        EXPECT_EQ(children[i].id, rowIdOf(expected[i]));
        EXPECT_FALSE(children[i].isDirectory);
    }
    EXPECT_TRUE(tree.child(&row, kEntries)->isEmpty());
    // The listing a model shows first: every entry, its name where it lies in the shared buffer.
    const ListingSnapshot listing = tree.listing(row);
    ASSERT_EQ(listing->size(), kEntries);
    for (size_t i = 0; i < kEntries; ++i) {
        ASSERT_EQ(listing->path(i), expected[i]);
        ASSERT_EQ(listing->id(i), children[i].id);
    }
    // The whole list at once is the same list, not read again.
    EXPECT_EQ(*tree.children(row), children);
    EXPECT_EQ(tree.children(row).get(), tree.children(row).get());
    EXPECT_EQ(tree.folderReads(), 1u);
}

// Expanding a row shows its children at once from the folder's listing; their sizes and dates
// follow when asked for, for the same rows.
TEST_F(CacheTreeTest, childRowsComeFromTheListingAndTheirAttributesWhenAskedFor) {
    const std::string folder = cache + "/" + dateName(2008, 3, 14) + "/.x_Mixed";
    writeData(folder + "/.x_notes.txt", 5);
    writeData(folder + "/.x_Sub/.x_inner", 1);
    writeData(folder + "/.x_Tool.app/.x_inner", 1);
    ASSERT_EQ(::symlink(".x_Sub", (folder + "/.x_link").c_str()), 0);
    setModificationTime(folder, 1000000000);
    CacheTree tree({cache});
    tree.setListingClock(muchLater);
    const BrowserItem row = folderRow(folder);

    const RowSnapshot listed = tree.children(row);
    ASSERT_EQ(pathsOf(*listed), listedPaths(folder));
    std::map<std::string, bool> folders;
    for (const BrowserItem &child : *listed) {
        SCOPED_TRACE(child.pathToItem);
        EXPECT_TRUE(child.attributesPending);
        EXPECT_FALSE(child.size.has_value());
        EXPECT_FALSE(child.modificationDate.has_value());
        EXPECT_EQ(child.id, rowIdOf(child.pathToItem));
        EXPECT_EQ(child.itemName, sys::lastPathComponent(child.pathToItem).substr(3));
        folders[*child.itemName] = child.isDirectory;
    }
    // A folder is expandable; a package folder, a link to a folder and a file are not.
    EXPECT_EQ(folders, (std::map<std::string, bool>{{"Sub", true}, {"Tool.app", false}, {"link", false}, {"notes.txt", false}}));
    // The listing a model shows first holds the same entries, the rows made from it alike.
    const ListingSnapshot listing = tree.listing(row);
    ASSERT_EQ(listing->size(), listed->size());
    for (size_t i = 0; i < listing->size(); ++i) {
        SCOPED_TRACE((*listed)[i].pathToItem);
        EXPECT_EQ(listing->row(i), (*listed)[i]);
        EXPECT_EQ(listing->id(i), (*listed)[i].id);
        EXPECT_EQ(listing->path(i), (*listed)[i].pathToItem);
        EXPECT_EQ(listing->visibleName(i), *(*listed)[i].itemName);
        EXPECT_EQ(listing->isDirectory(i), (*listed)[i].isDirectory);
    }
    EXPECT_EQ(tree.listing(row).get(), listing.get());
    EXPECT_EQ(tree.folderReads(), 1u);
    EXPECT_EQ(tree.attributeReads(), 0u);

    const RowSnapshot full = tree.childrenWithAttributes(row);
    ASSERT_EQ(full->size(), listed->size());
    for (size_t i = 0; i < full->size(); ++i) {
        const BrowserItem &child = (*full)[i];
        SCOPED_TRACE(child.pathToItem);
        EXPECT_EQ(child.id, (*listed)[i].id) << "the same rows, in the same order";
        EXPECT_EQ(child.isDirectory, (*listed)[i].isDirectory);
        EXPECT_FALSE(child.attributesPending);
        EXPECT_EQ(child.size, static_cast<uint64_t>(lstatOf(child.pathToItem)->st_size));
        EXPECT_TRUE(child.modificationDate.has_value());
    }
    // Read once, for the listing and for its attributes alike.
    EXPECT_EQ(tree.childrenWithAttributes(row).get(), full.get());
    EXPECT_EQ(tree.children(row).get(), full.get());
    EXPECT_EQ(tree.folderReads(), 1u);
    EXPECT_EQ(tree.attributeReads(), 1u);

    // The folder changed since: the attributes come with a listing of the folder as it is now.
    writeData(folder + "/.x_later.txt", 7);
    setModificationTime(folder, 1000000100);
    EXPECT_EQ(pathsOf(*tree.childrenWithAttributes(row)), listedPaths(folder));
    EXPECT_EQ(tree.folderReads(), 2u);
}

// A listing keeps each name where it lies in its one buffer, whatever room was reserved: none,
// too little, or an absurd estimate (a folder size is only a hint).
TEST(FolderListing, namesKindsAndIdsSurviveAnyReservation) {
    for (size_t reserved : {size_t{0}, size_t{5}, std::numeric_limits<size_t>::max()}) {
        SCOPED_TRACE(reserved);
        FolderListing listing("/c/.Quillet/2008-03-14 15_42 +0100/", reserved);
        std::vector<std::string> names;
        for (int i = 0; i < 300; ++i)
            names.push_back(i % 3 ? ".x_file-" + std::to_string(i) : "plain-" + std::string(i % 40, 'n'));
        for (size_t i = 0; i < names.size(); ++i)
            listing.add(names[i], i % 7 == 0 ? S_IFDIR : S_IFREG);
        listing.add(".x_Tool.app", S_IFDIR);
        listing.add(".x_link", S_IFLNK);
        ASSERT_EQ(listing.size(), names.size() + 2);
        for (size_t i = 0; i < names.size(); ++i) {
            const std::string path = "/c/.Quillet/2008-03-14 15_42 +0100/" + names[i];
            ASSERT_EQ(listing.storedName(i), names[i]);
            ASSERT_EQ(listing.visibleName(i), names[i].starts_with(".x_") ? names[i].substr(3) : names[i]);
            ASSERT_EQ(listing.path(i), path);
            ASSERT_EQ(listing.id(i), rowIdOf(path));
            ASSERT_EQ(listing.isDirectory(i), i % 7 == 0);
            ASSERT_EQ(listing.row(i), makeListedChildRow(listing.folderPath(), names[i], i % 7 == 0 ? S_IFDIR : S_IFREG));
        }
        // A package folder and a link are never opened as folders.
        EXPECT_FALSE(listing.isDirectory(names.size()));
        EXPECT_FALSE(listing.isDirectory(names.size() + 1));
        EXPECT_FALSE(listing.row(names.size()).isDirectory);
        EXPECT_EQ(listing.rows().size(), listing.size());
    }
}

TEST_F(CacheTreeTest, keptChildrenAreReadAgainWhenTheFolderChangesOrTheTreeIsRebuilt) {
    const std::string day = cache + "/" + dateName(2008, 3, 14);
    const std::string folder = day + "/.x_Photos";
    touch(folder + "/.x_a.jpg");
    touch(folder + "/.x_b.jpg");
    setModificationTime(folder, 1000000000);
    CacheTree tree({cache});
    tree.setListingClock(muchLater);
    const BrowserItem row = folderRow(folder);
    ASSERT_EQ(tree.numberOfChildren(&row), 2u);
    ASSERT_EQ(tree.numberOfChildren(&row), 2u);
    EXPECT_EQ(tree.folderReads(), 1u);

    // An entry added: the folder's times move.
    touch(folder + "/.x_c.jpg");
    setModificationTime(folder, 1000000100);
    EXPECT_EQ(pathsOf(*tree.children(row)), listedPaths(folder));
    EXPECT_EQ(tree.numberOfChildren(&row), 3u);
    EXPECT_EQ(tree.folderReads(), 2u);

    // An entry removed.
    ASSERT_EQ(::unlink((folder + "/.x_a.jpg").c_str()), 0);
    setModificationTime(folder, 1000000200);
    EXPECT_EQ(pathsOf(*tree.children(row)), listedPaths(folder));
    EXPECT_EQ(tree.folderReads(), 3u);

    // A rebuild of the tree forgets every listing.
    tree.buildListRootItems();
    EXPECT_EQ(tree.numberOfChildren(&row), 2u);
    EXPECT_EQ(tree.folderReads(), 4u);
    EXPECT_EQ(tree.numberOfChildren(&row), 2u);
    EXPECT_EQ(tree.folderReads(), 4u);

    // The folder swapped for a link to a folder elsewhere: never entered, kept listing or not.
    const std::string elsewhere = dir.makeDir("elsewhere");
    touch(elsewhere + "/.x_not-archived");
    ASSERT_EQ(::rename(folder.c_str(), (day + "/.x_moved").c_str()), 0);
    ASSERT_EQ(::symlink(elsewhere.c_str(), folder.c_str()), 0);
    EXPECT_EQ(tree.numberOfChildren(&row), 0u);
    EXPECT_TRUE(tree.child(&row, 0)->isEmpty());
}

// A listing read within a second of the folder's last modification may miss a change made in
// the same clock tick: it is read again at each use until the folder has been still long
// enough, and kept from then on.
TEST_F(CacheTreeTest, aFolderChangedJustBeforeItsReadIsReadAgainUntilItSettles) {
    const std::string folder = cache + "/" + dateName(2008, 3, 14);
    touch(folder + "/.x_a");
    const struct timespec modified = lstatOf(folder)->st_mtim;
    CacheTree tree({cache});
    const BrowserItem row = folderRow(folder);

    tree.setListingClock([modified] { return timespec{modified.tv_sec, modified.tv_nsec}; });
    for (uint64_t reads = 1; reads <= 3; ++reads) {
        ASSERT_EQ(tree.numberOfChildren(&row), 1u);
        EXPECT_EQ(tree.folderReads(), reads);
    }
    tree.setListingClock([modified] { return timespec{modified.tv_sec + 2, modified.tv_nsec}; });
    EXPECT_EQ(tree.numberOfChildren(&row), 1u);
    EXPECT_EQ(tree.numberOfChildren(&row), 1u);
    EXPECT_EQ(tree.folderReads(), 4u);
}

TEST(FolderChildren, keepsTheMostRecentlyUsedFolders) {
    TestDir dir;
    const std::string cache = dir.makeDir(".TrashCacheFolder", 0700);
    std::vector<std::string> folders;
    for (int day = 1; day <= 3; ++day) {
        folders.push_back(cache + "/" + dateName(2008, 3, day));
        touch(folders.back() + "/.x_item");
    }
    FolderChildren children(2);
    children.setClock(muchLater);
    ASSERT_EQ(children.rows({cache}, folders[0])->size(), 1u);
    ASSERT_EQ(children.rows({cache}, folders[1])->size(), 1u);
    ASSERT_EQ(children.rows({cache}, folders[0])->size(), 1u);
    EXPECT_EQ(children.reads(), 2u);
    ASSERT_EQ(children.rows({cache}, folders[2])->size(), 1u); // folders[1], the least recent, goes
    ASSERT_EQ(children.rows({cache}, folders[0])->size(), 1u);
    EXPECT_EQ(children.reads(), 3u);
    ASSERT_EQ(children.rows({cache}, folders[1])->size(), 1u);
    EXPECT_EQ(children.reads(), 4u);
    // A path in no cache folder is refused, and nothing of it is shown.
    EXPECT_TRUE(children.rows({cache}, dir.makeDir("outside"))->empty());
}

// ---- row identity -------------------------------------------------------------------------

TEST_F(CacheTreeTest, rowIdsAreStableAcrossRefreshesAndDistinctForDistinctPaths) {
    const std::string day1 = cache + "/" + dateName(2008, 3, 14);
    const std::string day2 = cache + "/" + dateName(2008, 3, 15);
    for (int i = 0; i < 200; ++i) {
        touch(day1 + "/.x_item" + std::to_string(i));
        touch(day2 + "/.x_item" + std::to_string(i)); // the same names in another folder
    }
    touch(day1 + "/.x_Folder/.x_inner");
    CacheTree tree({cache});
    tree.setViewMode(ViewMode::Flat);
    tree.buildListRootItems();
    const std::vector<BrowserItem> first = tree.rootListItems();
    tree.sortDescriptorsDidChange({SortDescriptor{BrowserColumn::Name, SortOrder::Descending}});
    std::unordered_map<std::string, RowId> idByPath;
    for (const BrowserItem &row : first)
        idByPath[row.pathToItem] = row.id;
    std::unordered_set<RowId> ids;
    for (const BrowserItem &row : tree.rootListItems()) {
        SCOPED_TRACE(row.pathToItem);
        EXPECT_NE(row.id, 0u);
        EXPECT_EQ(row.id, rowIdOf(row.pathToItem));
        EXPECT_EQ(row.id, idByPath.at(row.pathToItem)) << "the same after a refresh and a new order";
        ids.insert(row.id);
    }
    EXPECT_EQ(ids.size(), 401u);

    // The day view: date folders and their children; a child row has the id of the flat row of
    // the same entry.
    tree.setViewMode(ViewMode::Day);
    tree.buildListRootItems();
    for (const BrowserItem &dayRow : tree.rootListItems()) {
        EXPECT_EQ(dayRow.id, rowIdOf(dayRow.pathToItem));
        ids.insert(dayRow.id);
        const RowSnapshot children = tree.children(dayRow);
        for (const BrowserItem &child : *children)
            EXPECT_EQ(child.id, idByPath.at(child.pathToItem));
    }
    auto folder = tree.children(folderRow(day1 + "/.x_Folder"));
    ASSERT_EQ(folder->size(), 1u);
    ids.insert((*folder)[0].id);
    EXPECT_EQ(ids.size(), 404u);
    EXPECT_EQ(BrowserItem{}.id, 0u);
}

TEST(RowIds, differForManySimilarPathsAndDependOnEveryByte) {
    std::unordered_set<RowId> ids;
    size_t made = 0;
    for (int folder = 0; folder < 100; ++folder)
        for (int entry = 0; entry < 1000; ++entry, ++made)
            ids.insert(rowIdOf("/home/u/.TrashCacheFolder/2008-03-14 15_42 +0000/.x_f" + std::to_string(folder) +
                               "/.x_file-" + std::to_string(entry) + ".txt"));
    for (size_t length = 0; length < 40; ++length, ++made)
        ids.insert(rowIdOf(std::string(length, 'a')));
    ids.insert(rowIdOf("a\xff"));
    ids.insert(rowIdOf("a\xfe"));
    made += 2;
    EXPECT_EQ(ids.size(), made);
    EXPECT_EQ(ids.count(0), 0u);
    EXPECT_EQ(rowIdOf("/cache/x"), rowIdOf(std::string("/cache/") + "x"));
}

// ---- columns ------------------------------------------------------------------------------

TEST(BrowserColumns, identifiersAndSortKeysMapToTheColumnsAndBack) {
    EXPECT_EQ(columnForIdentifier("ItemName"), BrowserColumn::Name);
    EXPECT_EQ(columnForIdentifier("modifDate"), BrowserColumn::Date);
    EXPECT_EQ(columnForIdentifier("size"), BrowserColumn::Size);
    EXPECT_EQ(columnForSortKey("itemNameSortKey"), BrowserColumn::Name);
    EXPECT_EQ(columnForSortKey("modifDateSortKey"), BrowserColumn::Date);
    EXPECT_EQ(columnForSortKey("itemSizeSortKey"), BrowserColumn::Size);
    for (std::string_view unknown : {"", "other", "itemname", "Size", "itemSizeSortKey "}) {
        EXPECT_FALSE(columnForIdentifier(unknown)) << unknown;
        EXPECT_FALSE(columnForSortKey(unknown)) << unknown;
    }
    for (BrowserColumn column : kBrowserColumns) {
        EXPECT_EQ(columnForIdentifier(columnIdentifier(column)), column);
        EXPECT_EQ(columnForSortKey(columnSortKey(column)), column);
        EXPECT_EQ(SortDescriptor(columnSortKey(column), SortOrder::Descending),
                  SortDescriptor(column, SortOrder::Descending));
        EXPECT_EQ(SortDescriptor(column).key(), columnSortKey(column));
    }
    EXPECT_EQ(SortDescriptor().column, BrowserColumn::Name) << "the initial sort is by name, ascending";
    EXPECT_EQ(SortDescriptor().order, SortOrder::Ascending);
    EXPECT_FALSE(SortDescriptor("unknownKey").column);
    EXPECT_EQ(SortDescriptor("unknownKey").key(), "");
}

// Root rows sorted by each column both ways, through the tree, by the column and by its sort
// key: names in the order of their case foldings, dates and sizes in order.
TEST_F(CacheTreeTest, rootRowsSortByEachColumnBothWays) {
    const std::string day = cache + "/" + dateName(2008, 3, 14);
    const std::vector<std::pair<std::string, size_t>> entries = {
        {".x_banana", 30}, {".x_Apple", 10}, {".x_cherry", 20}, {".x_apple 2", 40}, {".x_Été", 5}};
    time_t moment = 1200000000;
    for (const auto &[name, size] : entries) {
        writeData(day + "/" + name, size);
        setModificationTime(day + "/" + name, moment);
        moment -= 3600; // later names are older
    }
    struct Case {
        BrowserColumn column;
        SortOrder order;
        std::vector<std::string> names;
    };
    const std::vector<Case> cases = {
        {BrowserColumn::Name, SortOrder::Ascending, {"Apple", "apple 2", "banana", "cherry", "Été"}},
        {BrowserColumn::Name, SortOrder::Descending, {"Été", "cherry", "banana", "apple 2", "Apple"}},
        {BrowserColumn::Date, SortOrder::Ascending, {"Été", "apple 2", "cherry", "Apple", "banana"}},
        {BrowserColumn::Date, SortOrder::Descending, {"banana", "Apple", "cherry", "apple 2", "Été"}},
        {BrowserColumn::Size, SortOrder::Ascending, {"Été", "Apple", "cherry", "banana", "apple 2"}},
        {BrowserColumn::Size, SortOrder::Descending, {"apple 2", "banana", "cherry", "Apple", "Été"}},
    };
    CacheTree tree({cache});
    tree.setViewMode(ViewMode::Flat);
    for (const Case &c : cases) {
        SCOPED_TRACE(std::string(columnSortKey(c.column)) +
                     (c.order == SortOrder::Ascending ? " ascending" : " descending"));
        tree.sortDescriptorsDidChange({SortDescriptor{c.column, c.order}});
        EXPECT_EQ(names(tree.rootListItems()), c.names);
        // The same by the column's sort key, as the settings and quilletctl name it.
        tree.sortDescriptorsDidChange({SortDescriptor{std::string(columnSortKey(c.column)), c.order}});
        EXPECT_EQ(names(tree.rootListItems()), c.names);
    }
    const auto rows = tree.rootListItems();
    for (BrowserColumn column : kBrowserColumns)
        EXPECT_EQ(tree.objectValue(column, &rows[0]).kind, tree.objectValue(columnIdentifier(column), &rows[0]).kind);
    EXPECT_EQ(tree.objectValue(BrowserColumn::Size, &rows[0]).size, *rows[0].size);
}

// ---- the root list is a snapshot ----------------------------------------------------------

// A reader keeps the list it took, unchanged, whatever replaces the root list meanwhile; the
// rows it reads never wait for the tree.
TEST_F(CacheTreeTest, aReaderKeepsTheRootListItTookWhileTheTreeReplacesIt) {
    touch(cache + "/" + dateName(2008, 3, 14) + "/.x_a");
    touch(cache + "/" + dateName(2008, 3, 14) + "/.x_b");
    CacheTree tree({cache});
    tree.setViewMode(ViewMode::Flat);
    tree.buildListRootItems();
    const RowSnapshot taken = tree.rootRows();
    const std::vector<BrowserItem> before = *taken;
    tree.sortDescriptorsDidChange({SortDescriptor{BrowserColumn::Name, SortOrder::Descending}});
    EXPECT_EQ(names(*taken), (std::vector<std::string>{"a", "b"}));
    EXPECT_EQ(*taken, before);
    EXPECT_EQ(names(*tree.rootRows()), (std::vector<std::string>{"b", "a"}));
    EXPECT_EQ(tree.child(nullptr, 0)->displayName(), "b");
    EXPECT_EQ(tree.takeRootListItems().size(), 2u);
    EXPECT_EQ(taken->size(), 2u) << "taking the rows leaves a reader's list alone";
}

} // namespace
