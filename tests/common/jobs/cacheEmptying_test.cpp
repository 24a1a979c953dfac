#include "jobs/CacheEmptying.h"

#include "browser/CacheTree.h"
#include "NotificationRecorder.h"
#include "FakeProtection.h"
#include "TestDir.h"

#include <gtest/gtest.h>
#include <linux/fs.h>

#include <cerrno>
#include <chrono>
#include <condition_variable>
#include <functional>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

namespace quillet {
namespace {

using namespace std::chrono_literals;
using test::exists;
using test::listNames;
using test::FakeProtection;
using test::TestDir;


constexpr auto kTimeout = 30s;

/// "index/count name" of each item outcome, with a hook run on the job's thread at each.
struct ItemRecorder : JobObserver {
    void itemDone(const ItemOutcome &outcome) override {
        done.push_back(std::to_string(outcome.index) + " " + sys::lastPathComponent(outcome.source));
        if (onItem)
            onItem();
    }
    std::vector<std::string> done;
    std::function<void()> onItem;
};

BrowserItem rowOf(std::string path) {
    BrowserItem item;
    item.pathToItem = std::move(path);
    return item;
}

class CacheEmptyingTest : public ::testing::Test {
protected:
    CacheEmptyingTest() {
        for (const std::string &cache : caches) {
            test::writeData(cache + "/ArchivedFileData", 40);
            test::writeData(cache + "/UPD_FLAG", 0);
            test::writeData(cache + "/" + day1 + "/.x_a.txt", 10);
            test::writeData(cache + "/" + day1 + "/.x_Pics/.x_p.jpg", 20);
            test::writeData(cache + "/" + day2 + "/.x_b.txt", 30);
        }
    }

    TestDir dir;
    const std::vector<std::string> caches{dir.makeDir("home/.TrashCacheFolder"), dir.makeDir("vol/.TrashCacheFolder")};
    const std::string day1 = test::dateName(2026, 12, 6);
    const std::string day2 = test::dateName(2026, 12, 7);
    /// Runs job to its end; answers what became of each path.
    std::vector<DeletedItem> run(const std::shared_ptr<CacheEmptying> &job) {
        job->startThread();
        EXPECT_TRUE(job->waitFor(kTimeout));
        return job->deleted();
    }
    std::vector<DeletedItem> emptyCaches(EmptyScope scope, const std::vector<std::string> &cacheFolders,
                                         const std::vector<BrowserItem> &selection, ProtectionSwitch &protection) {
        emptying = CacheEmptying::emptyCaches(scope, cacheFolders, selection, protection, &center);
        emptying->addObserver(items);
        return run(emptying);
    }

