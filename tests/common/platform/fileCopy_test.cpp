#include "platform/FileCopy.h"
#include "platform/ItemLock.h"
#include "platform/VolumeStats.h"

#include "TestDir.h"

#include <fcntl.h>
#include <gtest/gtest.h>
#include <linux/fs.h>
#include <sys/stat.h>
#include <unistd.h>

using namespace quillet;
using quillet::test::readFileText;
using quillet::test::TestDir;

namespace {

size_t entryCount(const std::string &folder) {
    auto entries = sys::listDirectory(folder);
    return entries ? entries->size() : 0;
}

} // namespace

TEST(FileCopy, copiesContentModeAndModificationTime) {
    TestDir dir;
    std::string source = dir.writeFile("src/file", std::string(300000, 'q') + "end");
    ASSERT_EQ(::chmod(source.c_str(), 0640), 0);
    struct timespec times[2] = {{1200000000, 5}, {1300000000, 123456789}};
    ASSERT_EQ(::utimensat(AT_FDCWD, source.c_str(), times, 0), 0);
    dir.makeDir("dst");
    ASSERT_TRUE(sys::copyItem(source, dir / "dst/copy").ok());
    EXPECT_EQ(readFileText(dir / "dst/copy"), readFileText(source));
    struct stat st {};
    ASSERT_EQ(::stat((dir / "dst/copy").c_str(), &st), 0);
    EXPECT_EQ(st.st_mode & 07777, 0640u);
    EXPECT_EQ(st.st_mtim.tv_sec, 1300000000);
    EXPECT_EQ(st.st_mtim.tv_nsec, 123456789);
    EXPECT_EQ(entryCount(dir / "dst"), 1u);
}

TEST(FileCopy, neverOverwritesAnExistingDestination) {
    TestDir dir;
    std::string source = dir.writeFile("new", "new content");
    std::string existing = dir.writeFile("dst/name", "precious");
    sys::Status status = sys::copyItem(source, existing);
    EXPECT_EQ(status.code(), EEXIST);
    EXPECT_NE(status.message().find(existing), std::string::npos) << status.message();
    EXPECT_EQ(readFileText(existing), "precious");
    EXPECT_EQ(entryCount(dir / "dst"), 1u); // nothing left beside it

    // A link in the way is not followed either.
    std::string victim = dir.writeFile("victim", "untouched");
    ASSERT_EQ(::symlink(victim.c_str(), (dir / "dst/link").c_str()), 0);
    EXPECT_EQ(sys::copyItem(source, dir / "dst/link").code(), EEXIST);
    EXPECT_EQ(readFileText(victim), "untouched");
}

TEST(FileCopy, copiesLinksAsLinksAndRecreatesFifos) {
    TestDir dir;
    dir.writeFile("outside/secret", "not to be copied");
    ASSERT_EQ(::symlink((dir / "outside").c_str(), (dir / "link").c_str()), 0);
    ASSERT_EQ(::symlink("dangling/target", (dir / "dangling").c_str()), 0);
    ASSERT_EQ(::mkfifo((dir / "fifo").c_str(), 0600), 0);
    dir.makeDir("dst");

    ASSERT_TRUE(sys::copyItem(dir / "link", dir / "dst/link").ok());
    ASSERT_TRUE(sys::copyItem(dir / "dangling", dir / "dst/dangling").ok());
    ASSERT_TRUE(sys::copyItem(dir / "fifo", dir / "dst/fifo").ok()); // must not block on the fifo

    char target[256] = {};
    ASSERT_GT(::readlink((dir / "dst/link").c_str(), target, sizeof target - 1), 0);
    EXPECT_EQ(std::string(target), dir / "outside");
    std::fill(std::begin(target), std::end(target), 0);
    ASSERT_GT(::readlink((dir / "dst/dangling").c_str(), target, sizeof target - 1), 0);
    EXPECT_EQ(std::string(target), "dangling/target");
    struct stat st {};
    ASSERT_EQ(::lstat((dir / "dst/fifo").c_str(), &st), 0);
    EXPECT_TRUE(S_ISFIFO(st.st_mode));
}

TEST(FileCopy, refusesFoldersAndReportsMissingSources) {
    TestDir dir;
    dir.makeDir("folder");
    EXPECT_EQ(sys::copyItem(dir / "folder", dir / "copy").code(), EISDIR);
    sys::Status missing = sys::copyItem(dir / "missing", dir / "copy");
    EXPECT_EQ(missing.code(), ENOENT);
    EXPECT_NE(missing.message().find(dir / "missing"), std::string::npos);
    EXPECT_FALSE(sys::exists(dir / "copy"));
}

TEST(FileCopy, failedCopyLeavesNothingBehind) {
    TestDir dir;
    quillet::test::TmpfsMount volume(dir / "volume", "1m");
    if (!volume.mounted())
        GTEST_SKIP() << "mounting a tmpfs is not permitted here";
    std::string source = dir.writeSizedFile("big", 3 << 20);
    // Make the source real data so that nothing can be shared or skipped as holes.
    {
        int fd = ::open(source.c_str(), O_WRONLY);
        std::string chunk(1 << 20, 'x');
        for (int i = 0; i < 3; ++i)
            ASSERT_EQ(::write(fd, chunk.data(), chunk.size()), static_cast<ssize_t>(chunk.size()));
        ::close(fd);
    }
    sys::Status status = sys::copyItem(source, dir / "volume/big");
    EXPECT_EQ(status.code(), ENOSPC) << status.message();
    EXPECT_EQ(entryCount(dir / "volume"), 0u);
}

TEST(VolumeStats, figuresAndPercentages) {
    uint64_t freeBytes = 7, percentage = 7, total = 7;
    EXPECT_EQ(sizeStatsOnDisk("/", nullptr, &percentage, &total), -1);
    EXPECT_EQ(sizeStatsOnDisk("/no/such/path", &freeBytes, &percentage, &total), 0);
    EXPECT_EQ(freeBytes, 7u); // untouched
    ASSERT_EQ(sizeStatsOnDisk("/", &freeBytes, &percentage, &total), 0);
    EXPECT_GT(total, 0u);
    EXPECT_LE(freeBytes, total);
    EXPECT_EQ(percentage, freePercentageOf(freeBytes, total));

    EXPECT_EQ(freePercentageOf(1000, 3000), 33u);
    EXPECT_EQ(freePercentageOf(0, 3000), 0u);
    EXPECT_EQ(freePercentageOf(1000, 0), 0u);
    EXPECT_EQ(freePercentageOf(UINT64_MAX / 2, UINT64_MAX), 49u);
}

TEST(ItemLock, unlockClearsImmutableFlagAndOpensWriteProtectedFolders) {
    TestDir dir;
    std::string file = dir.writeFile("locked", "x");
    bool canLock = quillet::test::setInodeAttributes(file, FS_IMMUTABLE_FL);

    std::string folder = dir.makeDir("readonly", 0555);
    EXPECT_TRUE(sys::isLocked(folder));
    sys::unlockItemAtPath(folder);
    EXPECT_FALSE(sys::isLocked(folder));
    struct stat st {};
    ASSERT_EQ(::stat(folder.c_str(), &st), 0);
    EXPECT_EQ(st.st_mode & 0777, 0755u);

    if (!canLock)
        GTEST_SKIP() << "this file system or user cannot set the immutable attribute";
    EXPECT_TRUE(sys::isLocked(file));
    EXPECT_NE(::unlink(file.c_str()), 0);
    sys::unlockItemAtPath(file);
    EXPECT_FALSE(sys::isLocked(file));
    EXPECT_EQ(::unlink(file.c_str()), 0);
}
