#include "platform/FolderStamp.h"

#include "TestDir.h"

#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/stat.h>

using quillet::sys::FolderStamp;
using quillet::test::TestDir;

namespace {

FolderStamp stampOf(const std::string &folder) {
    struct stat st {};
    EXPECT_EQ(::stat(folder.c_str(), &st), 0);
    return FolderStamp::of(st);
}

} // namespace

TEST(FolderStamp, entriesArrivingOrLeavingChangeTheStamp) {
    TestDir dir;
    std::string folder = dir.makeDir("trash");
    FolderStamp before = stampOf(folder);
    EXPECT_TRUE(before.sameState(stampOf(folder)));
    // Just modified: a change within the same clock tick could hide, so it is not settled.
    EXPECT_FALSE(before.settled());

    dir.writeFile("trash/arrived");
    FolderStamp afterArrival = stampOf(folder);
    EXPECT_FALSE(afterArrival.sameState(before));
    ASSERT_EQ(::unlink((dir / "trash/arrived").c_str()), 0);
    EXPECT_FALSE(stampOf(folder).sameState(afterArrival));
}

TEST(FolderStamp, folderLastModifiedLongAgoIsSettled) {
    TestDir dir;
    std::string folder = dir.makeDir("trash");
    struct timespec times[2] = {{1000000000, 0}, {1000000000, 0}};
    ASSERT_EQ(::utimensat(AT_FDCWD, folder.c_str(), times, 0), 0);
    FolderStamp stamp = stampOf(folder);
    EXPECT_TRUE(stamp.settled());
    EXPECT_FALSE(FolderStamp().settled());
    EXPECT_FALSE(stamp.sameState(stampOf(dir.makeDir("other"))));
}
