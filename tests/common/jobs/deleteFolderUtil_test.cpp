#include "jobs/DeleteFolderUtil.h"

#include "ChildProcess.h"
#include "NotificationRecorder.h"
#include "TestDir.h"

#include <gtest/gtest.h>

#include <fcntl.h>
#include <linux/fs.h>
#include <sys/ioctl.h>
#include <unistd.h>

#include <chrono>
#include <mutex>
#include <thread>
#include <string>
#include <vector>

namespace quillet {
namespace {

using namespace std::chrono_literals;
using test::exists;
using test::isFolder;
using test::listNames;
using test::TestDir;
using quillet::test::setInodeAttributes;

constexpr auto kTimeout = 30s;

using Recorder = quillet::test::NotificationRecorder<DeleteFolderUtil>;

class DeleteFolderUtilTest : public ::testing::Test {
protected:
    std::shared_ptr<DeleteFolderUtil> worker(const std::string &folder, RemoveRoot removeRoot) {
        return DeleteFolderUtil::create(folder, removeRoot, &center);
    }
    /// Starts the job and waits for its end.
    void run(const std::shared_ptr<DeleteFolderUtil> &job) {
        ASSERT_TRUE(job);
        job->startThread();
        ASSERT_TRUE(job->waitFor(kTimeout));
    }
    std::vector<std::string> finishedOnly() { return {DeleteFolderUtil::kThreadFinishedNotification}; }

