#include "platform/Process.h"
#include "platform/ProcessTable.h"
#include "platform/ChangeWatch.h"
#include "platform/Wakeup.h"

#include "ChildProcess.h"
#include "OtherAccount.h"
#include "TestDir.h"

#include <fcntl.h>
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <thread>

using namespace quillet;
using quillet::test::TestDir;

namespace {

std::vector<sys::ProcessEntry> processesNamed(std::string_view program) {
    std::vector<sys::ProcessEntry> found;
    for (const sys::ProcessEntry &entry : sys::readProcessTable())
        if (sys::matchesProgram(entry.command, program))
            found.push_back(entry);
    return found;
}

pid_t parentOf(pid_t pid) {
    auto text = sys::readFile("/proc/" + std::to_string(pid) + "/stat", 4096);
    if (!text)
        return -1;
    size_t close = text->rfind(')');
    return static_cast<pid_t>(std::strtol(text->c_str() + close + 4, nullptr, 10));
}

// A copy of sleep(1) under the given name, so that the process table shows that name.
std::string sleeperNamed(TestDir &dir, const std::string &name) {
    std::string path = dir / name;
    EXPECT_EQ(quillet::test::runShell("cp /bin/sleep '" + path + "'"), 0);
    return path;
}

} // namespace

TEST(ProcessTable, statLinesAreParsedWhateverTheNameHolds) {
    sys::ProcessEntry entry;
    ASSERT_TRUE(sys::parseProcessStat("4242 (quilletd) S 1 4242 4242 0 -1", entry));
    EXPECT_EQ(entry.pid, 4242);
    EXPECT_EQ(entry.command, "quilletd");
    EXPECT_EQ(entry.state, 'S');
    ASSERT_TRUE(sys::parseProcessStat("7 (a) b (c)) Z 1 2", entry));
    EXPECT_EQ(entry.command, "a) b (c)");
    EXPECT_EQ(entry.state, 'Z');
    for (const char *bad : {"", "x (a) S", "12 a S", "12 (a)", "12 (a) ", ") 12 (S"})
        EXPECT_FALSE(sys::parseProcessStat(bad, entry)) << bad;
}

TEST(ProcessTable, statusTextsGiveNameStateAndRealUser) {
    struct Case {
        const char *text;
        bool ok;
        const char *name;
        char state;
        uid_t uid;
    };
    const Case cases[] = {
        {"Name:\tquilletd\nUmask:\t0022\nState:\tS (sleeping)\nTgid:\t7\nUid:\t1000\t0\t0\t0\n", true, "quilletd",
         'S', 1000},
        // The effective id (second) does not decide: a set-uid program stays its caller's.
        {"Name:\tquilletMountDis\nState:\tR (running)\nUid:\t0\t1000\t1000\t1000\n", true, "quilletMountDis", 'R', 0},
        // The kernel escapes a new line and a backslash of the name.
        {"Name:\ta\\nb\\\\c\nState:\tZ (zombie)\nUid:\t5\t5\t5\t5\n", true, "a\nb\\c", 'Z', 5},
        {"Name:\tx\nState:\tS (sleeping)\n", false, "", '?', 0},       // no Uid line
        {"Name:\tx\nUid:\t5\t5\t5\t5\n", false, "", '?', 0},          // no State line
        {"State:\tS\nUid:\t5\t5\t5\t5\n", false, "", '?', 0},         // no Name line
        {"Name:\tx\nState:\tS\nUid:\tmany\n", false, "", '?', 0},      // Uid not a number
        {"", false, "", '?', 0},
    };
    for (const Case &c : cases) {
        sys::ProcessEntry entry;
        ASSERT_EQ(sys::parseProcessStatus(c.text, entry), c.ok) << c.text;
        if (!c.ok)
            continue;
        EXPECT_EQ(entry.command, c.name);
        EXPECT_EQ(entry.state, c.state);
        EXPECT_EQ(entry.uid, c.uid);
    }
}

