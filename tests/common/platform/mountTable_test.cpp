#include "platform/MountTable.h"
#include "platform/FolderSize.h"
#include "platform/UserPaths.h"

#include "TestDir.h"

#include <gtest/gtest.h>
#include <sys/mount.h>
#include <unistd.h>

#include <cstdlib>

using namespace quillet;
using quillet::test::ScopedEnv;
using quillet::test::TestDir;
using quillet::test::TmpfsMount;

namespace {

constexpr const char *kSampleMountInfo =
    "22 1 252:0 / / rw,relatime shared:1 - ext4 /dev/vda rw\n"
    "23 22 0:21 / /proc rw,nosuid shared:12 - proc proc rw\n"
    "40 22 0:35 / /media/user/USB\\040Stick rw,nosuid shared:20 - vfat /dev/sdb1 rw\n"
    "41 22 7:0 / /media/user/Image rw shared:21 - ext4 /dev/loop0 rw\n"
    "42 22 0:40 / /mnt/nas rw shared:22 - nfs4 nas:/export rw\n"
    "43 22 0:41 / /mnt/auto rw shared:23 - autofs systemd-1 rw\n"
    "44 22 0:42 / /home rw shared:24 - ext4 /dev/vdb rw\n"
    "garbage line without separator\n"
    "45 22 0:43 / /mnt/share rw - cifs //NAS/share rw\n";

} // namespace

TEST(MountTable, parsesMountInfoAndUnescapesMountPoints) {
    auto table = sys::parseMountInfo(kSampleMountInfo);
    ASSERT_EQ(table.size(), 8u);
    EXPECT_EQ(table[0].mountPoint, "/");
    EXPECT_EQ(table[0].major, 252u);
    EXPECT_EQ(table[2].mountPoint, "/media/user/USB Stick");
    EXPECT_EQ(table[2].fsType, "vfat");
    EXPECT_EQ(table[2].source, "/dev/sdb1");
    EXPECT_EQ(table[4].source, "nas:/export");
    EXPECT_EQ(table[7].mountPoint, "/mnt/share");
}

TEST(MountTable, mountHoldingPicksTheLongestWholeComponentPrefix) {
    auto table = sys::parseMountInfo(kSampleMountInfo);
    EXPECT_EQ(sys::mountHolding("/home/user/file", table)->mountPoint, "/home");
    EXPECT_EQ(sys::mountHolding("/homework", table)->mountPoint, "/");
    EXPECT_EQ(sys::mountHolding("/media/user/USB Stick/a", table)->mountPoint, "/media/user/USB Stick");
    EXPECT_EQ(sys::mountHolding("/mnt/nas", table)->mountPoint, "/mnt/nas");
    EXPECT_FALSE(sys::mountHolding("/x", {}).has_value());
}

TEST(MountTable, localVolumesListTheHomeVolumeFirstThenVolumeRootsInTableOrder) {
    ScopedEnv home("HOME", "/home/user");
    ScopedEnv roots("QUILLET_VOLUME_ROOTS", "/media/user:/mnt/");
    auto volumes = sys::mountedLocalVolumes(sys::parseMountInfo(kSampleMountInfo));
    std::vector<std::string> points;
    for (const auto &volume : volumes)
        points.push_back(volume.mountPoint);
    // /proc is a pseudo file system and /mnt/auto an automounter: neither counts.
    EXPECT_EQ(points, (std::vector<std::string>{"/home", "/media/user/USB Stick", "/media/user/Image", "/mnt/nas",
                                                "/mnt/share"}));
    EXPECT_TRUE(volumes[0].isHomeVolume);
    EXPECT_FALSE(volumes[1].isHomeVolume);
}

