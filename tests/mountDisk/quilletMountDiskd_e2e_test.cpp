// End-to-end tests of quilletMountDiskd: the built watcher runs with a temporary volume root,
// real volumes are mounted under it, and the tests look at the quilletd processes it starts
// (their command lines in /proc), at the cache folders and at its stderr.
//
// A volume is prepared before the watcher can see it: a tmpfs is mounted outside the volume
// root, the volume's folder is filled there (trash folder, sometimes a cache folder), and the
// folder is then bind-mounted under the root. The quilletd started for it finds its trash
// folder and keeps running, so it can be seen and stopped.
//
// Nothing here measures time: every wait polls for an outcome with a generous time-out. To
// know that the watcher has dealt with a mount that must not start anything, a sentinel volume
// is mounted after it and the test waits for the sentinel's quilletd: the watcher handles
// mounts in mount order.

#include "ArchiveFile.h"
#include "CacheLayout.h"
#include "TestDir.h"

#include <gtest/gtest.h>

#include <dirent.h>
#include <fcntl.h>
#include <signal.h>
#include <spawn.h>
#include <sys/mount.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <functional>
#include <map>
#include <optional>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

namespace {

using namespace std::chrono_literals;
using quillet::test::readFileText;
using quillet::test::runShell;
using quillet::test::TestDir;

constexpr auto kDefaultTimeout = 10s;
constexpr auto kPollStep = 20ms;
const std::string kUid = std::to_string(::getuid());

// ---------------------------------------------------------------------------------------------
// Small helpers

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

/// The build folder: QUILLET_BUILD_DIR as CTest sets it, else the parent of the folder that
/// holds this test's folder (build/tests/<name>).
std::string buildDir() {
    if (const char *fromEnv = std::getenv("QUILLET_BUILD_DIR"); fromEnv && *fromEnv)
        return fromEnv;
    char self[4096];
    ssize_t length = ::readlink("/proc/self/exe", self, sizeof self - 1);
    if (length > 0) {
        self[length] = '\0';
        return parentOf(parentOf(self));
    }
    return "..";
}

std::string libexecPath(const std::string &name) { return buildDir() + "/libexec/quillet/" + name; }

std::string canonicalPath(const std::string &path) {
    std::error_code ec;
    auto resolved = std::filesystem::canonical(path, ec);
    return ec ? path : resolved.string();
}

bool makeFolder(const std::string &path, mode_t mode = 0755) {
    std::error_code ec;
    std::filesystem::create_directories(path, ec);
    return !ec && ::chmod(path.c_str(), mode) == 0;
}

std::optional<struct stat> lstatOf(const std::string &path) {
    struct stat st {};
    if (::lstat(path.c_str(), &st) != 0)
        return std::nullopt;
    return st;
}

bool exists(const std::string &path) { return lstatOf(path).has_value(); }

std::vector<std::string> listNames(const std::string &folder) {
    std::vector<std::string> names;
    DIR *dir = ::opendir(folder.c_str());
    if (!dir)
        return names;
    while (dirent *entry = ::readdir(dir)) {
        std::string name = entry->d_name;
        if (name != "." && name != "..")
            names.push_back(std::move(name));
    }
    ::closedir(dir);
    std::sort(names.begin(), names.end());
    return names;
}

/// Fields of /proc/<pid>/stat after the command name: state, ppid, …
std::vector<std::string> statFields(pid_t pid) {
    std::string stat = readFileText("/proc/" + std::to_string(pid) + "/stat");
    size_t close = stat.rfind(')');
    std::vector<std::string> fields;
    if (close == std::string::npos)
        return fields;
    std::istringstream rest(stat.substr(close + 1));
    std::string field;
    while (rest >> field)
        fields.push_back(field);
    return fields;
}

char processState(pid_t pid) {
    auto fields = statFields(pid);
    return fields.empty() ? '\0' : fields[0][0];
}

std::vector<std::string> commandLineOf(pid_t pid) {
    std::string raw = readFileText("/proc/" + std::to_string(pid) + "/cmdline");
    std::vector<std::string> argv;
    size_t start = 0;
    while (start < raw.size()) {
        size_t end = raw.find('\0', start);
        if (end == std::string::npos)
            end = raw.size();
        argv.push_back(raw.substr(start, end - start));
        start = end + 1;
    }
    return argv;
}

/// Processes whose parent is pid (zombies included).
std::vector<pid_t> childrenOf(pid_t parent) {
    std::vector<pid_t> children;
    for (const std::string &name : listNames("/proc")) {
        if (name.find_first_not_of("0123456789") != std::string::npos)
            continue;
        pid_t pid = std::atoi(name.c_str());
        auto fields = statFields(pid);
        if (fields.size() > 1 && std::atoi(fields[1].c_str()) == parent)
            children.push_back(pid);
    }
    return children;
}

/// The bit of sig in a mask line ("SigCgt:", "SigBlk:") of /proc/<pid>/status.
bool statusMaskHas(pid_t pid, const std::string &field, int sig) {
    std::ifstream status("/proc/" + std::to_string(pid) + "/status");
    std::string line;
    while (std::getline(status, line))
        if (line.rfind(field + ":", 0) == 0)
            return (std::strtoull(line.c_str() + field.size() + 1, nullptr, 16) >> (sig - 1)) & 1u;
    return false;
}

bool catchesSigint(pid_t pid) { return statusMaskHas(pid, "SigCgt", SIGINT); }

/// True when pid has the mount table open and sleeps in poll: the watcher has read its first
/// table and waits for changes, so a mount made now is one it must treat as new.
bool isWatchingMounts(pid_t pid) {
    std::string proc = "/proc/" + std::to_string(pid);
    bool watching = false;
    for (const std::string &fd : listNames(proc + "/fd")) {
        char target[4096];
        ssize_t length = ::readlink((proc + "/fd/" + fd).c_str(), target, sizeof target - 1);
        if (length > 0 && std::string(target, static_cast<size_t>(length)).ends_with("/mountinfo"))
            watching = true;
    }
    if (!watching || !catchesSigint(pid))
        return false;
    std::string wchan = readFileText(proc + "/wchan");
    if (wchan.empty() || wchan == "0") // the kernel does not tell: a sleeping process will do
        return processState(pid) == 'S';
    return wchan.find("poll") != std::string::npos;
}

std::string describeStatus(int status) {
    std::ostringstream text;
    if (WIFEXITED(status))
        text << "exited with " << WEXITSTATUS(status);
    else if (WIFSIGNALED(status))
        text << "killed by signal " << WTERMSIG(status);
    else
        text << "wait status " << status;
    return text.str();
}

std::string joinArgs(const std::vector<std::string> &argv) {
    std::string text;
    for (const std::string &arg : argv)
        text += (text.empty() ? "" : " ") + ("'" + arg + "'");
    return text;
}

// ---------------------------------------------------------------------------------------------
// The watcher process

class ChildProcess {
public:
    ChildProcess() = default;
    ChildProcess(const ChildProcess &) = delete;
    ChildProcess &operator=(const ChildProcess &) = delete;
    ~ChildProcess() { stop(); }

