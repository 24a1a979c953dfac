#include "CacheCopier.h"

#include "archive/CacheLayout.h"
#include "archive/NotArchived.h"
#include "TestDir.h"
#include "platform/FolderSize.h"
#include "platform/ItemLock.h"
#include "platform/RemoveTree.h"
#include "platform/System.h"

#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <sys/xattr.h>
#include <unistd.h>

#include <optional>
#include <set>

using namespace quillet;
using namespace quillet::daemon;
using quillet::test::deepFolderContent;
using quillet::test::kDeepLevelName;
using quillet::test::kDeepLevels;
using quillet::test::makeDeepFolder;
using quillet::test::readFileText;
using quillet::test::TestDir;

namespace {

class CacheCopierTest : public ::testing::Test {
protected:
    void SetUp() override {
        _dir.makeDir("Trash");
        _dir.makeDir(".TrashCacheFolder", 0700);
    }

    std::string trash(std::string_view name) const { return _dir / ("Trash/" + std::string(name)); }
    std::string cache() const { return _dir / ".TrashCacheFolder/"; }
    CacheCopier copier(int32_t mode, uint64_t limit = 0) const { return CacheCopier(cache(), static_cast<CacheMode>(mode), limit); }

    // The date folders that were created, oldest first.
    std::vector<std::string> dateFolders() const {
        std::set<std::string> found;
        auto entries = sys::listDirectory(cache());
        if (entries)
            for (const auto &entry : *entries)
                if (dateFromFinderCompatibleDateDescription(entry.name))
                    found.insert(cache() + entry.name);
        return {found.begin(), found.end()};
    }
    // Path of name in the (single) date folder; empty when nothing was archived.
    std::string archived(std::string_view relative) const {
        auto folders = dateFolders();
        return folders.empty() ? std::string() : folders.back() + "/" + std::string(relative);
    }

    /// A tmpfs of the given size at _dir/name holding an empty cache folder, and a trash folder
    /// when asked; nothing where this machine does not let the test mount.
    std::optional<std::string> volumeWithCache(const std::string &name, const std::string &size, bool withTrash) {
        auto volume = _mounts.mount(_dir / name, size);
        if (!volume)
            return std::nullopt;
        for (const char *folder : {".TrashCacheFolder", "Trash"})
            if ((folder[0] == '.' || withTrash) && ::mkdir((*volume + "/" + folder).c_str(), 0700) != 0)
                return std::nullopt;
        return volume;
    }

    TestDir _dir;
    quillet::test::TmpfsMounts _mounts; // unmounted before _dir goes
};

time_t modificationSecond(const std::string &path) {
    struct stat st {};
    return ::lstat(path.c_str(), &st) == 0 ? st.st_mtim.tv_sec : -1;
}

void setModificationSecond(const std::string &path, time_t seconds) {
    struct timespec times[2] = {{seconds, 0}, {seconds, 0}};
    ASSERT_EQ(::utimensat(AT_FDCWD, path.c_str(), times, AT_SYMLINK_NOFOLLOW), 0);
}

bool isLink(const std::string &path) {
    struct stat st {};
    return ::lstat(path.c_str(), &st) == 0 && S_ISLNK(st.st_mode);
}

} // namespace

TEST_F(CacheCopierTest, copyModeCopiesFileUnderHiddenNameIntoPrivateDateFolder) {
    _dir.writeFile("Trash/Report.pdf", "report");
    EXPECT_TRUE(copier(0).copyDataToCacheCheck(trash("Report.pdf"), 0, 0));
    ASSERT_EQ(dateFolders().size(), 1u);
    EXPECT_EQ(readFileText(archived(".x_Report.pdf")), "report");
    EXPECT_TRUE(sys::exists(trash("Report.pdf"))); // left in the trash
    struct stat st {};
    ASSERT_EQ(::stat(dateFolders()[0].c_str(), &st), 0);
    EXPECT_EQ(st.st_mode & 0777, 0700u);

    // The same name again within the minute: archived at once under the next free name, and
    // the first copy is never replaced.
    _dir.writeFile("Trash/Report.pdf", "second version");
    CacheCopier again = copier(0);
    ASSERT_TRUE(again.copyDataToCache(trash("Report.pdf")));
    if (dateFolders().size() == 1) {
        EXPECT_EQ(again.storedName(), ".x_Report-1.pdf");
        EXPECT_EQ(readFileText(archived(".x_Report.pdf")), "report");
        EXPECT_EQ(readFileText(archived(".x_Report-1.pdf")), "second version");
        EXPECT_EQ(sys::listDirectory(archived(""))->size(), 2u);
    }
}

