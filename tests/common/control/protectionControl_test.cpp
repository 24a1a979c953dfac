#include "control/ProtectionControl.h"

#include "ChildProcess.h"
#include "archive/NotArchived.h"
#include "TestDir.h"
#include "platform/ProcessTable.h"

#include <gtest/gtest.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <map>
#include <utility>

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
    // Launched last, detached: it may show in the process table a moment after the others.
    EXPECT_TRUE(quillet::test::waitFor([&] { return running(kCacheManagerDaemonName).size() == 1; }));
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

// ---------------------------------------------------------------------------------------------
// Restarting

// What saving a setting does while protection runs: the daemons end and come back with the
// command lines of the settings stored since.
TEST_F(ProtectionControlTest, restartBringsTheDaemonsBackWithTheSettingsStoredSince) {
    ASSERT_TRUE(allDaemons().empty()) << "daemons of another run are still alive";
    const std::string folder = sys::parentPath(quillet::test::libexecPath("quilletd"));
    ProtectionControl first = ProtectionControl::forUser(folder);
    first.startProtection();
    ASSERT_TRUE(first.confirmLaunches().empty()) << first.failures().front();
    ASSERT_TRUE(quillet::test::waitFor([&] { return running(kProtectionDaemonName).size() == 1; }));
    ASSERT_EQ(running(kProtectionDaemonName)[0][3], "4096");

    ASSERT_TRUE(PreferencesDomain(kQuilletDomain).setValue(prefs::kSizeMaxForCache, PrefValue(2048)).ok());
    ASSERT_TRUE(PreferencesDomain(kQuilletDomain).setValue(prefs::kModeOfCacheFileHandling, PrefValue(1)).ok());
    ProtectionControl control = ProtectionControl::forUser(folder);
    ASSERT_TRUE(control.isRunning());
    ASSERT_TRUE(control.restart());
    EXPECT_TRUE(control.confirmLaunches().empty()) << control.failures().front();

    ASSERT_TRUE(quillet::test::waitFor([&] { return running(kProtectionDaemonName).size() == 1; }));
    EXPECT_EQ(running(kProtectionDaemonName)[0],
              (std::vector<std::string>{"1", _dir / "data/Trash/files/", _dir / "home/", "2048", "10", "1"}));
    EXPECT_EQ(running(kCacheManagerDaemonName), (std::vector<std::vector<std::string>>{{"7", "2048", "10", "0"}}));
    EXPECT_EQ(PreferencesDomain(kQuilletDomain).read()->at(prefs::kDaemonsAreRunning).integerValue(), 1);
    EXPECT_TRUE(control.stopAndWait());
    EXPECT_TRUE(allDaemons().empty());
}

// A daemon that does not end on SIGINT would find the new daemons beside it: nothing is started.
TEST_F(ProtectionControlTest, restartStartsNothingWhileADaemonOutlivesTheStop) {
    ASSERT_TRUE(allDaemons().empty()) << "daemons of another run are still alive";
    const std::string stubborn =
        _dir.writeFile("stubborn/quilletd", "#!/bin/sh\ntrap '' INT\nwhile :; do sleep 1; done\n");
    ASSERT_EQ(::chmod(stubborn.c_str(), 0755), 0);
    quillet::test::ChildProcess stand;
    ASSERT_TRUE(stand.start(stubborn, {stubborn}, {"PATH=/usr/bin:/bin"}, _dir / "stubborn.err"));
    // Named quilletd from its start, it ignores SIGINT only once the shell has read the trap.
    ASSERT_TRUE(quillet::test::waitFor([&] { return quillet::test::statusMaskHas(stand.pid(), "SigIgn", SIGINT); }));
    ASSERT_EQ(running(kProtectionDaemonName).size(), 1u);

    PreferencesDomain domain(kQuilletDomain);
    SettingsMirror mirror = SettingsMirror::load(domain, false);
    ProtectionControl control(_daemons, domain, mirror);
    EXPECT_FALSE(control.restart(std::chrono::milliseconds(300)));
    EXPECT_TRUE(stand.running());
    EXPECT_TRUE(running(kCacheManagerDaemonName).empty()) << "a housekeeping daemon was started";
    EXPECT_EQ(running(kProtectionDaemonName).size(), 1u) << "a second quilletd was started";
    EXPECT_FALSE(sys::exists(_dir / "home/.TrashCacheFolder")) << "the start was begun";
    stand.stop();
}

// ---------------------------------------------------------------------------------------------
// Status

namespace {

// The status of the test's own home, with a process table of the test's choosing: nothing is
// launched or signalled.
class ProtectionStatusTest : public ::testing::Test {
protected:
    ProtectionStatusTest()
        : _home("HOME", _dir / "home"), _data("XDG_DATA_HOME", _dir / "data"),
          _config("XDG_CONFIG_HOME", _dir / "config"), _state("XDG_STATE_HOME", _dir / "state"),
          _roots("QUILLET_VOLUME_ROOTS", _dir / "volumes") {
        _dir.makeDir("home");
        _dir.makeDir("volumes");
        _dir.makeDir("data/Trash/files", 0700);
    }

    /// The status with these short names (as the kernel keeps them) in the process table.
    ProtectionStatus statusWith(const std::vector<std::string> &processes) {
        ProtectionControl control = ProtectionControl::forUser(_dir / "no-daemons");
        control.daemons().setProcessTableSource([processes] {
            std::vector<sys::ProcessEntry> table;
            pid_t pid = 100000;
            for (const std::string &name : processes)
                table.push_back({++pid, name, 'S', ::getuid()});
            return table;
        });
        return control.status();
    }