    /// Starts program with args and exactly env as its environment; stderr goes to stderrPath.
    bool start(const std::string &program, const std::vector<std::string> &args, const std::vector<std::string> &env,
               const std::string &stderrPath) {
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
        sigset_t none, defaults;
        sigemptyset(&none);
        sigfillset(&defaults);
        posix_spawnattr_setsigmask(&attributes, &none);
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

    /// The wait status once the process has ended, nothing when it still runs after timeout.
    std::optional<int> waitForExit(std::chrono::milliseconds timeout = kDefaultTimeout) {
        if (_pid > 0)
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

enum class CacheFolder { Missing, Present };

struct Launch {
    pid_t pid = -1;
    std::vector<std::string> argv;
};

// ---------------------------------------------------------------------------------------------
// The fixture: a volume root and a home in a temporary folder, and a tmpfs to prepare volumes in

class QuilletMountDiskdTest : public ::testing::Test {
protected:
    void SetUp() override {
        ASSERT_TRUE(isExecutable(libexecPath("quilletMountDiskd"))) << "not built: " << libexecPath("quilletMountDiskd");
        ASSERT_TRUE(isExecutable(libexecPath("quilletd"))) << "not built: " << libexecPath("quilletd");
        _volumes = _tmp / "volumes";
        _home = _tmp / "home";
        _staging = _tmp / "staging";
        ASSERT_TRUE(makeFolder(_volumes));
        ASSERT_TRUE(makeFolder(_home));
        ASSERT_TRUE(makeFolder(_staging));
    }

    void TearDown() override {
        stopWatcherAndDaemons();
        for (auto it = _mounts.rbegin(); it != _mounts.rend(); ++it)
            ::umount2(it->c_str(), MNT_DETACH);
        _mounts.clear();
    }

    // -- volumes -------------------------------------------------------------------------------

    /// Mounts the tmpfs in which volumes are prepared; false, with _skipReason set, when this
    /// machine does not let the test mount.
    bool mountStaging() {
        if (::mount("tmpfs", _staging.c_str(), "tmpfs", 0, "size=16m,mode=0755") != 0) {
            _skipReason = std::string("cannot mount a tmpfs here: ") + std::strerror(errno);
            return false;
        }
        _mounts.push_back(_staging);
        return true;
    }

    /// Fills the folder of a volume to be: this user's trash folder and, when asked, a cache
    /// folder of mode 0755 holding a marker file.
    void prepareVolume(const std::string &name, CacheFolder cacheFolder = CacheFolder::Missing) {
        std::string root = _staging + "/" + name;
        ASSERT_TRUE(makeFolder(root));
        ASSERT_TRUE(makeFolder(root + "/.Trash-" + kUid, 0700));
        ASSERT_TRUE(makeFolder(root + "/.Trash-" + kUid + "/files", 0700));
        ASSERT_TRUE(makeFolder(root + "/.Trash-" + kUid + "/info", 0700));
        if (cacheFolder == CacheFolder::Present) {
            ASSERT_TRUE(makeFolder(root + "/.TrashCacheFolder", 0755));
            std::ofstream(root + "/.TrashCacheFolder/marker") << "kept";
        }
    }

    /// Mounts the prepared volume under the volume root; returns its mount point.
    std::string mountVolume(const std::string &name) {
        std::string mountPoint = volumePath(name);
        EXPECT_TRUE(makeFolder(mountPoint));
        std::string source = _staging + "/" + name;
        if (::mount(source.c_str(), mountPoint.c_str(), nullptr, MS_BIND, nullptr) != 0) {
            ADD_FAILURE() << "bind mount of " << source << " failed: " << std::strerror(errno);
            return mountPoint;
        }
        _mounts.push_back(mountPoint);
        return mountPoint;
    }

    void unmountVolume(const std::string &mountPoint) {
        ASSERT_EQ(::umount2(mountPoint.c_str(), MNT_DETACH), 0) << std::strerror(errno);
        _mounts.erase(std::find(_mounts.begin(), _mounts.end(), mountPoint));
    }

    std::string volumePath(const std::string &name) const { return _volumes + "/" + name; }

    // -- the watcher ---------------------------------------------------------------------------

    std::vector<std::string> environment() const {
        return {"HOME=" + _home, "QUILLET_VOLUME_ROOTS=" + _volumes, "TZ=UTC", "LC_ALL=C",
                "PATH=/usr/local/bin:/usr/bin:/bin"};
    }

    void startWatcherWith(const std::vector<std::string> &args, const std::string &program = libexecPath("quilletMountDiskd")) {
        _stderrPath = _tmp / "quilletMountDiskd.stderr";
        ASSERT_TRUE(_watcher.start(program, args, environment(), _stderrPath)) << "cannot start " << program;
    }

    /// Starts the watcher and waits until it watches the mount table.
    void startWatcher(const std::vector<std::string> &args = {"1", "/", "/", "0", "0", "0"},
                      const std::string &program = libexecPath("quilletMountDiskd")) {
        ASSERT_NO_FATAL_FAILURE(startWatcherWith(args, program));
        pid_t pid = _watcher.pid();
        ASSERT_TRUE(waitFor([&] { return isWatchingMounts(pid) || !_watcher.running(); }))
            << "the watcher never settled down to watch the mount table";
        ASSERT_TRUE(_watcher.running()) << "the watcher ended at start-up: " << watcherStderr();
    }

    std::string watcherStderr() const { return _stderrPath.empty() ? std::string() : readFileText(_stderrPath); }

    /// Records the watcher's children that are alive now; answers them.
    std::vector<Launch> lookAtLaunches() {
        std::vector<Launch> now;
        if (_watcher.pid() <= 0)
            return now;
        for (pid_t pid : childrenOf(_watcher.pid())) {
            std::vector<std::string> argv = commandLineOf(pid);
            if (argv.empty())
                continue;
            _seen[pid] = argv;
            now.push_back({pid, argv});
        }
        return now;
    }

    /// Every launch seen so far whose cache base is the mount point.
    std::vector<Launch> launchesSeenFor(const std::string &mountPoint) {
        lookAtLaunches();
        std::vector<Launch> found;
        for (const auto &[pid, argv] : _seen)
            if (argv.size() == 7 && argv[3] == mountPoint + "/")
                found.push_back({pid, argv});
        return found;
    }

    /// Waits for a quilletd for the mount point other than those in excluded.
    std::optional<Launch> waitForLaunchOn(const std::string &mountPoint, const std::vector<pid_t> &excluded = {}) {
        std::optional<Launch> found;
        waitFor([&] {
            for (const Launch &launch : launchesSeenFor(mountPoint))
                if (std::find(excluded.begin(), excluded.end(), launch.pid) == excluded.end()) {
                    found = launch;
                    return true;
                }
            return false;
        });
        return found;
    }

    /// Mounts a sentinel volume and waits for its quilletd: every mount made before has been
    /// dealt with by then.
    void settleWithSentinel() {
        ASSERT_NO_FATAL_FAILURE(prepareVolume("Sentinel"));
        std::string sentinel = mountVolume("Sentinel");
        ASSERT_TRUE(waitForLaunchOn(sentinel).has_value())
            << "no quilletd for the sentinel volume; stderr: " << watcherStderr();
    }

    std::vector<std::string> expectedArguments(const std::string &mountPoint, const std::string &size,
                                               const std::string &percent, const std::string &mode) const {
        return {canonicalPath(libexecPath("quilletd")), "1", mountPoint + "/.Trash-" + kUid + "/files/",
                mountPoint + "/", size, percent, mode};
    }

    /// Kills whatever a failed test left running; the watcher reaps the daemons it started.
    void stopWatcherAndDaemons() {
        if (_watcher.pid() > 0 && _watcher.running()) {
            std::vector<pid_t> children = childrenOf(_watcher.pid());
            for (pid_t child : children)
                ::kill(child, SIGKILL);
            waitFor([&] { return childrenOf(_watcher.pid()).empty(); }, 5s);
        }
        _watcher.stop();
    }

    TestDir _tmp;
    std::string _volumes, _home, _staging;
    std::vector<std::string> _mounts;
    std::string _skipReason;
    ChildProcess _watcher;
    std::string _stderrPath;
    std::map<pid_t, std::vector<std::string>> _seen;
};

// ---------------------------------------------------------------------------------------------
// Command line

class WrongArgumentCount : public QuilletMountDiskdTest, public ::testing::WithParamInterface<int> {};

TEST_P(WrongArgumentCount, isReportedWithTheCountAndEndsAtOnceWithZero) {
    const int entries = GetParam();
    std::vector<std::string> args = {"1", "/", "/", "0", "0", "0", "extra"};
    args.resize(static_cast<size_t>(entries - 1));
    ASSERT_NO_FATAL_FAILURE(startWatcherWith(args));
    std::optional<int> status = _watcher.waitForExit();
    ASSERT_TRUE(status.has_value()) << "the watcher kept running with " << entries << " entries";
    EXPECT_TRUE(WIFEXITED(*status) && WEXITSTATUS(*status) == 0) << describeStatus(*status);
    EXPECT_EQ(watcherStderr(), "quilletMountDiskd : Wrong number of args! (" + std::to_string(entries) + ")\n");
}

INSTANTIATE_TEST_SUITE_P(Entries, WrongArgumentCount, ::testing::Values(6, 8),
                         [](const auto &param) { return std::to_string(param.param) + "Entries"; });

// ---------------------------------------------------------------------------------------------
// Mounts

TEST_F(QuilletMountDiskdTest, NewVolumeGetsCacheFolderAndExactlyOneQuilletdWithItsArguments) {
    if (!mountStaging())
        GTEST_SKIP() << _skipReason;
    ASSERT_NO_FATAL_FAILURE(startWatcher({"1", "/", "/", "100", "10", "0"}));
    ASSERT_NO_FATAL_FAILURE(prepareVolume("Data"));
    std::string data = mountVolume("Data");

    std::optional<Launch> launch = waitForLaunchOn(data);
    ASSERT_TRUE(launch.has_value()) << "no quilletd for " << data << "; stderr: " << watcherStderr();
    EXPECT_EQ(launch->argv, expectedArguments(data, "100", "10", "0")) << joinArgs(launch->argv);
    auto cache = lstatOf(data + "/.TrashCacheFolder");
    ASSERT_TRUE(cache.has_value()) << "no cache folder on the new volume";
    EXPECT_TRUE(S_ISDIR(cache->st_mode));
    EXPECT_EQ(cache->st_mode & 07777, 0700u);

    ASSERT_NO_FATAL_FAILURE(settleWithSentinel());
    EXPECT_EQ(launchesSeenFor(data).size(), 1u);
    EXPECT_EQ(readFileText("/proc/" + std::to_string(launch->pid) + "/comm"), "quilletd\n")
        << "the quilletd for the volume did not keep running; stderr: " << watcherStderr();
}

TEST_F(QuilletMountDiskdTest, ExistingCacheFolderIsLeftAloneAndQuilletdStillLaunched) {
    if (!mountStaging())
        GTEST_SKIP() << _skipReason;
    ASSERT_NO_FATAL_FAILURE(startWatcher());
    ASSERT_NO_FATAL_FAILURE(prepareVolume("Kept", CacheFolder::Present));
    std::string kept = mountVolume("Kept");

    std::optional<Launch> launch = waitForLaunchOn(kept);
    ASSERT_TRUE(launch.has_value()) << "no quilletd for " << kept << "; stderr: " << watcherStderr();
    EXPECT_EQ(launch->argv, expectedArguments(kept, "0", "0", "0")) << joinArgs(launch->argv);
    auto cache = lstatOf(kept + "/.TrashCacheFolder");
    ASSERT_TRUE(cache.has_value());
    EXPECT_EQ(cache->st_mode & 07777, 0755u) << "the existing cache folder was changed";
    EXPECT_EQ(readFileText(kept + "/.TrashCacheFolder/marker"), "kept");
}

TEST_F(QuilletMountDiskdTest, DiskImageGetsNothing) {
    if (!mountStaging())
        GTEST_SKIP() << _skipReason;
    ASSERT_NO_FATAL_FAILURE(startWatcher());
    std::string image = _tmp / "disk.img";
    if (runShell("truncate -s 16M '" + image + "' && mkfs.ext4 -q -F '" + image + "' >/dev/null 2>&1") != 0)
        GTEST_SKIP() << "cannot make an ext4 image (mkfs.ext4 missing?)";
    std::string mountPoint = volumePath("Image");
    ASSERT_TRUE(makeFolder(mountPoint));
    if (runShell("mount -o loop '" + image + "' '" + mountPoint + "' 2>/dev/null") != 0)
        GTEST_SKIP() << "cannot loop-mount a disk image here";
    _mounts.push_back(mountPoint);

    ASSERT_NO_FATAL_FAILURE(settleWithSentinel());
    EXPECT_TRUE(launchesSeenFor(mountPoint).empty()) << "a quilletd was started for the disk image";
    EXPECT_FALSE(exists(mountPoint + "/.TrashCacheFolder")) << "a cache folder was made on the disk image";
    EXPECT_EQ(watcherStderr().find(mountPoint), std::string::npos) << watcherStderr();
}

TEST_F(QuilletMountDiskdTest, VolumeMountedAgainGetsOneMoreQuilletd) {
    if (!mountStaging())
        GTEST_SKIP() << _skipReason;
    ASSERT_NO_FATAL_FAILURE(startWatcher());
    ASSERT_NO_FATAL_FAILURE(prepareVolume("Data"));
    std::string data = mountVolume("Data");
    std::optional<Launch> first = waitForLaunchOn(data);
    ASSERT_TRUE(first.has_value()) << "no quilletd for the first mount; stderr: " << watcherStderr();

    // Unmounted and mounted again at once: the watcher may never see the table without it.
    ASSERT_NO_FATAL_FAILURE(unmountVolume(data));
    mountVolume("Data");
    std::optional<Launch> second = waitForLaunchOn(data, {first->pid});
    ASSERT_TRUE(second.has_value()) << "no quilletd for the second mount; stderr: " << watcherStderr();
    EXPECT_EQ(second->argv, expectedArguments(data, "0", "0", "0")) << joinArgs(second->argv);

    ASSERT_NO_FATAL_FAILURE(settleWithSentinel());
    EXPECT_EQ(launchesSeenFor(data).size(), 2u);
}

TEST_F(QuilletMountDiskdTest, VolumeMountedBeforeStartIsNotItsBusiness) {
    if (!mountStaging())
        GTEST_SKIP() << _skipReason;
    ASSERT_NO_FATAL_FAILURE(prepareVolume("Early"));
    std::string early = mountVolume("Early");
    ASSERT_NO_FATAL_FAILURE(startWatcher());

    ASSERT_NO_FATAL_FAILURE(settleWithSentinel());
    EXPECT_TRUE(launchesSeenFor(early).empty()) << "a quilletd was started for a volume mounted before";
    EXPECT_FALSE(exists(early + "/.TrashCacheFolder"));
}

TEST_F(QuilletMountDiskdTest, QuilletdThatCannotBeLaunchedIsReportedAndWatcherGoesOn) {
    if (!mountStaging())
        GTEST_SKIP() << _skipReason;
    // A copy of the watcher in a folder without quilletd.
    std::string lonely = _tmp / "lonely/quilletMountDiskd";
    ASSERT_TRUE(makeFolder(parentOf(lonely)));
    std::error_code ec;
    std::filesystem::copy_file(libexecPath("quilletMountDiskd"), lonely, ec);
    ASSERT_FALSE(ec) << ec.message();
    ASSERT_EQ(::chmod(lonely.c_str(), 0755), 0);
    ASSERT_NO_FATAL_FAILURE(startWatcher({"1", "/", "/", "0", "0", "0"}, lonely));

    ASSERT_NO_FATAL_FAILURE(prepareVolume("Data"));
    std::string data = mountVolume("Data");
    ASSERT_TRUE(waitFor([&] { return watcherStderr().find("Can't launch") != std::string::npos; }))
        << "the failed launch was not reported; stderr: " << watcherStderr();
    std::string printed = watcherStderr();
    EXPECT_NE(printed.find("quilletMountDiskd : Can't launch quilletd for " + data), std::string::npos) << printed;
    EXPECT_NE(printed.find(canonicalPath(parentOf(lonely)) + "/quilletd"), std::string::npos) << printed;
    EXPECT_NE(printed.find("No such file or directory"), std::string::npos) << printed;
    EXPECT_TRUE(exists(data + "/.TrashCacheFolder"));
    EXPECT_TRUE(childrenOf(_watcher.pid()).empty());

    _watcher.signal(SIGINT);
    std::optional<int> status = _watcher.waitForExit();
    ASSERT_TRUE(status.has_value()) << "the watcher did not stop on SIGINT";
    EXPECT_TRUE(WIFEXITED(*status) && WEXITSTATUS(*status) == 0) << describeStatus(*status);
}

// ---------------------------------------------------------------------------------------------
// Stopping

TEST_F(QuilletMountDiskdTest, SigintReachesLaunchedQuilletdWhichSavesItsIndexThenWatcherExitsZero) {
    if (!mountStaging())
        GTEST_SKIP() << _skipReason;
    ASSERT_NO_FATAL_FAILURE(startWatcher());
    ASSERT_NO_FATAL_FAILURE(prepareVolume("Data"));
    std::string data = mountVolume("Data");
    std::optional<Launch> launch = waitForLaunchOn(data);
    ASSERT_TRUE(launch.has_value()) << "no quilletd for " << data << "; stderr: " << watcherStderr();
    ASSERT_TRUE(waitFor([&] { return catchesSigint(launch->pid); }))
        << "quilletd never got ready for SIGINT; stderr: " << watcherStderr();

    // An item archived now is in quilletd's index in memory only: the index file gets it when
    // quilletd saves on SIGINT.
    const std::string cacheFolder = data + "/.TrashCacheFolder/";
    std::ofstream(data + "/.Trash-" + kUid + "/files/report.txt") << "quarterly";
    ASSERT_TRUE(waitFor([&] {
        for (const std::string &folder : listNames(cacheFolder))
            if (exists(cacheFolder + folder + "/.x_report.txt"))
                return true;
        return false;
    })) << "quilletd archived nothing; stderr: "
        << watcherStderr();

    _watcher.signal(SIGINT);
    std::optional<int> status = _watcher.waitForExit(30s);
    ASSERT_TRUE(status.has_value()) << "the watcher did not stop on SIGINT";
    EXPECT_TRUE(WIFEXITED(*status) && WEXITSTATUS(*status) == 0) << describeStatus(*status);

    // Reaped by the watcher before it left: no process, no zombie.
    std::string proc = "/proc/" + std::to_string(launch->pid);
    bool lingers = exists(proc) && (processState(launch->pid) == 'Z' || commandLineOf(launch->pid) == launch->argv);
    EXPECT_FALSE(lingers) << "quilletd is still there, in state " << processState(launch->pid);
    std::optional<quillet::ArchiveStruct> index =
        quillet::decodeArchive(readFileText(cacheFolder + std::string(quillet::kIndexFileName)));
    ASSERT_TRUE(index.has_value()) << "no readable index file";
    bool recorded = std::any_of(index->items.begin(), index->items.end(),
                                [](const quillet::ArchivedItem &item) { return item.name == ".x_report.txt"; });
    EXPECT_TRUE(recorded) << "quilletd did not save its index: it did not get SIGINT";
    EXPECT_EQ(watcherStderr(), "") << "a quilletd ended badly or was left running";
}

TEST_F(QuilletMountDiskdTest, SigintWithNothingMountedSinceStartExitsZeroAtOnce) {
    ASSERT_NO_FATAL_FAILURE(startWatcher());
    _watcher.signal(SIGINT);
    std::optional<int> status = _watcher.waitForExit();
    ASSERT_TRUE(status.has_value()) << "the watcher did not stop on SIGINT";
    EXPECT_TRUE(WIFEXITED(*status) && WEXITSTATUS(*status) == 0) << describeStatus(*status);
    EXPECT_EQ(watcherStderr(), "");
}

} // namespace
