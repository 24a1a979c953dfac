#include "jobs/CopyFileUtil.h"

#include "ChildProcess.h"
#include "NotificationRecorder.h"
#include "TestDir.h"
#include "platform/System.h"

#include <gtest/gtest.h>

#include <fcntl.h>
#include <signal.h>
#include <sys/stat.h>
#include <sys/xattr.h>
#include <sys/resource.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <condition_variable>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

namespace quillet {
namespace {

using namespace std::chrono_literals;
using test::exists;
using test::isFolder;
using test::listNames;
using test::TestDir;

/// Generous: the walks are tiny, but a loaded machine may be slow.
constexpr auto kTimeout = 30s;

using Recorder = quillet::test::NotificationRecorder<CopyFileUtil>;

off_t lstatOfSize(const std::string &path) {
    auto st = test::lstatOf(path);
    return st ? st->st_size : -1;
}

class CopyFileUtilTest : public ::testing::Test {
protected:
    std::shared_ptr<CopyFileUtil> worker(CopyThreadType type, CopyFileUtil::Source source, const std::string &dest,
                                         Visibility form) {
        return CopyFileUtil::create(type, std::move(source), dest, form, &center);
    }
    /// Starts the job and waits for its end.
    void run(const std::shared_ptr<CopyFileUtil> &job) {
        ASSERT_TRUE(job);
        job->startThread();
        ASSERT_TRUE(job->waitFor(kTimeout));
    }