TEST(ProcessTable, anotherAccountsProcessesAreNeverListed) {
    auto other = quillet::test::otherAccount();
    if (!other)
        GTEST_SKIP() << quillet::test::otherAccountSkipReason();
    TestDir dir;
    ASSERT_EQ(::chmod(dir.path().c_str(), 0755), 0);
    std::string program = sleeperNamed(dir, "quilletd");
    quillet::test::ChildProcess theirs;
    auto command = quillet::test::commandAs(*other, program, {"30"});
    ASSERT_TRUE(theirs.start(command.front(), {command.begin() + 1, command.end()}, {}, dir / "stderr"));
    // It runs, under its own account, as /proc shows to anyone.
    ASSERT_TRUE(quillet::test::waitFor([&] {
        auto exe = sys::readlinkAt(AT_FDCWD, "/proc/" + std::to_string(theirs.pid()) + "/exe");
        return exe && *exe == program;
    }));
    auto table = sys::readProcessTable();
    EXPECT_TRUE(std::none_of(table.begin(), table.end(), [&](const auto &e) { return e.pid == theirs.pid(); }));
    EXPECT_TRUE(std::all_of(table.begin(), table.end(), [](const auto &e) { return e.uid == ::getuid(); }));
    // Ours is listed, with our id.
    auto self = std::find_if(table.begin(), table.end(), [](const auto &e) { return e.pid == ::getpid(); });
    ASSERT_NE(self, table.end());
    EXPECT_EQ(self->uid, ::getuid());
}

TEST(ProcessTable, namesMatchOnTheFirstFifteenBytesOnly) {
    EXPECT_TRUE(sys::matchesProgram("quilletd", "quilletd"));
    EXPECT_TRUE(sys::matchesProgram("quilletMountDis", "quilletMountDiskd"));
    EXPECT_TRUE(sys::matchesProgram("quilletCacheMan", "quilletCacheManagerd"));
    EXPECT_FALSE(sys::matchesProgram("quilletMountDi", "quilletMountDiskd")); // a leading part only
    EXPECT_FALSE(sys::matchesProgram("quillet", "quilletd"));
    EXPECT_FALSE(sys::matchesProgram("quilletdx", "quilletd"));
    EXPECT_FALSE(sys::matchesProgram("", ""));
}

TEST(ProcessTable, listsThisProcessAndLeavesZombiesOut) {
    auto table = sys::readProcessTable();
    auto self = std::find_if(table.begin(), table.end(), [](const auto &e) { return e.pid == ::getpid(); });
    ASSERT_NE(self, table.end());
    EXPECT_TRUE(sys::matchesProgram(self->command, "processTable_test"));

    pid_t child = ::fork();
    ASSERT_GE(child, 0);
    if (child == 0)
        ::_exit(0);
    // Not reaped yet: a zombie until waitpid.
    bool zombie = quillet::test::waitFor([&] {
        auto text = sys::readFile("/proc/" + std::to_string(child) + "/stat", 4096);
        sys::ProcessEntry entry;
        return text && sys::parseProcessStat(*text, entry) && entry.state == 'Z';
    });
    ASSERT_TRUE(zombie);
    table = sys::readProcessTable();
    EXPECT_TRUE(std::none_of(table.begin(), table.end(), [&](const auto &e) { return e.pid == child; }));
    ::waitpid(child, nullptr, 0);
}

TEST(LaunchDetached, leavesNoChildBehindAndReportsMissingPrograms) {
    TestDir dir;
    std::string program = sleeperNamed(dir, "quilletd");
    std::string lookalike = sleeperNamed(dir, "quilletMount");
    ASSERT_TRUE(sys::launchDetached(program, {"30"}).ok());
    ASSERT_TRUE(sys::launchDetached(lookalike, {"30"}).ok());

    // Other tests may run daemons of the same names at the same time: ours are told apart by
    // the program file they run.
    auto runningFrom = [](const std::string &path) {
        std::vector<pid_t> found;
        for (const sys::ProcessEntry &entry : sys::readProcessTable()) {
            auto exe = sys::readlinkAt(AT_FDCWD, "/proc/" + std::to_string(entry.pid) + "/exe");
            if (exe && *exe == path)
                found.push_back(entry.pid);
        }
        return found;
    };
    std::vector<pid_t> launched, other;
    ASSERT_TRUE(quillet::test::waitFor([&] {
        launched = runningFrom(program);
        other = runningFrom(lookalike);
        return launched.size() == 1 && other.size() == 1;
    }));
    // Adopted by the system, not our child: nothing for us to reap, ever.
    EXPECT_NE(parentOf(launched[0]), ::getpid());
    EXPECT_EQ(::waitpid(-1, nullptr, WNOHANG), -1);
    EXPECT_EQ(errno, ECHILD);
    // It counts as quilletd; a process whose name is only a leading part of a daemon's does not.
    auto named = processesNamed("quilletd");
    EXPECT_TRUE(std::any_of(named.begin(), named.end(), [&](const auto &e) { return e.pid == launched[0]; }));
    auto watchers = processesNamed("quilletMountDiskd");
    EXPECT_TRUE(std::none_of(watchers.begin(), watchers.end(), [&](const auto &e) { return e.pid == other[0]; }));
    ::kill(launched[0], SIGKILL);
    ::kill(other[0], SIGKILL);

    sys::Status missing = sys::launchDetached(dir / "no-such-program", {}).status();
    EXPECT_EQ(missing.code(), ENOENT);
    EXPECT_NE(missing.message().find("no-such-program"), std::string::npos);
}

