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

#include "archive/ArchiveFile.h"
#include "archive/CacheLayout.h"
#include "ChildProcess.h"
#include "TestDir.h"

#include <gtest/gtest.h>

#include <signal.h>
#include <sys/mount.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <map>
#include <optional>
#include <string>
#include <vector>

namespace {

using namespace std::chrono_literals;
using quillet::test::catchesSigint;
using quillet::test::ChildProcess;
using quillet::test::childrenOf;
using quillet::test::commandLineOf;
using quillet::test::describeStatus;
using quillet::test::exists;
using quillet::test::isExecutable;
using quillet::test::libexecPath;
using quillet::test::listNames;
using quillet::test::lstatOf;
using quillet::test::makeFolder;
using quillet::test::parentOf;
using quillet::test::processState;
using quillet::test::readFileText;
using quillet::test::runShell;
using quillet::test::TestDir;
using quillet::test::waitFor;

const std::string kUid = std::to_string(::getuid());

// ---------------------------------------------------------------------------------------------
// Small helpers

std::string canonicalPath(const std::string &path) {
    std::error_code ec;
    auto resolved = std::filesystem::canonical(path, ec);
    return ec ? path : resolved.string();
}

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

std::string joinArgs(const std::vector<std::string> &argv) {
    std::string text;
    for (const std::string &arg : argv)
        text += (text.empty() ? "" : " ") + ("'" + arg + "'");
    return text;
}

// ---------------------------------------------------------------------------------------------
// Volumes and launches

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

TEST_P(WrongArgumentCount, isReportedWithTheCountAndEndsAtOnceWithTwo) {
    const int entries = GetParam();
    std::vector<std::string> args = {"1", "/", "/", "0", "0", "0", "extra"};
    args.resize(static_cast<size_t>(entries - 1));
    ASSERT_NO_FATAL_FAILURE(startWatcherWith(args));
    std::optional<int> status = _watcher.waitForExit();
    ASSERT_TRUE(status.has_value()) << "the watcher kept running with " << entries << " entries";
    EXPECT_TRUE(WIFEXITED(*status) && WEXITSTATUS(*status) == 2) << describeStatus(*status);
    EXPECT_EQ(watcherStderr(), "quilletMountDiskd : Wrong number of args! (" + std::to_string(entries) + ")\n");
}

INSTANTIATE_TEST_SUITE_P(Entries, WrongArgumentCount, ::testing::Values(6, 8),
                         [](const auto &param) { return std::to_string(param.param) + "Entries"; });

// What quilletd would refuse is refused here at once, instead of by every daemon it starts.
TEST_F(QuilletMountDiskdTest, ArgumentsQuilletdWouldRefuseEndItAtOnceWithTwo) {
    const std::vector<std::pair<std::vector<std::string>, std::string>> cases = {
        {{"1", "/", "/", "99999999999999999999", "10", "0"}, "SIZE_LIMIT_MB \"99999999999999999999\" is out of range"},
        {{"1", "/", "/", "0", "0", "4294967296"}, "MODE \"4294967296\" is out of range"},
        {{"1", "/", "relative/", "0", "0", "0"}, "CACHE_BASE/ \"relative/\" must be an absolute folder path"},
    };
    for (const auto &[args, message] : cases) {
        ASSERT_NO_FATAL_FAILURE(startWatcherWith(args));
        std::optional<int> status = _watcher.waitForExit();
        ASSERT_TRUE(status.has_value()) << "the watcher kept running: " << message;
        EXPECT_TRUE(WIFEXITED(*status) && WEXITSTATUS(*status) == 2) << describeStatus(*status);
        EXPECT_NE(watcherStderr().find(message), std::string::npos) << watcherStderr();
    }
}

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