    TestDir _dir;
    ScopedEnv _home, _data, _config, _state, _roots;
};

} // namespace

TEST_F(ProtectionStatusTest, runningAndTheDaemonCountsAreThoseOfTheProcessTable) {
    struct Case {
        const char *what;
        std::vector<std::string> processes;
        bool running;
        DaemonCounts daemons;
    };
    const std::vector<Case> cases = {
        {"nothing runs", {"bash", "sleep"}, false, {0, 0, 0}},
        {"home trash only", {"quilletd", "quilletCacheMan"}, true, {1, 1, 0}},
        {"every volume", {"quilletd", "quilletMountDis", "quilletd", "quilletCacheMan", "bash"}, true, {2, 1, 1}},
        {"the mount watcher alone", {"quilletMountDis"}, true, {0, 0, 1}},
        // Protection looks damaged: it still counts as running, and each daemon is counted.
        {"housekeeping alone", {"quilletCacheMan"}, true, {0, 1, 0}},
        {"two housekeeping daemons", {"quilletd", "quilletCacheMan", "quilletCacheMan"}, true, {1, 2, 0}},
        {"look-alike names", {"quilletd2", "quillet", "quilletCacheMa", "quilletMount", "quilletMountDisk"}, false,
         {0, 0, 0}},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(c.what);
        const ProtectionStatus status = statusWith(c.processes);
        EXPECT_EQ(status.running, c.running);
        EXPECT_EQ(status.daemons, c.daemons);
    }
}

TEST_F(ProtectionStatusTest, sizesAreThoseOfTheCachesAndTheTrashWithTheTextsShown) {
    struct Case {
        const char *what;
        std::vector<std::pair<std::string, off_t>> files; // below the test folder
        uint64_t cacheBytes;
        const char *cacheText;
        uint64_t trashBytes;
        const char *trashText;
    };
    const std::string day = "home/.TrashCacheFolder/2026-12-07 15_42 +0000/";
    const std::string otherDay = "home/.TrashCacheFolder/2026-12-08 09_00 +0000/";
    const std::vector<Case> cases = {
        {"nothing kept, nothing trashed", {}, 0, "0B", 0, "0"},
        {"a kilobyte and a half", {{day + ".x_a", 1536}, {"data/Trash/files/b", 1024}}, 1536, "1.5KB", 1024, "1024B"},
        {"three gigabytes in two days, a trashed folder",
         {{day + ".x_a", 2LL << 30}, {otherDay + ".x_b/.x_c", 1LL << 30}, {"data/Trash/files/d/e", 1 << 20},
          {"data/Trash/files/d/f", 1}},
         3ULL << 30, "3GB", (1 << 20) + 1, "1MB"},
        // Index and markers count too: they are in the cache folder.
        {"the index alone", {{"home/.TrashCacheFolder/ArchivedFileData", 2047}}, 2047, "2KB", 0, "0"},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(c.what);
        const std::string cache = _dir / "home/.TrashCacheFolder";
        const std::string trash = _dir / "data/Trash/files";
        ASSERT_EQ(quillet::test::runShell("rm -rf '" + cache + "' '" + trash + "' && mkdir -p '" + trash + "'"), 0);
        for (const auto &[path, size] : c.files)
            _dir.writeSizedFile(path, size);
        const ProtectionStatus status = statusWith({});
        EXPECT_EQ(status.cacheBytes, c.cacheBytes);
        EXPECT_EQ(status.cacheSizeText, c.cacheText);
        EXPECT_EQ(status.trashBytes, c.trashBytes);
        EXPECT_EQ(status.trashSizeText, c.trashText);
    }
}

// A cache folder of another account is neither counted nor protected, and says why; what the
// daemons left out in the last day is counted by reason, what they left out before is not.
TEST_F(ProtectionStatusTest, unprotectedVolumesAndWhatWasLeftOutLatelyAreNamed) {
    const std::string cache = _dir.makeDir("home/.TrashCacheFolder", 0700);
    _dir.writeSizedFile("home/.TrashCacheFolder/ArchivedFileData", 4096);
    ASSERT_EQ(::chown(cache.c_str(), 4242, 4242), 0);
    const time_t now = ::time(nullptr);
    _dir.writeFile("state/quillet/daemons.log",
                   notArchivedLine(now - 90000, kNotArchivedSizeLimit, "/t/old.iso") +
                       notArchivedLine(now - 60, kNotArchivedSizeLimit, "/t/disk.iso") +
                       "quilletd: a line of another kind\n" +
                       notArchivedLine(now - 30, kNotArchivedVolumeFull, "/t/a") +
                       notArchivedLine(now - 10, kNotArchivedVolumeFull, "/t/b"));

    const ProtectionStatus status = statusWith({});
    EXPECT_EQ(status.cacheBytes, 0u);
    ASSERT_EQ(status.unprotected.size(), 1u);
    EXPECT_EQ(status.unprotected[0].mountPoint, _dir / "home");
    EXPECT_EQ(status.unprotected[0].why.message(), cache + ": belongs to another account (uid 4242)");
    EXPECT_EQ(status.notArchived.count, 3u);
    EXPECT_EQ(status.notArchived.byReason, (std::map<std::string, size_t>{{std::string(kNotArchivedSizeLimit), 1},
                                                                           {std::string(kNotArchivedVolumeFull), 2}}));
}