TEST_F(CacheCopierTest, admissionTestRefusesLargeFilesAndOwnPrograms) {
    _dir.writeSizedFile("Trash/two-megabytes", 2 << 20);
    _dir.writeSizedFile("Trash/one-megabyte", 1 << 20);
    for (const char *own : {"quilletd", "quilletCacheManagerd", "quilletMountDiskd"})
        _dir.writeFile(std::string("Trash/") + own, "binary");
    _dir.makeDir("Trash/Quillet.app");
    _dir.makeDir("Trash/QuilletMenuExtra.app");

    EXPECT_FALSE(copier(0).copyDataToCacheCheck(trash("two-megabytes"), 1 << 20, 0));
    EXPECT_TRUE(dateFolders().empty());
    EXPECT_TRUE(copier(0).copyDataToCacheCheck(trash("one-megabyte"), 1 << 20, 0)); // equal to the limit
    EXPECT_TRUE(copier(0).copyDataToCacheCheck(trash("two-megabytes"), 0, 0));      // no limit
    for (const char *own : {"quilletd", "quilletCacheManagerd", "quilletMountDiskd", "Quillet.app",
                            "QuilletMenuExtra.app"})
        EXPECT_FALSE(copier(0).copyDataToCacheCheck(trash(own), 0, 0)) << own;
    EXPECT_FALSE(copier(0).copyDataToCacheCheck(trash("vanished"), 0, 0));
    EXPECT_FALSE(copier(0).copyDataToCache("/"));
    EXPECT_FALSE(copier(2).copyDataToCacheCheck(trash("one-megabyte"), 0, 0)); // mode 2 archives nothing
}

TEST_F(CacheCopierTest, folderCopyHidesNamesAndSkipsSpotlightAndLargeFiles) {
    _dir.writeSizedFile("Trash/A/big", 2 << 20);
    _dir.writeSizedFile("Trash/A/exactly-limit", 1 << 20);
    _dir.writeFile("Trash/A/small", std::string(100 * 1024, 's'));
    _dir.writeFile("Trash/A/B/c", "deep");
    _dir.writeFile("Trash/A/B/.x_already", "prefixed");
    _dir.writeFile("Trash/A/.Spotlight-V100/store", "index");
    _dir.writeFile("Trash/A/.Spotlight/store", "index");
    _dir.writeFile("Trash/A/.Spotlighx/kept", "kept");
    _dir.writeFile("outside/secret", "never copied");
    ASSERT_EQ(::symlink((_dir / "outside").c_str(), trash("A/B/link").c_str()), 0);

    EXPECT_TRUE(copier(0, 1 << 20).copyDataToCacheCheck(trash("A"), 1 << 20, 0));
    std::string root = archived(".x_A");
    EXPECT_EQ(readFileText(root + "/.x_small").size(), 100u * 1024);
    EXPECT_FALSE(sys::exists(root + "/.x_big"));
    EXPECT_FALSE(sys::exists(root + "/.x_exactly-limit"));
    EXPECT_EQ(readFileText(root + "/.x_B/.x_c"), "deep");
    EXPECT_EQ(readFileText(root + "/.x_B/.x_.x_already"), "prefixed");
    EXPECT_FALSE(sys::exists(root + "/.x_.Spotlight-V100"));
    EXPECT_FALSE(sys::exists(root + "/.x_.Spotlight"));
    EXPECT_EQ(readFileText(root + "/.x_.Spotlighx/.x_kept"), "kept");
    EXPECT_TRUE(isLink(root + "/.x_B/.x_link"));
    EXPECT_EQ(sys::listDirectory(_dir / "outside")->size(), 1u);
    EXPECT_EQ(readFileText(_dir / "outside/secret"), "never copied");
}

TEST_F(CacheCopierTest, linkInTheTrashIsArchivedAsALink) {
    _dir.writeFile("Documents/thesis.tex", "years of work");
    ASSERT_EQ(::symlink((_dir / "Documents").c_str(), trash("Documents").c_str()), 0);
    EXPECT_TRUE(copier(0).copyDataToCacheCheck(trash("Documents"), 0, 0));
    std::string copy = archived(".x_Documents");
    EXPECT_TRUE(isLink(copy));
    EXPECT_EQ(sys::readlinkAt(AT_FDCWD, copy).value(), _dir / "Documents");
    EXPECT_FALSE(sys::exists(copy + "/thesis.tex") && !isLink(copy));
}

