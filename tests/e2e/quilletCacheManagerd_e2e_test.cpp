// End-to-end tests of quilletCacheManagerd: the built daemon runs against a temporary home and
// tmpfs volumes mounted under a temporary volume root (QUILLET_VOLUME_ROOTS), reading the real
// mount table. The tests look at what it deletes and what it writes to stderr.
//
// Nothing here measures time. A pass is observed through its deletions, polled with generous
// time-outs. "The daemon has finished its pass" is read from /proc/PID/syscall: the daemon
// sleeps in clock_nanosleep only between passes (and for ever in idle mode), and a pass always
// runs before the first sleep.

#include "ChildProcess.h"
#include "TestDir.h"

#include <gtest/gtest.h>

#include <signal.h>
#include <sys/stat.h>
#include <sys/statvfs.h>
#include <sys/syscall.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <fstream>
#include <optional>
#include <string>
#include <vector>

namespace {

using quillet::test::ChildProcess;
using quillet::test::dateName;
using quillet::test::exists;
using quillet::test::isExecutable;
using quillet::test::isFolder;
using quillet::test::libexecPath;
using quillet::test::listNames;
using quillet::test::makeFolder;
using quillet::test::readFileText;
using quillet::test::TestDir;
using quillet::test::TmpfsMounts;
using quillet::test::touch;
using quillet::test::waitFor;
using quillet::test::writeData;

// ---------------------------------------------------------------------------------------------
// Helpers

std::string daemonPath() { return libexecPath("quilletCacheManagerd"); }

uint64_t freePercentage(const std::string &volume) {
    struct statvfs figures {};
    if (::statvfs(volume.c_str(), &figures) != 0 || figures.f_blocks == 0)
        return 100;
    return figures.f_bavail * 100 / figures.f_blocks;
}

/// True while the process sleeps in clock_nanosleep (between passes, or in idle mode).
bool sleepingBetweenPasses(pid_t pid) {
    std::ifstream syscall("/proc/" + std::to_string(pid) + "/syscall");
    long number = -1;
    return static_cast<bool>(syscall >> number) && number == SYS_clock_nanosleep;
}

// ---------------------------------------------------------------------------------------------
// The fixture: a temporary home, its trash and cache folder, and an empty volume root

class QuilletCacheManagerdTest : public ::testing::Test {
protected:
    void SetUp() override {
        ASSERT_TRUE(isExecutable(daemonPath())) << "quilletCacheManagerd not built at " << daemonPath();
        _home = _tmp / "home";
        _volumes = _tmp / "volumes";
        _cache = _home + "/.TrashCacheFolder/";
        _trash = _home + "/.local/share/Trash/files/";
        ASSERT_TRUE(makeFolder(_home));
        ASSERT_TRUE(makeFolder(_volumes));
        ASSERT_TRUE(makeFolder(_cache, 0700));
        ASSERT_TRUE(makeFolder(_trash, 0700));
    }

    void TearDown() override {
        _daemon.stop();
        _mounts.clear();
    }

    std::optional<std::string> mountVolume(const std::string &name, const std::string &size) {
        return _mounts.mount(_volumes + "/" + name, size);
    }

    std::vector<std::string> environment() const {
        return {"HOME=" + _home, "XDG_DATA_HOME=" + _home + "/.local/share", "QUILLET_VOLUME_ROOTS=" + _volumes,
                "TZ=UTC", "LC_ALL=C", "PATH=/usr/local/bin:/usr/bin:/bin"};
    }

    void startDaemon(const std::vector<std::string> &args,
                     ChildProcess::Interrupt interrupt = ChildProcess::Interrupt::Default) {
        _stderrPath = _tmp / ("quilletCacheManagerd-" + std::to_string(++_runs) + ".stderr");
        ASSERT_TRUE(_daemon.start(daemonPath(), args, environment(), _stderrPath, interrupt))
            << "cannot start quilletCacheManagerd";
    }

    /// Waits until the daemon sleeps between passes (so its first pass is over).
    void waitUntilSleeping() {
        ASSERT_TRUE(waitFor([this] { return !_daemon.running() || sleepingBetweenPasses(_daemon.pid()); }))
            << "quilletCacheManagerd never went to sleep";
        ASSERT_TRUE(_daemon.running()) << "quilletCacheManagerd ended: " << daemonStderr();
    }

    std::string daemonStderr() const { return _stderrPath.empty() ? std::string() : readFileText(_stderrPath); }

