#include "archive/ItemOrigin.h"

#include "OtherAccount.h"
#include "TestDir.h"
#include "platform/System.h"

#include <gtest/gtest.h>

#include <unistd.h>

using namespace quillet;
using quillet::test::TestDir;

namespace {

class ItemOriginTest : public ::testing::Test {
protected:
    void SetUp() override {
        ASSERT_TRUE(quillet::test::makeFolder(_dir / "home/.TrashCacheFolder", 0700));
        ASSERT_TRUE(quillet::test::makeFolder(_dir / "vol/.TrashCacheFolder", 0700));
    }

    /// Creates the date folder of cache ("home" or "vol") and adds entries to its store;
    /// answers the date folder's path.
    std::string addStore(const std::string &volume, const std::string &date, const TrashInfoStore &entries) {
        const std::string folder = _dir / (volume + "/.TrashCacheFolder/" + date);
        EXPECT_TRUE(quillet::test::makeFolder(folder, 0700));
        auto fd = sys::openDirectory(folder);
        EXPECT_TRUE(fd.ok());
        if (fd.ok()) {
            EXPECT_TRUE(addToTrashInfoStore(fd->get(), folder, entries).ok());
        }
        return folder;
    }

    /// The cache folders as the command line lists them, with their trailing slash.
    std::vector<std::string> caches() const {
        return {_dir / "home/.TrashCacheFolder/", _dir / "vol/.TrashCacheFolder/"};
    }

    TestDir _dir;
    const std::string _date = quillet::test::dateName(2026, 12, 8, 10, 15);
};

} // namespace

// Stored names and paths carry any bytes: each comes back decoded, exactly.
TEST_F(ItemOriginTest, topItemsComeFromTheirDecodedPathsWhateverTheirNames) {
    const std::string date = addStore("home", _date,
                                      {
                                          {".x_Report final.pdf", {"/home/u/Docs/Report%20final.pdf", "2026-12-08T10:15:00"}},
                                          {".x_two\nlines", {"/home/u/two%0Alines", "2026-12-08T10:15:01"}},
                                          {std::string(".x_bad\xff\xfe"), {"/home/u/bad%FF%FE", ""}},
                                          {".x_100%", {"/home/u/100%25", "2026-12-08T10:15:02"}},
                                          {".x_%41", {"/home/u/%2541", "2026-12-08T10:15:03"}},
                                          {".x_Report-1.pdf", {"/home/u/Other/Report.pdf", "2026-12-08T10:15:04"}},
                                      });
    struct Case {
        std::string stored;
        ItemOrigin expected;
    };
    const Case cases[] = {
        {".x_Report final.pdf", {"/home/u/Docs/Report final.pdf", "2026-12-08T10:15:00"}},
        {".x_two\nlines", {"/home/u/two\nlines", "2026-12-08T10:15:01"}},
        {std::string(".x_bad\xff\xfe"), {std::string("/home/u/bad\xff\xfe"), ""}},
        {".x_100%", {"/home/u/100%", "2026-12-08T10:15:02"}},
        {".x_%41", {"/home/u/%41", "2026-12-08T10:15:03"}},
        // The same name trashed twice in a minute: the numbered one has its own entry.
        {".x_Report-1.pdf", {"/home/u/Other/Report.pdf", "2026-12-08T10:15:04"}},
    };
    OriginLookup lookup(caches());
    for (const Case &c : cases) {
        EXPECT_EQ(lookup.originOf(sys::joinPath(date, c.stored)), c.expected) << c.stored;
        EXPECT_EQ(lookup.originOf(sys::joinPath(date, c.stored) + "/"), c.expected) << "trailing slash: " << c.stored;
    }
}

// A volume's trash records paths relative to the volume's top folder: the cache folder's parent.
TEST_F(ItemOriginTest, relativePathsLieInTheCachesVolume) {
    const std::string volDate =
        addStore("vol", _date, {{".x_on a volume", {"Documents/on%20a%20volume", "2026-12-08T10:15:00"}},
                                {".x_top", {"top", ""}}});
    OriginLookup lookup(caches());
    EXPECT_EQ(lookup.originOf(volDate + "/.x_on a volume"),
              (ItemOrigin{_dir / "vol/Documents/on a volume", "2026-12-08T10:15:00"}));
    EXPECT_EQ(lookup.originOf(volDate + "/.x_top/.x_inner"), (ItemOrigin{_dir / "vol/top/inner", ""}));
    // Given without the trailing slash, the caches read the same.
    OriginLookup bare({_dir / "home/.TrashCacheFolder", _dir / "vol/.TrashCacheFolder"});
    EXPECT_EQ(bare.originOf(volDate + "/.x_top"), (ItemOrigin{_dir / "vol/top", ""}));
}