TEST(ProcessTable, startTimesOrderProcessesByTheirStart) {
    struct Row {
        const char *text;
        std::optional<uint64_t> ticks;
    };
    const Row rows[] = {
        {"42 (sleep) S 1 42 42 0 -1 4194304 100 0 0 0 0 0 0 0 20 0 1 0 123456 8192 100", 123456},
        {"43 (a) b (c)) R 1 42 42 0 -1 4194304 100 0 0 0 0 0 0 0 20 0 1 0 7 8192 100", 7},
        {"44 (short) S 1 2 3", std::nullopt},
        {"45 (bad) S 1 42 42 0 -1 4194304 100 0 0 0 0 0 0 0 20 0 1 0 12x 8192", std::nullopt},
        {"no name here", std::nullopt},
    };
    for (const Row &row : rows)
        EXPECT_EQ(quillet::sys::parseStartTicks(row.text), row.ticks) << row.text;

    // This process started before a child it starts now.
    auto self = quillet::sys::processStartTicks(::getpid());
    ASSERT_TRUE(self.ok()) << self.status().message();
    auto parentOfSelf = quillet::sys::processStartTicks(::getppid());
    ASSERT_TRUE(parentOfSelf.ok()) << parentOfSelf.status().message();
    EXPECT_LE(*parentOfSelf, *self);
}

TEST(ProcessTable, aFilteredTableListsWhatTheWholeTableListsOfTheWantedNames) {
    // This test program and a child of its own are found; nothing else passes the filter.
    auto child = quillet::sys::spawnChild("/bin/sleep", {"30"});
    ASSERT_TRUE(child.ok());
    auto wanted = [](std::string_view command) { return command == "sleep" || command == "processTable_te"; };
    std::vector<pid_t> filtered, whole;
    for (const auto &entry : quillet::sys::readProcessTable(wanted))
        filtered.push_back(entry.pid);
    for (const auto &entry : quillet::sys::readProcessTable())
        if (wanted(entry.command))
            whole.push_back(entry.pid);
    (void)quillet::sys::sendSignal(*child, SIGKILL);
    (void)quillet::sys::waitChild(*child, 5000);
    std::sort(filtered.begin(), filtered.end());
    std::sort(whole.begin(), whole.end());
    EXPECT_NE(std::find(filtered.begin(), filtered.end(), ::getpid()), filtered.end());
    EXPECT_NE(std::find(filtered.begin(), filtered.end(), *child), filtered.end());
    // Other sleeps of this user may come and go between the two reads: compare ours only.
    for (pid_t pid : {::getpid(), *child})
        EXPECT_EQ(std::count(filtered.begin(), filtered.end(), pid), std::count(whole.begin(), whole.end(), pid));
}

TEST(ProcessTable, aWatchSeesNewProcessesLateProgramsAndEndings) {
    // A child that runs sleep only after a while: its name is the shell's until then.
    auto child = quillet::sys::spawnChild("/bin/sh", {"-c", "/bin/sleep 0.5; exec /bin/sleep 30"});
    ASSERT_TRUE(child.ok());
    quillet::sys::ProcessWatch watch([](std::string_view command) { return command == "sleep"; }, 3);
    auto sees = [&](pid_t pid) {
        for (const auto &entry : watch.read())
            if (entry.pid == pid)
                return true;
        return false;
    };
    EXPECT_FALSE(sees(*child));
    EXPECT_FALSE(sees(*child)); // named and confirmed "sh" by now
    // The exec is waited for through the kernel's table, not the watch.
    ASSERT_TRUE(quillet::test::waitFor([&] { return quillet::sys::isRunning(*child, "sleep"); }));
    bool seen = false;
    for (int read = 0; read < 3 && !seen; ++read)
        seen = sees(*child);
    EXPECT_TRUE(seen) << "a program run late is seen at the next full read";
    (void)quillet::sys::sendSignal(*child, SIGKILL);
    (void)quillet::sys::waitChild(*child, 5000);
    EXPECT_FALSE(sees(*child));
}