    NotificationCenter center;
    std::shared_ptr<CacheEmptying> emptying;
    std::shared_ptr<ItemRecorder> items = std::make_shared<ItemRecorder>();
};

TEST_F(CacheEmptyingTest, scopesListEverythingOrTheSelectionInOrder) {
    auto everything = CacheEmptying::pathsToEmpty(EmptyScope::Everything,
                                                  {caches[0], dir / "missing/.TrashCacheFolder", caches[1]}, {});
    std::vector<std::string> names;
    for (const std::string &path : everything)
        names.push_back(sys::lastPathComponent(path));
    std::sort(names.begin(), names.end());
    EXPECT_EQ(names, (std::vector<std::string>{day1, day1, day2, day2, "ArchivedFileData", "ArchivedFileData",
                                               "UPD_FLAG", "UPD_FLAG"}));
    EXPECT_EQ(sys::parentPath(everything.front()), caches[0]) << "cache folders in their order";

    std::vector<BrowserItem> selection = {rowOf(caches[1] + "/" + day2), BrowserItem{},
                                          rowOf(caches[0] + "/" + day1 + "/.x_a.txt")};
    EXPECT_EQ(CacheEmptying::pathsToEmpty(EmptyScope::Selection, caches, selection),
              (std::vector<std::string>{caches[1] + "/" + day2, caches[0] + "/" + day1 + "/.x_a.txt"}));
}

TEST_F(CacheEmptyingTest, emptyingEverythingStopsProtectionDeletesAndRestartsIt) {
    FakeProtection protection(true);
    std::vector<size_t> entriesAtCall;
    protection.onCall = [&] { entriesAtCall.push_back(listNames(caches[0]).size() + listNames(caches[1]).size()); };

    auto deleted = emptyCaches(EmptyScope::Everything, caches, {}, protection);
    EXPECT_EQ(protection.calls, (std::vector<std::string>{"stop", "start"}));
    EXPECT_EQ(entriesAtCall, (std::vector<size_t>{8, 0})) << "deleted after the stop, before the start";
    EXPECT_FALSE(emptying->protectionOutlivedStop());
    EXPECT_EQ(deleted.size(), 8u);
    for (const DeletedItem &item : deleted)
        EXPECT_TRUE(item.status) << item.status.message();
    for (const std::string &cache : caches)
        EXPECT_TRUE(test::isFolder(cache)) << "the cache folders themselves stay";

    // The index went too, so the browser has nothing left to show.
    CacheTree tree(caches);
    tree.buildListRootItems();
    EXPECT_TRUE(tree.rootListItems().empty());
}

TEST_F(CacheEmptyingTest, emptyingASelectionLeavesTheRestAndProtectionOff) {
    FakeProtection protection(false);
    std::vector<BrowserItem> selection = {rowOf(caches[0] + "/" + day1 + "/.x_Pics"),
                                          rowOf(caches[1] + "/" + day2),
                                          rowOf(caches[1] + "/" + day2 + "/.x_b.txt")};

    auto deleted = emptyCaches(EmptyScope::Selection, caches, selection, protection);
    EXPECT_TRUE(protection.calls.empty());
    EXPECT_FALSE(emptying->protectionOutlivedStop());
    EXPECT_EQ(items->done, (std::vector<std::string>{"0 .x_Pics", "1 " + day2, "2 .x_b.txt"}));
    ASSERT_EQ(deleted.size(), 3u);
    EXPECT_TRUE(deleted[2].status) << "an item already gone with its folder counts as deleted";
    EXPECT_EQ(listNames(caches[0] + "/" + day1), std::vector<std::string>{".x_a.txt"});
    EXPECT_EQ(listNames(caches[1]), (std::vector<std::string>{day1, "ArchivedFileData", "UPD_FLAG"}));
}

// The emptying never holds its caller: the daemons are stopped and waited for, and the items
// deleted, on the job's thread while the caller goes on.
TEST_F(CacheEmptyingTest, theCallerGoesOnWhileTheDaemonsStopAndTheItemsGo) {
    FakeProtection protection(true);
    std::mutex mutex;
    std::condition_variable released;
    bool release = false;
    std::vector<std::thread::id> callThreads;
    protection.onCall = [&] {
        callThreads.push_back(std::this_thread::get_id());
        std::unique_lock lock(mutex);
        released.wait(lock, [&] { return release; });
    };
    auto job = CacheEmptying::emptyCaches(EmptyScope::Everything, caches, {}, protection, &center);
    job->startThread();
    EXPECT_FALSE(job->hasEnded()) << "the daemons are still being waited for";
    EXPECT_EQ(listNames(caches[0]).size(), 4u) << "nothing goes before the daemons have stopped";
    {
        std::lock_guard lock(mutex);
        release = true;
    }
    released.notify_all();
    ASSERT_TRUE(job->waitFor(kTimeout));
    EXPECT_EQ(job->end(), JobEnd::Finished);
    EXPECT_EQ(protection.calls, (std::vector<std::string>{"stop", "start"}));
    for (std::thread::id thread : callThreads)
        EXPECT_NE(thread, std::this_thread::get_id());
    EXPECT_EQ(listNames(caches[0]), std::vector<std::string>{});
    EXPECT_EQ(job->deleted().size(), 8u);
}

TEST_F(CacheEmptyingTest, aDaemonOutlivingTheStopIsReportedAndTheEmptyingGoesOn) {
    FakeProtection protection(true);
    protection.stops = false;
    auto deleted = emptyCaches(EmptyScope::Selection, caches, {rowOf(caches[0] + "/" + day2)}, protection);
    EXPECT_TRUE(emptying->protectionOutlivedStop());
    ASSERT_EQ(deleted.size(), 1u);
    EXPECT_TRUE(deleted[0].status);
    EXPECT_FALSE(exists(caches[0] + "/" + day2));
    EXPECT_EQ(protection.calls, (std::vector<std::string>{"stop", "start"}));
}

TEST_F(CacheEmptyingTest, lockedItemsAreUnlockedAndLinksRemovedAsLinks) {
    const std::string outside = dir.makeDir("outside");
    test::writeData(outside + "/precious", 5);
    const std::string date = caches[0] + "/" + day1;
    ASSERT_EQ(::symlink(outside.c_str(), (date + "/.x_link").c_str()), 0);
    if (!test::setInodeAttributes(date + "/.x_a.txt", FS_IMMUTABLE_FL) ||
        !test::setInodeAttributes(date + "/.x_Pics/.x_p.jpg", FS_IMMUTABLE_FL))
        GTEST_SKIP() << "cannot set the immutable attribute here";

    auto deleted = run(CacheEmptying::deleteItems(caches, {date + "/.x_a.txt", date + "/.x_link", date + "/.x_Pics"},
                                                  &center));
    for (const DeletedItem &item : deleted)
        EXPECT_TRUE(item.status) << item.path << ": " << item.status.message();
    EXPECT_EQ(listNames(date), std::vector<std::string>{});
    EXPECT_TRUE(exists(outside + "/precious")) << "a link is never followed";
}

// Nothing outside the user's own cache is ever deleted: not through a cache folder that is a
// link, not through a link named like a date folder, not in another account's date folder, and
// not a path that merely looks like a cache item.
TEST_F(CacheEmptyingTest, craftedLinksAndForeignFoldersAreNeverDeletedThrough) {
    const std::string outside = dir.makeDir("outside");
    test::writeData(outside + "/precious", 5);
    test::writeData(outside + "/" + day1 + "/.x_looks-cached", 5);
    // A volume whose cache folder links to the outside folder.
    ASSERT_TRUE(test::makeFolder(dir / "linked"));
    const std::string linkedCache = dir / "linked/.TrashCacheFolder";
    ASSERT_EQ(::symlink(outside.c_str(), linkedCache.c_str()), 0);
    // In the home cache: a date-named link, and a date folder of another account.
    const std::string dateLink = caches[0] + "/" + test::dateName(2026, 1, 1);
    ASSERT_EQ(::symlink(outside.c_str(), dateLink.c_str()), 0);
    const std::string foreign = caches[0] + "/" + test::dateName(2026, 1, 2);
    test::writeData(foreign + "/.x_theirs", 5);
    ASSERT_EQ(::chown(foreign.c_str(), 4242, 4242), 0);
    const std::vector<std::string> withLinked = {caches[0], linkedCache};

    FakeProtection protection(false);
    auto selected = emptyCaches(EmptyScope::Selection, withLinked,
                                         {rowOf(dateLink + "/precious"), rowOf(linkedCache + "/precious"),
                                          rowOf(foreign + "/.x_theirs"), rowOf(foreign), rowOf(outside + "/precious"),
                                          rowOf(caches[0] + "/../../outside/precious")},
                                         protection);
    ASSERT_EQ(selected.size(), 6u);
    for (const DeletedItem &item : selected)
        EXPECT_FALSE(item.status) << item.path << " was not refused";
    EXPECT_NE(selected[0].status.message().find("a symbolic link"), std::string::npos) << selected[0].status.message();
    EXPECT_NE(selected[2].status.message().find("belongs to another account"), std::string::npos);
    EXPECT_NE(selected[4].status.message().find("not inside a cache folder"), std::string::npos);

    auto everything = emptyCaches(EmptyScope::Everything, withLinked, {}, protection);
    EXPECT_TRUE(exists(outside + "/precious"));
    EXPECT_TRUE(exists(outside + "/" + day1 + "/.x_looks-cached"));
    EXPECT_TRUE(exists(foreign + "/.x_theirs"));
    // The link itself was the user's entry in the cache: it went, as a link.
    EXPECT_FALSE(test::lstatOf(dateLink).has_value());
    EXPECT_EQ(listNames(caches[0]), std::vector<std::string>{test::dateName(2026, 1, 2)});
}

// A folder that resists plain removal goes to a delete worker, and the emptying waits for it
// before protection starts again. A mount point inside the folder is such a folder: it can be
// emptied but never removed.
TEST_F(CacheEmptyingTest, aResistingFolderGoesToAWorkerThatIsWaitedFor) {
    const std::string folder = caches[0] + "/" + day1;
    test::TmpfsMount mount(folder + "/.x_Pics/mnt", "1m");
    if (!mount.mounted())
        GTEST_SKIP() << "cannot mount a tmpfs here (needs root)";
    test::writeData(folder + "/.x_Pics/mnt/inside", 10);
    test::NotificationRecorder<DeleteFolderUtil> recorder(center);
    FakeProtection protection(true);
    size_t finishedAtStart = 0;
    protection.onCall = [&] { finishedAtStart = recorder.count(DeleteFolderUtil::kThreadFinishedNotification); };
    std::shared_ptr<CacheEmptying> nested;
    items->onItem = [&] {
        // Another emptying while this one runs does nothing.
        nested = CacheEmptying::deleteItems(caches, {caches[1] + "/" + day2}, &center);
        nested->startThread();
    };

    auto deleted = emptyCaches(EmptyScope::Selection, caches, {rowOf(folder)}, protection);
    ASSERT_EQ(deleted.size(), 1u);
    EXPECT_TRUE(deleted[0].handedToWorker);
    EXPECT_EQ(deleted[0].status.code(), ENOTEMPTY) << "the last attempt tells why the folder is still there";
    EXPECT_EQ(finishedAtStart, 1u) << "protection restarts only after the worker ended";
    EXPECT_TRUE(emptying->hasEnded());
    ASSERT_TRUE(nested);
    EXPECT_EQ(nested->end(), JobEnd::NotStarted);
    EXPECT_TRUE(nested->deleted().empty());
    EXPECT_TRUE(exists(caches[1] + "/" + day2));
    EXPECT_EQ(listNames(folder), std::vector<std::string>{".x_Pics"});
    EXPECT_EQ(listNames(folder + "/.x_Pics"), std::vector<std::string>{"mnt"});
}

} // namespace
} // namespace quillet
