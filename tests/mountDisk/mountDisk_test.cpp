#include "ZRMountManager.h"

#include "archive/CacheFolders.h"
#include "support/ZRAppUtils.h"
#include "platform/MountTable.h"
#include "platform/UserPaths.h"

#include "TestDir.h"

#include <gtest/gtest.h>

#include <sys/stat.h>
#include <unistd.h>

#include <cstdlib>
#include <functional>
#include <string>
#include <vector>

using namespace quillet;
using quillet::mountdisk::newlyMountedVolumes;
using quillet::mountdisk::WatchedVolume;
using quillet::mountdisk::watchedVolumes;
using quillet::mountdisk::ZRMountManager;
using quillet::test::readFileText;
using quillet::test::ScopedEnv;
using quillet::test::TestDir;

namespace {

const std::string kUid = std::to_string(::getuid());

std::vector<std::string> commandLine(const std::string &trash = "/", const std::string &cacheBase = "/") {
    return {"quilletMountDiskd", "1", trash, cacheBase, "100", "10", "1"};
}

std::optional<mode_t> modeOf(const std::string &path) {
    struct stat st {};
    if (::lstat(path.c_str(), &st) != 0)
        return std::nullopt;
    return st.st_mode;
}

// ---------------------------------------------------------------------------------------------
// Command line

struct ArgumentCountCase {
    const char *label;
    int argc;
};

void PrintTo(const ArgumentCountCase &c, std::ostream *out) { *out << c.argc << " entries"; }

class ArgumentCount : public ::testing::TestWithParam<ArgumentCountCase> {};

TEST_P(ArgumentCount, wrongCountIsReportedWithTheCount) {
    std::vector<std::string> strings = {"quilletMountDiskd", "1", "/", "/", "0", "0", "0", "extra"};
    strings.resize(static_cast<size_t>(GetParam().argc));
    std::vector<char *> argv;
    for (std::string &text : strings)
        argv.push_back(text.data());
    argv.push_back(nullptr);

    ::testing::internal::CaptureStderr();
    auto arguments = mountdisk::argumentsFromCommandLine(GetParam().argc, argv.data());
    std::string printed = ::testing::internal::GetCapturedStderr();
    EXPECT_FALSE(arguments.has_value());
    EXPECT_EQ(printed, "quilletMountDiskd : Wrong number of args! (" + std::to_string(GetParam().argc) + ")\n");
}

INSTANTIATE_TEST_SUITE_P(Counts, ArgumentCount,
                         ::testing::Values(ArgumentCountCase {"ProgramNameOnly", 1}, ArgumentCountCase {"SixEntries", 6},
                                           ArgumentCountCase {"EightEntries", 8}),
                         [](const auto &param) { return std::string(param.param.label); });

TEST(MountDiskArguments, sevenEntriesAreTakenAsTheyAre) {
    std::vector<std::string> strings = commandLine();
    std::vector<char *> argv;
    for (std::string &text : strings)
        argv.push_back(text.data());
    argv.push_back(nullptr);
    ::testing::internal::CaptureStderr();
    auto arguments = mountdisk::argumentsFromCommandLine(7, argv.data());
    EXPECT_EQ(::testing::internal::GetCapturedStderr(), "");
    ASSERT_TRUE(arguments.has_value());
    EXPECT_EQ(*arguments, commandLine());
}

TEST(MountDiskArguments, managerKeepsTheSixArgumentsWithoutTheProgramName) {
    ZRMountManager manager(commandLine(), "/nonexistent/quilletd");
    ASSERT_TRUE(manager.arguments().has_value());
    EXPECT_EQ(*manager.arguments(), std::vector<std::string>({"1", "/", "/", "100", "10", "1"}));
    EXPECT_TRUE(manager.daemonsPID().empty());
}

// ---------------------------------------------------------------------------------------------
// Arguments for one volume

TEST(MountDiskArguments, volumeGetsItsTrashFolderAndCacheBaseAndTheRestUnchanged) {
    ZRMountManager manager(commandLine(), "/nonexistent/quilletd");
    manager.setArgumentsForVolume("/media/Data");
    ASSERT_TRUE(manager.arguments().has_value());
    EXPECT_EQ(*manager.arguments(), std::vector<std::string>({"1", "/media/Data/.Trash-" + kUid + "/files/",
                                                              "/media/Data/", "100", "10", "1"}));
    // The cache folder quilletd derives from its cache base.
    EXPECT_EQ(volumeCacheFolder("/media/Data"), "/media/Data/.TrashCacheFolder/");

    // The next volume replaces both; a trailing "/" on the mount point changes nothing.
    manager.setArgumentsForVolume("/media/user/My Disk/");
    EXPECT_EQ(*manager.arguments(), std::vector<std::string>({"1", "/media/user/My Disk/.Trash-" + kUid + "/files/",
                                                              "/media/user/My Disk/", "100", "10", "1"}));
}

TEST(MountDiskArguments, sharedTrashOfTheVolumeIsUsedWhereItExists) {
    TestDir volume;
    volume.makeDir(".Trash/" + kUid + "/files", 0700);
    ASSERT_EQ(::chmod((volume / ".Trash").c_str(), 01777), 0); // the administrator's sticky folder
    ZRMountManager manager(commandLine(), "/nonexistent/quilletd");
    manager.setArgumentsForVolume(volume.path());
    EXPECT_EQ((*manager.arguments())[1], volume.path() + "/.Trash/" + kUid + "/files/");
    EXPECT_EQ((*manager.arguments())[2], volume.path() + "/");
}

// ---------------------------------------------------------------------------------------------
// The mount handler

class MountHandler : public ::testing::Test {
protected:
    void SetUp() override {
        if (ZRAppUtils().isDMGAtPath(_volume.path()))
            GTEST_SKIP() << "the temporary folder lives in a disk image here";
    }

