#include "support/ZRAppUtils.h"
#include "support/PLXFilesUtils.h"
#include "platform/System.h"

#include "TestDir.h"

#include <gtest/gtest.h>
#include <sys/mount.h>
#include <unistd.h>

#include <cstdlib>

using namespace quillet;
using quillet::test::readFileText;
using quillet::test::TestDir;
using quillet::test::TmpfsMount;

TEST(FolderSize, sumsDataOfEverythingButFoldersWithoutFollowingLinks) {
    TestDir dir;
    ZRAppUtils utils;
    dir.makeDir("empty");
    EXPECT_EQ(utils.getFolderSize(dir / "empty"), 0u);
    dir.writeFile("tree/ten", "0123456789");
    dir.writeFile("tree/sub/five", "01234");
    EXPECT_EQ(utils.getFolderSize(dir / "tree"), 15u);
    EXPECT_EQ(utils.getFolderSize(dir / "tree/ten"), 0u); // a file
    EXPECT_EQ(utils.getFolderSize(dir / "missing"), 0u);

    // A link counts as itself, and what it points to is never entered.
    dir.writeFile("outside/big", std::string(1000, 'b'));
    ASSERT_EQ(::symlink((dir / "outside").c_str(), (dir / "tree/link").c_str()), 0);
    EXPECT_EQ(utils.getFolderSize(dir / "tree"), 15u + (dir / "outside").size());
    dir.writeFile("tree/.hidden/deep/er/file", "123");
    EXPECT_EQ(getFolderSizeForPath((dir / "tree").c_str()), 18u + (dir / "outside").size());
    EXPECT_EQ(getFolderSizeForPath(nullptr), 0u);
}

TEST(FolderSize, wideTreesSharedOutAmongThreadsAddUpExactly) {
    TestDir dir;
    uint64_t expected = 0;
    for (int folder = 0; folder < 60; ++folder)
        for (int file = 0; file < 7; ++file) {
            std::string content(static_cast<size_t>(folder * 7 + file), 'w');
            dir.writeFile("wide/f" + std::to_string(folder % 6) + "/g" + std::to_string(folder) + "/" +
                              std::to_string(file),
                          content);
            expected += content.size();
        }
    for (int round = 0; round < 5; ++round)
        EXPECT_EQ(ZRAppUtils().getFolderSize(dir / "wide"), expected);
}

TEST(FolderSize, deepTreesCostNoRecursion) {
    TestDir dir;
    std::string relative = "deep";
    for (int level = 0; level < 300; ++level)
        relative += "/d";
    dir.writeFile(relative + "/leaf", "leaf");
    EXPECT_EQ(ZRAppUtils().getFolderSize(dir / "deep"), 4u);
}

TEST(FolderSize, volumeRootGivesTheCapacity) {
    TestDir dir;
    TmpfsMount volume(dir / "volume", "2m");
    if (!volume.mounted())
        GTEST_SKIP() << "mounting a tmpfs is not permitted here";
    dir.writeFile("volume/file", "x");
    EXPECT_EQ(ZRAppUtils().getFolderSize(dir / "volume"), 2u << 20);
}

TEST(ZRAppUtils, trueFoldersAndApplications) {
    TestDir dir;
    ZRAppUtils utils;
    for (const char *folder : {"Photos.RTFD", "Doc.pages", "Site.WebLoc", "Tool.app", "Plain", "project.old"})
        dir.makeDir(folder);
    EXPECT_FALSE(utils.isTrueFolder(dir / "Photos.RTFD"));
    EXPECT_FALSE(utils.isTrueFolder(dir / "Doc.pages"));
    EXPECT_FALSE(utils.isTrueFolder(dir / "Site.WebLoc"));
    EXPECT_FALSE(utils.isTrueFolder(dir / "Tool.app"));
    EXPECT_TRUE(utils.isTrueFolder(dir / "Plain"));
    EXPECT_TRUE(utils.isTrueFolder(dir / "project.old"));
    EXPECT_FALSE(utils.isTrueFolder(dir.writeFile("file.txt")));
    EXPECT_FALSE(utils.isTrueFolder(dir / "missing"));

    EXPECT_TRUE(utils.isApplication(dir / "Tool.app"));
    EXPECT_TRUE(utils.isApplication(dir / "NotThere.app")); // decided by the name alone
    dir.makeDir("Upper.APP");
    EXPECT_FALSE(utils.isApplication(dir / "Upper.APP"));
    EXPECT_TRUE(utils.isApplication(dir.writeFile("editor.desktop", "[Desktop Entry]\nType=Application\nExec=ed\n")));
    EXPECT_FALSE(utils.isApplication(dir.writeFile("link.desktop", "[Desktop Entry]\nType=Link\nURL=x\n")));
    EXPECT_FALSE(utils.isApplication(dir.writeFile("other.desktop", "[Other]\nType=Application\n")));
    EXPECT_TRUE(utils.isApplication(dir.writeFile("Tool.AppImage", "ELF")));
    EXPECT_FALSE(utils.isApplication(""));
}

