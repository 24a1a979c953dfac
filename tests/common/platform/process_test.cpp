#include "platform/Process.h"

#include "TestDir.h"

#include <gtest/gtest.h>

#include <poll.h>
#include <signal.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <fstream>
#include <string>
#include <vector>

using namespace quillet;
using quillet::test::readFileText;
using quillet::test::TestDir;

namespace {

std::string selfPath() {
    char buffer[4096];
    ssize_t length = ::readlink("/proc/self/exe", buffer, sizeof buffer - 1);
    return length > 0 ? std::string(buffer, static_cast<size_t>(length)) : std::string();
}

/// The hexadecimal mask of a "SigBlk:"-like line of /proc/<pid>/status.
unsigned long long statusMask(pid_t pid, const std::string &field) {
    std::ifstream status("/proc/" + std::to_string(pid) + "/status");
    std::string line;
    while (std::getline(status, line))
        if (line.rfind(field + ":", 0) == 0)
            return std::strtoull(line.c_str() + field.size() + 1, nullptr, 16);
    return ~0ull;
}

char processState(pid_t pid) {
    std::string stat = readFileText("/proc/" + std::to_string(pid) + "/stat");
    size_t close = stat.rfind(')');
    return close == std::string::npos || close + 2 >= stat.size() ? '\0' : stat[close + 2];
}

/// Reaps pid (killing it first) so that no test leaves a child behind.
void killAndReap(pid_t pid) {
    ::kill(pid, SIGKILL);
    int status = 0;
    while (::waitpid(pid, &status, 0) < 0 && errno == EINTR) {
    }
}

} // namespace

TEST(Process, siblingExecutableIsInTheFolderOfTheRunningProgram) {
    std::string self = selfPath();
    ASSERT_FALSE(self.empty());
    auto sibling = sys::siblingExecutable("quilletd");
    ASSERT_TRUE(sibling.ok()) << sibling.status().message();
    EXPECT_EQ(*sibling, self.substr(0, self.rfind('/')) + "/quilletd");
}

TEST(Process, spawnedChildGetsItsArgumentsAndEnvironmentAndIsReaped) {
    TestDir dir;
    std::string out = dir / "out";
    ASSERT_EQ(::setenv("QUILLET_PROCESS_TEST", "from parent", 1), 0);
    auto pid = sys::spawnChild("/bin/sh", {"-c", "printf '%s|%s|%s' \"$0\" \"$1\" \"$QUILLET_PROCESS_TEST\" > \"$2\"; exit 3",
                                           "first arg", "second arg", out});
    ::unsetenv("QUILLET_PROCESS_TEST");
    ASSERT_TRUE(pid.ok()) << pid.status().message();
    auto reaped = sys::waitChild(*pid, 10000);
    ASSERT_TRUE(reaped.ok()) << reaped.status().message();
    ASSERT_TRUE(reaped->has_value()) << "the child did not end";
    EXPECT_TRUE(WIFEXITED(**reaped));
    EXPECT_EQ(WEXITSTATUS(**reaped), 3);
    EXPECT_EQ(sys::describeWaitStatus(**reaped), "exited with 3");
    EXPECT_EQ(readFileText(out), "first arg|second arg|from parent");
    EXPECT_FALSE(std::ifstream("/proc/" + std::to_string(*pid) + "/stat").good()) << "the child is still listed";

    auto again = sys::reapChild(*pid);
    ASSERT_FALSE(again.ok());
    EXPECT_EQ(again.code(), ECHILD);
}

TEST(Process, programThatCannotRunIsReportedAndLeavesNoChild) {
    TestDir dir;
    std::string notExecutable = dir.writeFile("script", "#!/bin/sh\nexit 0\n");
    ASSERT_EQ(::chmod(notExecutable.c_str(), 0644), 0);
    struct Case {
        std::string program;
        int code;
    };
    for (const Case &c : {Case {dir / "missing", ENOENT}, Case {notExecutable, EACCES}}) {
        auto pid = sys::spawnChild(c.program, {"x"});
        ASSERT_FALSE(pid.ok()) << c.program;
        EXPECT_EQ(pid.code(), c.code) << c.program;
        EXPECT_NE(pid.status().message().find(c.program), std::string::npos) << pid.status().message();
    }
    int status = 0;
    EXPECT_EQ(::waitpid(-1, &status, WNOHANG), -1) << "a failed launch left a child";
    EXPECT_EQ(errno, ECHILD);
}

TEST(Process, reapChildAnswersNothingWhileTheChildRunsAndSignalEndsIt) {
    auto pid = sys::spawnChild("/bin/sleep", {"60"});
    ASSERT_TRUE(pid.ok()) << pid.status().message();
    auto running = sys::reapChild(*pid);
    ASSERT_TRUE(running.ok()) << running.status().message();
    EXPECT_FALSE(running->has_value());
    auto stillRunning = sys::waitChild(*pid, 50);
    ASSERT_TRUE(stillRunning.ok());
    EXPECT_FALSE(stillRunning->has_value());

    ASSERT_TRUE(sys::sendSignal(*pid, SIGTERM).ok());
    auto ended = sys::waitChild(*pid, 10000);
    ASSERT_TRUE(ended.ok()) << ended.status().message();
    ASSERT_TRUE(ended->has_value());
    EXPECT_TRUE(WIFSIGNALED(**ended));
    EXPECT_EQ(sys::describeWaitStatus(**ended), "killed by signal 15");
}

