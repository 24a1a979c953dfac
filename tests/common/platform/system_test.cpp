#include "platform/System.h"
#include "platform/TrustedFolder.h"

#include "TestDir.h"

#include <fcntl.h>
#include <gtest/gtest.h>
#include <unistd.h>

#include <functional>
#include <string>

using namespace quillet;
using quillet::test::TestDir;

namespace {

struct FailureCase {
    const char *label;
    std::function<sys::Status()> call;
    std::string message;
};

class SystemTest : public ::testing::Test {
protected:
    void SetUp() override {
        _dir.makeDir("folder/sub");
        _dir.writeFile("folder/file", "data");
        auto folder = sys::openDirectory(_dir / "folder");
        ASSERT_TRUE(folder) << folder.status().message();
        _folder = std::move(*folder);
        auto file = sys::openAt(_folder, "file", O_RDONLY);
        ASSERT_TRUE(file) << file.status().message();
        _file = std::move(*file);
        auto handle = sys::openAt(_folder, "file", O_PATH);
        ASSERT_TRUE(handle) << handle.status().message();
        _handle = std::move(*handle);
    }

    void expectMessages(const std::vector<FailureCase> &cases) {
        for (const FailureCase &c : cases) {
            const sys::Status status = c.call();
            EXPECT_FALSE(status.ok()) << c.label;
            EXPECT_EQ(status.message(), c.message) << c.label;
        }
    }

    TestDir _dir;
    sys::Fd _folder; ///< the folder "folder", opened by its path
    sys::Fd _file;   ///< its file "file", read only
    sys::Fd _handle; ///< the same file, O_PATH: no call on its data is allowed
};

std::string why(int code) { return sys::errorText(code); }

} // namespace

TEST_F(SystemTest, failuresOfCallsOnAnOpenFdNameItsPath) {
    const std::string folder = _dir / "folder";
    const struct timespec times[2] = {{0, UTIME_NOW}, {0, UTIME_NOW}};
    expectMessages({
        {"statAt", [&] { return sys::statAt(_folder, "missing", sys::FollowLinks::No).status(); },
         "stat(" + folder + "/missing): " + why(ENOENT)},
        {"openAt", [&] { return sys::openAt(_folder, "missing", O_RDONLY).status(); },
         "open(" + folder + "/missing): " + why(ENOENT)},
        {"openDirectoryAt", [&] { return sys::openDirectoryAt(_folder, "file", sys::FollowLinks::No).status(); },
         "open(" + folder + "/file): " + why(ENOTDIR)},
        {"mkdirAt", [&] { return sys::mkdirAt(_folder, "sub", 0700); }, "mkdir(" + folder + "/sub): " + why(EEXIST)},
        {"unlinkAt", [&] { return sys::unlinkAt(_folder, "missing"); }, "unlink(" + folder + "/missing): " + why(ENOENT)},
        {"unlinkAt a folder", [&] { return sys::unlinkAt(_folder, "file", true); },
         "rmdir(" + folder + "/file): " + why(ENOTDIR)},
        {"renameNoReplace", [&] { return sys::renameNoReplace(_folder, "file", _folder, "sub"); },
         "rename(" + folder + "/file -> " + folder + "/sub): " + why(EEXIST)},
        {"symlinkAt", [&] { return sys::symlinkAt("target", _folder, "file"); },
         "symlink(" + folder + "/file): " + why(EEXIST)},
        {"readlinkAt", [&] { return sys::readlinkAt(_folder, "file").status(); },
         "readlink(" + folder + "/file): " + why(EINVAL)},
        {"fchmodAt", [&] { return sys::fchmodAt(_folder, "missing", 0600); },
         "chmod(" + folder + "/missing): " + why(ENOENT)},
        {"utimensAt", [&] { return sys::utimensAt(_folder, "missing", times, sys::FollowLinks::No); },
         "utimensat(" + folder + "/missing): " + why(ENOENT)},
        {"readFileAt a folder", [&] { return sys::readFileAt(_folder, "sub", 100).status(); },
         "read(" + folder + "/sub): " + why(EINVAL)},
        {"touchLockedAt", [&] { return sys::touchLockedAt(_folder, "sub", 0600); },
         "open(" + folder + "/sub): " + why(EISDIR)},
        {"openOwnedFolderAt", [&] { return sys::openOwnedFolderAt(_folder, "file").status(); },
         folder + "/file: not a folder"},
        {"forEachEntry", [&] { return sys::forEachEntry(_file, [](std::string_view, unsigned char) { return true; }); },
         "fdopendir(" + folder + "/file): " + why(ENOTDIR)},
        {"countOpenDirectoryEntries", [&] { return sys::countOpenDirectoryEntries(_file).status(); },
         "open(" + folder + "/file): " + why(ENOTDIR)},
        {"writeAll", [&] { return sys::writeAll(_file, "x"); }, "write(" + folder + "/file): " + why(EBADF)},
        {"readFromStart too long", [&] { return sys::readFromStart(_file, 3).status(); },
         "read(" + folder + "/file): " + why(EFBIG)},
        {"readFromStart a path handle", [&] { return sys::readFromStart(_handle, 100).status(); },
         "read(" + folder + "/file): " + why(EBADF)},
        {"fchmod", [&] { return sys::fchmod(_handle, 0600); }, "fchmod(" + folder + "/file): " + why(EBADF)},
        {"futimens", [&] { return sys::futimens(_handle, times); }, "futimens(" + folder + "/file): " + why(EBADF)},
        {"getInodeFlags", [&] { return sys::getInodeFlags(_handle).status(); },
         "ioctl(FS_IOC_GETFLAGS)(" + folder + "/file): " + why(EBADF)},
    });
}

