#include "control/DaemonControl.h"

#include "ChildProcess.h"
#include "OtherAccount.h"
#include "TestDir.h"
#include "platform/ProcessTable.h"

#include <fcntl.h>
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>

using namespace quillet;
using quillet::test::ScopedEnv;
using quillet::test::TestDir;

namespace {

// These tests read and signal the whole process table, so CTest runs them alone. The daemons
// are stand-ins: copies of sleep(1) under the daemons' names in a folder of the test's own.
class DaemonControlTest : public ::testing::Test {
protected:
    void SetUp() override {
        for (const char *name : {"quilletd", "quilletCacheManagerd", "quilletMountDiskd", "quilletMount"})
            ASSERT_EQ(quillet::test::runShell("cp /bin/sleep '" + _dir / name + "'"), 0);
    }
    void TearDown() override {
        for (pid_t pid : runningFromOurFolder())
            ::kill(pid, SIGKILL);
    }

    /// Processes of any account running the copy called name, zombies left out.
    std::vector<pid_t> runningFrom(const std::string &name) const {
        std::vector<pid_t> found;
        for (const std::string &entry : quillet::test::listNames("/proc")) {
            if (entry.find_first_not_of("0123456789") != std::string::npos)
                continue;
            auto exe = sys::readlinkAt(AT_FDCWD, "/proc/" + entry + "/exe");
            const pid_t pid = static_cast<pid_t>(std::stol(entry));
            if (exe && *exe == _dir / name && quillet::test::processState(pid) != 'Z')
                found.push_back(pid);
        }
        return found;
    }
    std::vector<pid_t> runningFromOurFolder() const {
        std::vector<pid_t> all;
        for (const char *name : {"quilletd", "quilletCacheManagerd", "quilletMountDiskd", "quilletMount"})
            for (pid_t pid : runningFrom(name))
                all.push_back(pid);
        return all;
    }
    void launch(DaemonControl &control, const std::string &name, size_t expectedRunning) {
        ASSERT_TRUE(control.launch(name, {"60"}).ok());
        ASSERT_TRUE(quillet::test::waitFor([&] { return runningFrom(name).size() == expectedRunning; })) << name;
    }

    TestDir _dir;
};

} // namespace

TEST_F(DaemonControlTest, countsMatchByNameAndLeadingPartsNeitherCountNorGetSignalled) {
    DaemonControl control(_dir.path());
    ASSERT_EQ(control.countDaemonsRunning(), 0) << "daemons of another run are still alive";
    EXPECT_FALSE(control.isDaemonRunning(ReportProblems::Yes));
    launch(control, "quilletMount", 1);
    EXPECT_FALSE(control.isDaemonRunning(ReportProblems::Yes));
    launch(control, "quilletd", 1);
    launch(control, "quilletd", 2);
    launch(control, "quilletCacheManagerd", 1);
    EXPECT_EQ(control.countDaemonsRunning(), 2);
    int problems = 0;
    DaemonControl watching(_dir.path(), {[&] {
                                             ++problems;
                                             return ProtectionProblemChoice::ContinueAnyway;
                                         },
                                         nullptr, nullptr});
    EXPECT_TRUE(watching.isDaemonRunning(ReportProblems::Yes));
    EXPECT_EQ(problems, 0); // two protection daemons and one housekeeping daemon: as it should be

    // Nothing launched is our child: no zombie can be left behind.
    EXPECT_EQ(::waitpid(-1, nullptr, WNOHANG), -1);

    control.killAllDaemons();
    EXPECT_TRUE(quillet::test::waitFor([&] { return runningFrom("quilletd").empty(); }));
    EXPECT_TRUE(quillet::test::waitFor([&] { return runningFrom("quilletCacheManagerd").empty(); }));
    EXPECT_EQ(runningFrom("quilletMount").size(), 1u) << "a look-alike name was signalled";
    EXPECT_FALSE(control.isDaemonRunning(ReportProblems::Yes));
}

TEST_F(DaemonControlTest, anExtraHousekeepingDaemonIsAnAnomaly) {
    int problems = 0;
    std::vector<int> pauses;
    DaemonControl control(_dir.path(), {[&] {
                                            ++problems;
                                            return ProtectionProblemChoice::ContinueAnyway;
                                        },
                                        nullptr, [&](int seconds) { pauses.push_back(seconds); }});
    launch(control, "quilletd", 1);
    launch(control, "quilletCacheManagerd", 1);
    launch(control, "quilletCacheManagerd", 2);
    // Not reporting: it waits, looks again and only then tells, but answers as it found.
    EXPECT_TRUE(control.isDaemonRunning(ReportProblems::No));
    EXPECT_EQ(pauses, std::vector<int>{10});
    EXPECT_EQ(problems, 1);
    EXPECT_TRUE(control.isDaemonRunning(ReportProblems::Yes));
    EXPECT_EQ(problems, 2);

    // A housekeeping daemon without any protection daemon is one too; a mount watcher alone is not.
    control.killAllDaemons();
    ASSERT_TRUE(quillet::test::waitFor([&] { return runningFrom("quilletd").empty(); }));
    launch(control, "quilletMountDiskd", 1);
    EXPECT_TRUE(control.isDaemonRunning(ReportProblems::Yes));
    EXPECT_EQ(problems, 2);
    launch(control, "quilletCacheManagerd", 1);
    EXPECT_TRUE(control.isDaemonRunning(ReportProblems::Yes));
    EXPECT_EQ(problems, 3);
}

