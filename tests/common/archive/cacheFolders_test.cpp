#include "archive/CacheFolders.h"

#include "TestDir.h"

#include <gtest/gtest.h>

using namespace quillet;
using quillet::test::ScopedEnv;
using quillet::test::TestDir;

TEST(CacheFolders, homeCacheFolderLiesInTheHomeFolder) {
    TestDir dir;
    ScopedEnv home("HOME", dir / "home");
    EXPECT_EQ(homeCacheFolder(), dir / "home/.TrashCacheFolder/");
}

TEST(CacheFolders, volumeCacheFolderLiesAtTheVolumeRoot) {
    struct Case {
        std::string mountPoint;
        std::string cache;
    };
    const Case cases[] = {
        {"/media/Data", "/media/Data/.TrashCacheFolder/"},
        {"/media/user/My Disk/", "/media/user/My Disk/.TrashCacheFolder/"}, // a trailing "/" changes nothing
        {"/", "/.TrashCacheFolder/"},
    };
    for (const Case &c : cases)
        EXPECT_EQ(volumeCacheFolder(c.mountPoint), c.cache) << c.mountPoint;
}
