#include "jobs/CacheRecovery.h"

#include "NotificationRecorder.h"
#include "FakeProtection.h"
#include "TestDir.h"

#include <gtest/gtest.h>

#include <fcntl.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <condition_variable>
#include <mutex>
#include <string>
#include <vector>

namespace quillet {
namespace {

using namespace std::chrono_literals;
using test::exists;
using test::listNames;
using test::readFileText;
using test::FakeProtection;
using test::TestDir;

constexpr auto kTimeout = 30s;


/// "copied <name>" or "failed <name>" (the target's name) of each row's outcome, in the order
/// they came.
struct OutcomeRecorder : JobObserver {
    void itemDone(const ItemOutcome &item) override {
        events.push_back(std::string(item.status ? "copied " : "failed ") + sys::lastPathComponent(item.target));
    }
    std::vector<std::string> events;
};

class CacheRecoveryTest : public ::testing::Test {
protected:
    /// A row as the flat view shows the entry name of the date folder.
    BrowserItem row(const std::string &name) const {
        auto st = test::lstatOf(date + "/" + name);
        if (!st) {
            BrowserItem gone;
            gone.pathToItem = date + "/" + name;
            gone.itemName = setFileName(name, Visibility::Visible);
            return gone;
        }
        return makeEntryRow(date, name, *st, RowOrigin::FlatRow);
    }
    /// Runs job to its end; answers the outcome of each row.
    std::vector<ItemOutcome> run(const std::shared_ptr<CacheRecovery> &job) {
        job->addObserver(outcomes);
        job->startThread();
        EXPECT_TRUE(job->waitFor(kTimeout));
        return job->items();
    }
    std::vector<ItemOutcome> recoverItems(const std::vector<BrowserItem> &rows, const std::string &destination) {
        return run(CacheRecovery::recoverItems(rows, destination, &center));
    }
    const std::vector<std::string> &events() const { return outcomes->events; }

