#include "jobs/CacheRestore.h"

#include "archive/CacheLayout.h"
#include "TestDir.h"
#include "archive/TrashInfo.h"
#include "platform/System.h"

#include <gtest/gtest.h>

#include <fcntl.h>
#include <sys/stat.h>
#include <sys/xattr.h>
#include <unistd.h>

#include <algorithm>
#include <cstring>
#include <map>
#include <random>
#include <string>
#include <vector>

namespace quillet {
namespace {

using test::exists;
using test::listNames;
using test::readFileText;
using test::TestDir;

/// Everything cp -a keeps of a tree, entry by entry (relative path → description): type, mode,
/// modification time, the bytes of files, the targets of links, the user's extended
/// attributes. names Visible: the paths in visible form, as a restore writes them.
std::map<std::string, std::string> snapshot(const std::string &root, Visibility names = Visibility::Hidden) {
    std::map<std::string, std::string> entries;
    std::vector<std::string> pending = {std::string()};
    while (!pending.empty()) {
        const std::string relative = std::move(pending.back());
        pending.pop_back();
        const std::string path = relative.empty() ? root : root + "/" + relative;
        auto st = test::lstatOf(path);
        if (!st) {
            ADD_FAILURE() << "cannot read " << path;
            continue;
        }
        std::string shown;
        for (size_t start = 0; start < relative.size();) {
            size_t slash = relative.find('/', start);
            if (slash == std::string::npos)
                slash = relative.size();
            const std::string component = relative.substr(start, slash - start);
            shown += (shown.empty() ? "" : "/") +
                     (names == Visibility::Visible ? setFileName(component, Visibility::Visible) : component);
            start = slash + 1;
        }
        std::string description = std::to_string(st->st_mode) + " mtime " + std::to_string(st->st_mtim.tv_sec) + "." +
                                  std::to_string(st->st_mtim.tv_nsec);
        if (S_ISREG(st->st_mode)) {
            description += " data " + readFileText(path);
        } else if (S_ISLNK(st->st_mode)) {
            char target[4096];
            const ssize_t n = ::readlink(path.c_str(), target, sizeof target);
            description += " -> " + std::string(target, n > 0 ? static_cast<size_t>(n) : 0);
        } else if (S_ISDIR(st->st_mode)) {
            for (const std::string &name : listNames(path))
                pending.push_back(relative.empty() ? name : relative + "/" + name);
        }
        if (!S_ISLNK(st->st_mode)) {
            char list[4096];
            const ssize_t size = ::llistxattr(path.c_str(), list, sizeof list);
            for (ssize_t at = 0; at < size; at += static_cast<ssize_t>(std::strlen(list + at)) + 1) {
                const std::string attribute = list + at;
                if (!attribute.starts_with("user."))
                    continue;
                char value[256];
                const ssize_t length = ::lgetxattr(path.c_str(), attribute.c_str(), value, sizeof value);
                description += " " + attribute + "=" + std::string(value, length > 0 ? static_cast<size_t>(length) : 0);
            }
        }
        entries[shown] = description;
    }
    return entries;
}

void setTimes(const std::string &path, time_t atime, time_t mtime) {
    const struct timespec times[2] = {{atime, 123456789}, {mtime, 987654321}};
    ASSERT_EQ(::utimensat(AT_FDCWD, path.c_str(), times, AT_SYMLINK_NOFOLLOW), 0) << path;
}

std::string randomBytes(size_t size, unsigned seed) {
    std::mt19937 random(seed);
    std::string bytes(size, '\0');
    for (char &c : bytes)
        c = static_cast<char>(random() & 0xff);
    return bytes;
}

class CacheRestoreTest : public ::testing::Test {
protected:
    void SetUp() override {
        _oldMask = ::umask(022);
        ASSERT_TRUE(test::makeFolder(cache, 0700));
        ASSERT_TRUE(test::makeFolder(date, 0700));
        ASSERT_TRUE(test::makeFolder(dir / "orig", 0755));
    }
    void TearDown() override { ::umask(_oldMask); }

