#include "platform/FileCopy.h"
#include "platform/ItemLock.h"
#include "platform/VolumeStats.h"

#include "TestDir.h"

#include <fcntl.h>
#include <gtest/gtest.h>
#include <linux/fs.h>
#include <sys/stat.h>
#include <sys/wait.h>
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

// A same-named item arriving again takes the next free name ("-1", "-2" before the
// extension, as the caller's names say); the data is copied once and nothing is replaced.
TEST(FileCopy, copiesTakeTheFirstFreeNameOfThoseGiven) {
    TestDir dir;
    std::string source = dir.writeFile("src/Report.pdf", "new");
    dir.writeFile("dst/.x_Report.pdf", "first");
    dir.writeFile("dst/.x_Report-1.pdf", "second");
    ASSERT_EQ(::symlink("target", (dir / "src/link").c_str()), 0);
    auto src = sys::openDirectory(dir / "src");
    auto dst = sys::openDirectory(dir / "dst");
    ASSERT_TRUE(src.ok() && dst.ok());
    auto names = [](std::string base, std::string extension) {
        return [=](unsigned n) { return n == 0 ? base + extension : base + "-" + std::to_string(n) + extension; };
    };
    auto taken = sys::copyItemToFreeNameAt(src->get(), "Report.pdf", nullptr, dst->get(), names(".x_Report", ".pdf"),
                                           source, dir / "dst");
    ASSERT_TRUE(taken.ok()) << taken.status().message();
    EXPECT_EQ(*taken, ".x_Report-2.pdf");
    EXPECT_EQ(readFileText(dir / "dst/.x_Report.pdf"), "first");
    EXPECT_EQ(readFileText(dir / "dst/.x_Report-1.pdf"), "second");
    EXPECT_EQ(readFileText(dir / "dst/.x_Report-2.pdf"), "new");
    auto link = sys::copyItemToFreeNameAt(src->get(), "link", nullptr, dst->get(), names(".x_Report", ".pdf"),
                                          dir / "src/link", dir / "dst");
    ASSERT_TRUE(link.ok());
    EXPECT_EQ(*link, ".x_Report-3.pdf");
    // With a single name, a taken name is a failure, as ever.
    EXPECT_EQ(sys::copyItem(source, dir / "dst/.x_Report.pdf").code(), EEXIST);
    EXPECT_EQ(entryCount(dir / "dst"), 4u);
}

// Holes stay holes: a sparse disk image must not take its full size in the cache.
TEST(FileCopy, sparseFilesKeepTheirHoles) {
    TestDir dir;
    const std::string source = dir / "sparse.img";
    {
        int fd = ::open(source.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
        ASSERT_GE(fd, 0);
        ASSERT_EQ(::pwrite(fd, "head", 4, 0), 4);
        ASSERT_EQ(::pwrite(fd, "middle", 6, 256 << 20), 6);
        ASSERT_EQ(::ftruncate(fd, 512 << 20), 0); // ends in a hole
        ::close(fd);
    }
    struct stat original {};
    ASSERT_EQ(::stat(source.c_str(), &original), 0);
    if (original.st_blocks * 512 > (1 << 20))
        GTEST_SKIP() << "this file system does not keep holes";
    ASSERT_TRUE(sys::copyItem(source, dir / "copy.img").ok());
    struct stat copy {};
    ASSERT_EQ(::stat((dir / "copy.img").c_str(), &copy), 0);
    EXPECT_EQ(copy.st_size, original.st_size);
    EXPECT_LE(copy.st_blocks * 512, 1 << 20) << "the holes were filled in";
    int fd = ::open((dir / "copy.img").c_str(), O_RDONLY);
    ASSERT_GE(fd, 0);
    char bytes[7] = {};
    ASSERT_EQ(::pread(fd, bytes, 6, 256 << 20), 6);
    EXPECT_STREQ(bytes, "middle");
    ASSERT_EQ(::pread(fd, bytes, 4, 0), 4);
    EXPECT_EQ(std::string(bytes, 4), "head");
    ASSERT_EQ(::pread(fd, bytes, 4, 100 << 20), 4);
    EXPECT_EQ(std::string(bytes, 4), std::string(4, '\0'));
    ::close(fd);
}

// A file of the user's that the user may not read is copied as its owner could, and keeps its
// mode on both sides. Run as an ordinary user: root reads anything anyway.
TEST(FileCopy, anUnreadableFileOfTheUsersIsCopiedAndKeepsItsModeOnBothSides) {
    TestDir dir;
    if (::geteuid() == 0) {
        // Root reads whatever the mode says; the case only exists for a user. A child takes
        // the identity of "nobody" for it.
        ASSERT_EQ(::chmod(dir.path().c_str(), 0777), 0);
    }
    pid_t child = ::fork();
    ASSERT_GE(child, 0);
    if (child == 0) {
        if (::geteuid() == 0 && (::setgid(65534) != 0 || ::setuid(65534) != 0))
            ::_exit(10);
        const std::string source = dir / "secret";
        int fd = ::open(source.c_str(), O_WRONLY | O_CREAT | O_EXCL, 0600);
        if (fd < 0 || ::write(fd, "only mine", 9) != 9)
            ::_exit(11);
        ::close(fd);
        if (::chmod(source.c_str(), 0) != 0 || ::open(source.c_str(), O_RDONLY) >= 0)
            ::_exit(12);
        if (!sys::copyItem(source, dir / "copy").ok())
            ::_exit(13);
        struct stat a {}, b {};
        if (::stat(source.c_str(), &a) != 0 || ::stat((dir / "copy").c_str(), &b) != 0)
            ::_exit(14);
        if ((a.st_mode & 07777) != 0 || (b.st_mode & 07777) != 0)
            ::_exit(15);
        ::chmod((dir / "copy").c_str(), 0600);
        ::_exit(readFileText(dir / "copy") == "only mine" ? 0 : 16);
    }
    int status = 0;
    ASSERT_EQ(::waitpid(child, &status, 0), child);
    ASSERT_TRUE(WIFEXITED(status));
    EXPECT_EQ(WEXITSTATUS(status), 0) << "step that failed";
    (void)::chmod((dir / "secret").c_str(), 0600);
}

TEST(FileCopy, partialNamesTellTheirWriter) {
    const std::string name = sys::partialName(42);
    EXPECT_EQ(name, ".quillet-partial-" + std::to_string(::getpid()) + "-42");
    EXPECT_EQ(sys::partialNameOwner(name), ::getpid());
    for (const char *other : {".quillet-partial-", ".quillet-partial-12", ".quillet-partial-x-1", ".x_file", ""})
        EXPECT_FALSE(sys::partialNameOwner(other)) << other;
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