    TestDir dir;
    NotificationCenter center;
    Recorder recorder{center};
};

TEST(CopyFileUtilNames, visibleAndHiddenForms) {
    struct Case {
        const char *name;
        bool visible;
        const char *expected;
    } cases[] = {
        {"ab", true, "ab"},        {".x_", true, ""},           {".x_.x_a", true, ".x_a"},
        {".x_a.jpg", true, "a.jpg"}, {"a.jpg", false, ".x_a.jpg"}, {".x_a", false, ".x_.x_a"},
        {".X_a", true, ".X_a"},
    };
    CopyFileUtil plain;
    for (const Case &c : cases)
        EXPECT_EQ(plain.setFileName(c.name, c.visible), c.expected) << c.name << " " << c.visible;
}

TEST_F(CopyFileUtilTest, recoveryWritesVisibleNamesAtEveryDepth) {
    dir.writeFile(".x_Photos/.x_a.jpg", "aaaa");
    dir.writeFile(".x_Photos/.x_2008/.x_b.jpg", "bb");
    dir.writeFile(".x_Photos/.x_2008/.x_deep/.x_deeper/.x_c.txt", "c");
    run(worker(CopyThreadType::Copy, dir / ".x_Photos", dir / "out/Photos", Visibility::Visible));

    EXPECT_EQ(listNames(dir / "out/Photos"), (std::vector<std::string>{"2008", "a.jpg"}));
    EXPECT_EQ(test::readFileText(dir / "out/Photos/a.jpg"), "aaaa");
    EXPECT_EQ(test::readFileText(dir / "out/Photos/2008/b.jpg"), "bb");
    EXPECT_EQ(test::readFileText(dir / "out/Photos/2008/deep/deeper/c.txt"), "c");
    // A copy leaves the source alone.
    EXPECT_TRUE(exists(dir / ".x_Photos/.x_2008/.x_b.jpg"));
    EXPECT_EQ(recorder.events(), std::vector<std::string>{CopyFileUtil::kThreadFinishedNotification});
}

TEST_F(CopyFileUtilTest, invisibleNamesAreWrittenHiddenAtEveryDepth) {
    dir.writeFile("Photos/a.jpg", "a");
    dir.writeFile("Photos/2008/b.jpg", "b");
    dir.writeFile("Photos/2008/.x_c/d", "d");
    test::touch(dir / "Cache/.x_old");
    run(worker(CopyThreadType::Copy, dir / "Photos", dir / "Cache", Visibility::Hidden));

    EXPECT_EQ(listNames(dir / "Cache"), (std::vector<std::string>{".x_2008", ".x_a.jpg", ".x_old"}));
    EXPECT_EQ(listNames(dir / "Cache/.x_2008"), (std::vector<std::string>{".x_.x_c", ".x_b.jpg"}));
    EXPECT_TRUE(exists(dir / "Cache/.x_2008/.x_.x_c/.x_d"));
}

TEST_F(CopyFileUtilTest, namesWithoutAVisibleFormOfTheirOwnAreNotWritten) {
    dir.writeFile("src/.x_../escaped", "e");
    dir.writeFile("src/.x_./merged", "m");
    dir.writeFile("src/.x_/merged", "m");
    dir.writeFile("src/sub/.x_kept", "k");
    dir.makeDir("out");
    run(worker(CopyThreadType::Copy, dir / "src", dir / "out/dst", Visibility::Visible));
    EXPECT_EQ(listNames(dir / "out"), std::vector<std::string>{"dst"});
    EXPECT_EQ(listNames(dir / "out/dst"), std::vector<std::string>{"sub"});
    EXPECT_TRUE(exists(dir / "out/dst/sub/kept"));
}

TEST_F(CopyFileUtilTest, spotlightFoldersAreSkippedButNotShorterNamesOrFiles) {
    dir.writeFile("src/.Spotlight-V100/store.db", "x");
    dir.writeFile("src/.Spotlight/store.db", "x");
    dir.writeFile("src/.Spotligh/kept", "x");
    dir.writeFile("src/.Spotlight-file", "x");
    dir.writeFile("src/sub/.Spotlight-V100/store.db", "x");
    dir.writeFile("src/sub/kept", "x");
    run(worker(CopyThreadType::Copy, dir / "src", dir / "dst", Visibility::Visible));

    EXPECT_EQ(listNames(dir / "dst"), (std::vector<std::string>{".Spotligh", ".Spotlight-file", "sub"}));
    EXPECT_EQ(listNames(dir / "dst/sub"), std::vector<std::string>{"kept"});
}

TEST_F(CopyFileUtilTest, progressCountsWhatTheDestinationHeldAndPassesOneHundred) {
    test::writeData(dir / "src/a", 10);
    test::writeData(dir / "dst/already", 50);
    auto job = worker(CopyThreadType::Copy, dir / "src", dir / "dst", Visibility::Visible);
    ASSERT_TRUE(job);
    job->startThread();
    ASSERT_TRUE(job->waitFor(kTimeout));
    // (50 + 10) × 100 / 10: the 50 bytes already there count as done.
    EXPECT_DOUBLE_EQ(job->progress(), 600.0);
    EXPECT_TRUE(job->isCancelled());
}

TEST_F(CopyFileUtilTest, sourceOfEmptyFilesEndsAtOneHundred) {
    test::touch(dir / "src/a");
    auto job = worker(CopyThreadType::Copy, dir / "src", dir / "dst", Visibility::Visible);
    ASSERT_TRUE(job);
    job->startThread();
    ASSERT_TRUE(job->waitFor(kTimeout));
    // A size of 0 is all done, never a division by zero.
    EXPECT_DOUBLE_EQ(job->progress(), 100.0);
    EXPECT_TRUE(exists(dir / "dst/a"));
}

TEST_F(CopyFileUtilTest, existingTargetsAreLeftAlone) {
    dir.writeFile("src/a", "new");
    dir.writeFile("src/b", "b");
    dir.writeFile("dst/a", "old");
    run(worker(CopyThreadType::Copy, dir / "src", dir / "dst", Visibility::Visible));
    EXPECT_EQ(test::readFileText(dir / "dst/a"), "old");
    EXPECT_EQ(test::readFileText(dir / "dst/b"), "b");
}

/// "source -> target: message" of each failure, in a stable order (copiers of a tree report in
/// the order they meet entries).
std::vector<std::string> describe(std::vector<CopyFailure> failures) {
    std::vector<std::string> lines;
    for (const CopyFailure &failure : failures)
        lines.push_back(failure.source + " -> " + failure.target + ": " + failure.status.message());
    std::sort(lines.begin(), lines.end());
    return lines;
}

// A merge leaves what the destination holds as it is, and says what it left out and why: an
// entry whose name is taken, a folder whose name a file takes (with nothing of what it holds
// written anywhere), an entry that has no name of its own to be written under.
TEST_F(CopyFileUtilTest, everyEntryLeftOutIsReportedWithItsReason) {
    dir.writeFile("src/.x_a", "new a");
    dir.writeFile("src/.x_b", "b");
    dir.writeFile("src/.x_sub/.x_inner", "inner");
    dir.writeFile("src/.x_deep/.x_taken", "archived");
    dir.writeFile("src/.x_deep/.x_free", "free");
    dir.writeFile("src/.x_/lost", "no name");
    dir.writeFile("dst/a", "old a");
    dir.writeFile("dst/sub", "a file where the folder goes");
    dir.writeFile("dst/deep/taken", "mine");
    auto job = worker(CopyThreadType::Copy, dir / "src", dir / "dst", Visibility::Visible);
    run(job);

    EXPECT_EQ(test::readFileText(dir / "dst/a"), "old a");
    EXPECT_EQ(test::readFileText(dir / "dst/b"), "b");
    EXPECT_EQ(test::readFileText(dir / "dst/sub"), "a file where the folder goes");
    EXPECT_EQ(test::readFileText(dir / "dst/deep/taken"), "mine");
    EXPECT_EQ(test::readFileText(dir / "dst/deep/free"), "free");
    EXPECT_EQ(listNames(dir / "dst"), (std::vector<std::string>{"a", "b", "deep", "sub"}));
    EXPECT_EQ(describe(job->failures()),
              (std::vector<std::string>{
                  dir / "src/.x_" + " -> " + dir / "dst" + ": " + dir / "src/.x_" +
                      ": has no name of its own to be written under",
                  dir / "src/.x_a" + " -> " + dir / "dst/a" + ": " + dir / "dst/a" + ": already exists",
                  dir / "src/.x_deep/.x_taken" + " -> " + dir / "dst/deep/taken" + ": " + dir / "dst/deep/taken" +
                      ": already exists",
                  dir / "src/.x_sub" + " -> " + dir / "dst/sub" + ": " + dir / "dst/sub" +
                      ": already exists and is not a folder",
              }));
    for (const CopyFailure &failure : job->failures())
        EXPECT_EQ(failure.status.code(), failure.source.ends_with("/.x_") ? EINVAL : EEXIST) << failure.source;
    EXPECT_EQ(recorder.events(), std::vector<std::string>{CopyFileUtil::kThreadFinishedNotification});
}

TEST_F(CopyFileUtilTest, aDestinationTakenByAFileGetsNothing) {
    dir.writeFile("src/.x_a", "a");
    dir.writeFile("out/Pics", "a file");
    ASSERT_EQ(::symlink((dir / "elsewhere").c_str(), (dir / "out/Link").c_str()), 0);
    dir.makeDir("elsewhere");
    for (const char *name : {"Pics", "Link"}) {
        SCOPED_TRACE(name);
        Recorder events(center);
        auto job = worker(CopyThreadType::Copy, dir / "src", dir / "out" + "/" + name, Visibility::Visible);
        ASSERT_TRUE(job);
        job->startThread();
        ASSERT_TRUE(job->waitFor(kTimeout));
        ASSERT_EQ(job->failures().size(), 1u);
        EXPECT_EQ(job->failures()[0].status.message(), dir / "out" + "/" + name + ": already exists and is not a folder");
    }
    EXPECT_EQ(test::readFileText(dir / "out/Pics"), "a file");
    EXPECT_EQ(listNames(dir / "elsewhere"), std::vector<std::string>{}) << "a link in the way is never followed";
}

// As "cp -a" leaves them: the folders a copy makes take their sources' modification times (set
// once their content is written), modes and extended attributes; a folder that was there is
// merged into and keeps its own. (Access times are the sources' as the copy found them, after
// its own reading: not checked.)
TEST_F(CopyFileUtilTest, createdFoldersKeepTheirSourcesTimesModesAndExtendedAttributes) {
    dir.writeFile(".x_Photos/.x_2008/.x_b.jpg", "bb");
    dir.writeFile(".x_Photos/.x_a.jpg", "aaaa");
    dir.makeDir(".x_Photos/.x_empty");
    dir.writeFile(".x_Photos/.x_merged/.x_new", "new");
    dir.writeFile("out/Merged/keep", "keep");
    const bool xattrs = ::setxattr((dir / ".x_Photos/.x_2008").c_str(), "user.origin", "camera", 6, 0) == 0;
    ASSERT_EQ(::chmod((dir / ".x_Photos/.x_2008").c_str(), 0550), 0); // read-only, and it holds files
    ASSERT_EQ(::chmod((dir / ".x_Photos/.x_empty").c_str(), 0711), 0);
    struct Times {
        const char *source;
        const char *copy;
        time_t modified;
    } times[] = {{".x_Photos", "out/Recovered", 1000000000},
                 {".x_Photos/.x_2008", "out/Recovered/2008", 1100000000},
                 {".x_Photos/.x_empty", "out/Recovered/empty", 1200000000},
                 {".x_Photos/.x_merged", "out/Recovered/merged", 1300000000}};
    for (const Times &t : times) {
        const struct timespec both[2] = {{t.modified, 0}, {t.modified, 123}};
        ASSERT_EQ(::utimensat(AT_FDCWD, (dir / t.source).c_str(), both, AT_SYMLINK_NOFOLLOW), 0) << t.source;
    }

    auto job = worker(CopyThreadType::Copy, dir / ".x_Photos", dir / "out/Recovered", Visibility::Visible);
    run(job);
    EXPECT_EQ(describe(job->failures()), std::vector<std::string>{});
    for (const Times &t : times) {
        auto st = test::lstatOf(dir / t.copy);
        ASSERT_TRUE(st) << t.copy;
        EXPECT_EQ(st->st_mtim.tv_sec, t.modified) << t.copy;
        EXPECT_EQ(st->st_mtim.tv_nsec, 123) << t.copy;
    }
    EXPECT_EQ(test::lstatOf(dir / "out/Recovered/2008")->st_mode & 07777, 0550u);
    EXPECT_EQ(test::lstatOf(dir / "out/Recovered/empty")->st_mode & 07777, 0711u);
    EXPECT_EQ(test::readFileText(dir / "out/Recovered/2008/b.jpg"), "bb");
    EXPECT_EQ(test::readFileText(dir / "out/Recovered/merged/new"), "new");

    // A folder that was there is merged into and is not the copy's to date.
    job = worker(CopyThreadType::Copy, dir / ".x_Photos/.x_merged", dir / "out/Merged", Visibility::Visible);
    run(job);
    EXPECT_EQ(test::readFileText(dir / "out/Merged/new"), "new");
    EXPECT_EQ(test::readFileText(dir / "out/Merged/keep"), "keep");
    EXPECT_NE(test::lstatOf(dir / "out/Merged")->st_mtim.tv_sec, 1300000000);

    if (!xattrs)
        GTEST_SKIP() << "this file system takes no user extended attributes: those were not checked";
    char value[16] = {};
    EXPECT_EQ(::getxattr((dir / "out/Recovered/2008").c_str(), "user.origin", value, sizeof value), 6);
    EXPECT_STREQ(value, "camera");
}

TEST_F(CopyFileUtilTest, aDeepTreeIsCopiedWholeUnderALowDescriptorLimit) {
    // Each level holds a file beside the next folder, so that at some levels the file is
    // listed after the folder and is copied once the folder is done.
    constexpr int kDepth = 60;
    std::string relative = "src";
    for (int level = 0; level < kDepth; ++level) {
        dir.writeFile(relative + "/.x_f" + std::to_string(level), std::to_string(level));
        relative += "/.x_d";
    }
    dir.makeDir(relative);

    // Far fewer descriptors than two per level: a walk that kept its folders open on the way
    // down would run out of them.
    struct rlimit saved {};
    ASSERT_EQ(::getrlimit(RLIMIT_NOFILE, &saved), 0);
    auto open = sys::countDirectoryEntries("/proc/self/fd");
    ASSERT_TRUE(open.ok());
    struct rlimit low = saved;
    low.rlim_cur = std::min<rlim_t>(saved.rlim_cur, *open + 24);
    ASSERT_EQ(::setrlimit(RLIMIT_NOFILE, &low), 0);
    struct Restore {
        rlimit limit;
        ~Restore() { ::setrlimit(RLIMIT_NOFILE, &limit); }
    } restore{saved};
    run(worker(CopyThreadType::Copy, dir / "src", dir / "dst", Visibility::Visible));

    std::string copied = dir / "dst";
    for (int level = 0; level < kDepth; ++level) {
        EXPECT_EQ(test::readFileText(copied + "/f" + std::to_string(level)), std::to_string(level)) << level;
        copied += "/d";
    }
    EXPECT_TRUE(isFolder(copied));
}

TEST_F(CopyFileUtilTest, linksAreCopiedAsLinksAndNeverEntered) {
    dir.writeFile("outside/secret", "s");
    dir.makeDir("src");
    ASSERT_EQ(::symlink((dir / "outside").c_str(), (dir / "src/.x_toFolder").c_str()), 0);
    ASSERT_EQ(::symlink("nowhere", (dir / "src/.x_dangling").c_str()), 0);
    run(worker(CopyThreadType::Copy, dir / "src", dir / "dst", Visibility::Visible));

    auto link = test::lstatOf(dir / "dst/toFolder");
    ASSERT_TRUE(link);
    EXPECT_TRUE(S_ISLNK(link->st_mode));
    auto dangling = test::lstatOf(dir / "dst/dangling");
    ASSERT_TRUE(dangling);
    EXPECT_TRUE(S_ISLNK(dangling->st_mode));
    EXPECT_EQ(listNames(dir / "outside"), std::vector<std::string>{"secret"});
}

TEST_F(CopyFileUtilTest, pauseHoldsTheWorkerWhileProgressKeepsBeingReported) {
    constexpr int kFiles = 3000;
    for (int i = 0; i < kFiles; ++i)
        test::touch(dir / ("src/f" + std::to_string(i)));
    auto job = worker(CopyThreadType::Copy, dir / "src", dir / "dst", Visibility::Visible);
    ASSERT_TRUE(job);
    job->startThread();
    job->pauseThread();
    EXPECT_EQ(recorder.events(), std::vector<std::string>{CopyFileUtil::kThreadPausedNotification});
    if (recorder.count(CopyFileUtil::kThreadFinishedNotification) != 0)
        GTEST_SKIP() << "the worker ended before it could be paused";

    // Progress keeps coming while the worker waits, and the copy stands still.
    ASSERT_TRUE(test::waitFor([&] { return recorder.count(CopyFileUtil::kStatsNotification) >= 3; }, kTimeout));
    const size_t copied = listNames(dir / "dst").size();
    ASSERT_TRUE(test::waitFor([&] { return recorder.count(CopyFileUtil::kStatsNotification) >= 6; }, kTimeout));
    EXPECT_EQ(listNames(dir / "dst").size(), copied);
    EXPECT_LT(copied, size_t{kFiles});
    for (const auto &posted : recorder.posted()) {
        if (posted.name == CopyFileUtil::kStatsNotification) {
            EXPECT_GE(posted.value, 0.0);
        }
    }

    job->continueThread();
    ASSERT_TRUE(job->waitFor(kTimeout));
    EXPECT_EQ(listNames(dir / "dst").size(), size_t{kFiles});
    EXPECT_EQ(recorder.events(), (std::vector<std::string>{CopyFileUtil::kThreadPausedNotification,
                                                           CopyFileUtil::kThreadFinishedNotification}));
    EXPECT_EQ(recorder.count(CopyFileUtil::kStatsNotification), recorder.posted().size() - 2);
}

TEST_F(CopyFileUtilTest, cancelPostsCancelledAtOnceAndFinishedOnceUnwound) {
    constexpr int kFiles = 3000;
    for (int i = 0; i < kFiles; ++i)
        test::touch(dir / ("src/sub/f" + std::to_string(i)));
    auto job = worker(CopyThreadType::Copy, dir / "src", dir / "dst", Visibility::Visible);
    ASSERT_TRUE(job);
    job->startThread();
    job->cancelThread();
    // Posted on this thread before cancelThread returned.
    ASSERT_GE(recorder.count(CopyFileUtil::kCancelledNotification), 1u);
    const bool endedFirst = recorder.count(CopyFileUtil::kThreadFinishedNotification) != 0;
    ASSERT_TRUE(job->waitFor(kTimeout));
    EXPECT_EQ(recorder.count(CopyFileUtil::kThreadFinishedNotification), 1u);
    if (endedFirst)
        GTEST_SKIP() << "the worker ended before it could be cancelled";
    EXPECT_EQ(recorder.events(), (std::vector<std::string>{CopyFileUtil::kCancelledNotification,
                                                           CopyFileUtil::kThreadFinishedNotification}));
    EXPECT_LT(listNames(dir / "dst/sub").size(), size_t{kFiles});
    EXPECT_EQ(recorder.count(CopyFileUtil::kStatsNotification), 0u);
}

/// Files below folder, at any depth.
size_t countFilesBelow(const std::string &folder) {
    size_t count = 0;
    for (const std::string &name : listNames(folder)) {
        const std::string path = folder + "/" + name;
        count += isFolder(path) ? countFilesBelow(path) : 1;
    }
    return count;
}

TEST_F(CopyFileUtilTest, aWideTreeIsCopiedWholeAndProgressEndsAtOneHundred) {
    // Enough folders for every copier to take some, nested two levels.
    for (int folder = 0; folder < 24; ++folder)
        for (int file = 0; file < 20; ++file)
            dir.writeFile(".x_src/.x_f" + std::to_string(folder) + "/.x_g" + std::to_string(folder % 3) + "/.x_" +
                              std::to_string(file),
                          std::to_string(folder * 100 + file));
    auto job = worker(CopyThreadType::Copy, dir / ".x_src", dir / "out/src", Visibility::Visible);
    ASSERT_TRUE(job);
    const std::shared_ptr<CopyFileUtil> kept = job;
    run(std::move(job));

    for (int folder = 0; folder < 24; ++folder)
        for (int file = 0; file < 20; ++file)
            EXPECT_EQ(test::readFileText(dir / ("out/src/f" + std::to_string(folder) + "/g" +
                                                std::to_string(folder % 3) + "/" + std::to_string(file))),
                      std::to_string(folder * 100 + file));
    EXPECT_EQ(countFilesBelow(dir / "out/src"), 24u * 20u);
    EXPECT_DOUBLE_EQ(kept->progress(), 100.0);
    EXPECT_EQ(recorder.events(), std::vector<std::string>{CopyFileUtil::kThreadFinishedNotification});
}

/// src: 30 folders of 100 empty files, enough for every copier to be busy for a while.
void makeWideTree(const TestDir &dir) {
    for (int folder = 0; folder < 30; ++folder)
        for (int file = 0; file < 100; ++file)
            test::touch(dir / ("src/d" + std::to_string(folder) + "/f" + std::to_string(file)));
}

TEST_F(CopyFileUtilTest, pauseHoldsEveryCopierOfAWideTree) {
    makeWideTree(dir);
    auto job = worker(CopyThreadType::Copy, dir / "src", dir / "dst", Visibility::Visible);
    ASSERT_TRUE(job);
    job->startThread();
    job->pauseThread();
    if (recorder.count(CopyFileUtil::kThreadFinishedNotification) != 0)
        GTEST_SKIP() << "the worker ended before it could be paused";

    ASSERT_TRUE(test::waitFor([&] { return recorder.count(CopyFileUtil::kStatsNotification) >= 3; }, kTimeout));
    const size_t copied = countFilesBelow(dir / "dst");
    ASSERT_TRUE(test::waitFor([&] { return recorder.count(CopyFileUtil::kStatsNotification) >= 6; }, kTimeout));
    EXPECT_EQ(countFilesBelow(dir / "dst"), copied);
    EXPECT_LT(copied, size_t{3000});

    job->continueThread();
    ASSERT_TRUE(job->waitFor(kTimeout));
    EXPECT_EQ(countFilesBelow(dir / "dst"), size_t{3000});
    EXPECT_DOUBLE_EQ(job->progress(), 100.0);
    EXPECT_EQ(recorder.events(), (std::vector<std::string>{CopyFileUtil::kThreadPausedNotification,
                                                           CopyFileUtil::kThreadFinishedNotification}));
}

TEST_F(CopyFileUtilTest, cancelStopsEveryCopierOfAWideTree) {
    makeWideTree(dir);
    auto job = worker(CopyThreadType::Copy, dir / "src", dir / "dst", Visibility::Visible);
    ASSERT_TRUE(job);
    job->startThread();
    job->cancelThread();
    const bool endedFirst = recorder.count(CopyFileUtil::kThreadFinishedNotification) != 0;
    ASSERT_TRUE(job->waitFor(kTimeout));
    EXPECT_EQ(recorder.count(CopyFileUtil::kThreadFinishedNotification), 1u);
    if (endedFirst)
        GTEST_SKIP() << "the worker ended before it could be cancelled";
    // Once finished is posted, nothing more is written.
    const size_t copied = countFilesBelow(dir / "dst");
    EXPECT_LT(copied, size_t{3000});
    std::this_thread::sleep_for(200ms);
    EXPECT_EQ(countFilesBelow(dir / "dst"), copied);
}

TEST_F(CopyFileUtilTest, missingSourcePostsOnlyTheError) {
    auto job = worker(CopyThreadType::Copy, dir / "gone", dir / "dst", Visibility::Visible);
    ASSERT_TRUE(job);
    job->startThread();
    ASSERT_TRUE(job->waitFor(kTimeout));
    EXPECT_EQ(recorder.events(), std::vector<std::string>{CopyFileUtil::kErrorNotification});
    EXPECT_TRUE(job->isCancelled());
    EXPECT_FALSE(exists(dir / "dst"));
    const auto posted = recorder.posted();
    EXPECT_EQ(posted.back().job, job->id());
}

TEST_F(CopyFileUtilTest, aListStopsAtItsFirstMissingSource) {
    dir.writeFile("one/a", "1");
    dir.writeFile("three/c", "3");
    run(worker(CopyThreadType::CopyList, std::vector<std::string>{dir / "one", dir / "two", dir / "three"},
               dir / "dst", Visibility::Visible));
    EXPECT_EQ(recorder.events(), std::vector<std::string>{CopyFileUtil::kErrorNotification});
    EXPECT_EQ(listNames(dir / "dst"), std::vector<std::string>{"a"});
}

TEST_F(CopyFileUtilTest, aListIsCopiedInOrderIntoOneDestination) {
    dir.writeFile("one/.x_a", "1");
    dir.writeFile("one/.x_same", "first");
    dir.writeFile("two/.x_b", "2");
    dir.writeFile("two/.x_same", "second");
    run(worker(CopyThreadType::CopyList, std::vector<std::string>{dir / "one", dir / "two"}, dir / "dst",
               Visibility::Visible));
    EXPECT_EQ(listNames(dir / "dst"), (std::vector<std::string>{"a", "b", "same"}));
    EXPECT_EQ(test::readFileText(dir / "dst/same"), "first");
    EXPECT_EQ(recorder.events(), std::vector<std::string>{CopyFileUtil::kThreadFinishedNotification});
}

TEST_F(CopyFileUtilTest, unknownTypeIsCancelledAndStartsNothing) {
    dir.writeFile("src/a", "a");
    auto job = worker(CopyThreadType{7}, dir / "src", dir / "dst", Visibility::Visible);
    ASSERT_TRUE(job);
    job->startThread();
    EXPECT_EQ(recorder.events(), std::vector<std::string>{CopyFileUtil::kCancelledNotification});
    EXPECT_EQ(job->end(), JobEnd::NotStarted);
    EXPECT_TRUE(job->isCancelled());
    // Nothing runs that could still copy: the worker is held by this test alone.
    EXPECT_EQ(job.use_count(), 1);
    EXPECT_FALSE(exists(dir / "dst"));
}

TEST_F(CopyFileUtilTest, aSourceOfTheWrongKindGivesNoWorker) {
    EXPECT_FALSE(worker(CopyThreadType::Copy, std::vector<std::string>{dir / "a"}, dir / "d", Visibility::Visible));
    EXPECT_FALSE(worker(CopyThreadType::Move, std::vector<std::string>{dir / "a"}, dir / "d", Visibility::Visible));
    EXPECT_FALSE(worker(CopyThreadType::CopyList, dir / "a", dir / "d", Visibility::Visible));
    EXPECT_FALSE(worker(CopyThreadType::MoveList, dir / "a", dir / "d", Visibility::Visible));
    EXPECT_TRUE(worker(CopyThreadType::MoveList, std::vector<std::string>{}, dir / "d", Visibility::Visible));
}

TEST_F(CopyFileUtilTest, moveLeavesFilesAtTheLimitAndKeepsTheirFolder) {
    test::writeData(dir / "src/.x_big", 1000);
    test::writeData(dir / "src/.x_small", 999);
    test::writeData(dir / "src/.x_sub/.x_inner", 10);
    auto job = worker(CopyThreadType::Move, dir / "src", dir / "dst", Visibility::Visible);
    ASSERT_TRUE(job);
    job->setSingleFileLimit(1000);
    run(job);

    EXPECT_EQ(listNames(dir / "src"), std::vector<std::string>{".x_big"});
    EXPECT_EQ(listNames(dir / "dst"), (std::vector<std::string>{"small", "sub"}));
    EXPECT_EQ(lstatOfSize(dir / "dst/small"), 999);
    EXPECT_TRUE(exists(dir / "dst/sub/inner"));
    EXPECT_EQ(recorder.events(), std::vector<std::string>{CopyFileUtil::kThreadFinishedNotification});
}

TEST_F(CopyFileUtilTest, moveRemovesEmptiedSourceFoldersAtEveryDepth) {
    test::writeData(dir / "src/.x_a", 5000);
    dir.writeFile("src/.x_sub/.x_deeper/.x_b", "b");
    dir.makeDir("src/.x_empty");
    run(worker(CopyThreadType::Move, dir / "src", dir / "dst", Visibility::Visible));

    EXPECT_FALSE(exists(dir / "src"));
    EXPECT_EQ(listNames(dir / "dst"), (std::vector<std::string>{"a", "empty", "sub"}));
    EXPECT_EQ(test::readFileText(dir / "dst/sub/deeper/b"), "b");
}

TEST_F(CopyFileUtilTest, moveKeepsAFolderWhoseEntryCouldNotGo) {
    dir.writeFile("src/.x_a", "new");
    dir.writeFile("src/.x_sub/.x_b", "b");
    dir.writeFile("dst/a", "old");
    run(worker(CopyThreadType::MoveList, std::vector<std::string>{dir / "src"}, dir / "dst", Visibility::Visible));
    // The target a existed: the source entry stays, and so does its folder.
    EXPECT_EQ(listNames(dir / "src"), std::vector<std::string>{".x_a"});
    EXPECT_EQ(test::readFileText(dir / "dst/a"), "old");
    EXPECT_TRUE(exists(dir / "dst/sub/b"));
}

TEST_F(CopyFileUtilTest, filesWithSeveralNamesInATreeStayOneFileInTheCopy) {
    // One file under three names in three folders (among enough folders for every copier to
    // take some), and a file whose other name lies outside what is copied.
    for (int folder = 0; folder < 12; ++folder)
        dir.writeFile(".x_src/.x_d" + std::to_string(folder) + "/.x_own", std::to_string(folder));
    dir.writeFile(".x_src/.x_d0/.x_shared", "one inode");
    ASSERT_EQ(::link((dir / ".x_src/.x_d0/.x_shared").c_str(), (dir / ".x_src/.x_d5/.x_same").c_str()), 0);
    ASSERT_EQ(::link((dir / ".x_src/.x_d0/.x_shared").c_str(), (dir / ".x_src/.x_d11/.x_again").c_str()), 0);
    dir.writeFile("elsewhere", "outside");
    ASSERT_EQ(::link((dir / "elsewhere").c_str(), (dir / ".x_src/.x_d3/.x_linked-out").c_str()), 0);

    auto job = worker(CopyThreadType::Copy, dir / ".x_src", dir / "out/src", Visibility::Visible);
    ASSERT_TRUE(job);
    const std::shared_ptr<CopyFileUtil> kept = job;
    run(std::move(job));
    EXPECT_TRUE(kept->failures().empty());

    auto first = test::lstatOf(dir / "out/src/d0/shared");
    ASSERT_TRUE(first);
    EXPECT_EQ(first->st_nlink, 3u);
    for (const char *other : {"out/src/d5/same", "out/src/d11/again"}) {
        auto st = test::lstatOf(dir / other);
        ASSERT_TRUE(st) << other;
        EXPECT_EQ(st->st_ino, first->st_ino) << other;
    }
    EXPECT_NE(first->st_ino, test::lstatOf(dir / ".x_src/.x_d0/.x_shared")->st_ino) << "a copy, not the archive";
    EXPECT_EQ(test::readFileText(dir / "out/src/d11/again"), "one inode");
    EXPECT_EQ(test::lstatOf(dir / "out/src/d3/linked-out")->st_nlink, 1u);
    EXPECT_EQ(test::readFileText(dir / "out/src/d3/linked-out"), "outside");
}

/// Opens the deepest of the folders named levelName nested below root, one at a time.
int openDeepest(const std::string &root, const std::string &levelName) {
    int fd = ::open(root.c_str(), O_RDONLY | O_DIRECTORY);
    for (int next; fd >= 0 && (next = ::openat(fd, levelName.c_str(), O_RDONLY | O_DIRECTORY | O_NOFOLLOW)) >= 0;) {
        ::close(fd);
        fd = next;
    }
    return fd;
}

// A tree nested deeper than any path may name is copied and moved whole: the walk goes from
// folder to folder, and a file with two names at the bottom stays one file.
TEST_F(CopyFileUtilTest, aTreeNestedDeeperThanAPathCanNameIsCopiedAndMovedWhole) {
    const std::string level = ".x_" + test::kDeepLevelName;
    const std::string bottom(70000, 'd');
    test::makeDeepFolder(dir.path(), "src", bottom, level, ".x_bottom");
    const int deepest = openDeepest(dir / "src", level);
    ASSERT_GE(deepest, 0);
    ASSERT_EQ(::linkat(deepest, ".x_bottom", deepest, ".x_again", 0), 0);
    ::close(deepest);

    auto copy = worker(CopyThreadType::Copy, dir / "src", dir / "copy", Visibility::Visible);
    run(copy);
    EXPECT_EQ(describe(copy->failures()), std::vector<std::string>{});
    EXPECT_TRUE(test::holdsDeepFolder(dir / "copy", test::kDeepLevelName, "bottom", bottom));
    const int copied = openDeepest(dir / "copy", test::kDeepLevelName);
    ASSERT_GE(copied, 0);
    struct stat first {}, second {};
    EXPECT_EQ(::fstatat(copied, "bottom", &first, AT_SYMLINK_NOFOLLOW), 0);
    EXPECT_EQ(::fstatat(copied, "again", &second, AT_SYMLINK_NOFOLLOW), 0);
    ::close(copied);
    EXPECT_EQ(first.st_ino, second.st_ino) << "the two names stay one file";
    EXPECT_EQ(first.st_nlink, 2u);

    auto move = worker(CopyThreadType::Move, dir / "src", dir / "moved", Visibility::Visible);
    run(move);
    EXPECT_EQ(describe(move->failures()), std::vector<std::string>{});
    EXPECT_TRUE(test::holdsDeepFolder(dir / "moved", test::kDeepLevelName, "bottom", bottom));
    EXPECT_FALSE(exists(dir / "src")) << "every emptied folder went, down to the source itself";
}

/// "index source-name: outcome (failures)" of each item a job reports.
struct Outcomes : JobObserver {
    void itemDone(const ItemOutcome &item) override {
        std::lock_guard lock(mutex);
        lines.push_back(std::to_string(item.index) + " " + sys::lastPathComponent(item.source) + ": " +
                        (item.status ? "ok" : item.status.reason()) + " (" + std::to_string(item.failures.size()) +
                        ")");
    }
    std::mutex mutex;
    std::vector<std::string> lines;
};

// Each source of a list is an item with its own final outcome: what of it was left out, or why
// it was not copied at all; after a missing source the rest of the list is not worked on.
TEST_F(CopyFileUtilTest, eachSourceOfAListHasItsOwnOutcome) {
    dir.writeFile("one/.x_a", "1");
    dir.writeFile("one/.x_taken", "archived");
    dir.writeFile("two/.x_b", "2");
    dir.writeFile("dst/taken", "mine");
    dir.writeFile("four/.x_d", "4");
    auto job = worker(CopyThreadType::CopyList, std::vector<std::string>{dir / "one", dir / "two"}, dir / "dst",
                      Visibility::Visible);
    auto outcomes = std::make_shared<Outcomes>();
    job->addObserver(outcomes);
    run(job);
    EXPECT_EQ(job->end(), JobEnd::Finished);
    EXPECT_EQ(outcomes->lines, (std::vector<std::string>{"0 one: ok (1)", "1 two: ok (0)"}));

    job = worker(CopyThreadType::CopyList, std::vector<std::string>{dir / "two", dir / "three", dir / "four"},
                 dir / "other", Visibility::Visible);
    outcomes = std::make_shared<Outcomes>();
    job->addObserver(outcomes);
    run(job);
    EXPECT_EQ(job->end(), JobEnd::Failed);
    EXPECT_EQ(outcomes->lines, (std::vector<std::string>{"0 two: ok (0)", "1 three: No such file or directory (0)",
                                                         "2 four: not copied (0)"}));
    EXPECT_FALSE(exists(dir / "other/d"));
}

} // namespace
} // namespace quillet