TEST(ProcessTable, aProcessFirstSeenBeforeItsExecIsNamedAtTheNextRead) {
    // No full read in the test: the name is read once more at the read after the first sighting.
    quillet::sys::ProcessWatch watch([](std::string_view command) { return command == "sleep"; }, 1000000);
    (void)watch.read();
    auto child = quillet::sys::spawnChild("/bin/sh", {"-c", "/bin/sleep 0.3; exec /bin/sleep 30"});
    ASSERT_TRUE(child.ok());
    auto sees = [&](pid_t pid) {
        for (const auto &entry : watch.read())
            if (entry.pid == pid)
                return true;
        return false;
    };
    const bool early = sees(*child);
    ASSERT_TRUE(quillet::test::waitFor([&] { return quillet::sys::isRunning(*child, "sleep"); }));
    EXPECT_FALSE(early) << "the shell was seen before its exec";
    EXPECT_TRUE(sees(*child)) << "its program, run since, is seen at the next read";
    (void)quillet::sys::sendSignal(*child, SIGKILL);
    (void)quillet::sys::waitChild(*child, 5000);
}

TEST(ProcessTable, aWatchFindsNewProcessesByTheirNumbersBetweenListings) {
    // No full read during the test: what is found after the first read is found among the
    // numbers created since, unless the system made more than a few dozen processes meanwhile.
    quillet::sys::ProcessWatch watch([](std::string_view command) { return command == "sleep"; }, 1000000);
    (void)watch.read();
    EXPECT_TRUE(watch.listedLastTime()) << "the first read lists /proc";
    bool probed = false;
    for (int attempt = 0; attempt < 5 && !probed; ++attempt) {
        auto child = quillet::sys::spawnChild("/bin/sleep", {"30"});
        ASSERT_TRUE(child.ok());
        ASSERT_TRUE(quillet::test::waitFor([&] { return quillet::sys::isRunning(*child, "sleep"); }));
        auto sees = [&](pid_t pid) {
            for (const auto &entry : watch.read())
                if (entry.pid == pid)
                    return true;
            return false;
        };
        const bool seen = sees(*child);
        probed = !watch.listedLastTime();
        EXPECT_TRUE(seen) << "a new process is seen at the next read";
        EXPECT_TRUE(sees(*child)) << "and at the one after it";
        (void)quillet::sys::sendSignal(*child, SIGKILL);
        (void)quillet::sys::waitChild(*child, 5000);
        EXPECT_FALSE(sees(*child)) << "an ended process is not";
    }
    EXPECT_TRUE(probed) << "every read after the first listed /proc";
}

TEST(ProcessTable, aWatchLeavesThreadsOut) {
    // A thread carries the name of its process, and /proc answers for its number too, though it
    // does not list it: only the process itself is found.
    auto self = quillet::sys::readFile("/proc/self/comm", 64);
    ASSERT_TRUE(self.ok());
    std::string name = *self;
    if (!name.empty() && name.back() == '\n')
        name.pop_back();
    quillet::sys::ProcessWatch watch([&](std::string_view command) { return command == name; }, 1000000);
    (void)watch.read();
    std::atomic<bool> stop = false;
    std::atomic<int> started = 0;
    std::vector<pid_t> threadIds(3, 0);
    std::vector<std::thread> threads;
    for (int i = 0; i < 3; ++i)
        threads.emplace_back([&, i] {
            threadIds[static_cast<size_t>(i)] = ::gettid();
            ++started;
            while (!stop)
                std::this_thread::sleep_for(std::chrono::milliseconds(5));
        });
    while (started < 3)
        std::this_thread::yield();
    std::vector<pid_t> found;
    for (int read = 0; read < 3; ++read)
        for (const auto &entry : watch.read())
            found.push_back(entry.pid);
    stop = true;
    for (std::thread &thread : threads)
        thread.join();
    // Other runs of this test program (tests run side by side) carry the same name and count.
    EXPECT_EQ(std::count(found.begin(), found.end(), ::getpid()), 3);
    for (pid_t thread : threadIds)
        EXPECT_EQ(std::count(found.begin(), found.end(), thread), 0) << "a thread's number was reported as a process";
}