    /// Records where the stored item of the date folder came from.
    void record(const std::string &stored, const std::string &originalPath, const std::string &deleted = "") {
        auto folder = sys::openDirectory(date);
        ASSERT_TRUE(folder.ok());
        ASSERT_TRUE(addToTrashInfoStore(folder->get(), date, {{stored, {percentEncode(originalPath), deleted}}}).ok());
    }
    /// The row of the cached entry at relative (below the date folder), as list shows it.
    BrowserItem row(const std::string &relative) const {
        const std::string path = date + "/" + relative;
        auto st = test::lstatOf(path);
        if (!st) {
            BrowserItem gone;
            gone.pathToItem = path;
            return gone;
        }
        return makeEntryRow(sys::parentPath(path), sys::lastPathComponent(path), *st, RowOrigin::FlatRow);
    }
    RestoredItem restore(const std::string &relative, const std::optional<std::string> &folder = std::nullopt) {
        CacheRestore restorer({cache + "/"});
        return restorer.restoreItem(row(relative), folder);
    }

    TestDir dir;
    const std::string cache = dir / "home/.TrashCacheFolder";
    const std::string date = cache + "/" + test::dateName(2026, 12, 8, 10, 15);
    mode_t _oldMask = 0;
};

} // namespace

// A file goes back to its original path byte for byte, with the folders it lacked (as mkdir -p
// makes them); the archive stays.
TEST_F(CacheRestoreTest, aFileGoesBackToItsOriginalPathWithItsMissingFolders) {
    const std::string data = randomBytes(70000, 1);
    dir.writeFile("home/.TrashCacheFolder/" + test::dateName(2026, 12, 8, 10, 15) + "/.x_Report final.pdf", data);
    ASSERT_EQ(::chmod((date + "/.x_Report final.pdf").c_str(), 0640), 0);
    setTimes(date + "/.x_Report final.pdf", 1700000000, 1600000000);
    const std::string original = dir / "orig/Documents/2026/Report final.pdf";
    record(".x_Report final.pdf", original, "2026-12-08T10:15:00");

    RestoredItem item = restore(".x_Report final.pdf");
    ASSERT_TRUE(item.status.ok()) << item.status.message();
    EXPECT_EQ(item.target, original);
    EXPECT_FALSE(item.isFolder);
    auto st = test::lstatOf(original); // before the read below sets the access time
    ASSERT_TRUE(st);
    EXPECT_EQ(readFileText(original), data);
    EXPECT_EQ(st->st_mode & 07777, 0640u);
    EXPECT_EQ(st->st_mtim.tv_sec, 1600000000);
    EXPECT_EQ(st->st_mtim.tv_nsec, 987654321);
    EXPECT_EQ(st->st_atim.tv_sec, 1700000000);
    for (const char *made : {"orig/Documents", "orig/Documents/2026"}) {
        auto folder = test::lstatOf(dir / made);
        ASSERT_TRUE(folder && S_ISDIR(folder->st_mode)) << made;
        EXPECT_EQ(folder->st_mode & 07777, 0755u) << made << ": 0777 less the umask";
    }
    EXPECT_EQ(readFileText(date + "/.x_Report final.pdf"), data) << "the archive stays in the cache";
    EXPECT_EQ(listNames(dir / "orig/Documents/2026"), std::vector<std::string>{"Report final.pdf"});
}

// A folder comes back as cp -a would have copied it, names in visible form at every depth.
TEST_F(CacheRestoreTest, aFolderComesBackWithModesTimesAttributesAndLinks) {
    const std::string top = date + "/.x_Project";
    dir.writeFile("home/.TrashCacheFolder/" + test::dateName(2026, 12, 8, 10, 15) + "/.x_Project/.x_src/.x_main.c",
                  "int main() { return 0; }\n");
    dir.writeFile("home/.TrashCacheFolder/" + test::dateName(2026, 12, 8, 10, 15) + "/.x_Project/.x_data.bin",
                  randomBytes(200000, 2));
    dir.writeFile("home/.TrashCacheFolder/" + test::dateName(2026, 12, 8, 10, 15) + "/.x_Project/.x_.x_profile",
                  "really named .x_profile\n");
    ASSERT_TRUE(test::makeFolder(top + "/.x_empty", 0750));
    ASSERT_EQ(::symlink("../elsewhere/target", (top + "/.x_src/.x_link").c_str()), 0);
    ASSERT_EQ(::symlink("/nonexistent", (top + "/.x_dangling").c_str()), 0);
    ASSERT_EQ(::setxattr((top + "/.x_data.bin").c_str(), "user.origin", "camera", 6, 0), 0);
    ASSERT_EQ(::setxattr(top.c_str(), "user.tag", "work", 4, 0), 0);
    ASSERT_EQ(::setxattr((top + "/.x_src").c_str(), "user.tag", "code", 4, 0), 0);
    ASSERT_EQ(::chmod((top + "/.x_src/.x_main.c").c_str(), 0600), 0);
    ASSERT_EQ(::chmod((top + "/.x_src").c_str(), 0751), 0);
    ASSERT_EQ(::chmod(top.c_str(), 0710), 0);
    setTimes(top + "/.x_src/.x_main.c", 1500000000, 1400000000);
    setTimes(top + "/.x_src/.x_link", 1500000000, 1400000001);
    setTimes(top + "/.x_src", 1500000000, 1400000002);
    setTimes(top + "/.x_empty", 1500000000, 1400000003);
    setTimes(top, 1500000000, 1400000004);
    const auto expected = snapshot(top, Visibility::Visible);
    const std::string original = dir / "orig/work/Project";
    record(".x_Project", original);

    RestoredItem item = restore(".x_Project");
    ASSERT_TRUE(item.status.ok()) << item.status.message();
    EXPECT_TRUE(item.isFolder);
    EXPECT_EQ(item.target, original);
    EXPECT_EQ(snapshot(original), expected);
    EXPECT_EQ(listNames(original), (std::vector<std::string>{".x_profile", "dangling", "data.bin", "empty", "src"}));
    EXPECT_EQ(listNames(dir / "orig/work"), std::vector<std::string>{"Project"}) << "no temporary folder left";
    EXPECT_EQ(snapshot(top, Visibility::Visible), expected) << "the archive stays as it was";
}

/// Mode and modification time of each folder named levelName nested below root, outermost
/// first, reached one folder at a time (the paths are longer than any path may be).
std::vector<std::string> nestedFolders(const std::string &root, const std::string &levelName) {
    std::vector<std::string> levels;
    int fd = ::open(root.c_str(), O_RDONLY | O_DIRECTORY);
    while (fd >= 0) {
        struct stat st {};
        if (::fstatat(fd, levelName.c_str(), &st, AT_SYMLINK_NOFOLLOW) != 0)
            break;
        levels.push_back(std::to_string(st.st_mode) + " " + std::to_string(st.st_mtim.tv_sec) + "." +
                         std::to_string(st.st_mtim.tv_nsec));
        const int next = ::openat(fd, levelName.c_str(), O_RDONLY | O_DIRECTORY | O_NOFOLLOW);
        ::close(fd);
        fd = next;
    }
    if (fd >= 0)
        ::close(fd);
    return levels;
}

// A folder nested deeper than any path may name comes back whole: every level with its mode
// and time, the file at the bottom byte for byte.
TEST_F(CacheRestoreTest, aFolderNestedDeeperThanAPathCanNameComesBackWhole) {
    const std::string bottom = randomBytes(100000, 9);
    const std::string hiddenLevel = ".x_" + test::kDeepLevelName;
    test::makeDeepFolder(date, ".x_Deep", bottom, hiddenLevel, ".x_bottom.txt");
    const auto levels = nestedFolders(date + "/.x_Deep", hiddenLevel);
    ASSERT_EQ(levels.size(), static_cast<size_t>(test::kDeepLevels));
    record(".x_Deep", dir / "orig/Deep");

    RestoredItem item = restore(".x_Deep");
    ASSERT_TRUE(item.status.ok()) << item.status.message();
    EXPECT_TRUE(test::holdsDeepFolder(dir / "orig/Deep", test::kDeepLevelName, "bottom.txt", bottom));
    EXPECT_EQ(nestedFolders(dir / "orig/Deep", test::kDeepLevelName), levels);

    ASSERT_TRUE(test::makeFolder(dir / "chosen"));
    item = restore(".x_Deep", dir / "chosen");
    ASSERT_TRUE(item.status.ok()) << item.status.message();
    EXPECT_TRUE(test::holdsDeepFolder(dir / "chosen/Deep", test::kDeepLevelName, "bottom.txt", bottom));
}

// Nothing is ever replaced: the item fails naming the path, and nothing of it is written.
TEST_F(CacheRestoreTest, anExistingItemAtTheTargetIsLeftUntouched) {
    dir.writeFile("home/.TrashCacheFolder/" + test::dateName(2026, 12, 8, 10, 15) + "/.x_notes.txt", "archived");
    dir.writeFile("home/.TrashCacheFolder/" + test::dateName(2026, 12, 8, 10, 15) + "/.x_Photos/.x_a.jpg", "archived");
    dir.writeFile("home/.TrashCacheFolder/" + test::dateName(2026, 12, 8, 10, 15) + "/.x_Linked/.x_b", "archived");
    record(".x_notes.txt", dir / "orig/notes.txt");
    record(".x_Photos", dir / "orig/Photos");
    record(".x_Linked", dir / "orig/Linked");
    dir.writeFile("orig/notes.txt", "mine");
    dir.writeFile("orig/Photos/other.jpg", "mine too");
    ASSERT_EQ(::symlink("nowhere", (dir / "orig/Linked").c_str()), 0);
    const auto before = snapshot(dir / "orig");

    struct Case {
        std::string relative;
        std::string target;
    };
    for (const Case &c : {Case{".x_notes.txt", dir / "orig/notes.txt"}, Case{".x_Photos", dir / "orig/Photos"},
                          Case{".x_Linked", dir / "orig/Linked"}}) {
        RestoredItem item = restore(c.relative);
        EXPECT_EQ(item.status.code(), EEXIST) << c.relative;
        EXPECT_EQ(item.status.message(), c.target + ": already exists");
    }
    EXPECT_EQ(snapshot(dir / "orig"), before);
}

TEST_F(CacheRestoreTest, anItemWithoutTrashInformationNeedsAFolder) {
    dir.writeFile("home/.TrashCacheFolder/" + test::dateName(2026, 12, 8, 10, 15) + "/.x_lost.txt", "data");
    RestoredItem item = restore(".x_lost.txt");
    EXPECT_FALSE(item.status.ok());
    EXPECT_EQ(item.status.path(), date + "/.x_lost.txt");
    EXPECT_EQ(item.status.reason(), "no trash information recorded for it; restore it with --to FOLDER");
    EXPECT_TRUE(item.target.empty());

    ASSERT_TRUE(test::makeFolder(dir / "chosen"));
    item = restore(".x_lost.txt", dir / "chosen");
    ASSERT_TRUE(item.status.ok()) << item.status.message();
    EXPECT_EQ(item.target, dir / "chosen/lost.txt");
    EXPECT_EQ(readFileText(dir / "chosen/lost.txt"), "data");
}

// With a folder given, an item goes there under its visible name, whatever its origin; an item
// inside an archived folder may be restored alone.
TEST_F(CacheRestoreTest, itemsGoIntoAGivenFolderUnderTheirVisibleNames) {
    dir.writeFile("home/.TrashCacheFolder/" + test::dateName(2026, 12, 8, 10, 15) + "/.x_Photos/.x_2024/.x_img.jpg", "jpeg");
    record(".x_Photos", dir / "orig/Photos");
    ASSERT_TRUE(test::makeFolder(dir / "chosen"));
    RestoredItem item = restore(".x_Photos/.x_2024", dir / "chosen");
    ASSERT_TRUE(item.status.ok()) << item.status.message();
    EXPECT_EQ(item.target, dir / "chosen/2024");
    EXPECT_EQ(readFileText(dir / "chosen/2024/img.jpg"), "jpeg");
    EXPECT_FALSE(exists(dir / "orig/Photos"));

    // Without one, a nested item goes to its place inside the folder's original place.
    item = restore(".x_Photos/.x_2024/.x_img.jpg");
    ASSERT_TRUE(item.status.ok()) << item.status.message();
    EXPECT_EQ(item.target, dir / "orig/Photos/2024/img.jpg");
    EXPECT_EQ(readFileText(dir / "orig/Photos/2024/img.jpg"), "jpeg");
}

// Names of any bytes and of any length a file system takes come back exactly.
TEST_F(CacheRestoreTest, hostileAndLongNamesComeBackExactly) {
    const std::vector<std::string> names = {
        "two\nlines", "tab\there", std::string("bad\xff\xfe byte"), "100% sure", std::string(252, 'a'),
        std::string(253, 'b'), std::string(255, 'c'),
    };
    const std::string folder = date + "/.x_Odd\nfolder";
    ASSERT_TRUE(test::makeFolder(folder, 0755));
    for (size_t i = 0; i < names.size(); ++i) {
        const std::string stored = storedNameOf(names[i]).value();
        test::writeData(folder + "/" + stored, 1000 + i);
        test::writeData(date + "/" + stored, 2000 + i);
        record(stored, dir / ("orig/top/" + names[i]));
    }
    record(".x_Odd\nfolder", dir / "orig/Odd\nfolder");
    for (const std::string &name : names) {
        const std::string stored = storedNameOf(name).value();
        RestoredItem item = restore(stored);
        ASSERT_TRUE(item.status.ok()) << item.status.message();
        EXPECT_EQ(readFileText(dir / ("orig/top/" + name)), readFileText(date + "/" + stored)) << name;
    }
    RestoredItem item = restore(".x_Odd\nfolder");
    ASSERT_TRUE(item.status.ok()) << item.status.message();
    std::vector<std::string> sorted = names;
    std::sort(sorted.begin(), sorted.end());
    EXPECT_EQ(listNames(dir / "orig/Odd\nfolder"), sorted);
    EXPECT_EQ(snapshot(dir / "orig/Odd\nfolder"), snapshot(folder, Visibility::Visible));
}

TEST_F(CacheRestoreTest, aSparseFileStaysSparse) {
    constexpr off_t kSize = 64 << 20;
    const std::string stored = date + "/.x_disk.img";
    {
        const int fd = ::open(stored.c_str(), O_WRONLY | O_CREAT | O_EXCL, 0644);
        ASSERT_GE(fd, 0);
        ASSERT_EQ(::pwrite(fd, "head", 4, 0), 4);
        ASSERT_EQ(::pwrite(fd, "tail", 4, kSize - 4), 4);
        ::close(fd);
    }
    record(".x_disk.img", dir / "orig/disk.img");
    RestoredItem item = restore(".x_disk.img");
    ASSERT_TRUE(item.status.ok()) << item.status.message();
    auto st = test::lstatOf(dir / "orig/disk.img");
    ASSERT_TRUE(st);
    EXPECT_EQ(st->st_size, kSize);
    EXPECT_LT(st->st_blocks * 512, 1 << 20) << "the holes were written out";
    EXPECT_EQ(readFileText(dir / "orig/disk.img"), readFileText(stored));
}

// What cannot be restored whole leaves nothing behind: no part of it under its name, no
// temporary folder, none of the folders made for it.
TEST_F(CacheRestoreTest, aFailedFolderLeavesNothingBehind) {
    dir.writeFile("home/.TrashCacheFolder/" + test::dateName(2026, 12, 8, 10, 15) + "/.x_Mixed/.x_good", "good");
    // ".x_" alone has no visible name to be written under.
    dir.writeFile("home/.TrashCacheFolder/" + test::dateName(2026, 12, 8, 10, 15) + "/.x_Mixed/.x_", "nameless");
    record(".x_Mixed", dir / "orig/new/deeper/Mixed");
    RestoredItem item = restore(".x_Mixed");
    EXPECT_EQ(item.status.code(), EINVAL) << item.status.message();
    EXPECT_EQ(item.status.path(), date + "/.x_Mixed/.x_") << item.status.message();
    EXPECT_EQ(listNames(dir / "orig"), std::vector<std::string>{});
}

TEST_F(CacheRestoreTest, daysOutsidersAndTargetsInTheCacheAreRefused) {
    dir.writeFile("home/.TrashCacheFolder/" + test::dateName(2026, 12, 8, 10, 15) + "/.x_a", "a");
    dir.writeFile("home/.TrashCacheFolder/" + test::dateName(2026, 12, 8, 10, 15) + "/.x_b", "b");
    dir.writeFile("home/.TrashCacheFolder/" + test::dateName(2026, 12, 8, 10, 15) + "/.x_c", "c");
    dir.writeFile("outside/.x_d", "d");
    record(".x_a", cache + "/restored-into-the-cache");
    record(".x_b", dir / "orig/../escaped");
    record(".x_c", "/");
    CacheRestore restorer({cache + "/"});

    auto day = test::lstatOf(date);
    ASSERT_TRUE(day);
    RestoredItem item = restorer.restoreItem(makeDayRow(cache + "/", sys::lastPathComponent(date), *day,
                                                        FolderSize::Skip));
    EXPECT_EQ(item.status.code(), EISDIR) << item.status.message();
    item = restorer.restoreItem(row(".x_a"));
    EXPECT_EQ(item.status.code(), EINVAL) << item.status.message();
    item = restorer.restoreItem(row(".x_b"));
    EXPECT_EQ(item.status.code(), EINVAL) << item.status.message();
    item = restorer.restoreItem(row(".x_c"));
    EXPECT_EQ(item.status.code(), EINVAL) << item.status.message();
    item = restorer.restoreItem(row(".x_a"), cache);
    EXPECT_EQ(item.status.code(), EINVAL) << item.status.message();
    auto outside = test::lstatOf(dir / "outside/.x_d");
    ASSERT_TRUE(outside);
    item = restorer.restoreItem(makeEntryRow(dir / "outside", ".x_d", *outside, RowOrigin::FlatRow), dir / "orig");
    EXPECT_EQ(item.status.code(), EXDEV) << item.status.message();

    EXPECT_EQ(listNames(dir / "orig"), std::vector<std::string>{});
    EXPECT_EQ(listNames(date), (std::vector<std::string>{".quillet-trashinfo", ".x_a", ".x_b", ".x_c"}));
    EXPECT_FALSE(exists(dir / "escaped"));
}

// A list of rows gets one outcome each, in order; a failure does not stop the others.
TEST_F(CacheRestoreTest, eachRowHasItsOwnOutcome) {
    dir.writeFile("home/.TrashCacheFolder/" + test::dateName(2026, 12, 8, 10, 15) + "/.x_one", "1");
    dir.writeFile("home/.TrashCacheFolder/" + test::dateName(2026, 12, 8, 10, 15) + "/.x_two", "2");
    dir.writeFile("home/.TrashCacheFolder/" + test::dateName(2026, 12, 8, 10, 15) + "/.x_three", "3");
    record(".x_one", dir / "orig/one");
    record(".x_three", dir / "orig/three");
    CacheRestore restorer({cache + "/"});
    auto items = restorer.restoreItems({row(".x_one"), row(".x_two"), row(".x_three"), row(".x_gone")});
    ASSERT_EQ(items.size(), 4u);
    EXPECT_TRUE(items[0].status.ok());
    EXPECT_EQ(items[1].status.reason(), CacheRestore::kUnknownOrigin);
    EXPECT_TRUE(items[2].status.ok());
    EXPECT_EQ(items[3].status.code(), ENOENT);
    EXPECT_EQ(readFileText(dir / "orig/one"), "1");
    EXPECT_EQ(readFileText(dir / "orig/three"), "3");
}

} // namespace quillet
