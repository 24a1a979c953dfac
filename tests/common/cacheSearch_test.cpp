#include "CacheSearch.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <future>
#include <string>
#include <vector>

#include "CacheTree.h"
#include "TestDir.h"
#include "ZRAppUtils.h"

using namespace quillet;
using namespace quillet::test;

namespace {

TEST(NameMatcher, matchesSubstringsWithoutRegardToCase) {
    struct Case {
        std::string needle;
        std::string name;
        bool expected;
    };
    const std::vector<Case> cases = {
        {"report", ".x_Report.pdf", true},
        {"REPORT", ".x_old reports", true},
        {"x_", ".x_anything", true},
        {".x", ".x_anything", true},
        {"", "whatever", true},
        {"pdf", ".x_Report.pd", false},
        {"longer than the name", "short", false},
        {"*.pdf", ".x_Report.pdf", false},
        {"rt.p", ".x_RepoRT.PDF", true},
        {"\xc3\xa9t\xc3\xa9", ".x_\xc3\xa9t\xc3\xa9.txt", true},
        {"aab", "aaab", true},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(c.needle + " in " + c.name);
        EXPECT_EQ(NameMatcher(c.needle).matches(c.name), c.expected);
    }
}

class CacheSearchTest : public ::testing::Test {
protected:
    CacheSearchTest() {
        cache = dir.makeDir(".TrashCacheFolder", 0700);
        day1 = cache + "/" + dateName(2008, 3, 14);
        day2 = cache + "/" + dateName(2008, 3, 15);
        writeData(day1 + "/.x_Report.pdf", 1200);
        writeData(day2 + "/.x_Papers/.x_Deep/.x_old reports", 300);
        touch(day2 + "/.x_Papers/.x_notes.txt");
        writeData(day2 + "/.x_Viewer.app/.x_Contents/.x_report inside", 700);
        touch(cache + "/misc/.x_report elsewhere");
        touch(cache + "/ArchivedFileData");
    }

    std::vector<BrowserItem> search(const std::string &text) {
        std::vector<BrowserItem> hits;
        std::atomic<bool> stop{false};
        searchCaches({cache, dir / "missing"}, text, stop, [&](BrowserItem &&item) { hits.push_back(std::move(item)); });
        return hits;
    }

    static std::vector<std::string> paths(std::vector<BrowserItem> rows) {
        std::vector<std::string> result;
        for (const BrowserItem &row : rows)
            result.push_back(row.pathToItem);
        std::sort(result.begin(), result.end());
        return result;
    }