TEST_F(CacheCopierTest, danglingLinkIsArchivedAsALink) {
    ASSERT_EQ(::symlink("/no/such/target", trash("dangling").c_str()), 0);
    EXPECT_TRUE(copier(0).copyDataToCacheCheck(trash("dangling"), 1 << 20, 0));
    EXPECT_EQ(sys::readlinkAt(AT_FDCWD, archived(".x_dangling")).value(), "/no/such/target");
}

TEST_F(CacheCopierTest, moveModeMovesALinkWithoutEnteringWhatItPointsTo) {
    _dir.writeFile("Documents/thesis.tex", "years of work");
    ASSERT_EQ(::symlink((_dir / "Documents").c_str(), trash("Documents").c_str()), 0);
    EXPECT_TRUE(copier(1).copyDataToCache(trash("Documents")));
    EXPECT_TRUE(isLink(archived(".x_Documents")));
    EXPECT_EQ(readFileText(_dir / "Documents/thesis.tex"), "years of work");
    EXPECT_EQ(sys::listDirectory(_dir / "Documents")->size(), 1u);
}

TEST_F(CacheCopierTest, moveModeMovesAndHidesEveryLevel) {
    _dir.writeFile("Trash/A/B/c", "content");
    _dir.writeFile("Trash/A/d", "d");
    _dir.makeDir("Trash/A/B/empty");
    EXPECT_TRUE(copier(1).copyDataToCacheCheck(trash("A"), 0, 0));
    EXPECT_FALSE(sys::exists(trash("A")));
    std::string root = archived(".x_A");
    EXPECT_EQ(readFileText(root + "/.x_B/.x_c"), "content");
    EXPECT_EQ(readFileText(root + "/.x_d"), "d");
    EXPECT_TRUE(sys::exists(root + "/.x_B/.x_empty"));
    EXPECT_EQ(sys::listDirectory(root)->size(), 2u);
}

// The same name trashed twice within a minute, in move mode: the second folder is archived at
// once under the next free name, hidden at every depth, and the first is left as it was.
TEST_F(CacheCopierTest, moveModeSecondItemOfTheSameNameTakesTheNextFreeName) {
    _dir.writeFile("Trash/Notes/todo", "first");
    ASSERT_TRUE(copier(1).copyDataToCache(trash("Notes")));
    std::string minute = dateFolders().back();
    _dir.writeFile("Trash/Notes/todo", "second");
    CacheCopier again = copier(1);
    ASSERT_TRUE(again.copyDataToCache(trash("Notes")));
    if (dateFolders().back() != minute)
        GTEST_SKIP() << "the minute changed between the two moves";
    EXPECT_EQ(again.storedName(), ".x_Notes-1");
    EXPECT_FALSE(sys::exists(trash("Notes")));
    EXPECT_EQ(readFileText(minute + "/.x_Notes-1/.x_todo"), "second");
    // The first archive keeps its names: it is not hidden a second time.
    EXPECT_EQ(readFileText(minute + "/.x_Notes/.x_todo"), "first");
    EXPECT_FALSE(sys::exists(minute + "/.x_Notes/.x_.x_todo"));
    EXPECT_EQ(sys::listDirectory(minute)->size(), 2u);
}

TEST_F(CacheCopierTest, moveModeUnlocksWriteProtectedFolders) {
    _dir.writeFile("Trash/Locked/inner/file", "x");
    ASSERT_EQ(::chmod(trash("Locked/inner").c_str(), 0555), 0);
    ASSERT_EQ(::chmod(trash("Locked").c_str(), 0555), 0);
    EXPECT_TRUE(copier(1).copyDataToCache(trash("Locked")));
    EXPECT_EQ(readFileText(archived(".x_Locked/.x_inner/.x_file")), "x");
}

