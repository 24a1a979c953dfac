// End-to-end tests of quilletCacheManagerd: the built daemon runs against a temporary home and
// tmpfs volumes mounted under a temporary volume root (QUILLET_VOLUME_ROOTS), reading the real
// mount table. The tests look at what it deletes and what it writes to stderr.
//
// Nothing here measures time. A pass is observed through its deletions, polled with generous
// time-outs. "The daemon has finished its pass" is read from /proc/PID/syscall: the daemon
// sleeps in clock_nanosleep only between passes (and for ever in idle mode), and a pass always
// runs before the first sleep.

#include "TestDir.h"

#include <gtest/gtest.h>

#include <dirent.h>
#include <fcntl.h>
#include <signal.h>
#include <spawn.h>
#include <sys/stat.h>
#include <sys/statvfs.h>
#include <sys/syscall.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <thread>
#include <vector>

namespace {

namespace fs = std::filesystem;
using namespace std::chrono_literals;
using quillet::test::readFileText;
using quillet::test::TestDir;
using quillet::test::TmpfsMount;

constexpr auto kDefaultTimeout = 20s;
constexpr auto kPollStep = 20ms;

// ---------------------------------------------------------------------------------------------
// Helpers

bool waitFor(const std::function<bool()> &condition, std::chrono::milliseconds timeout = kDefaultTimeout) {
    auto deadline = std::chrono::steady_clock::now() + timeout;
    for (;;) {
        if (condition())
            return true;
        if (std::chrono::steady_clock::now() >= deadline)
            return condition();
        std::this_thread::sleep_for(kPollStep);
    }
}

bool isExecutable(const std::string &path) { return ::access(path.c_str(), X_OK) == 0; }

std::string parentOf(const std::string &path) {
    size_t slash = path.find_last_of('/');
    if (slash == std::string::npos)
        return ".";
    return slash == 0 ? "/" : path.substr(0, slash);
}

std::string daemonIn(const std::string &buildDir) { return buildDir + "/libexec/quillet/quilletCacheManagerd"; }

/// The build folder: QUILLET_BUILD_DIR as CTest sets it, else the parent of the working folder
/// (the tests run from build/tests), else two levels above this test program.
std::string buildDir() {
    if (const char *fromEnv = std::getenv("QUILLET_BUILD_DIR"); fromEnv && *fromEnv)
        return fromEnv;
    char cwd[4096];
    if (::getcwd(cwd, sizeof cwd) && isExecutable(daemonIn(parentOf(cwd))))
        return parentOf(cwd);
    char self[4096];
    ssize_t length = ::readlink("/proc/self/exe", self, sizeof self - 1);
    if (length > 0) {
        self[length] = '\0';
        return parentOf(parentOf(self));
    }
    return "..";
}

std::string daemonPath() { return daemonIn(buildDir()); }

std::string dateName(int year, int month, int day, int hour = 12, int minute = 0) {
    char buffer[32];
    std::snprintf(buffer, sizeof buffer, "%04d-%02d-%02d %02d_%02d +0000", year, month, day, hour, minute);
    return buffer;
}

bool exists(const std::string &path) {
    struct stat st {};
    return ::lstat(path.c_str(), &st) == 0;
}

bool isFolder(const std::string &path) {
    struct stat st {};
    return ::lstat(path.c_str(), &st) == 0 && S_ISDIR(st.st_mode);
}

std::vector<std::string> listNames(const std::string &folder) {
    std::vector<std::string> names;
    if (DIR *dir = ::opendir(folder.c_str())) {
        while (dirent *entry = ::readdir(dir)) {
            std::string name = entry->d_name;
            if (name != "." && name != "..")
                names.push_back(name);
        }
        ::closedir(dir);
    }
    std::sort(names.begin(), names.end());
    return names;
}

void makeFolder(const std::string &path, mode_t mode = 0755) {
    fs::create_directories(path);
    ASSERT_EQ(::chmod(path.c_str(), mode), 0) << path;
}

/// A file of size bytes of real data (a sparse file would take no room on a tmpfs).
void writeData(const std::string &path, size_t size) {
    fs::create_directories(fs::path(path).parent_path());
    std::ofstream out(path, std::ios::binary | std::ios::trunc);
    std::string block(64 * 1024, 'q');
    for (size_t left = size; left > 0;) {
        size_t n = std::min(left, block.size());
        out.write(block.data(), static_cast<std::streamsize>(n));
        left -= n;
    }
    ASSERT_TRUE(out.good()) << "cannot write " << path;
}

void touch(const std::string &path) { writeData(path, 0); }

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
// The daemon as a child process

class ChildProcess {
public:
    ChildProcess() = default;
    ChildProcess(const ChildProcess &) = delete;
    ChildProcess &operator=(const ChildProcess &) = delete;
    ~ChildProcess() { stop(); }