    TestDir dir;
    std::string cache, day1, day2;
};

// What the system is still assembling is never a hit, nor searched inside.
TEST_F(CacheSearchTest, workInProgressIsNeverAHit) {
    writeData(day1 + "/.quillet-partial-1-2/.x_report draft", 10);
    for (const BrowserItem &hit : search("quillet"))
        ADD_FAILURE() << hit.pathToItem;
    for (const BrowserItem &hit : search("report"))
        EXPECT_EQ(hit.pathToItem.find(".quillet-partial"), std::string::npos) << hit.pathToItem;
}

TEST_F(CacheSearchTest, findsStoredNamesAtAnyDepthInDateFoldersOnly) {
    auto hits = search("report");
    EXPECT_EQ(paths(hits), (std::vector<std::string>{day1 + "/.x_Report.pdf", day2 + "/.x_Papers/.x_Deep/.x_old reports"}));
    for (const BrowserItem &hit : hits) {
        if (hit.pathToItem == day1 + "/.x_Report.pdf") {
            EXPECT_EQ(hit.itemName, ".x_Report.pdf");
            EXPECT_EQ(hit.itemRepresentationName, "Report.pdf");
            EXPECT_EQ(hit.size, 1200u);
            EXPECT_FALSE(hit.isDirectory);
            EXPECT_TRUE(hit.modificationDate);
        } else {
            EXPECT_EQ(hit.itemName, ".x_old reports");
            EXPECT_EQ(hit.itemRepresentationName, "old reports");
        }
    }
}

TEST_F(CacheSearchTest, prefixTextMatchesEveryArchivedEntry) {
    const std::vector<std::string> all = {
        day1 + "/.x_Report.pdf",
        day2 + "/.x_Papers",
        day2 + "/.x_Papers/.x_Deep",
        day2 + "/.x_Papers/.x_Deep/.x_old reports",
        day2 + "/.x_Papers/.x_notes.txt",
        day2 + "/.x_Viewer.app",
    };
    EXPECT_EQ(paths(search("x_")), all);
    EXPECT_EQ(paths(search(".X")), all);
}

TEST_F(CacheSearchTest, packageMatchesByItsNameButIsNotEntered) {
    auto hits = search("viewer");
    ASSERT_EQ(hits.size(), 1u);
    EXPECT_EQ(hits[0].itemRepresentationName, "Viewer.app");
    EXPECT_FALSE(hits[0].isDirectory);
    EXPECT_EQ(hits[0].size, ZRAppUtils().getFolderSize(day2 + "/.x_Viewer.app"));
    EXPECT_TRUE(search("inside").empty());

    auto folders = search("papers");
    ASSERT_EQ(folders.size(), 1u);
    EXPECT_TRUE(folders[0].isDirectory);
    EXPECT_EQ(folders[0].size, ZRAppUtils().getFolderSize(day2 + "/.x_Papers"));
}

TEST_F(CacheSearchTest, entryComesBeforeItsContents) {
    auto hits = search("x_");
    auto position = [&](const std::string &path) {
        return std::find_if(hits.begin(), hits.end(), [&](const BrowserItem &i) { return i.pathToItem == path; }) -
               hits.begin();
    };
    EXPECT_LT(position(day2 + "/.x_Papers"), position(day2 + "/.x_Papers/.x_Deep"));
    EXPECT_LT(position(day2 + "/.x_Papers/.x_Deep"), position(day2 + "/.x_Papers/.x_Deep/.x_old reports"));
}

TEST_F(CacheSearchTest, stopEndsTheWalkBeforeTheNextEntry) {
    std::atomic<bool> stop{true};
    int hits = 0;
    searchCaches({cache}, "x_", stop, [&](BrowserItem &&) { ++hits; });
    EXPECT_EQ(hits, 0);

    stop = false;
    searchCaches({cache}, "x_", stop, [&](BrowserItem &&) {
        ++hits;
        stop = true;
    });
    EXPECT_EQ(hits, 1);
}

TEST_F(CacheSearchTest, treeShowsResultsWhileSearchingAndNormalViewAfterClearing) {
    CacheTree tree({cache});
    tree.setViewMode(ViewMode::Flat);
    std::promise<uint64_t> finished;
    auto ended = finished.get_future();
    tree.setSearchFinishedCallback([&](uint64_t number) { finished.set_value(number); });
    std::vector<uint64_t> statusLines;
    tree.setStatusCallback([&](uint64_t count) { statusLines.push_back(count); });

    tree.searchItemAction("REPORT");
    EXPECT_TRUE(tree.userIsSearching());
    EXPECT_EQ(tree.stringSearched(), "REPORT");
    uint64_t number = ended.get();
    tree.threadTerminateSearch(number);
    EXPECT_FALSE(tree.searchThreadRunning());
    EXPECT_EQ(paths(tree.rootListItems()),
              (std::vector<std::string>{day1 + "/.x_Report.pdf", day2 + "/.x_Papers/.x_Deep/.x_old reports"}));
    EXPECT_EQ(statusLines.back(), 2u);

    // While results are shown, a rebuild from the disk is not done.
    tree.buildListRootItems();
    EXPECT_EQ(tree.rootListItems().size(), 2u);
    EXPECT_FALSE(tree.searchRefreshTimer()) << "the timer stops once the walk has ended";
    EXPECT_EQ(tree.rootListItems().size(), 2u);

    tree.searchItemAction("");
    EXPECT_FALSE(tree.userIsSearching());
    EXPECT_EQ(paths(tree.rootListItems()),
              (std::vector<std::string>{day1 + "/.x_Report.pdf", day2 + "/.x_Papers", day2 + "/.x_Viewer.app"}));
}

TEST_F(CacheSearchTest, newSearchReplacesRunningOneAndStaleEndIsIgnored) {
    CacheTree tree({cache});
    std::mutex endedLock;
    std::vector<uint64_t> ended;
    tree.setSearchFinishedCallback([&](uint64_t number) {
        std::lock_guard lock(endedLock);
        ended.push_back(number);
    });
    tree.searchItemAction("x_");
    tree.searchItemAction("notes");
    tree.waitForSearch();
    {
        std::lock_guard lock(endedLock);
        ASSERT_EQ(ended.size(), 2u);
    }
    tree.threadTerminateSearch(ended[0]); // the first search's end: ignored
    EXPECT_TRUE(tree.rootListItems().empty());
    tree.threadTerminateSearch(ended[1]);
    EXPECT_EQ(paths(tree.rootListItems()), std::vector<std::string>{day2 + "/.x_Papers/.x_notes.txt"});
}

TEST_F(CacheSearchTest, resultsCanBeCopiedWhileTheLockIsFree) {
    CacheSearch search;
    std::promise<void> finished;
    search.setFinishedCallback([&](uint64_t) { finished.set_value(); });
    EXPECT_EQ(search.start({cache}, "pdf"), 1u);
    finished.get_future().wait();
    search.waitUntilFinished();
    auto copy = search.tryCopyResults();
    ASSERT_TRUE(copy);
    ASSERT_EQ(copy->size(), 1u);
    EXPECT_EQ((*copy)[0].itemRepresentationName, "Report.pdf");
    EXPECT_EQ(search.copyResults(), *copy);
}

} // namespace