TEST(ScrambleFolderHierarchy, hidesEveryItemOnceAndNeverReplaces) {
    TestDir dir;
    dir.writeFile("top/a", "plain a");
    dir.writeFile("top/.x_a", "prefixed a");
    dir.writeFile("top/sub/deeper/f", "f");
    ASSERT_EQ(::symlink("/etc", (dir / "top/sub/etc").c_str()), 0);
    CacheCopier::scrambleFolderHierarchy(dir / "top");
    EXPECT_EQ(readFileText(dir / "top/.x_a"), "plain a");
    EXPECT_EQ(readFileText(dir / "top/.x_.x_a"), "prefixed a");
    EXPECT_EQ(readFileText(dir / "top/.x_sub/.x_deeper/.x_f"), "f");
    EXPECT_TRUE(isLink(dir / "top/.x_sub/.x_etc"));
    EXPECT_EQ(sys::listDirectory(dir / "top")->size(), 3u);
    CacheCopier::scrambleFolderHierarchy(dir / "missing"); // nothing there: nothing happens
}

TEST_F(CacheCopierTest, freePercentageCountsTheFileItself) {
    auto mounted = volumeWithCache("volume", "10m", true);
    if (!mounted)
        GTEST_SKIP() << "mounting a tmpfs is not permitted here";
    const std::string volume = *mounted;
    auto fill = [&](const std::string &path, size_t bytes) {
        std::string data(bytes, 'f');
        FILE *out = std::fopen(path.c_str(), "w");
        ASSERT_NE(out, nullptr);
        std::fwrite(data.data(), 1, data.size(), out);
        std::fclose(out);
    };
    fill(volume + "/filler", 3 << 20); // with the two trashed files, about 40% of 10 MB left
    fill(volume + "/Trash/half", 1 << 20);
    fill(volume + "/Trash/big", 2 << 20);
    CacheCopier onVolume(volume + "/.TrashCacheFolder/", CacheMode::Copy, 0);
    // Copying 2 MB would leave about 20%, copying 1 MB about 30%.
    EXPECT_FALSE(onVolume.copyDataToCacheCheck(volume + "/Trash/big", 0, 25));
    EXPECT_TRUE(onVolume.copyDataToCacheCheck(volume + "/Trash/half", 0, 25));
    EXPECT_TRUE(onVolume.copyDataToCacheCheck(volume + "/Trash/big", 0, 0));
}

// Within one scan the volume's figures are read once in a while: what the scan archived meanwhile
// must still count, and figures gone stale must never refuse an item that fits by now.
TEST_F(CacheCopierTest, freeSpaceWithinAScanCountsWhatItArchivedAndRefusesOnlyOnFreshFigures) {
    auto mounted = volumeWithCache("volume", "10m", true);
    if (!mounted)
        GTEST_SKIP() << "mounting a tmpfs is not permitted here";
    const std::string volume = *mounted;
    ASSERT_TRUE(sys::writeFileAtomically(volume + "/filler", std::string(1536 << 10, 'f')).ok());
    for (const char *name : {"a", "b", "c"})
        ASSERT_TRUE(sys::writeFileAtomically(volume + "/Trash/" + name, std::string(1 << 20, 't')).ok());
    CacheCopier onVolume(volume + "/.TrashCacheFolder/", CacheMode::Copy, 0);
    auto trash = sys::openDirectory(volume + "/Trash");
    ASSERT_TRUE(trash.ok());
    const std::string trashFolder = volume + "/Trash/";
    // About 55% free: a and b (1 MB each) leave 45% and 35%, above a 30% minimum; c would leave 25%.
    EXPECT_TRUE(onVolume.copyDataToCacheCheck(trash->get(), trashFolder, "a", 0, 30));
    EXPECT_TRUE(onVolume.copyDataToCacheCheck(trash->get(), trashFolder, "b", 0, 30));
    EXPECT_FALSE(onVolume.copyDataToCacheCheck(trash->get(), trashFolder, "c", 0, 30));
    EXPECT_EQ(onVolume.refusal(), kNotArchivedFreeSpace);
    // Room is made in the same scan: c fits now (it leaves 40%).
    ASSERT_EQ(::unlink((volume + "/filler").c_str()), 0);
    EXPECT_TRUE(onVolume.copyDataToCacheCheck(trash->get(), trashFolder, "c", 0, 30));
    onVolume.endScan();
}