TEST(Process, aProcessDescriptorTellsWhenItsProcessHasEnded) {
    auto first = sys::spawnChild("/bin/sleep", {"30"});
    auto second = sys::spawnChild("/bin/sleep", {"30"});
    ASSERT_TRUE(first.ok() && second.ok());
    auto firstProcess = sys::openProcess(*first);
    auto secondProcess = sys::openProcess(*second);
    if (!firstProcess && firstProcess.code() == ENOSYS) {
        (void)sys::sendSignal(*first, SIGKILL);
        (void)sys::sendSignal(*second, SIGKILL);
        (void)sys::waitChild(*first, 5000);
        (void)sys::waitChild(*second, 5000);
        GTEST_SKIP() << "this kernel has no pidfd_open";
    }
    ASSERT_TRUE(firstProcess.ok()) << firstProcess.status().message();
    ASSERT_TRUE(secondProcess.ok()) << secondProcess.status().message();
    const std::vector<int> both = {firstProcess->get(), secondProcess->get()};
    auto ended = sys::processesEnded(both);
    ASSERT_TRUE(ended.ok()) << ended.status().message();
    EXPECT_EQ(*ended, (std::vector<bool>{false, false}));

    // Ended but not reaped yet (a zombie) counts as ended; the other one still runs.
    ASSERT_TRUE(sys::sendSignal(*first, SIGKILL).ok());
    ASSERT_TRUE(waitid(P_PID, static_cast<id_t>(*first), nullptr, WEXITED | WNOWAIT) == 0);
    ended = sys::processesEnded(both);
    ASSERT_TRUE(ended.ok());
    EXPECT_EQ(*ended, (std::vector<bool>{true, false}));
    (void)sys::waitChild(*first, 5000);
    ended = sys::processesEnded(both);
    ASSERT_TRUE(ended.ok());
    EXPECT_EQ(*ended, (std::vector<bool>{true, false}));

    (void)sys::sendSignal(*second, SIGKILL);
    (void)sys::waitChild(*second, 5000);
}

TEST(Process, sendSignalToMissingProcessReportsTheError) {
    auto pid = sys::spawnChild("/bin/true", {});
    ASSERT_TRUE(pid.ok());
    ASSERT_TRUE(sys::waitChild(*pid, 10000).ok());
    sys::Status status = sys::sendSignal(*pid, SIGINT);
    EXPECT_FALSE(status.ok());
    EXPECT_EQ(status.code(), ESRCH);
    EXPECT_NE(status.message().find("kill(" + std::to_string(*pid) + ")"), std::string::npos) << status.message();
}

TEST(Process, childStartsWithNoSignalBlockedOrIgnored) {
    sigset_t blocked, previousMask;
    sigemptyset(&blocked);
    sigaddset(&blocked, SIGINT);
    sigaddset(&blocked, SIGCHLD);
    ASSERT_EQ(::sigprocmask(SIG_BLOCK, &blocked, &previousMask), 0);
    struct sigaction ignore {}, previousTerm {};
    ignore.sa_handler = SIG_IGN;
    ASSERT_EQ(::sigaction(SIGTERM, &ignore, &previousTerm), 0);

    auto pid = sys::spawnChild("/bin/sleep", {"60"});

    ::sigaction(SIGTERM, &previousTerm, nullptr);
    ::sigprocmask(SIG_SETMASK, &previousMask, nullptr);
    ASSERT_TRUE(pid.ok()) << pid.status().message();
    // posix_spawn returns once the exec has happened: the status is the program's. Only the
    // standard signals 1 to 31 are looked at: the C library keeps the first real-time ones
    // for itself and ignores them in the child while it sets it up.
    constexpr unsigned long long kStandardSignals = 0x7fffffffull;
    EXPECT_EQ(statusMask(*pid, "SigBlk") & kStandardSignals, 0u);
    EXPECT_EQ(statusMask(*pid, "SigIgn") & kStandardSignals, 0u);
    killAndReap(*pid);
}

TEST(Process, childExitWakesALoopSleepingWithTheReturnedMask) {
    sigset_t previousMask;
    ASSERT_EQ(::sigprocmask(SIG_SETMASK, nullptr, &previousMask), 0);
    struct sigaction previousChild {};
    ASSERT_EQ(::sigaction(SIGCHLD, nullptr, &previousChild), 0);

    sigset_t current;
    ::sigprocmask(SIG_SETMASK, nullptr, &current);
    const sigset_t waitMask = sys::wakeOnChildExit(&current);
    sigset_t nowBlocked;
    ::sigprocmask(SIG_SETMASK, nullptr, &nowBlocked);
    EXPECT_TRUE(sigismember(&nowBlocked, SIGCHLD)) << "SIGCHLD must stay blocked outside the sleep";
    EXPECT_FALSE(sigismember(&waitMask, SIGCHLD));

    auto pid = sys::spawnChild("/bin/true", {});
    ASSERT_TRUE(pid.ok());
    // The child may well have ended already: its SIGCHLD is then pending and ends the sleep
    // at once. A time-out of a minute would only be reached if the wake-up were lost.
    struct timespec limit = {60, 0};
    errno = 0;
    int ready = ::ppoll(nullptr, 0, &limit, &waitMask);
    int error = errno;
    EXPECT_EQ(ready, -1);
    EXPECT_EQ(error, EINTR);
    auto reaped = sys::waitChild(*pid, 10000);
    ASSERT_TRUE(reaped.ok());
    EXPECT_TRUE(reaped->has_value());
    EXPECT_NE(processState(*pid), 'Z');

    ::sigaction(SIGCHLD, &previousChild, nullptr);
    ::sigprocmask(SIG_SETMASK, &previousMask, nullptr);
}