    std::string cacheFolder() const { return _volume / ".TrashCacheFolder"; }

    TestDir _volume;
};

TEST_F(MountHandler, newVolumeGetsCacheFolderAndOneDaemonWithItsArguments) {
    ZRMountManager manager(commandLine(), "/bin/true");
    manager.workspaceDidMountNotification(_volume.path());

    auto mode = modeOf(cacheFolder());
    ASSERT_TRUE(mode.has_value()) << "no cache folder";
    EXPECT_TRUE(S_ISDIR(*mode));
    EXPECT_EQ(*mode & 07777, 0700u);
    EXPECT_EQ(*manager.arguments(), std::vector<std::string>({"1", _volume.path() + "/.Trash-" + kUid + "/files/",
                                                              _volume.path() + "/", "100", "10", "1"}));
    ASSERT_EQ(manager.daemonsPID().size(), 1u);
    EXPECT_EQ(manager.runningDaemons(), manager.daemonsPID());
    manager.waitForDaemons(10000);
    EXPECT_TRUE(manager.runningDaemons().empty()) << "the ended daemon was not reaped";
    EXPECT_EQ(manager.daemonsPID().size(), 1u) << "the launch record is kept";
}

TEST_F(MountHandler, existingCacheFolderIsLeftAsItIsAndDaemonStillLaunched) {
    _volume.makeDir(".TrashCacheFolder", 0755);
    _volume.writeFile(".TrashCacheFolder/marker", "kept");
    ZRMountManager manager(commandLine(), "/bin/true");
    manager.workspaceDidMountNotification(_volume.path());
    EXPECT_EQ(*modeOf(cacheFolder()) & 07777, 0755u);
    EXPECT_EQ(readFileText(cacheFolder() + "/marker"), "kept");
    EXPECT_EQ(manager.daemonsPID().size(), 1u);
    manager.waitForDaemons(10000);
}

// A cache folder that is not a real folder of this user's, or a trash folder reached through a
// link or belonging to another account, leaves the volume unprotected: no daemon, nothing
// written, and a line that says why.
TEST_F(MountHandler, volumeWhoseCacheOrTrashIsNotTheUsersOwnGetsNoDaemon) {
    struct Case {
        const char *label;
        std::function<void(TestDir &)> craft;
        const char *reason;
    };
    const std::string outside = _volume.makeDir("outside", 0777);
    const std::vector<Case> cases = {
        {"file", [](TestDir &v) { v.writeFile(".TrashCacheFolder", "not a folder"); }, "not a folder"},
        {"link",
         [&](TestDir &v) { ASSERT_EQ(::symlink(outside.c_str(), (v / ".TrashCacheFolder").c_str()), 0); },
         "a symbolic link"},
        {"foreign cache",
         [](TestDir &v) {
             v.makeDir(".TrashCacheFolder", 0777);
             ASSERT_EQ(::chown((v / ".TrashCacheFolder").c_str(), 4242, 4242), 0);
         },
         "belongs to another account (uid 4242)"},
        {"linked trash",
         [&](TestDir &v) {
             ASSERT_EQ(::symlink(outside.c_str(), (v / (".Trash-" + kUid)).c_str()), 0);
         },
         "a symbolic link"},
    };
    for (const Case &c : cases) {
        TestDir volume;
        c.craft(volume);
        ZRMountManager manager(commandLine(), "/bin/true");
        ::testing::internal::CaptureStderr();
        manager.workspaceDidMountNotification(volume.path());
        std::string printed = ::testing::internal::GetCapturedStderr();
        EXPECT_TRUE(manager.daemonsPID().empty()) << c.label;
        EXPECT_NE(printed.find(volume.path() + " is not protected: "), std::string::npos) << c.label << ": " << printed;
        EXPECT_NE(printed.find(c.reason), std::string::npos) << c.label << ": " << printed;
    }
    EXPECT_TRUE(quillet::test::listNames(outside).empty()) << "something was written through a link";
}

TEST_F(MountHandler, sameVolumeMountedTwiceGetsTwoDaemons) {
    ZRMountManager manager(commandLine(), "/bin/true");
    manager.workspaceDidMountNotification(_volume.path());
    manager.workspaceDidMountNotification(_volume.path());
    EXPECT_EQ(manager.daemonsPID().size(), 2u);
    manager.waitForDaemons(10000);
    EXPECT_TRUE(manager.runningDaemons().empty());
}

TEST_F(MountHandler, daemonThatCannotBeLaunchedIsReportedAndNotRecorded) {
    const std::string missing = _volume / "libexec/quilletd";
    ZRMountManager manager(commandLine(), missing);
    ::testing::internal::CaptureStderr();
    manager.workspaceDidMountNotification(_volume.path());
    std::string printed = ::testing::internal::GetCapturedStderr();
    EXPECT_TRUE(manager.daemonsPID().empty());
    EXPECT_NE(printed.find("quilletMountDiskd : Can't launch quilletd for " + _volume.path()), std::string::npos)
        << printed;
    EXPECT_NE(printed.find(missing), std::string::npos) << printed;
    EXPECT_NE(printed.find("No such file or directory"), std::string::npos) << printed;
    EXPECT_TRUE(modeOf(cacheFolder()).has_value()) << "the cache folder comes before the launch";
}

TEST_F(MountHandler, notificationWithoutMountPointOrWithoutArgumentsDoesNothing) {
    ZRMountManager manager(commandLine(), "/bin/true");
    manager.workspaceDidMountNotification(std::nullopt);
    manager.timerRefresh();
    EXPECT_TRUE(manager.daemonsPID().empty());

    ZRMountManager plain;
    EXPECT_FALSE(plain.arguments().has_value());
    plain.workspaceDidMountNotification(_volume.path());
    EXPECT_TRUE(plain.daemonsPID().empty());
    EXPECT_FALSE(modeOf(cacheFolder()).has_value()) << "a manager without arguments created a cache folder";
}

TEST_F(MountHandler, killAllDaemonsInterruptsEveryRunningDaemon) {
    // A stand-in daemon that ignores its arguments and runs until interrupted.
    TestDir programs;
    std::string daemon = programs.writeFile("quilletd", "#!/bin/sh\nexec sleep 600\n");
    ASSERT_EQ(::chmod(daemon.c_str(), 0755), 0);
    ZRMountManager manager(commandLine(), daemon);
    manager.workspaceDidMountNotification(_volume.path());
    manager.workspaceDidMountNotification(_volume.path());
    ASSERT_EQ(manager.runningDaemons().size(), 2u);
    ::testing::internal::CaptureStderr();
    manager.killAllDaemons();
    manager.waitForDaemons(10000);
    std::string printed = ::testing::internal::GetCapturedStderr();
    EXPECT_TRUE(manager.runningDaemons().empty());
    for (pid_t pid : manager.daemonsPID())
        EXPECT_NE(printed.find("quilletd (pid " + std::to_string(pid) + ") killed by signal 2"), std::string::npos)
            << printed;
}

// ---------------------------------------------------------------------------------------------
// Telling new mounts from known ones

class MountDiff : public ::testing::Test {
protected:
    ScopedEnv _roots {"QUILLET_VOLUME_ROOTS", "/media:/run/media/user"};
    ScopedEnv _home {"HOME", "/home/user"};