TEST(MountTable, serverSourcesNameTheirHost) {
    struct Case {
        const char *source;
        const char *host;
    } cases[] = {{"nas:/export", "nas"},         {"user@nas:path", "nas"}, {"//NAS/share", "NAS"},
                 {"LOCALHOST:/x", "LOCALHOST"},  {"[::1]:/x", "::1"},      {"/dev/sda1", nullptr},
                 {"tmpfs", nullptr},             {":/x", nullptr},         {"//", nullptr}};
    for (const Case &c : cases) {
        auto host = sys::mountSourceHost(c.source);
        if (c.host)
            EXPECT_EQ(host.value_or("<none>"), c.host) << c.source;
        else
            EXPECT_FALSE(host.has_value()) << c.source;
    }
    auto table = sys::parseMountInfo("1 0 0:1 / /a rw - nfs nas:/export rw\n"
                                     "2 0 0:2 / /b rw - cifs //NAS/share rw\n"
                                     "3 0 0:3 / /c rw - nfs4 LOCALHOST:/x rw\n"
                                     "4 0 0:4 / /d rw - fuse.sshfs user@box:/home rw\n"
                                     "5 0 0:5 / /e rw - ext4 nas:/export rw\n");
    ASSERT_EQ(table.size(), 5u);
    EXPECT_TRUE(sys::isServerMount(table[0]));
    EXPECT_TRUE(sys::isServerMount(table[1]));
    EXPECT_FALSE(sys::isServerMount(table[2])); // the local host in capitals
    EXPECT_TRUE(sys::isServerMount(table[3]));
    EXPECT_FALSE(sys::isServerMount(table[4])); // not a network file system
    EXPECT_TRUE(sys::isNetworkFileSystem("nfs4"));
    EXPECT_TRUE(sys::isNetworkFileSystem("fuse.sshfs"));
    EXPECT_FALSE(sys::isNetworkFileSystem("ext4"));
    EXPECT_TRUE(sys::isPseudoFileSystem("cgroup2"));
    EXPECT_FALSE(sys::isPseudoFileSystem("tmpfs"));
}

TEST(MountTable, volumeRootsComeFromTheEnvironment) {
    {
        ScopedEnv roots("QUILLET_VOLUME_ROOTS", "/a:/b/::/c");
        EXPECT_EQ(sys::volumeRoots(), (std::vector<std::string>{"/a", "/b", "/c"}));
    }
    ScopedEnv roots("QUILLET_VOLUME_ROOTS", "");
    auto defaults = sys::volumeRoots();
    ASSERT_EQ(defaults.size(), 3u);
    EXPECT_EQ(defaults[0], "/media");
    EXPECT_TRUE(defaults[1].starts_with("/run/media/"));
    EXPECT_EQ(defaults[2], "/mnt");
}

TEST(MountTable, realTmpfsUnderAVolumeRootIsALocalVolumeAndAWatchSeesIt) {
    TestDir dir;
    ScopedEnv roots("QUILLET_VOLUME_ROOTS", dir / "volumes");
    sys::MountWatch watch;
    TmpfsMount volume(dir / "volumes/Data", "1m");
    if (!volume.mounted())
        GTEST_SKIP() << "mounting a tmpfs is not permitted here";
    sigset_t mask;
    sigemptyset(&mask);
    EXPECT_TRUE(watch.wait(5000, &mask));
    auto volumes = sys::mountedLocalVolumes();
    bool listed = false;
    for (const auto &v : volumes)
        listed = listed || v.mountPoint == dir / "volumes/Data";
    EXPECT_TRUE(listed);
    EXPECT_EQ(sys::mountHolding(dir / "volumes/Data/x")->fsType, "tmpfs");
    EXPECT_TRUE(sys::isVolumeRoot(dir / "volumes/Data"));
    EXPECT_FALSE(sys::isVolumeRoot(dir.path()));
}