// A folder copy that cannot be written (the volume fills) is not archived and leaves nothing in
// view: no partial folder under an item's name, and no date folder made for it.
TEST_F(CacheCopierTest, folderThatCannotBeWrittenWhollyLeavesNothingInTheCache) {
    auto mounted = volumeWithCache("small", "1m", false);
    if (!mounted)
        GTEST_SKIP() << "mounting a tmpfs is not permitted here";
    const std::string volume = *mounted;
    _dir.writeFile("Trash/Album/small", "fits");
    _dir.writeFile("Trash/Album/large", std::string(2 << 20, 'L'));
    CacheCopier onVolume(volume + "/.TrashCacheFolder/", CacheMode::Copy, 0);
    ::testing::internal::CaptureStderr();
    EXPECT_FALSE(onVolume.copyDataToCache(trash("Album")));
    std::string logged = ::testing::internal::GetCapturedStderr();
    EXPECT_NE(logged.find("No space left on device"), std::string::npos) << logged;
    EXPECT_TRUE(quillet::test::listNames(volume + "/.TrashCacheFolder").empty());
}

// What cannot be read inside a folder (a file or a sub-folder of another account) is left out
// and named in the log; the rest is archived, and the folder counts as archived so that it is
// never copied again into every new minute.
TEST_F(CacheCopierTest, unreadablePartsOfAFolderAreLeftOutNamedAndTheRestArchived) {
    if (::geteuid() != 0)
        GTEST_SKIP() << "needs root to make parts that the test's user cannot read";
    _dir.writeFile("Trash/Mixed/readable", "yes");
    _dir.writeFile("Trash/Mixed/secret", "no");
    _dir.writeFile("Trash/Mixed/Private/inside", "no");
    ASSERT_EQ(::chmod(trash("Mixed/secret").c_str(), 0600), 0);
    ASSERT_EQ(::chmod(trash("Mixed/Private").c_str(), 0700), 0);
    // Everything but the two unreadable parts belongs to "nobody", who archives.
    for (const char *path : {"", "/Trash", "/Trash/Mixed", "/Trash/Mixed/readable", "/.TrashCacheFolder"})
        ASSERT_EQ(::chown((_dir.path() + path).c_str(), 65534, 65534), 0) << path;
    ASSERT_EQ(::chmod(_dir.path().c_str(), 0755), 0);
    pid_t child = ::fork();
    ASSERT_GE(child, 0);
    if (child == 0) {
        if (::setgid(65534) != 0 || ::setuid(65534) != 0)
            ::_exit(10);
        std::fflush(stderr);
        int log = ::open((_dir / "log").c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
        ::dup2(log, 2);
        ::_exit(copier(0).copyDataToCache(trash("Mixed")) ? 0 : 11);
    }
    int status = 0;
    ASSERT_EQ(::waitpid(child, &status, 0), child);
    ASSERT_TRUE(WIFEXITED(status));
    EXPECT_EQ(WEXITSTATUS(status), 0) << readFileText(_dir / "log");
    EXPECT_EQ(readFileText(archived(".x_Mixed/.x_readable")), "yes");
    EXPECT_FALSE(sys::exists(archived(".x_Mixed/.x_secret")));
    const std::string log = readFileText(_dir / "log");
    EXPECT_NE(log.find("left out of the archive: open(" + trash("Mixed/secret") + ")"), std::string::npos) << log;
    EXPECT_NE(log.find("left out of the archive: open(" + trash("Mixed/Private") + ")"), std::string::npos) << log;
}

// Move mode with the trash on another file system than the cache: a rename cannot cross, so the
// entry is copied and removed once its copy is whole; nothing is lost on the way.
TEST_F(CacheCopierTest, moveModeAcrossFileSystemsCopiesThenRemoves) {
    auto mounted = volumeWithCache("other", "8m", false);
    if (!mounted)
        GTEST_SKIP() << "mounting a tmpfs is not permitted here";
    const std::string volume = *mounted;
    _dir.writeFile("Trash/file.txt", "a file");
    _dir.writeFile("Trash/Folder/inner/deep.txt", "deep");
    CacheCopier onVolume(volume + "/.TrashCacheFolder/", CacheMode::Move, 0);
    ASSERT_TRUE(onVolume.copyDataToCache(trash("file.txt")));
    ASSERT_TRUE(onVolume.copyDataToCache(trash("Folder")));
    EXPECT_FALSE(sys::exists(trash("file.txt")));
    EXPECT_FALSE(sys::exists(trash("Folder")));
    std::string minute;
    for (const std::string &name : quillet::test::listNames(volume + "/.TrashCacheFolder"))
        minute = volume + "/.TrashCacheFolder/" + name;
    EXPECT_EQ(readFileText(minute + "/.x_file.txt"), "a file");
    EXPECT_EQ(readFileText(minute + "/.x_Folder/.x_inner/.x_deep.txt"), "deep");
}

// The free-space minimum counts what a folder holds: a folder that would take the volume below
// it is refused, however small its own entry is.
TEST_F(CacheCopierTest, freeSpaceMinimumCountsWhatAFolderHolds) {
    auto mounted = volumeWithCache("tight", "10m", true);
    if (!mounted)
        GTEST_SKIP() << "mounting a tmpfs is not permitted here";
    const std::string volume = *mounted;
    auto fill = [](const std::string &path, size_t bytes) { quillet::test::writeData(path, bytes); };
    fill(volume + "/filler", 4 << 20);
    fill(volume + "/Trash/Big/a", 2 << 20);
    fill(volume + "/Trash/Big/b", 2 << 20); // with it the volume is about 20% free
    fill(volume + "/Trash/Small/a", 256 << 10);
    CacheCopier onVolume(volume + "/.TrashCacheFolder/", CacheMode::Copy, 0);
    // Copying 4 MB would leave about 0%; 256 KB leaves above 15%.
    EXPECT_FALSE(onVolume.copyDataToCacheCheck(volume + "/Trash/Big", 0, 15));
    EXPECT_TRUE(onVolume.copyDataToCacheCheck(volume + "/Trash/Small", 0, 15));
}

TEST_F(CacheCopierTest, socketsInAFolderAreLeftOutWithoutFailingTheCopy) {
    _dir.writeFile("Trash/Session/notes", "n");
    int fd = ::socket(AF_UNIX, SOCK_STREAM, 0);
    ASSERT_GE(fd, 0);
    struct sockaddr_un address {};
    address.sun_family = AF_UNIX;
    std::string socketPath = trash("Session/socket");
    ASSERT_LT(socketPath.size(), sizeof address.sun_path);
    std::copy(socketPath.begin(), socketPath.end(), address.sun_path);
    ASSERT_EQ(::bind(fd, reinterpret_cast<sockaddr *>(&address), sizeof address), 0);
    ::close(fd);
    EXPECT_TRUE(copier(0).copyDataToCache(trash("Session")));
    EXPECT_EQ(readFileText(archived(".x_Session/.x_notes")), "n");
    EXPECT_FALSE(sys::exists(archived(".x_Session/.x_socket")));
}

// The index knows an archived folder by its modification time: the copy in the cache must
// keep it, or every restart would take the folder for a new one and archive it again.
TEST_F(CacheCopierTest, archivedFoldersKeepTheirModificationTimesInBothModes) {
    for (int mode : {0, 1}) {
        std::string name = "Folder" + std::to_string(mode);
        _dir.writeFile("Trash/" + name + "/inner/file", "f");
        setModificationSecond(trash(name + "/inner"), 1000000000);
        setModificationSecond(trash(name), 1100000000);
        ASSERT_TRUE(copier(mode).copyDataToCache(trash(name))) << mode;
        std::string root = archived(".x_" + name);
        EXPECT_EQ(modificationSecond(root), 1100000000) << mode;
        EXPECT_EQ(modificationSecond(root + "/.x_inner"), 1000000000) << mode;
        EXPECT_EQ(readFileText(root + "/.x_inner/.x_file"), "f") << mode;
    }
}

// What cp -a keeps, the archive keeps: extended attributes (ACLs are some) of files and
// folders, and hard links between the files of a folder.
TEST_F(CacheCopierTest, archivedFoldersKeepExtendedAttributesAndHardLinks) {
    _dir.writeFile("Trash/Project/a.txt", "shared");
    ASSERT_EQ(::link(trash("Project/a.txt").c_str(), trash("Project/b.txt").c_str()), 0);
    _dir.writeFile("Trash/Project/notes", "n");
    if (::setxattr(trash("Project/notes").c_str(), "user.origin", "camera", 6, 0) != 0 ||
        ::setxattr(trash("Project").c_str(), "user.tag", "work", 4, 0) != 0)
        GTEST_SKIP() << "this file system takes no user extended attributes";
    ASSERT_TRUE(copier(0).copyDataToCache(trash("Project")));
    const std::string root = archived(".x_Project");
    struct stat a {}, b {};
    ASSERT_EQ(::stat((root + "/.x_a.txt").c_str(), &a), 0);
    ASSERT_EQ(::stat((root + "/.x_b.txt").c_str(), &b), 0);
    EXPECT_EQ(a.st_ino, b.st_ino) << "the hard link became two files";
    EXPECT_EQ(a.st_nlink, 2u);
    char value[16] = {};
    EXPECT_EQ(::getxattr((root + "/.x_notes").c_str(), "user.origin", value, sizeof value), 6);
    EXPECT_STREQ(value, "camera");
    char tag[16] = {};
    EXPECT_EQ(::getxattr(root.c_str(), "user.tag", tag, sizeof tag), 4);
    EXPECT_STREQ(tag, "work");
}

// A name that cannot take the ".x_" prefix within 255 bytes is stored as it is, and its visible
// form is then exactly itself: nothing of the folder is left out, in both modes.
TEST_F(CacheCopierTest, namesTooLongForThePrefixAreStoredAsTheyAre) {
    const std::string longFile(254, 'f');
    const std::string longFolder(255, 'd');
    for (int mode : {0, 1}) {
        SCOPED_TRACE(mode);
        const std::string top = "Long" + std::to_string(mode);
        _dir.writeFile("Trash/" + top + "/" + longFile, "file");
        _dir.writeFile("Trash/" + top + "/" + longFolder + "/inner", "inner");
        CacheCopier archiving = copier(mode);
        ASSERT_TRUE(archiving.copyDataToCache(trash(top)));
        const std::string root = archived(".x_" + top);
        EXPECT_EQ(readFileText(root + "/" + longFile), "file");
        EXPECT_EQ(readFileText(root + "/" + longFolder + "/.x_inner"), "inner");
        EXPECT_EQ(setFileName(longFile, Visibility::Visible), longFile);
    }
    // Too long, and beginning with the prefix: stored as it is it would come back changed.
    EXPECT_FALSE(storedNameOf(".x_" + std::string(253, 'p')));
    EXPECT_EQ(storedNameOf(std::string(252, 'p')), ".x_" + std::string(252, 'p'));
}

TEST_F(CacheCopierTest, foldersNestedDeeperThanAPathCanNameAreArchivedWholeAndMeasured) {
    for (int mode : {0, 1}) {
        SCOPED_TRACE(mode);
        const std::string top = "Deep" + std::to_string(mode);
        makeDeepFolder(_dir / "Trash", top);
        CacheCopier archiving = copier(mode);
        ASSERT_TRUE(archiving.copyDataToCache(trash(top)));
        auto [levels, text] = deepFolderContent(archived(".x_" + top), ".x_" + kDeepLevelName, ".x_bottom.txt");
        EXPECT_EQ(levels, kDeepLevels);
        EXPECT_EQ(text, "deep");
        EXPECT_EQ(sys::folderTreeDataSize(archived(".x_" + top)), 4u);
        if (mode == 0) { // the original stays whole in the trash
            EXPECT_EQ(deepFolderContent(trash(top), kDeepLevelName, "bottom.txt"),
                      std::make_pair(kDeepLevels, std::string("deep")));
        }
    }
}

TEST_F(CacheCopierTest, readOnlyFoldersStayReadOnlyInTheArchiveAndCanStillBeDeleted) {
    for (int mode : {0, 1}) {
        SCOPED_TRACE(mode);
        const std::string top = "Sealed" + std::to_string(mode);
        _dir.writeFile("Trash/" + top + "/inner/note.txt", "kept");
        ASSERT_EQ(::chmod(trash(top + "/inner").c_str(), 0500), 0);
        ASSERT_EQ(::chmod(trash(top).c_str(), 0555), 0);
        CacheCopier archiving = copier(mode);
        ASSERT_TRUE(archiving.copyDataToCache(trash(top)));
        const std::string root = archived(".x_" + top);
        struct stat st {};
        ASSERT_EQ(::lstat(root.c_str(), &st), 0);
        EXPECT_EQ(st.st_mode & 07777, 0555u);
        ASSERT_EQ(::lstat((root + "/.x_inner").c_str(), &st), 0);
        EXPECT_EQ(st.st_mode & 07777, 0500u);
        EXPECT_EQ(readFileText(root + "/.x_inner/.x_note.txt"), "kept");
        // Housekeeping and emptying remove it all the same.
        EXPECT_TRUE(sys::removeTreeAtPath(root));
        EXPECT_FALSE(quillet::test::exists(root));
        if (mode == 0) {
            ASSERT_EQ(::chmod(trash(top).c_str(), 0755), 0);
            ASSERT_EQ(::chmod(trash(top + "/inner").c_str(), 0755), 0);
        }
    }
}