// Inside an archived folder every component is shown in its visible form under the folder's
// original path, with the folder's deletion date.
TEST_F(ItemOriginTest, nestedItemsComeFromInsideTheirTopFoldersOriginalPlace) {
    const std::string longName(253, 'n'); // too long for the prefix: stored as it is
    const std::string date =
        addStore("home", _date, {{".x_Photos", {"/home/u/Pictures/Photos", "2026-12-08T10:15:00"}}});
    struct Case {
        std::string relative;
        std::string expected;
    };
    const Case cases[] = {
        {".x_Photos/.x_2024/.x_img.jpg", "/home/u/Pictures/Photos/2024/img.jpg"},
        {".x_Photos/.x_.x_odd", "/home/u/Pictures/Photos/.x_odd"}, // the prefix goes once
        {".x_Photos/" + longName, "/home/u/Pictures/Photos/" + longName},
        {".x_Photos/.x_line\nbreak/.x_100%", "/home/u/Pictures/Photos/line\nbreak/100%"},
        {std::string(".x_Photos/.x_\xff/.x_a"), std::string("/home/u/Pictures/Photos/\xff/a")},
        {".x_Photos//.x_a", "/home/u/Pictures/Photos/a"},
    };
    OriginLookup lookup(caches());
    for (const Case &c : cases)
        EXPECT_EQ(lookup.originOf(sys::joinPath(date, c.relative)), (ItemOrigin{c.expected, "2026-12-08T10:15:00"}))
            << c.relative;
}

TEST_F(ItemOriginTest, whatTheStoreDoesNotKnowHasNoOrigin) {
    const std::string date = addStore("home", _date, {{".x_known", {"/home/u/known", ""}}});
    const std::string cache = _dir / "home/.TrashCacheFolder";
    quillet::test::touch(cache + "/not a date/.x_known");
    const std::string cases[] = {
        date + "/.x_unknown",           // no entry
        date + "/.x_unknown/.x_known",  // nested in an item without one
        date,                           // a day row
        date + "/",                     //
        cache,                          // the cache folder itself
        cache + "/not a date/.x_known", // not in a date folder
        date + "/../" + _date + "/.x_known",
        date + "/./.x_known",
        date + "/.x_known/../.x_known",
        _dir / "elsewhere/" + _date + "/.x_known",          // in no cache folder
        _dir / "home/.TrashCacheFolderX/" + _date + "/.x_known", // a name that only begins like one
        "",
    };
    OriginLookup lookup(caches());
    for (const std::string &path : cases)
        EXPECT_FALSE(lookup.originOf(path)) << path;
    EXPECT_TRUE(lookup.originOf(date + "/.x_known"));
}

// Each date folder's store is read once, however many of its items are asked about.
TEST_F(ItemOriginTest, aStoreIsReadOncePerLookup) {
    const std::string date = addStore("home", _date, {{".x_a", {"/home/u/a", "d1"}}, {".x_b", {"/home/u/b", "d2"}}});
    OriginLookup lookup(caches());
    EXPECT_EQ(lookup.originOf(date + "/.x_a"), (ItemOrigin{"/home/u/a", "d1"}));
    ASSERT_EQ(::unlink((date + "/.quillet-trashinfo").c_str()), 0);
    EXPECT_EQ(lookup.originOf(date + "/.x_b"), (ItemOrigin{"/home/u/b", "d2"}));
    EXPECT_FALSE(OriginLookup(caches()).originOf(date + "/.x_b")) << "a new lookup reads the folder again";
}

// A date folder or cache folder reached through a symbolic link is never read.
TEST_F(ItemOriginTest, aDateFolderThatIsALinkIsNeverRead) {
    const std::string real = addStore("home", quillet::test::dateName(2026, 12, 8, 11, 0), {{".x_a", {"/home/u/a", ""}}});
    const std::string linked = _dir / ("home/.TrashCacheFolder/" + _date);
    ASSERT_EQ(::symlink(real.c_str(), linked.c_str()), 0);
    OriginLookup lookup(caches());
    EXPECT_FALSE(lookup.originOf(linked + "/.x_a"));
    EXPECT_TRUE(lookup.originOf(real + "/.x_a"));

    ASSERT_TRUE(quillet::test::makeFolder(_dir / "linkvol", 0700));
    ASSERT_EQ(::symlink((_dir / "home/.TrashCacheFolder").c_str(), (_dir / "linkvol/.TrashCacheFolder").c_str()), 0);
    OriginLookup throughLink({_dir / "linkvol/.TrashCacheFolder/"});
    EXPECT_FALSE(throughLink.originOf(_dir / "linkvol/.TrashCacheFolder/" + quillet::test::dateName(2026, 12, 8, 11, 0) + "/.x_a"));
}

TEST_F(ItemOriginTest, anotherAccountsDateFolderIsNeverRead) {
    auto other = quillet::test::otherAccount();
    if (!other)
        GTEST_SKIP() << quillet::test::otherAccountSkipReason();
    const std::string date = addStore("home", _date, {{".x_a", {"/home/u/a", ""}}});
    ASSERT_TRUE(quillet::test::giveTo(*other, date));
    EXPECT_FALSE(OriginLookup(caches()).originOf(date + "/.x_a"));
}