TEST(ZRAppUtils, systemVersionIsPacked) {
    EXPECT_EQ(ZRAppUtils::packSystemVersion("6.1.0-28-amd64"), 0x060100);
    EXPECT_EQ(ZRAppUtils::packSystemVersion("3.15.2"), 0x030F02);
    EXPECT_EQ(ZRAppUtils::packSystemVersion("5.10"), 0x050A00);
    EXPECT_EQ(ZRAppUtils::packSystemVersion("4.19.300"), 0x0413FF);
    EXPECT_EQ(ZRAppUtils::packSystemVersion("garbage"), 0);
    EXPECT_GE(ZRAppUtils().getSystemVersion(), 0x030F00);
}

TEST(ZRAppUtils, loginItemsAreAutostartEntriesAddedOnceAndRemoved) {
    TestDir dir;
    ::setenv("XDG_CONFIG_HOME", (dir / "config").c_str(), 1);
    std::string program = dir.writeFile("bin dir/QuilletMenuExtra", "#!/bin/sh\n");
    std::string entry = dir / "config/autostart/com.plx.QuilletMenuExtra.desktop";
    ZRAppUtils utils;

    utils.setAnAppInLoginItems(true, program);
    ASSERT_TRUE(utils.isInLoginItems(program));
    std::string text = readFileText(entry);
    EXPECT_NE(text.find("Exec=\"" + program + "\""), std::string::npos) << text;
    EXPECT_NE(text.find("Type=Application"), std::string::npos);

    // Already there: nothing is written again.
    ASSERT_EQ(::truncate(entry.c_str(), 0), 0);
    dir.writeFile("config/autostart/com.plx.QuilletMenuExtra.desktop", text + "X-Marker=kept\n");
    utils.setAnAppInLoginItems(true, program);
    EXPECT_NE(readFileText(entry).find("X-Marker=kept"), std::string::npos);

    // A missing program changes nothing, not even a removal.
    utils.setAnAppInLoginItems(false, dir / "bin dir/Gone");
    utils.setAnAppInLoginItems(true, dir / "bin dir/Gone");
    EXPECT_TRUE(sys::exists(entry));
    EXPECT_EQ(sys::listDirectory(dir / "config/autostart")->size(), 1u);

    // An entry written by someone else for the same program counts as the login item.
    dir.writeFile("config/autostart/other.desktop", "[Desktop Entry]\nType=Application\nExec=/usr/bin/other --x\n");
    utils.setAnAppInLoginItems(false, program);
    EXPECT_FALSE(sys::exists(entry));
    EXPECT_FALSE(utils.isInLoginItems(program));
    EXPECT_TRUE(sys::exists(dir / "config/autostart/other.desktop"));
    ::unsetenv("XDG_CONFIG_HOME");
}

TEST(ZRAppUtils, localFoldersAreNotServersAndFilesLeaveTheFlagAlone) {
    TestDir dir;
    ZRAppUtils utils;
    bool mounted = false;
    EXPECT_FALSE(utils.isServerAtPath(dir.writeFile("file"), &mounted));
    EXPECT_FALSE(mounted);
    EXPECT_FALSE(utils.isServerAtPath(dir.path(), &mounted));
    EXPECT_TRUE(mounted);
    EXPECT_FALSE(utils.isServerAtPath(dir / "missing", nullptr));
    EXPECT_FALSE(PLXFilesUtils::isVolumeServer(dir.path()));
    EXPECT_FALSE(PLXFilesUtils::isVolumeServer(dir / "missing"));
    std::string resolved;
    EXPECT_TRUE(PLXFilesUtils::getFSRef(&resolved, dir.path()));
    EXPECT_FALSE(PLXFilesUtils::getFSRef(&resolved, ""));
}

TEST(ZRAppUtils, diskImagesAreLoopMountsAndTmpfsIsNot) {
    TestDir dir;
    ZRAppUtils utils;
    EXPECT_FALSE(utils.isDMGAtPath(dir.path()));
    EXPECT_FALSE(utils.isDMGAtPath(dir / "missing"));
    TmpfsMount tmpfs(dir / "tmpfs", "1m");
    if (!tmpfs.mounted())
        GTEST_SKIP() << "mounting is not permitted here";
    EXPECT_FALSE(utils.isDMGAtPath(dir / "tmpfs"));

    std::string image = dir / "tmpfs-image.ext4";
    if (quillet::test::runShell("truncate -s 8M '" + image + "' && mkfs.ext4 -q -F '" + image + "' 2>/dev/null") != 0)
        GTEST_SKIP() << "mkfs.ext4 is not available";
    ::mkdir((dir / "image").c_str(), 0755);
    if (quillet::test::runShell("mount -o loop '" + image + "' '" + dir / "image" + "' 2>/dev/null") != 0)
        GTEST_SKIP() << "loop devices are not available here";
    EXPECT_TRUE(utils.isDMGAtPath(dir / "image"));
    EXPECT_FALSE(utils.isServerAtPath(dir / "image", nullptr));
    ::umount2((dir / "image").c_str(), MNT_DETACH);
}
