#include "ProtectionControl.h"

#include "ChildProcess.h"
#include "TestDir.h"
#include "platform/ProcessTable.h"

#include <gtest/gtest.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <map>

using namespace quillet;
using quillet::test::ScopedEnv;
using quillet::test::TestDir;
using quillet::test::TmpfsMount;

namespace {

// Starts and stops the real daemons of the build, so CTest runs it alone: it reads and
// signals every daemon on the machine.
class ProtectionControlTest : public ::testing::Test {
protected:
    ProtectionControlTest()
        : _home("HOME", _dir / "home"), _data("XDG_DATA_HOME", _dir / "data"), _config("XDG_CONFIG_HOME", _dir / "config"),
          _roots("QUILLET_VOLUME_ROOTS", _dir / "volumes"),
          _daemons(sys::parentPath(quillet::test::libexecPath("quilletd"))) {
        _dir.makeDir("home");
        _dir.makeDir("volumes");
    }
    void TearDown() override {
        _daemons.killAllDaemons();
        quillet::test::waitFor([&] { return allDaemons().empty(); });
    }

    // Command lines of the running daemons of one name (arguments only).
    std::vector<std::vector<std::string>> running(const char *name) const {
        return quillet::test::argumentsOfProcessesNamed(name);
    }
    std::vector<std::vector<std::string>> allDaemons() const {
        auto all = running(kProtectionDaemonName);
        for (const char *name : {kCacheManagerDaemonName, kMountDaemonName})
            for (auto &line : running(name))
                all.push_back(line);
        return all;
    }
    static mode_t modeOf(const std::string &path) {
        struct stat st {};
        return ::stat(path.c_str(), &st) == 0 ? st.st_mode & 07777 : 0;
    }

    TestDir _dir;
    ScopedEnv _home, _data, _config, _roots;
    DaemonControl _daemons;
};

} // namespace

TEST_F(ProtectionControlTest, homeOnlyStartLaunchesOneProtectionAndOneHousekeepingDaemonThenStops) {
    ASSERT_TRUE(allDaemons().empty()) << "daemons of another run are still alive";
    PreferencesDomain domain(kQuilletDomain);
    SettingsMirror mirror = SettingsMirror::load(domain, false);
    ProtectionControl control(_daemons, domain, mirror);

    EXPECT_EQ(control.startStop(StopRequest::FromProgram), StartStopOutcome::Started);
    EXPECT_TRUE(control.failures().empty()) << control.failures().front();
    ASSERT_TRUE(quillet::test::waitFor([&] { return running(kProtectionDaemonName).size() == 1; }));
    EXPECT_EQ(running(kProtectionDaemonName)[0],
              (std::vector<std::string>{"1", _dir / "data/Trash/files/", _dir / "home/", "4096", "10", "0"}));
    ASSERT_EQ(running(kCacheManagerDaemonName).size(), 1u);
    EXPECT_EQ(running(kCacheManagerDaemonName)[0], (std::vector<std::string>{"7", "4096", "10", "0"}));
    EXPECT_TRUE(running(kMountDaemonName).empty());
    EXPECT_EQ(modeOf(_dir / "home/.TrashCacheFolder"), 0700u);
    EXPECT_EQ(modeOf(_dir / "data/Trash/files"), 0700u);
    EXPECT_EQ(modeOf(_dir / "data/Trash/info"), 0700u);
    auto stored = domain.read();
    ASSERT_TRUE(stored.ok());
    EXPECT_EQ(stored->at(prefs::kDaemonsAreRunning).integerValue(), 1);
    EXPECT_GT(stored->at(prefs::kTimeOfLastDaemonLaunch).integerValue(), 0);

    // The user's own control asks first; the stop itself leaves nothing running.
    EXPECT_EQ(control.startStop(StopRequest::FromUserControl), StartStopOutcome::StopNeedsConfirmation);
    EXPECT_EQ(running(kProtectionDaemonName).size(), 1u);
    control.stopProtection();
    EXPECT_TRUE(quillet::test::waitFor([&] { return allDaemons().empty(); }));
    EXPECT_EQ(domain.read()->at(prefs::kDaemonsAreRunning).integerValue(), 0);
    EXPECT_FALSE(control.refreshRunningState());
    // Nothing launched is our child: no zombie is left behind.
    EXPECT_EQ(::waitpid(-1, nullptr, WNOHANG), -1);
}