    void makeDateFolders(const std::string &cache, const std::vector<std::string> &names) {
        for (const std::string &name : names)
            writeData(cache + name + "/.x_item", 100);
    }

    TestDir _tmp;
    std::string _home, _volumes, _cache, _trash, _stderrPath;
    ChildProcess _daemon;
    int _runs = 0;
    TmpfsMounts _mounts;
};

// ---------------------------------------------------------------------------------------------
// Command line and signals

class QuilletCacheManagerdArgumentsTest : public QuilletCacheManagerdTest,
                                           public ::testing::WithParamInterface<std::vector<std::string>> {};

TEST_P(QuilletCacheManagerdArgumentsTest, wrongArgumentCountIsRefusedWithStatusOne) {
    ASSERT_NO_FATAL_FAILURE(startDaemon(GetParam()));
    std::optional<int> status = _daemon.waitForExit();
    ASSERT_TRUE(status) << "quilletCacheManagerd kept running with " << GetParam().size() << " arguments";
    ASSERT_TRUE(WIFEXITED(*status));
    EXPECT_EQ(WEXITSTATUS(*status), 1);
    EXPECT_EQ(daemonStderr(), "cacheManager: Bad arguments!\n");
}

// Argument vectors of 4 and 6 entries (program name included), and of 1 and 2.
INSTANTIATE_TEST_SUITE_P(ArgumentCounts, QuilletCacheManagerdArgumentsTest,
                         ::testing::Values(std::vector<std::string>{"7", "0", "10"},
                                           std::vector<std::string>{"7", "0", "10", "0", "0"},
                                           std::vector<std::string>{}, std::vector<std::string>{"7"}),
                         [](const ::testing::TestParamInfo<std::vector<std::string>> &paramInfo) {
                             return std::to_string(paramInfo.param.size()) + "Arguments";
                         });

TEST_F(QuilletCacheManagerdTest, sigintEndsTheDaemonAtOnceEvenWhenTheLauncherBlockedIt) {
    ASSERT_NO_FATAL_FAILURE(startDaemon({"7", "0", "10", "0"}, ChildProcess::Interrupt::Blocked));
    ASSERT_NO_FATAL_FAILURE(waitUntilSleeping());
    _daemon.signal(SIGINT);
    std::optional<int> status = _daemon.waitForExit();
    ASSERT_TRUE(status) << "quilletCacheManagerd did not end on SIGINT";
    EXPECT_TRUE(WIFSIGNALED(*status) && WTERMSIG(*status) == SIGINT) << "wait status " << *status;
}

// ---------------------------------------------------------------------------------------------
// Idle mode

TEST_F(QuilletCacheManagerdTest, idleModeLeavesAFullVolumeAndOldDaysAlone) {
    auto volume = mountVolume("full", "2m");
    if (!volume)
        GTEST_SKIP() << "cannot mount a tmpfs here (needs root)";
    std::string cache = *volume + "/.TrashCacheFolder/";
    makeDateFolders(_cache, {dateName(2009, 3, 1), dateName(2009, 3, 2), dateName(2009, 3, 3)});
    writeData(cache + dateName(2009, 3, 1) + "/.x_big", 1300 * 1024);
    writeData(cache + dateName(2009, 3, 2) + "/.x_big", 650 * 1024);
    touch(cache + "UPD_FLAG_CACHE_MANAGER");
    touch(_cache + "UPD_FLAG_CACHE_MANAGER");
    ASSERT_LT(freePercentage(*volume), 10u);

    // Days 0: idle, even with a free-space minimum of 10%.
    ASSERT_NO_FATAL_FAILURE(startDaemon({"0", "0", "10", "0"}));
    ASSERT_NO_FATAL_FAILURE(waitUntilSleeping());
    EXPECT_TRUE(exists(cache + dateName(2009, 3, 1) + "/.x_big"));
    EXPECT_TRUE(exists(cache + dateName(2009, 3, 2) + "/.x_big"));
    EXPECT_TRUE(exists(cache + "UPD_FLAG_CACHE_MANAGER"));
    EXPECT_TRUE(exists(_cache + "UPD_FLAG_CACHE_MANAGER"));
    EXPECT_EQ(listNames(_cache).size(), 4u);
    EXPECT_EQ(daemonStderr(), "");
}

// ---------------------------------------------------------------------------------------------
// Passes

TEST_F(QuilletCacheManagerdTest, firstPassKeepsTheDayLimit) {
    makeDateFolders(_cache, {dateName(2009, 3, 1, 8), dateName(2009, 3, 1, 9), dateName(2009, 3, 2),
                             dateName(2009, 3, 3), dateName(2009, 3, 4)});
    touch(_cache + "ArchivedFileData");
    touch(_cache + "UPD_FLAG");
    // Four days, two to keep: the first two folders go (both of the oldest day).
    ASSERT_NO_FATAL_FAILURE(startDaemon({"2", "500", "0", "0"}));
    ASSERT_NO_FATAL_FAILURE(waitUntilSleeping());
    EXPECT_EQ(listNames(_cache), (std::vector<std::string>{dateName(2009, 3, 2), dateName(2009, 3, 3),
                                                           dateName(2009, 3, 4), "ArchivedFileData", "UPD_FLAG"}));
}

TEST_F(QuilletCacheManagerdTest, firstPassFreesSpaceOnAVolumeBelowTheMinimum) {
    auto volume = mountVolume("small", "4m");
    if (!volume)
        GTEST_SKIP() << "cannot mount a tmpfs here (needs root)";
    std::string cache = *volume + "/.TrashCacheFolder/";
    const std::string a = dateName(2009, 3, 1), b = dateName(2009, 3, 2), c = dateName(2009, 3, 3);
    writeData(cache + a + "/.x_a1", 700 * 1024);
    writeData(cache + b + "/.x_b1", 700 * 1024);
    writeData(cache + c + "/.x_c1", 700 * 1024);
    writeData(cache + "ArchivedFileData", 1024);
    writeData(*volume + "/filler", 1300 * 1024);
    // About 16% free against 30%: a budget of about 600 KB, met by the oldest folder's file.
    ASSERT_NO_FATAL_FAILURE(startDaemon({"365", "0", "30", "0"}));
    ASSERT_TRUE(waitFor([&] { return !exists(cache + a + "/.x_a1"); })) << daemonStderr();
    ASSERT_NO_FATAL_FAILURE(waitUntilSleeping());
    EXPECT_TRUE(isFolder(cache + a));
    EXPECT_TRUE(exists(cache + b + "/.x_b1"));
    EXPECT_TRUE(exists(cache + c + "/.x_c1"));
    EXPECT_TRUE(exists(cache + "ArchivedFileData"));
}

TEST_F(QuilletCacheManagerdTest, markerIsConsumedAndStartsAPass) {
    const std::string newest = dateName(2009, 3, 9), older = dateName(2009, 3, 1);
    makeDateFolders(_cache, {newest});
    touch(_cache + "ArchivedFileData");
    touch(_cache + "UPD_FLAG");
    ASSERT_NO_FATAL_FAILURE(startDaemon({"1", "0", "0", "0"}));
    ASSERT_NO_FATAL_FAILURE(waitUntilSleeping());

    // A second day appears (beyond the limit of one), then quilletd's marker.
    makeDateFolders(_cache, {older});
    touch(_cache + "UPD_FLAG_CACHE_MANAGER");
    EXPECT_TRUE(waitFor([&] { return !exists(_cache + "UPD_FLAG_CACHE_MANAGER"); })) << "marker never consumed";
    EXPECT_TRUE(waitFor([&] { return !exists(_cache + older); })) << "no pass after the marker";
    EXPECT_TRUE(isFolder(_cache + newest));
    EXPECT_TRUE(exists(_cache + "ArchivedFileData"));
    EXPECT_TRUE(exists(_cache + "UPD_FLAG"));
}

TEST_F(QuilletCacheManagerdTest, newTrashEntriesStartAPass) {
    const std::string newest = dateName(2009, 3, 9), older = dateName(2009, 3, 1);
    makeDateFolders(_cache, {newest});
    ASSERT_NO_FATAL_FAILURE(startDaemon({"1", "0", "0", "0"}));
    ASSERT_NO_FATAL_FAILURE(waitUntilSleeping());

    makeDateFolders(_cache, {older});
    touch(_trash + "Report.pdf");
    EXPECT_TRUE(waitFor([&] { return !exists(_cache + older); })) << "no pass after a new trash entry";
    EXPECT_TRUE(isFolder(_cache + newest));
    EXPECT_TRUE(exists(_trash + "Report.pdf"));
}

} // namespace