TEST_F(SystemTest, failuresOfCallsOnABareDescriptorNameTheEntryOrTheNumber) {
    const std::string number = std::to_string(_file.get());
    expectMessages({
        {"statAt", [&] { return sys::statAt(_folder.get(), "missing", sys::FollowLinks::No).status(); },
         "stat(missing): " + why(ENOENT)},
        {"openOwnedFolderAt", [&] { return sys::openOwnedFolderAt(_folder.get(), "file").status(); },
         "file: not a folder"},
        {"forEachEntry",
         [&] { return sys::forEachEntry(_file.get(), [](std::string_view, unsigned char) { return true; }); },
         "fdopendir(folder): " + why(ENOTDIR)},
        {"writeAll", [&] { return sys::writeAll(_file.get(), "x"); }, "write(" + number + "): " + why(EBADF)},
    });
}

TEST_F(SystemTest, anFdKnowsThePathItWasOpenedBy) {
    const std::string folder = _dir / "folder";
    struct PathCase {
        const char *label;
        std::function<sys::Result<sys::Fd>()> open;
        std::string path;
    };
    const PathCase cases[] = {
        {"open by path", [&] { return sys::open(folder + "/file", O_RDONLY); }, folder + "/file"},
        {"openDirectoryAt", [&] { return sys::openDirectoryAt(_folder, "sub", sys::FollowLinks::No); }, folder + "/sub"},
        {"openAt \".\"", [&] { return sys::openAt(_folder, ".", O_RDONLY | O_DIRECTORY); }, folder},
        {"openAt an absolute path", [&] { return sys::openAt(_folder, folder + "/sub", O_RDONLY); }, folder + "/sub"},
        {"openAt from a bare descriptor", [&] { return sys::openAt(_folder.get(), "sub", O_RDONLY); }, "sub"},
        {"openOwnedPathAt", [&] { return sys::openOwnedPathAt(_folder, "sub", {}); }, folder + "/sub"},
        {"openOwnedPathAt with a shown base", [&] { return sys::openOwnedPathAt(_folder, "sub", "/shown"); },
         "/shown/sub"},
    };
    for (const PathCase &c : cases) {
        auto opened = c.open();
        ASSERT_TRUE(opened) << c.label << ": " << opened.status().message();
        EXPECT_EQ(opened->path(), c.path) << c.label;
    }

    // Moved, the path goes with the descriptor; taken over or released, it is no longer known.
    auto opened = sys::openDirectoryAt(_folder, "sub", sys::FollowLinks::No);
    ASSERT_TRUE(opened);
    sys::Fd moved = std::move(*opened);
    EXPECT_EQ(moved.path(), folder + "/sub");
    EXPECT_EQ(opened->path(), "");
    sys::Fd other;
    other = std::move(moved);
    EXPECT_EQ(other.path(), folder + "/sub");
    sys::Fd released(other.release());
    EXPECT_EQ(released.path(), "");
    EXPECT_EQ(other.path(), "");
}