// The administrator's shared trash is used as the freedesktop.org rule has it, when
// "$topdir/.Trash" is a real folder with the sticky bit; the user's folder in it must then be a
// real folder of the user's, or the volume's trash is refused (never the per-user one instead,
// which the trash clients would not use).
TEST(UserPaths, sharedVolumeTrashIsUsedWhenStickyAndRealAndItsUserFolderMustBeTheUsers) {
    TestDir dir;
    const std::string uid = std::to_string(::getuid());
    const std::string shared = dir / ("vol/.Trash/" + uid + "/files/");
    const std::string perUser = dir / ("vol/.Trash-" + uid + "/files/");
    dir.makeDir("vol/.Trash", 0777);
    // Not sticky: anyone could replace the user's folder in it.
    ASSERT_EQ(::chmod((dir / "vol/.Trash").c_str(), 0777), 0);
    EXPECT_EQ(sys::volumeTrashFolder(dir / "vol"), perUser);
    // Sticky: used, even before the first item trashed there makes the user's folder.
    ASSERT_EQ(::chmod((dir / "vol/.Trash").c_str(), 01777), 0);
    ASSERT_EQ(::chown((dir / "vol/.Trash").c_str(), 4242, 4242), 0); // the administrator's
    EXPECT_EQ(sys::volumeTrashFolder(dir / "vol"), shared);
    EXPECT_EQ(sys::openTrashFolder(shared, dir / "vol").code(), ENOENT);
    dir.makeDir("vol/.Trash/" + uid + "/files", 0700);
    EXPECT_TRUE(sys::openTrashFolder(shared, dir / "vol").ok());
    // The user's folder in it belongs to someone else, or is a link: refused, with the reason.
    ASSERT_EQ(::chown((dir / ("vol/.Trash/" + uid)).c_str(), 4242, 4242), 0);
    auto refused = sys::openTrashFolder(shared, dir / "vol");
    ASSERT_FALSE(refused.ok());
    EXPECT_EQ(refused.status().message(), dir / ("vol/.Trash/" + uid) + ": belongs to another account (uid 4242)");
    ASSERT_EQ(::chown((dir / ("vol/.Trash/" + uid)).c_str(), ::getuid(), ::getgid()), 0);
    ASSERT_EQ(::rename((dir / ("vol/.Trash/" + uid)).c_str(), (dir / "vol/elsewhere").c_str()), 0);
    ASSERT_EQ(::symlink((dir / "vol/elsewhere").c_str(), (dir / ("vol/.Trash/" + uid)).c_str()), 0);
    EXPECT_EQ(sys::openTrashFolder(shared, dir / "vol").code(), ELOOP);
    // ".Trash" itself a link to a sticky folder: not the shared trash.
    ASSERT_EQ(::rename((dir / "vol/.Trash").c_str(), (dir / "vol/sticky").c_str()), 0);
    ASSERT_EQ(::symlink((dir / "vol/sticky").c_str(), (dir / "vol/.Trash").c_str()), 0);
    EXPECT_EQ(sys::volumeTrashFolder(dir / "vol"), perUser);
    EXPECT_EQ(sys::openTrashFolder(shared, dir / "vol").code(), ELOOP);
}

TEST(UserPaths, foldersFollowTheBaseDirectories) {
    TestDir dir;
    ScopedEnv home("HOME", dir / "home");
    ScopedEnv data("XDG_DATA_HOME", dir / "data");
    ScopedEnv config("XDG_CONFIG_HOME", "relative/is/ignored");
    EXPECT_EQ(sys::homeTrashFolder(), dir / "data/Trash/files/");
    EXPECT_EQ(sys::configFolder(), dir / "home/.config");
    std::string uid = std::to_string(::getuid());
    EXPECT_EQ(sys::volumeTrashFolder(dir / "vol"), dir / ("vol/.Trash-" + uid + "/files/"));

    ASSERT_TRUE(sys::ensureHomeTrash().ok());
    for (const char *folder : {"data/Trash", "data/Trash/files", "data/Trash/info"}) {
        struct stat st {};
        ASSERT_EQ(::stat((dir / folder).c_str(), &st), 0) << folder;
        EXPECT_EQ(st.st_mode & 0777, 0700u) << folder;
    }
    EXPECT_TRUE(sys::ensureHomeTrash().ok()); // again: nothing to do
    ASSERT_TRUE(sys::ensureCacheFolder(dir / "home.cache").ok());
    struct stat st {};
    ASSERT_EQ(::stat((dir / "home.cache").c_str(), &st), 0);
    EXPECT_EQ(st.st_mode & 0777, 0700u);
}