    static std::vector<WatchedVolume> volumes(const std::string &mountInfo) {
        return watchedVolumes(sys::parseMountInfo(kBase + mountInfo));
    }
    static std::vector<std::string> mounted(const std::string &before, const std::string &after) {
        return newlyMountedVolumes(volumes(before), volumes(after));
    }

    static inline const std::string kBase = "22 1 252:0 / / rw,relatime shared:1 - ext4 /dev/vda rw\n"
                                            "23 22 0:21 / /proc rw,nosuid shared:12 - proc proc rw\n"
                                            "24 22 252:16 / /home rw shared:2 - ext4 /dev/vdb rw\n";
};

TEST_F(MountDiff, volumesUnderTheRootsExceptTheHomeVolume) {
    auto listed = volumes("40 22 8:17 / /media/Data rw - ext4 /dev/sdb1 rw\n"
                          "41 22 0:50 / /run/media/user/USB\\040Stick rw - vfat /dev/sdc1 rw\n"
                          "42 22 0:51 / /mnt/other rw - ext4 /dev/sdd1 rw\n");
    EXPECT_EQ(listed, std::vector<WatchedVolume>({{"/media/Data", 40}, {"/run/media/user/USB Stick", 41}}));
}

TEST_F(MountDiff, homeVolumeUnderARootIsNotWatched) {
    ScopedEnv home("HOME", "/media/Home/user");
    auto listed = volumes("40 22 8:17 / /media/Home rw - ext4 /dev/sdb1 rw\n"
                          "41 22 8:33 / /media/Data rw - ext4 /dev/sdc1 rw\n");
    EXPECT_EQ(listed, std::vector<WatchedVolume>({{"/media/Data", 41}}));
}

struct DiffCase {
    const char *label;
    std::string before;
    std::string after;
    std::vector<std::string> expected;
};

void PrintTo(const DiffCase &c, std::ostream *out) { *out << c.label; }

class MountDiffCases : public MountDiff, public ::testing::WithParamInterface<DiffCase> {};

TEST_P(MountDiffCases, newMountPointsAreThoseThePreviousTableLacked) {
    EXPECT_EQ(mounted(GetParam().before, GetParam().after), GetParam().expected);
}

const std::string kData = "40 22 8:17 / /media/Data rw - ext4 /dev/sdb1 rw\n";

INSTANTIATE_TEST_SUITE_P(
    Tables, MountDiffCases,
    ::testing::Values(
        DiffCase {"NewVolume", "", kData, {"/media/Data"}},
        DiffCase {"UnchangedTable", kData, kData, {}},
        DiffCase {"UnmountedVolume", kData, "", {}},
        DiffCase {"RemountedBetweenTwoReads", kData, "47 22 8:17 / /media/Data rw - ext4 /dev/sdb1 rw\n",
                  {"/media/Data"}},
        DiffCase {"MountedOverAKnownVolume", kData, kData + "48 40 0:60 / /media/Data rw - tmpfs tmpfs rw\n",
                  {"/media/Data"}},
        DiffCase {"DiskImageIsListedForTheHandlerToRefuse", "", "41 22 7:0 / /media/Image rw - ext4 /dev/loop0 rw\n",
                  {"/media/Image"}},
        DiffCase {"SeveralNewInTableOrder", kData,
                  kData + "43 22 8:33 / /media/Zeta rw - ext4 /dev/sdc1 rw\n"
                          "44 22 8:49 / /run/media/user/Alpha rw - vfat /dev/sdd1 rw\n",
                  {"/media/Zeta", "/run/media/user/Alpha"}},
        DiffCase {"OneGoesOneComes", kData, "43 22 8:33 / /media/Other rw - ext4 /dev/sdc1 rw\n", {"/media/Other"}},
        DiffCase {"OutsideTheRoots", "", "45 22 8:33 / /srv/Data rw - ext4 /dev/sdc1 rw\n", {}},
        DiffCase {"VolumeRootItself", "", "46 22 0:61 / /media rw - tmpfs tmpfs rw\n", {}},
        DiffCase {"PseudoFileSystem", "", "49 22 0:62 / /media/net rw - autofs systemd-1 rw\n", {}},
        DiffCase {"AutomountOverItsTrigger", "49 22 0:62 / /media/net rw - autofs systemd-1 rw\n",
                  "49 22 0:62 / /media/net rw - autofs systemd-1 rw\n"
                  "50 49 8:65 / /media/net rw - ext4 /dev/sde1 rw\n",
                  {"/media/net"}},
        DiffCase {"NestedMountInsideAVolume", kData,
                  kData + "51 40 8:17 /sub /media/Data/sub rw - ext4 /dev/sdb1 rw\n", {"/media/Data/sub"}}),
    [](const auto &param) { return std::string(param.param.label); });

} // namespace