TEST_F(ProtectionControlTest, everyLocalVolumeGetsAProtectionDaemonButDiskImagesDoNot) {
    ASSERT_TRUE(allDaemons().empty()) << "daemons of another run are still alive";
    TmpfsMount data(_dir / "volumes/Data", "8m");
    if (!data.mounted())
        GTEST_SKIP() << "mounting a tmpfs is not permitted here";
    std::string uid = std::to_string(::getuid());
    _dir.makeDir("volumes/Data/.Trash-" + uid + "/files", 0700);
    std::string image = _dir / "image.ext4";
    bool imageMounted = quillet::test::runShell("truncate -s 16M '" + image + "' && mkfs.ext4 -q -F '" + image +
                                                "' >/dev/null 2>&1 && mkdir -p '" + _dir / "volumes/Image" +
                                                "' && mount -o loop '" + image + "' '" + _dir / "volumes/Image" +
                                                "' 2>/dev/null") == 0;

    PreferencesDomain domain(kQuilletDomain);
    ASSERT_TRUE(domain.setValue(prefs::kSurveyHomeTrashOnly, PrefValue(0)).ok());
    ASSERT_TRUE(domain.setValue(prefs::kModeOfCacheFileHandling, PrefValue(1)).ok());
    SettingsMirror mirror = SettingsMirror::load(domain, false);
    ProtectionControl control(_daemons, domain, mirror);
    EXPECT_EQ(control.startStop(StopRequest::FromProgram), StartStopOutcome::Started);

    ASSERT_TRUE(quillet::test::waitFor([&] { return running(kProtectionDaemonName).size() == 2; }));
    auto protection = running(kProtectionDaemonName);
    std::sort(protection.begin(), protection.end());
    auto expectedHome = std::vector<std::string>{"1", _dir / "data/Trash/files/", _dir / "home/", "4096", "10", "1"};
    auto expectedData = std::vector<std::string>{"1", _dir / ("volumes/Data/.Trash-" + uid + "/files/"),
                                                 _dir / "volumes/Data/", "4096", "10", "1"};
    auto expected = std::vector<std::vector<std::string>>{expectedHome, expectedData};
    std::sort(expected.begin(), expected.end());
    EXPECT_EQ(protection, expected);
    ASSERT_EQ(running(kMountDaemonName).size(), 1u);
    EXPECT_EQ(running(kMountDaemonName)[0], (std::vector<std::string>{"1", "/", "/", "4096", "10", "1"}));
    EXPECT_EQ(running(kCacheManagerDaemonName).size(), 1u);
    EXPECT_EQ(modeOf(_dir / "volumes/Data/.TrashCacheFolder"), 0700u);
    if (imageMounted) {
        EXPECT_FALSE(sys::exists(_dir / "volumes/Image/.TrashCacheFolder"));
    }
    EXPECT_EQ(control.cacheFolders().size(), 2u);

    control.stopProtection();
    EXPECT_TRUE(quillet::test::waitFor([&] { return allDaemons().empty(); }));
    if (imageMounted) {
        (void)quillet::test::runShell("umount -l '" + _dir / "volumes/Image" + "'");
    }
}