// What lets a refresh sleep until something it looks at changes: the end of a process a watch
// found, the start of a program, the write of a file; and a wake from another thread.
TEST(ProcessTable, aSleepEndsWhenAWatchedProcessEndsAProgramStartsOrAFileIsWritten) {
    using Woken = quillet::sys::Wakeup::Woken;
    using std::chrono::milliseconds;
    TestDir dir;
    quillet::sys::Wakeup wakeup;
    EXPECT_EQ(wakeup.sleepWatching(milliseconds(20), {}), Woken::TimedOut);

    // The end of a process found by the last read.
    quillet::sys::ProcessWatch watch([](std::string_view command) { return command == "sleep"; }, 1000000);
    auto child = quillet::sys::spawnChild("/bin/sleep", {"30"});
    ASSERT_TRUE(child.ok());
    ASSERT_TRUE(quillet::test::waitFor([&] { return quillet::sys::isRunning(*child, "sleep"); }));
    (void)watch.read();
    auto ends = watch.endDescriptors();
    ASSERT_TRUE(ends.has_value()) << "this kernel gives no pidfds";
    ASSERT_FALSE(ends->empty());
    EXPECT_EQ(wakeup.sleepWatching(milliseconds(50), *ends), Woken::TimedOut) << "every process still runs";
    (void)quillet::sys::sendSignal(*child, SIGKILL);
    EXPECT_EQ(wakeup.sleepWatching(milliseconds(10000), *ends), Woken::ByWatched);
    (void)quillet::sys::waitChild(*child, 5000);

    // The start of a program, and only of that one.
    quillet::sys::ChangeWatch changes;
    ASSERT_TRUE(changes.active());
    const std::string program = dir / "watched-program";
    auto copied = quillet::sys::readFile("/bin/true", 4 * 1024 * 1024);
    ASSERT_TRUE(copied.ok());
    ASSERT_TRUE(quillet::sys::writeFileAtomically(program, *copied, 0755));
    ASSERT_TRUE(changes.watchStarts(program));
    EXPECT_FALSE(changes.watchStarts(dir / "no-such-program"));
    const std::vector<int> inotify{changes.descriptor()};
    auto other = quillet::sys::spawnChild("/bin/true", {});
    ASSERT_TRUE(other.ok());
    (void)quillet::sys::waitChild(*other, 5000);
    EXPECT_EQ(wakeup.sleepWatching(milliseconds(50), inotify), Woken::TimedOut) << "another program woke the sleep";
    auto started = quillet::sys::spawnChild(program, {});
    ASSERT_TRUE(started.ok());
    EXPECT_EQ(wakeup.sleepWatching(milliseconds(10000), inotify), Woken::ByWatched);
    EXPECT_TRUE(changes.drain());
    (void)quillet::sys::waitChild(*started, 5000);
    (void)changes.drain();

    // A file of a folder: its replacement by rename counts, a neighbour's write does not.
    const std::string settings = dir / "settings.plist";
    ASSERT_TRUE(changes.watchFile(settings));
    ASSERT_TRUE(quillet::sys::writeFileAtomically(dir / "neighbour.txt", "x", 0644));
    EXPECT_EQ(wakeup.sleepWatching(milliseconds(10000), inotify), Woken::ByWatched);
    EXPECT_FALSE(changes.drain()) << "a neighbour's write counted as the file's";
    ASSERT_TRUE(quillet::sys::writeFileAtomically(settings, "<plist/>", 0600));
    EXPECT_EQ(wakeup.sleepWatching(milliseconds(10000), inotify), Woken::ByWatched);
    EXPECT_TRUE(changes.drain());
    EXPECT_FALSE(changes.drain()) << "nothing left once drained";

    // A wake from another thread wins over what is watched, and stays set.
    std::thread waker([&] { wakeup.wake(); });
    waker.join();
    ASSERT_TRUE(quillet::sys::writeFileAtomically(settings, "<plist></plist>", 0600));
    EXPECT_EQ(wakeup.sleepWatching(milliseconds(10000), inotify), Woken::ByWake);
    EXPECT_FALSE(wakeup.sleepFor(milliseconds(10000)));
}

TEST(ProcessTable, theLastCreatedProcessIsTheLastFieldOfLoadavg) {
    EXPECT_EQ(quillet::sys::lastCreatedPid("0.52 0.58 0.59 2/345 67890\n"), "67890");
    EXPECT_EQ(quillet::sys::lastCreatedPid("0.52 0.58 0.59 2/345 67890"), "67890");
    EXPECT_EQ(quillet::sys::lastCreatedPid("0.52 0.58 0.59 2/345 x1"), "");
    EXPECT_EQ(quillet::sys::lastCreatedPid(""), "");
}