namespace {

TEST_F(SystemTest, readFromStartReadsAKeptDescriptorAgainFromItsStart) {
    // A file read to its end, then read again: the whole of it each time, also once it changed.
    auto first = sys::readFromStart(_file, 4);
    ASSERT_TRUE(first) << first.status().message();
    EXPECT_EQ(*first, "data");
    _dir.writeFile("folder/file", "more data");
    auto stale = sys::readFromStart(_file, 100);
    ASSERT_TRUE(stale) << stale.status().message();
    EXPECT_EQ(*stale, "more data");

    // A file of /proc is made anew for each read from its start: this process's state is in it.
    auto status = sys::open("/proc/self/status", O_RDONLY);
    ASSERT_TRUE(status) << status.status().message();
    for (int read = 0; read < 2; ++read) {
        auto text = sys::readFromStart(*status, 16384);
        ASSERT_TRUE(text) << text.status().message();
        EXPECT_EQ(text->rfind("Name:", 0), 0u) << *text;
        EXPECT_NE(text->find("\nPid:\t" + std::to_string(::getpid()) + "\n"), std::string::npos) << *text;
    }
}

TEST(PathText, trailingSlashesAreTakenOffOrPutOnOnce) {
    const std::pair<std::string, std::string> without[] = {
        {"/a/b//", "/a/b"}, {"/a/b", "/a/b"}, {"/", "/"}, {"///", "/"}, {"", ""}, {"a/", "a"}};
    for (const auto &[path, expected] : without)
        EXPECT_EQ(sys::withoutTrailingSlashes(path), expected) << path;
    const std::pair<std::string, std::string> with[] = {{"/a/b", "/a/b/"}, {"/a/b/", "/a/b/"}, {"", "/"}, {"/", "/"}};
    for (const auto &[path, expected] : with)
        EXPECT_EQ(sys::withTrailingSlash(path), expected) << path;
}

TEST_F(SystemTest, makeDirectoriesMakesWhatIsMissingAndStopsAtAFileInTheWay) {
    const std::string deep = _dir / "folder/made/on/the/way";
    ASSERT_TRUE(sys::makeDirectories(deep, 0700));
    auto st = sys::stat(deep, sys::FollowLinks::No);
    ASSERT_TRUE(st);
    EXPECT_TRUE(S_ISDIR(st->st_mode));
    EXPECT_EQ(st->st_mode & 0777, 0700u);
    // What exists is left as it is.
    const auto before = sys::stat(_dir / "folder/sub", sys::FollowLinks::No);
    ASSERT_TRUE(before);
    EXPECT_TRUE(sys::makeDirectories(_dir / "folder/sub", 0700));
    const auto after = sys::stat(_dir / "folder/sub", sys::FollowLinks::No);
    EXPECT_EQ(after->st_ino, before->st_ino);
    EXPECT_EQ(after->st_mode, before->st_mode);
    // A file where a folder should be: the failure names the folder that could not be made.
    sys::Status blocked = sys::makeDirectories(_dir / "folder/file/inner", 0700);
    ASSERT_FALSE(blocked);
    EXPECT_EQ(blocked.code(), ENOTDIR);
    EXPECT_NE(blocked.message().find(_dir / "folder/file/inner"), std::string::npos) << blocked.message();
}

} // namespace

TEST(BootTime, readFromTheBtimeLineOfProcStat) {
    struct Row {
        const char *text;
        std::optional<int64_t> boot;
    };
    const Row rows[] = {
        {"cpu  1 2 3\nintr 5\nctxt 9\nbtime 1765180800\nprocesses 3\n", 1765180800},
        {"btime 17\n", 17},
        {"cpu 1\nbtime \n", std::nullopt},
        {"cpu 1\nbtime 12a\n", std::nullopt},
        {"cpu 1\nxbtime 5\n", std::nullopt},
        {"btime 99999999999999999999999\n", std::nullopt},
        {"", std::nullopt},
    };
    for (const Row &row : rows)
        EXPECT_EQ(quillet::sys::parseBootTime(row.text), row.boot) << row.text;
    // The system started before now.
    auto boot = quillet::sys::bootTime();
    ASSERT_TRUE(boot.ok()) << boot.status().message();
    EXPECT_GT(*boot, 0);
    EXPECT_LE(*boot, static_cast<int64_t>(quillet::sys::now()));
}