    TestDir dir;
    const std::string cache = dir.makeDir("cache");
    const std::string date = dir.makeDir("cache/" + test::dateName(2026, 12, 7, 15, 42));
    NotificationCenter center;
    std::shared_ptr<OutcomeRecorder> outcomes = std::make_shared<OutcomeRecorder>();
};

TEST(CacheRecoveryNames, extensionsAndRecoveredNames) {
    struct Case {
        const char *name, *extension, *base;
    } cases[] = {
        {"Report.pdf", "pdf", "Report"}, {"archive.tar.gz", "gz", "archive.tar"}, {".bashrc", "", ".bashrc"},
        {"notes.", "", "notes."},        {"README", "", "README"},                {".x_a.jpg", "jpg", ".x_a"},
    };
    for (const Case &c : cases) {
        EXPECT_EQ(pathExtension(c.name), c.extension) << c.name;
        EXPECT_EQ(deletingPathExtension(c.name), c.base) << c.name;
    }

    const auto named = [](std::string path, std::optional<std::string> itemName,
                          std::optional<std::string> representation = std::nullopt) {
        BrowserItem item;
        item.pathToItem = std::move(path);
        item.itemName = std::move(itemName);
        item.itemRepresentationName = std::move(representation);
        return recoveredName(item);
    };
    struct Named {
        const char *path;
        std::optional<std::string> itemName, representation;
        const char *recovered;
    } names[] = {
        // A search result's item name is the stored name; other rows show the visible form.
        {"/c/d/.x_Report.pdf", ".x_Report.pdf", "Report.pdf", "Report.pdf"},
        {"/c/d/.x_Report.pdf", "Report.pdf", "Report.pdf", "Report.pdf"},
        // An item really named ".x_profile" is stored as ".x_.x_profile": the prefix goes once.
        {"/c/d/.x_.x_profile", ".x_profile", ".x_profile", ".x_profile"},
        {"/c/d/.x_.x_profile", ".x_.x_profile", ".x_profile", ".x_profile"},
        {"/c/d/.x_.x_.x_a", ".x_.x_a", ".x_.x_a", ".x_.x_a"},
        {"/c/2026-12-07 15_42 +0000", "2026-12-07 15:42 +0000", "2026-12-07 15:42 +0000", "2026-12-07 15:42 +0000"},
        {"/c/not a date", std::nullopt, "not a date", "not a date"},
        {"/c/d/.x_", ".x_", "", ".x_"}, // no visible form of its own: kept as stored
        {"/c/d/.x_..", "..", "..", ".x_.."},
    };
    for (const Named &n : names)
        EXPECT_EQ(named(n.path, n.itemName, n.representation), n.recovered) << n.path << " " << n.itemName.value_or("-");
}

TEST_F(CacheRecoveryTest, uniqueFileNameInFolderTakesTheFirstFreeSuffix) {
    const std::string drop = dir.makeDir("drop");
    dir.writeFile("drop/Report.pdf", "mine");
    dir.writeFile("drop/Report-1.pdf", "mine too");

    std::optional<std::string> name;
    sys::Fd fd = uniqueFileNameInFolder(drop, "Report", "pdf", &name, DeleteAfterwards::Yes);
    EXPECT_FALSE(fd.valid());
    EXPECT_EQ(name, "Report-2.pdf");
    EXPECT_FALSE(exists(drop + "/Report-2.pdf")) << "the reserved file is deleted afterwards";
    EXPECT_EQ(readFileText(drop + "/Report.pdf"), "mine");

    fd = uniqueFileNameInFolder(drop, "Report", "pdf", &name, DeleteAfterwards::No);
    EXPECT_TRUE(fd.valid());
    EXPECT_EQ(name, "Report-2.pdf");
    EXPECT_TRUE(exists(drop + "/Report-2.pdf"));

    fd = uniqueFileNameInFolder(drop, "Makefile", "", &name, DeleteAfterwards::No);
    EXPECT_EQ(name, "Makefile") << "no extension, no dot";

    // A folder that is not there: no handle; the name tried is still handed back when the file
    // was to be deleted anyway, and nothing is removed.
    fd = uniqueFileNameInFolder(drop + "/missing", "Report", "pdf", &name, DeleteAfterwards::No);
    EXPECT_FALSE(fd.valid());
    EXPECT_FALSE(name.has_value());
    fd = uniqueFileNameInFolder(drop + "/missing", "Report", "pdf", &name, DeleteAfterwards::Yes);
    EXPECT_EQ(name, "Report.pdf");
}

TEST_F(CacheRecoveryTest, recoversASingleFileUnderItsVisibleName) {
    dir.writeFile("cache/" + sys::lastPathComponent(date) + "/.x_Report.pdf", "report body");
    auto items = recoverItems({row(".x_Report.pdf")}, dir / "Rescue");
    ASSERT_EQ(items.size(), 1u);
    EXPECT_TRUE(items[0].status) << items[0].status.message();
    EXPECT_FALSE(items[0].isFolder);
    EXPECT_EQ(readFileText(dir / "Rescue/Report.pdf"), "report body");
    EXPECT_EQ(listNames(dir / "Rescue"), std::vector<std::string>{"Report.pdf"});
    EXPECT_EQ(events(), std::vector<std::string>{"copied Report.pdf"});
    EXPECT_TRUE(exists(date + "/.x_Report.pdf")) << "recovery copies, the cache keeps its item";
}

TEST_F(CacheRecoveryTest, recoversFilesAtOnceAndFoldersThroughWorkers) {
    dir.writeFile("cache/" + sys::lastPathComponent(date) + "/.x_a.txt", "a");
    dir.writeFile("cache/" + sys::lastPathComponent(date) + "/.x_Pics/.x_p1.jpg", "p1");
    dir.writeFile("cache/" + sys::lastPathComponent(date) + "/.x_Pics/.x_sub/.x_p2.jpg", "p2");
    dir.writeFile("cache/" + sys::lastPathComponent(date) + "/.x_Pics/.Spotlight-V100/store", "index");
    test::NotificationRecorder<CopyFileUtil> recorder(center);

    // The folder first: the file's outcome still comes before the folder's, as soon as it is
    // copied.
    auto items = recoverItems({row(".x_Pics"), row(".x_a.txt")}, dir / "Rescue");
    ASSERT_EQ(items.size(), 2u);
    EXPECT_EQ(events(), (std::vector<std::string>{"copied a.txt", "copied Pics"}));
    EXPECT_EQ(readFileText(dir / "Rescue/a.txt"), "a");
    EXPECT_TRUE(items[0].isFolder);
    EXPECT_TRUE(items[0].status) << items[0].status.message();
    EXPECT_TRUE(items[0].failures.empty());
    EXPECT_FALSE(items[1].isFolder);
    EXPECT_EQ(readFileText(dir / "Rescue/Pics/p1.jpg"), "p1");
    EXPECT_EQ(readFileText(dir / "Rescue/Pics/sub/p2.jpg"), "p2");
    EXPECT_FALSE(exists(dir / "Rescue/Pics/.Spotlight-V100"));
    EXPECT_EQ(recorder.count(CopyFileUtil::kThreadFinishedNotification), 1u) << "one worker, for the folder";
    EXPECT_EQ(recorder.count(CopyFileUtil::kErrorNotification), 0u);
}

TEST_F(CacheRecoveryTest, aDayRowBecomesAFolderNamedAfterItsDate) {
    dir.writeFile("cache/" + sys::lastPathComponent(date) + "/.x_a", "a");
    dir.writeFile("cache/" + sys::lastPathComponent(date) + "/.x_dir/.x_b", "b");
    auto st = test::lstatOf(date);
    ASSERT_TRUE(st);
    BrowserItem day = makeDayRow(cache, sys::lastPathComponent(date), *st, FolderSize::Skip);
    ASSERT_TRUE(day.itemName);

    auto items = recoverItems({day}, dir / "Rescue");
    const std::string restored = dir / ("Rescue/" + *day.itemName);
    EXPECT_EQ(items.at(0).target, restored);
    EXPECT_EQ(readFileText(restored + "/a"), "a");
    EXPECT_EQ(readFileText(restored + "/dir/b"), "b");
}

TEST_F(CacheRecoveryTest, neverReplacesWhatTheDestinationHolds) {
    const std::string dateName = sys::lastPathComponent(date);
    dir.writeFile("cache/" + dateName + "/.x_a.txt", "archived a");
    dir.writeFile("cache/" + dateName + "/.x_Pics/.x_p1.jpg", "archived p1");
    dir.writeFile("cache/" + dateName + "/.x_Pics/.x_p2.jpg", "archived p2");
    dir.writeFile("Rescue/a.txt", "newer a");
    dir.writeFile("Rescue/Pics/p1.jpg", "newer p1");
    dir.writeFile("Rescue/Pics/keep.txt", "keep");

    auto items = recoverItems({row(".x_a.txt"), row(".x_Pics")}, dir / "Rescue");
    EXPECT_EQ(items.at(0).status.code(), EEXIST);
    EXPECT_EQ(events().at(0), "failed a.txt");
    EXPECT_EQ(readFileText(dir / "Rescue/a.txt"), "newer a");
    // The folder merges: new entries come in, existing ones stay as they were.
    EXPECT_EQ(readFileText(dir / "Rescue/Pics/p1.jpg"), "newer p1");
    EXPECT_EQ(readFileText(dir / "Rescue/Pics/p2.jpg"), "archived p2");
    EXPECT_EQ(readFileText(dir / "Rescue/Pics/keep.txt"), "keep");
}

TEST_F(CacheRecoveryTest, namesThatReallyBeginWithTheHiddenPrefixKeepIt) {
    const std::string dateName = sys::lastPathComponent(date);
    dir.writeFile("cache/" + dateName + "/.x_.x_profile", "profile");
    dir.writeFile("cache/" + dateName + "/.x_.x_config/.x_.x_inner", "inner");
    dir.writeFile("cache/" + dateName + "/.x_.x_config/.x_plain", "plain");
    auto items = recoverItems({row(".x_.x_profile"), row(".x_.x_config")}, dir / "Rescue");
    EXPECT_EQ(listNames(dir / "Rescue"), (std::vector<std::string>{".x_config", ".x_profile"}));
    EXPECT_EQ(listNames(dir / "Rescue/.x_config"), (std::vector<std::string>{".x_inner", "plain"}));
    EXPECT_EQ(readFileText(dir / "Rescue/.x_profile"), "profile");
    EXPECT_EQ(readFileText(dir / "Rescue/.x_config/.x_inner"), "inner");
}

// Nothing the destination holds is replaced, and each thing left out says why: a file whose
// name is taken, a folder whose name a file takes (no worker starts, nothing is written), and
// what a merged folder already held.
TEST_F(CacheRecoveryTest, whatIsNotRecoveredIsReportedWithItsReason) {
    const std::string dateName = sys::lastPathComponent(date);
    dir.writeFile("cache/" + dateName + "/.x_a.txt", "archived a");
    dir.writeFile("cache/" + dateName + "/.x_Pics/.x_p1.jpg", "archived p1");
    dir.writeFile("cache/" + dateName + "/.x_Docs/.x_d1", "archived d1");
    dir.writeFile("cache/" + dateName + "/.x_Docs/.x_d2", "archived d2");
    dir.writeFile("Rescue/a.txt", "mine");
    dir.writeFile("Rescue/Pics", "a file named like the folder");
    dir.writeFile("Rescue/Docs/d1", "my d1");

    test::NotificationRecorder<CopyFileUtil> recorder(center);
    auto items = recoverItems({row(".x_a.txt"), row(".x_Pics"), row(".x_Docs")}, dir / "Rescue");
    ASSERT_EQ(items.size(), 3u);
    EXPECT_EQ(items[0].status.code(), EEXIST);
    EXPECT_EQ(items[0].status.message(), dir / "Rescue/a.txt" + ": already exists");
    EXPECT_EQ(items[1].status.code(), EEXIST);
    EXPECT_EQ(items[1].status.message(), dir / "Rescue/Pics" + ": already exists and is not a folder");
    EXPECT_EQ(recorder.count(CopyFileUtil::kThreadFinishedNotification), 1u) << "no worker for Pics, one for Docs";
    EXPECT_EQ(events(), (std::vector<std::string>{"failed a.txt", "failed Pics", "copied Docs"}));
    ASSERT_TRUE(items[2].status);
    const std::vector<CopyFailure> leftOut = items[2].failures;
    ASSERT_EQ(leftOut.size(), 1u);
    EXPECT_EQ(leftOut[0].source, date + "/.x_Docs/.x_d1");
    EXPECT_EQ(leftOut[0].status.message(), dir / "Rescue/Docs/d1" + ": already exists");

    EXPECT_EQ(readFileText(dir / "Rescue/a.txt"), "mine");
    EXPECT_EQ(readFileText(dir / "Rescue/Pics"), "a file named like the folder");
    EXPECT_EQ(readFileText(dir / "Rescue/Docs/d1"), "my d1");
    EXPECT_EQ(readFileText(dir / "Rescue/Docs/d2"), "archived d2");
    EXPECT_EQ(listNames(dir / "Rescue"), (std::vector<std::string>{"Docs", "Pics", "a.txt"}));
}

// A 64 MiB file of which only a few blocks hold data takes about that room once recovered,
// alone and inside a folder, and reads back the same.
TEST_F(CacheRecoveryTest, sparseFilesStaySparse) {
    constexpr off_t kSize = 64 << 20;
    const std::string dateName = sys::lastPathComponent(date);
    dir.makeDir("cache/" + dateName + "/.x_Disk");
    for (const std::string &relative : {std::string("/.x_disk.img"), std::string("/.x_Disk/.x_disk.img")}) {
        const std::string path = date + relative;
        const int fd = ::open(path.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
        ASSERT_GE(fd, 0) << path;
        ASSERT_EQ(::pwrite(fd, "head", 4, 0), 4);
        ASSERT_EQ(::pwrite(fd, "middle", 6, kSize / 2), 6);
        ASSERT_EQ(::pwrite(fd, "tail", 4, kSize - 4), 4);
        ASSERT_EQ(::close(fd), 0);
    }
    auto original = test::lstatOf(date + "/.x_disk.img");
    ASSERT_TRUE(original);
    if (static_cast<uint64_t>(original->st_blocks) * 512 >= (1u << 20))
        GTEST_SKIP() << "this file system keeps no holes";

    auto items = recoverItems({row(".x_disk.img"), row(".x_Disk")}, dir / "Rescue");
    ASSERT_TRUE(items.at(0).status) << items[0].status.message();
    EXPECT_TRUE(items.at(1).status) << items[1].status.message();
    EXPECT_TRUE(items.at(1).failures.empty());
    const std::string data = readFileText(date + "/.x_disk.img");
    ASSERT_EQ(data.size(), static_cast<size_t>(kSize));
    for (const char *copy : {"Rescue/disk.img", "Rescue/Disk/disk.img"}) {
        auto st = test::lstatOf(dir / copy);
        ASSERT_TRUE(st) << copy;
        EXPECT_EQ(st->st_size, kSize) << copy;
        EXPECT_LT(static_cast<uint64_t>(st->st_blocks) * 512, 1u << 20) << copy << " takes the room of its holes";
        EXPECT_TRUE(readFileText(dir / copy) == data) << copy << " differs from the archive";
    }
}

TEST_F(CacheRecoveryTest, vanishedEntriesAndCopiesIntoThemselvesFail) {
    dir.writeFile("cache/" + sys::lastPathComponent(date) + "/.x_dir/.x_b", "b");
    test::NotificationRecorder<CopyFileUtil> recorder(center);

    auto items = recoverItems({row(".x_gone.txt")}, dir / "Rescue");
    ASSERT_EQ(items.size(), 1u);
    EXPECT_EQ(items[0].status.code(), ENOENT);
    EXPECT_EQ(events(), std::vector<std::string>{"failed gone.txt"});

    // A folder recovered into itself would copy its copy again, without end.
    items = recoverItems({row(".x_dir")}, date + "/.x_dir/inside");
    ASSERT_EQ(items.size(), 1u);
    EXPECT_FALSE(items[0].status);
    EXPECT_EQ(recorder.posted().size(), 0u) << "no worker started";
}

TEST_F(CacheRecoveryTest, dropPicksFreeNamesAndAnswersTheStoredNames) {
    const std::string dateName = sys::lastPathComponent(date);
    dir.writeFile("cache/" + dateName + "/.x_Report.pdf", "archived report");
    dir.writeFile("cache/" + dateName + "/.x_Pics/.x_p1.jpg", "p1");
    const std::string drop = dir.makeDir("drop");
    dir.writeFile("drop/Report.pdf", "one");
    dir.writeFile("drop/Report-1.pdf", "two");
    dir.makeDir("drop/Pics");
    FakeProtection protection(false);

    const std::vector<BrowserItem> rows = {row(".x_Report.pdf"), row(".x_gone"), row(".x_Pics")};
    auto items = run(CacheRecovery::dropItems(rows, drop, protection, &center));
    EXPECT_EQ(CacheRecovery::promisedNames(rows), (std::vector<std::string>{".x_Report.pdf", ".x_gone", ".x_Pics"}));
    EXPECT_EQ(readFileText(drop + "/Report-2.pdf"), "archived report");
    EXPECT_EQ(readFileText(drop + "/Report.pdf"), "one");
    EXPECT_EQ(readFileText(drop + "/Pics-1/p1.jpg"), "p1");
    EXPECT_EQ(listNames(drop + "/Pics"), std::vector<std::string>{});
    ASSERT_EQ(items.size(), 3u);
    EXPECT_EQ(items[1].status.code(), ENOENT) << "the vanished row gets nothing";
    EXPECT_EQ(listNames(drop), (std::vector<std::string>{"Pics", "Pics-1", "Report-1.pdf", "Report-2.pdf", "Report.pdf"}));
    EXPECT_TRUE(protection.calls.empty()) << "protection that was off stays off";
}

TEST_F(CacheRecoveryTest, dropStopsRunningProtectionAroundTheCopies) {
    dir.writeFile("cache/" + sys::lastPathComponent(date) + "/.x_Report.pdf", "archived report");
    const std::string drop = dir.makeDir("drop");
    FakeProtection protection(true);
    std::vector<bool> copiedAtCall;
    protection.onCall = [&] { copiedAtCall.push_back(exists(drop + "/Report.pdf")); };

    auto items = run(CacheRecovery::dropItems({row(".x_Report.pdf")}, drop, protection, &center));
    EXPECT_TRUE(items.at(0).status) << items[0].status.message();
    EXPECT_EQ(protection.calls, (std::vector<std::string>{"stop", "start"}));
    EXPECT_EQ(copiedAtCall, (std::vector<bool>{false, true}));
    EXPECT_TRUE(protection.running);
}

// A drop stops protection on the recovery's thread: the wait for the daemons never holds the
// caller (the file manager's drop callback).
TEST_F(CacheRecoveryTest, dropWaitsForTheDaemonsOffTheCallersThread) {
    dir.writeFile("cache/" + sys::lastPathComponent(date) + "/.x_Report.pdf", "archived report");
    const std::string drop = dir.makeDir("drop");
    FakeProtection protection(true);
    std::mutex mutex;
    std::condition_variable released;
    bool release = false;
    protection.onCall = [&] {
        if (protection.calls.back() != "stop")
            return;
        std::unique_lock lock(mutex);
        released.wait(lock, [&] { return release; });
    };
    auto job = CacheRecovery::dropItems({row(".x_Report.pdf")}, drop, protection, &center);
    job->startThread();
    EXPECT_FALSE(job->hasEnded());
    EXPECT_FALSE(exists(drop + "/Report.pdf")) << "nothing is copied before the daemons have stopped";
    {
        std::lock_guard lock(mutex);
        release = true;
    }
    released.notify_all();
    ASSERT_TRUE(job->waitFor(kTimeout));
    EXPECT_EQ(readFileText(drop + "/Report.pdf"), "archived report");
    EXPECT_EQ(protection.calls, (std::vector<std::string>{"stop", "start"}));
}

// A cancelled recovery stops its workers too, and still gives every row an outcome.
TEST_F(CacheRecoveryTest, aCancelledRecoveryStopsItsWorkersAndAnswersEveryRow) {
    const std::string dateName = sys::lastPathComponent(date);
    for (int i = 0; i < 3000; ++i)
        test::touch(date + "/.x_Big/.x_f" + std::to_string(i));
    dir.writeFile("cache/" + dateName + "/.x_after.txt", "after");
    test::NotificationRecorder<CopyFileUtil> recorder(center);
    auto job = CacheRecovery::recoverItems({row(".x_Big"), row(".x_after.txt")}, dir / "Rescue", &center);
    job->addObserver(outcomes);
    job->startThread();
    job->cancelThread();
    ASSERT_TRUE(job->waitFor(kTimeout));
    const auto items = job->items();
    ASSERT_EQ(items.size(), 2u);
    EXPECT_EQ(outcomes->events.size(), 2u) << "one outcome per row";
    if (job->end() == JobEnd::Finished)
        GTEST_SKIP() << "the recovery ended before it could be cancelled";
    EXPECT_EQ(job->end(), JobEnd::Cancelled);
    for (const ItemOutcome &item : items) {
        if (!item.status) {
            EXPECT_EQ(item.status.code(), ECANCELED) << item.source;
        }
    }
    EXPECT_LT(listNames(dir / "Rescue/Big").size(), 3000u);
    EXPECT_EQ(recorder.count(CopyFileUtil::kErrorNotification), 0u);
}

// A folder nested deeper than any path may name comes back whole, byte for byte, in its
// visible names.
TEST_F(CacheRecoveryTest, aFolderNestedDeeperThanAPathCanNameIsRecoveredWhole) {
    const std::string bottom = std::string(100000, 'b') + "end";
    // Stored as quilletd stores it: every name hidden.
    test::makeDeepFolder(date, ".x_Deep", bottom, ".x_" + test::kDeepLevelName, ".x_bottom.txt");
    auto items = recoverItems({row(".x_Deep")}, dir / "Rescue");
    ASSERT_EQ(items.size(), 1u);
    EXPECT_TRUE(items[0].status) << items[0].status.message();
    EXPECT_EQ(items[0].failures.size(), 0u) << items[0].failures.at(0).status.message();
    EXPECT_TRUE(test::holdsDeepFolder(dir / "Rescue/Deep", test::kDeepLevelName, "bottom.txt", bottom));
}

} // namespace
} // namespace quillet