// A volume whose cache folder belongs to another account (made 0777, with a minute folder
// ready) or whose trash folder is reached through a link is left unprotected and named, with
// the reason; nothing of this user's is written there. The other volumes are protected.
TEST_F(ProtectionControlTest, volumesWhoseFoldersAreNotTheUsersOwnAreLeftUnprotectedAndNamed) {
    ASSERT_TRUE(allDaemons().empty()) << "daemons of another run are still alive";
    TmpfsMount shared(_dir / "volumes/Shared", "8m");
    TmpfsMount linked(_dir / "volumes/Linked", "8m");
    TmpfsMount own(_dir / "volumes/Own", "8m");
    if (!shared.mounted() || !linked.mounted() || !own.mounted())
        GTEST_SKIP() << "mounting a tmpfs is not permitted here";
    const std::string uid = std::to_string(::getuid());
    const std::string foreignCache = _dir / "volumes/Shared/.TrashCacheFolder";
    _dir.makeDir("volumes/Shared/.TrashCacheFolder/2026-12-08 10_00 +0000", 0777);
    ASSERT_EQ(::chmod(foreignCache.c_str(), 0777), 0);
    ASSERT_EQ(::chown(foreignCache.c_str(), 4242, 4242), 0);
    _dir.makeDir("volumes/Shared/.Trash-" + uid + "/files", 0700);
    const std::string elsewhere = _dir.makeDir("elsewhere/files", 0700);
    ASSERT_EQ(::symlink(sys::parentPath(elsewhere).c_str(), (_dir / ("volumes/Linked/.Trash-" + uid)).c_str()), 0);

    PreferencesDomain domain(kQuilletDomain);
    ASSERT_TRUE(domain.setValue(prefs::kSurveyHomeTrashOnly, PrefValue(0)).ok());
    SettingsMirror mirror = SettingsMirror::load(domain, false);
    auto foreseen = ProtectionControl::unprotectedVolumes(mirror);
    ASSERT_EQ(foreseen.size(), 2u);
    ProtectionControl control(_daemons, domain, mirror);
    control.startProtection();
    EXPECT_TRUE(control.confirmLaunches().empty()) << control.failures().front();

    ASSERT_EQ(control.unprotected().size(), 2u);
    std::map<std::string, std::string> why;
    for (const UnprotectedVolume &volume : control.unprotected())
        why[volume.mountPoint] = volume.why.message();
    EXPECT_EQ(why[_dir / "volumes/Shared"], foreignCache + ": belongs to another account (uid 4242)");
    EXPECT_EQ(why[_dir / ("volumes/Linked")], _dir / ("volumes/Linked/.Trash-" + uid) + ": a symbolic link, not a folder");
    for (const UnprotectedVolume &volume : foreseen)
        EXPECT_EQ(volume.why.message(), why[volume.mountPoint]);

    // The home and the volume of the user's own get their daemons; the others nothing at all.
    ASSERT_TRUE(quillet::test::waitFor([&] { return running(kProtectionDaemonName).size() == 2; }));
    for (const auto &line : running(kProtectionDaemonName))
        EXPECT_TRUE(line[2] == _dir / "home/" || line[2] == _dir / "volumes/Own/") << line[2];
    EXPECT_EQ(control.cacheFolders().size(), 2u);
    EXPECT_EQ(quillet::test::listNames(foreignCache), std::vector<std::string>{"2026-12-08 10_00 +0000"});
    EXPECT_TRUE(quillet::test::listNames(foreignCache + "/2026-12-08 10_00 +0000").empty());
    EXPECT_FALSE(sys::exists(_dir / "volumes/Linked/.TrashCacheFolder/ArchivedFileData"));
    EXPECT_TRUE(quillet::test::listNames(elsewhere).empty());
    control.stopProtection();
    EXPECT_TRUE(quillet::test::waitFor([&] { return allDaemons().empty(); }));
}

// A daemon that ends at once is named a second later, with what it wrote to the daemon log.
TEST_F(ProtectionControlTest, aDaemonThatEndsAtOnceIsNamedWithItsMessage) {
    ASSERT_TRUE(allDaemons().empty()) << "daemons of another run are still alive";
    // The daemons of the build, but a housekeeping daemon that refuses its arguments.
    const std::string folder = _dir.makeDir("daemons");
    for (const char *name : {kProtectionDaemonName, kMountDaemonName})
        ASSERT_EQ(::symlink(quillet::test::libexecPath(name).c_str(), (folder + "/" + name).c_str()), 0);
    _dir.writeFile("daemons/quilletCacheManagerd", "#!/bin/sh\necho 'cacheManager: Bad arguments!' >&2\nexit 1\n");
    ASSERT_EQ(::chmod((folder + "/quilletCacheManagerd").c_str(), 0755), 0);
    DaemonControl daemons(folder);

    PreferencesDomain domain(kQuilletDomain);
    SettingsMirror mirror = SettingsMirror::load(domain, false);
    ProtectionControl control(daemons, domain, mirror);
    control.startProtection();
    auto missing = control.confirmLaunches();
    ASSERT_EQ(missing.size(), 1u);
    EXPECT_EQ(missing[0], "quilletCacheManagerd is not running: cacheManager: Bad arguments!");
    EXPECT_EQ(control.failures(), missing);
    EXPECT_EQ(running(kProtectionDaemonName).size(), 1u) << "the protection daemon still runs";
    EXPECT_NE(quillet::test::readFileText(_dir / "home/.local/state/quillet/daemons.log").find("Bad arguments"),
              std::string::npos);
    control.stopProtection();
    EXPECT_TRUE(quillet::test::waitFor([&] { return allDaemons().empty(); }));
}
