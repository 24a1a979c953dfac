#include "control/FolderSizeMemo.h"

#include "TestDir.h"

#include <gtest/gtest.h>

#include <fcntl.h>
#include <sys/stat.h>

#include <cstdio>
#include <functional>
#include <string>

using namespace quillet;
using quillet::test::TestDir;

namespace {

// Folders last changed a minute ago: what the memo may trust.
void ageFolder(const std::string &path) {
    struct timespec times[2];
    clock_gettime(CLOCK_REALTIME, &times[0]);
    times[0].tv_sec -= 60;
    times[1] = times[0];
    ASSERT_EQ(utimensat(AT_FDCWD, path.c_str(), times, AT_SYMLINK_NOFOLLOW), 0) << path;
}

class FolderSizeMemoTest : public ::testing::Test {
protected:
    void SetUp() override {
        dir.writeSizedFile("cache/2026-12-08 10_00 +0000/.x_a", 1000);
        dir.writeSizedFile("cache/2026-12-08 10_01 +0000/.x_b", 2000);
        dir.writeSizedFile("cache/2026-12-08 10_01 +0000/.x_folder/deep", 4000);
        settle();
    }
    void settle() {
        ageFolder(dir / "cache/2026-12-08 10_01 +0000/.x_folder");
        ageFolder(dir / "cache/2026-12-08 10_00 +0000");
        ageFolder(dir / "cache/2026-12-08 10_01 +0000");
        ageFolder(dir / "cache");
    }
    TestDir dir;
    FolderSizeMemo memo;
};

} // namespace

TEST_F(FolderSizeMemoTest, anUnchangedFolderIsNotWalkedAgain) {
    const std::string cache = dir / "cache";
    const uint64_t size = memo.folderSize(cache);
    EXPECT_GE(size, 7000u);
    EXPECT_EQ(memo.walks(), 1u);
    EXPECT_EQ(memo.folderSize(cache), size);
    EXPECT_EQ(memo.totalSize({cache}), size);
    EXPECT_EQ(memo.walks(), 1u);
}

TEST_F(FolderSizeMemoTest, whatTheProgramsChangeIsSeenAtOnce) {
    const std::string cache = dir / "cache";
    uint64_t size = memo.folderSize(cache);
    struct Change {
        const char *what;
        std::function<void()> make;
    } changes[] = {
        {"an item archived into a date folder", [&] { dir.writeSizedFile("cache/2026-12-08 10_00 +0000/.x_c", 8000); }},
        {"a new date folder", [&] { dir.writeSizedFile("cache/2026-12-08 10_02 +0000/.x_d", 16000); }},
        {"a date folder removed",
         [&] {
             ASSERT_EQ(std::remove((dir / "cache/2026-12-08 10_02 +0000/.x_d").c_str()), 0);
             ASSERT_EQ(std::remove((dir / "cache/2026-12-08 10_02 +0000").c_str()), 0);
         }},
        {"the index rewritten at the top", [&] { dir.writeSizedFile("cache/ArchivedFileData", 500); }},
    };
    for (Change &change : changes) {
        const uint64_t walks = memo.walks();
        change.make();
        const uint64_t changed = memo.folderSize(cache);
        EXPECT_EQ(memo.walks(), walks + 1) << change.what;
        EXPECT_NE(changed, size) << change.what;
        size = changed;
        settle();
        (void)memo.folderSize(cache); // takes the settled stamps
    }
}

TEST_F(FolderSizeMemoTest, aFolderChangedWithinTheLastSecondIsWalkedEveryTime) {
    const std::string cache = dir / "cache";
    dir.writeSizedFile("cache/2026-12-08 10_00 +0000/.x_new", 10);
    (void)memo.folderSize(cache);
    (void)memo.folderSize(cache);
    // Another change in the same clock tick would carry the same time: nothing is trusted yet.
    EXPECT_EQ(memo.walks(), 2u);
}

TEST_F(FolderSizeMemoTest, missingFoldersAndFoldersNoLongerAskedFor) {
    EXPECT_EQ(memo.folderSize(dir / "nothing here"), 0u);
    EXPECT_EQ(memo.totalSize({dir / "cache", dir / "nothing here"}), memo.folderSize(dir / "cache"));
    const uint64_t walks = memo.walks();
    (void)memo.totalSize({});
    (void)memo.totalSize({dir / "cache"});
    EXPECT_EQ(memo.walks(), walks + 1); // forgotten, so walked again
}