    enum class Interrupt { Default, Blocked };

    /// Starts program with args and exactly env; stderr goes to stderrPath. With
    /// Interrupt::Blocked the child starts with SIGINT blocked, as a careless launcher may
    /// leave it.
    bool start(const std::string &program, const std::vector<std::string> &args, const std::vector<std::string> &env,
               const std::string &stderrPath, Interrupt interrupt = Interrupt::Default) {
        stop();
        std::vector<std::string> argvStrings = {program};
        argvStrings.insert(argvStrings.end(), args.begin(), args.end());
        std::vector<char *> argv;
        for (std::string &arg : argvStrings)
            argv.push_back(arg.data());
        argv.push_back(nullptr);
        std::vector<std::string> envStrings = env;
        std::vector<char *> envp;
        for (std::string &variable : envStrings)
            envp.push_back(variable.data());
        envp.push_back(nullptr);

        posix_spawn_file_actions_t actions;
        posix_spawn_file_actions_init(&actions);
        posix_spawn_file_actions_addopen(&actions, 0, "/dev/null", O_RDONLY, 0);
        posix_spawn_file_actions_addopen(&actions, 1, "/dev/null", O_WRONLY, 0);
        posix_spawn_file_actions_addopen(&actions, 2, stderrPath.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
        posix_spawnattr_t attributes;
        posix_spawnattr_init(&attributes);
        sigset_t mask, defaults;
        sigemptyset(&mask);
        if (interrupt == Interrupt::Blocked)
            sigaddset(&mask, SIGINT);
        sigemptyset(&defaults);
        sigaddset(&defaults, SIGINT);
        sigaddset(&defaults, SIGTERM);
        sigaddset(&defaults, SIGPIPE);
        posix_spawnattr_setsigmask(&attributes, &mask);
        posix_spawnattr_setsigdefault(&attributes, &defaults);
        posix_spawnattr_setflags(&attributes, POSIX_SPAWN_SETSIGMASK | POSIX_SPAWN_SETSIGDEF);
        pid_t pid = -1;
        int error = ::posix_spawn(&pid, program.c_str(), &actions, &attributes, argv.data(), envp.data());
        posix_spawn_file_actions_destroy(&actions);
        posix_spawnattr_destroy(&attributes);
        if (error != 0)
            return false;
        _pid = pid;
        _status.reset();
        return true;
    }

    pid_t pid() const { return _pid; }

    bool running() {
        if (_pid <= 0)
            return false;
        int status = 0;
        pid_t done = ::waitpid(_pid, &status, WNOHANG);
        if (done == _pid) {
            _status = status;
            _pid = -1;
            return false;
        }
        return done == 0;
    }

    void signal(int sig) {
        if (_pid > 0)
            ::kill(_pid, sig);
    }

    /// The wait status once the process has ended, or nothing while it still runs after
    /// timeout.
    std::optional<int> waitForExit(std::chrono::milliseconds timeout = kDefaultTimeout) {
        waitFor([this] { return !running(); }, timeout);
        return _status;
    }

    /// Kills the process if it still runs and always reaps it.
    void stop() {
        if (_pid <= 0)
            return;
        if (running()) {
            ::kill(_pid, SIGKILL);
            int status = 0;
            while (::waitpid(_pid, &status, 0) < 0 && errno == EINTR) {
            }
            _status = status;
            _pid = -1;
        }
    }

private:
    pid_t _pid = -1;
    std::optional<int> _status;
};

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
        makeFolder(_home);
        makeFolder(_volumes);
        makeFolder(_cache, 0700);
        makeFolder(_trash, 0700);
    }

    void TearDown() override {
        _daemon.stop();
        _mounts.clear();
    }

    std::optional<std::string> mountVolume(const std::string &name, const std::string &size) {
        auto mount = std::make_unique<TmpfsMount>(_volumes + "/" + name, size);
        if (!mount->mounted())
            return std::nullopt;
        std::string path = mount->path();
        _mounts.push_back(std::move(mount));
        return path;
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
    std::vector<std::unique_ptr<TmpfsMount>> _mounts;
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