// Another user's protection is theirs: it neither stands for ours, nor looks damaged, nor gets
// our signals, nor holds up our stop.
TEST_F(DaemonControlTest, anotherAccountsDaemonsNeitherCountNorGetSignalled) {
    auto other = quillet::test::otherAccount();
    if (!other)
        GTEST_SKIP() << quillet::test::otherAccountSkipReason();
    ASSERT_EQ(::chmod(_dir.path().c_str(), 0755), 0);
    quillet::test::ChildProcess theirs[3];
    const char *names[] = {"quilletd", "quilletCacheManagerd", "quilletCacheManagerd"};
    for (int i = 0; i < 3; ++i) {
        auto command = quillet::test::commandAs(*other, _dir / names[i], {"60"});
        ASSERT_TRUE(theirs[i].start(command.front(), {command.begin() + 1, command.end()}, {}, _dir / "stderr"));
    }
    ASSERT_TRUE(quillet::test::waitFor(
        [&] { return runningFrom("quilletd").size() == 1 && runningFrom("quilletCacheManagerd").size() == 2; }));

    int problems = 0;
    DaemonControl control(_dir.path(), {[&] {
                                            ++problems;
                                            return ProtectionProblemChoice::StopAndRelaunch;
                                        },
                                        nullptr, nullptr});
    EXPECT_EQ(control.countDaemonsRunning(), 0);
    EXPECT_FALSE(control.isDaemonRunning(ReportProblems::Yes));
    EXPECT_EQ(problems, 0) << "two housekeeping daemons of another account made ours look damaged";
    EXPECT_TRUE(control.waitUntilNoDaemonRuns(std::chrono::milliseconds(0)));
    control.killAllDaemons();
    // Ours beside theirs count and are stopped; theirs still run afterwards.
    launch(control, "quilletd", 2);
    EXPECT_EQ(control.countDaemonsRunning(), 1);
    control.killAllDaemons();
    EXPECT_TRUE(control.waitUntilNoDaemonRuns(std::chrono::seconds(5)));
    for (auto &process : theirs)
        EXPECT_TRUE(process.running()) << "another account's daemon was signalled";
}

TEST_F(DaemonControlTest, stopAndRelaunchCleansTheControlFilesAndKeepsTheDateFolders) {
    ScopedEnv home("HOME", _dir / "home");
    ScopedEnv roots("QUILLET_VOLUME_ROOTS", _dir / "no-volumes");
    _dir.writeFile("home/.TrashCacheFolder/ArchivedFileData", "index");
    _dir.writeFile("home/.TrashCacheFolder/UPD_FLAG");
    _dir.writeFile("home/.TrashCacheFolder/2026-12-07 15_42 +0000/.x_kept", "kept");
    int restarts = 0;
    DaemonControl control(_dir.path(), {[] { return ProtectionProblemChoice::StopAndRelaunch; },
                                        [&] { ++restarts; }, nullptr});
    launch(control, "quilletCacheManagerd", 1);
    EXPECT_FALSE(control.isDaemonRunning(ReportProblems::Yes));
    EXPECT_EQ(restarts, 1);
    EXPECT_TRUE(quillet::test::waitFor([&] { return runningFrom("quilletCacheManagerd").empty(); }));
    EXPECT_FALSE(sys::exists(_dir / "home/.TrashCacheFolder/ArchivedFileData"));
    EXPECT_FALSE(sys::exists(_dir / "home/.TrashCacheFolder/UPD_FLAG"));
    EXPECT_EQ(quillet::test::readFileText(_dir / "home/.TrashCacheFolder/2026-12-07 15_42 +0000/.x_kept"), "kept");
}

TEST(DaemonControlLaunch, aMissingDaemonIsReportedByName) {
    TestDir dir;
    sys::Status status = DaemonControl(dir.path()).launch("quilletd", {"1"}).status();
    EXPECT_EQ(status.code(), ENOENT);
    EXPECT_NE(status.message().find(dir / "quilletd"), std::string::npos);
}

TEST(DaemonControlLaunch, theDaemonsAreLookedForBesideTheRunningProgram) {
    // A test program is not in a bin/ folder: the daemons are looked for beside it.
    auto self = sys::readlinkAt(AT_FDCWD, "/proc/self/exe");
    ASSERT_TRUE(self.ok());
    EXPECT_EQ(DaemonControl::defaultDaemonFolder(), sys::parentPath(*self));
}