    TestDir dir;
    NotificationCenter center;
    Recorder recorder{center};
};

TEST_F(DeleteFolderUtilTest, removesEverythingAndTheFolderItself) {
    const std::string date = dir / "cache/2009-03-14 12_00 +0000";
    test::writeData(date + "/.x_a", 100);
    test::writeData(date + "/.x_sub/.x_b", 10);
    test::writeData(date + "/.x_sub/.x_deeper/.x_c", 10);
    dir.makeDir("cache/2009-03-14 12_00 +0000/.x_empty");
    run(worker(date, RemoveRoot::Yes));
    EXPECT_FALSE(exists(date));
    EXPECT_TRUE(isFolder(dir / "cache"));
    EXPECT_EQ(recorder.events(), finishedOnly());
}

TEST_F(DeleteFolderUtilTest, keepsTheFolderEmptyWhenItIsNotToBeRemoved) {
    test::writeData(dir / "root/a", 10);
    test::writeData(dir / "root/sub/b", 10);
    run(worker(dir / "root", RemoveRoot::No));
    EXPECT_TRUE(isFolder(dir / "root"));
    EXPECT_TRUE(listNames(dir / "root").empty());
}

TEST_F(DeleteFolderUtilTest, lockedFoldersAreUnlockedAndRemoved) {
    // A folder without its owner's write bit keeps its entries until unlocked.
    test::writeData(dir / "root/file", 10);
    test::writeData(dir / "root/sub/locked/inner", 10);
    ASSERT_EQ(::chmod((dir / "root/sub/locked").c_str(), 0555), 0);
    ASSERT_EQ(::chmod((dir / "root/sub").c_str(), 0555), 0);
    ASSERT_EQ(::chmod((dir / "root").c_str(), 0555), 0);
    run(worker(dir / "root", RemoveRoot::Yes));
    EXPECT_FALSE(exists(dir / "root"));
}

TEST_F(DeleteFolderUtilTest, immutableAndAppendOnlyItemsAreUnlockedAndRemoved) {
    const std::string date = dir / "2009-03-14 12_00 +0000";
    test::writeData(date + "/.x_locked", 10);
    test::writeData(date + "/.x_sub/.x_lockedToo", 10);
    test::writeData(date + "/.x_appendOnly", 10);
    if (!setInodeAttributes(date + "/.x_locked", FS_IMMUTABLE_FL))
        GTEST_SKIP() << "cannot set the immutable attribute here";
    bool permitted = setInodeAttributes(date + "/.x_sub/.x_lockedToo", FS_IMMUTABLE_FL) &&
                     setInodeAttributes(date + "/.x_sub", FS_IMMUTABLE_FL) &&
                     setInodeAttributes(date + "/.x_appendOnly", FS_APPEND_FL);
    if (!permitted) {
        for (const char *name : {"/.x_locked", "/.x_sub/.x_lockedToo", "/.x_sub", "/.x_appendOnly"})
            setInodeAttributes(date + name, 0, FS_IMMUTABLE_FL | FS_APPEND_FL);
        GTEST_SKIP() << "cannot set the immutable or append-only attribute here";
    }
    run(worker(date, RemoveRoot::Yes));
    EXPECT_FALSE(exists(date));
    EXPECT_EQ(recorder.events(), finishedOnly());
}

TEST_F(DeleteFolderUtilTest, progressCountsRemovedFiles) {
    test::writeData(dir / "root/a", 100);
    test::writeData(dir / "root/b", 100);
    auto job = worker(dir / "root", RemoveRoot::No);
    ASSERT_TRUE(job);
    job->startThread();
    ASSERT_TRUE(job->waitFor(kTimeout));
    EXPECT_DOUBLE_EQ(job->progress(), 100.0);
}

TEST_F(DeleteFolderUtilTest, progressCountsWhatRemovedFoldersHeld) {
    test::writeData(dir / "root/2009-03-14 12_00 +0000/.x_a", 100);
    test::writeData(dir / "root/2009-03-14 12_00 +0000/.x_sub/.x_b", 100);
    test::writeData(dir / "root/c", 200);
    auto job = worker(dir / "root", RemoveRoot::No);
    ASSERT_TRUE(job);
    job->startThread();
    ASSERT_TRUE(job->waitFor(kTimeout));
    EXPECT_DOUBLE_EQ(job->progress(), 100.0);
    EXPECT_TRUE(listNames(dir / "root").empty());
}

TEST_F(DeleteFolderUtilTest, folderOfEmptyFilesEndsAtOneHundred) {
    test::touch(dir / "root/a");
    test::touch(dir / "root/b");
    auto job = worker(dir / "root", RemoveRoot::No);
    ASSERT_TRUE(job);
    job->startThread();
    ASSERT_TRUE(job->waitFor(kTimeout));
    EXPECT_TRUE(listNames(dir / "root").empty());
    // A size of 0 is all done, never a division by zero.
    EXPECT_DOUBLE_EQ(job->progress(), 100.0);
    EXPECT_EQ(recorder.events(), finishedOnly());
}

TEST_F(DeleteFolderUtilTest, danglingLinkIsLeftToTheRemovalOfTheFolder) {
    dir.writeFile("keep/a", "a");
    ASSERT_EQ(::symlink("nowhere", (dir / "keep/dangling").c_str()), 0);
    run(worker(dir / "keep", RemoveRoot::No));
    EXPECT_EQ(listNames(dir / "keep"), std::vector<std::string>{"dangling"});
}

TEST_F(DeleteFolderUtilTest, danglingLinkGoesWithTheFolder) {
    dir.writeFile("root/a", "a");
    ASSERT_EQ(::symlink("nowhere", (dir / "root/dangling").c_str()), 0);
    run(worker(dir / "root", RemoveRoot::Yes));
    EXPECT_FALSE(exists(dir / "root"));
}

TEST_F(DeleteFolderUtilTest, linksToOutsideItemsAreRemovedAsLinks) {
    dir.writeFile("outside/folder/secret", "s");
    dir.writeFile("outside/file", "f");
    dir.makeDir("root/sub");
    ASSERT_EQ(::symlink((dir / "outside/folder").c_str(), (dir / "root/toFolder").c_str()), 0);
    ASSERT_EQ(::symlink((dir / "outside/file").c_str(), (dir / "root/toFile").c_str()), 0);
    ASSERT_EQ(::symlink((dir / "outside/folder").c_str(), (dir / "root/sub/toFolder").c_str()), 0);
    run(worker(dir / "root", RemoveRoot::No));

    EXPECT_TRUE(listNames(dir / "root").empty());
    EXPECT_EQ(listNames(dir / "outside/folder"), std::vector<std::string>{"secret"});
    EXPECT_EQ(test::readFileText(dir / "outside/file"), "f");
}

TEST_F(DeleteFolderUtilTest, aFolderThatIsALinkIsRemovedAsALink) {
    dir.writeFile("outside/secret", "s");
    ASSERT_EQ(::symlink((dir / "outside").c_str(), (dir / "root").c_str()), 0);
    run(worker(dir / "root", RemoveRoot::Yes));
    EXPECT_FALSE(exists(dir / "root"));
    EXPECT_EQ(listNames(dir / "outside"), std::vector<std::string>{"secret"});
}

TEST_F(DeleteFolderUtilTest, missingFolderPostsOnlyTheError) {
    auto job = worker(dir / "gone", RemoveRoot::Yes);
    ASSERT_TRUE(job);
    job->startThread();
    ASSERT_TRUE(job->waitFor(kTimeout));
    EXPECT_EQ(recorder.events(), std::vector<std::string>{DeleteFolderUtil::kErrorNotification});
    EXPECT_EQ(recorder.posted().back().job, job->id());
    EXPECT_TRUE(job->isCancelled());
}

TEST_F(DeleteFolderUtilTest, cancelPostsCancelledAtOnceAndFinishedOnceUnwound) {
    constexpr int kFiles = 3000;
    for (int i = 0; i < kFiles; ++i)
        test::touch(dir / ("root/f" + std::to_string(i)));
    auto job = worker(dir / "root", RemoveRoot::Yes);
    ASSERT_TRUE(job);
    job->startThread();
    job->cancelThread();
    ASSERT_GE(recorder.count(DeleteFolderUtil::kCancelledNotification), 1u);
    const bool endedFirst = recorder.count(DeleteFolderUtil::kThreadFinishedNotification) != 0;
    ASSERT_TRUE(job->waitFor(kTimeout));
    EXPECT_EQ(recorder.count(DeleteFolderUtil::kThreadFinishedNotification), 1u);
    if (endedFirst)
        GTEST_SKIP() << "the worker ended before it could be cancelled";
    EXPECT_EQ(recorder.events(), (std::vector<std::string>{DeleteFolderUtil::kCancelledNotification,
                                                           DeleteFolderUtil::kThreadFinishedNotification}));
    // What was removed stays removed; the rest and the folder stay.
    EXPECT_TRUE(isFolder(dir / "root"));
    EXPECT_GT(listNames(dir / "root").size(), 0u);
}

TEST_F(DeleteFolderUtilTest, pauseHoldsTheWorkerWhileProgressKeepsBeingReported) {
    constexpr int kFiles = 3000;
    for (int i = 0; i < kFiles; ++i)
        test::writeData(dir / ("root/f" + std::to_string(i)), 1);
    auto job = worker(dir / "root", RemoveRoot::Yes);
    ASSERT_TRUE(job);
    job->startThread();
    job->pauseThread();
    EXPECT_EQ(recorder.events(), std::vector<std::string>{DeleteFolderUtil::kThreadPausedNotification});
    if (recorder.count(DeleteFolderUtil::kThreadFinishedNotification) != 0)
        GTEST_SKIP() << "the worker ended before it could be paused";

    ASSERT_TRUE(test::waitFor([&] { return recorder.count(DeleteFolderUtil::kStatsNotification) >= 3; }, kTimeout));
    const size_t left = listNames(dir / "root").size();
    ASSERT_TRUE(test::waitFor([&] { return recorder.count(DeleteFolderUtil::kStatsNotification) >= 6; }, kTimeout));
    EXPECT_EQ(listNames(dir / "root").size(), left);
    EXPECT_GT(left, 0u);
    double last = -1;
    for (const auto &posted : recorder.posted())
        if (posted.name == DeleteFolderUtil::kStatsNotification)
            last = posted.value;
    EXPECT_DOUBLE_EQ(last, static_cast<double>(kFiles - left) * 100.0 / kFiles);

    job->continueThread();
    ASSERT_TRUE(job->waitFor(kTimeout));
    EXPECT_FALSE(exists(dir / "root"));
    EXPECT_EQ(recorder.events(), (std::vector<std::string>{DeleteFolderUtil::kThreadPausedNotification,
                                                           DeleteFolderUtil::kThreadFinishedNotification}));
}

TEST(NotificationCenterTest, observersGetTheirNameOnlyOnThePostingThreadUntilRemoved) {
    NotificationCenter center;
    std::vector<std::string> seen;
    std::thread::id thread;
    auto token = center.addObserver("a", [&](const Notification &n) {
        seen.push_back(n.name + ":" + std::to_string(*n.objectAs<int>()));
        thread = std::this_thread::get_id();
    });
    {
        ScopedObserver other(center, "b", [&](const Notification &n) { seen.push_back(n.name); });
        std::thread([&] { center.post("a", 1); }).join();
        EXPECT_NE(thread, std::this_thread::get_id());
        center.post("b");
        center.post("c", 3);
    }
    center.post("b");
    center.removeObserver(token);
    center.post("a", 2);
    EXPECT_EQ(seen, (std::vector<std::string>{"a:1", "b"}));
}

} // namespace
} // namespace quillet
