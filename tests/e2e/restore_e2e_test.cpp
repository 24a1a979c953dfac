// End-to-end tests of taking trashed items back: the built quilletd archives what real trash
// clients (trash-put from trash-cli, gio trash) put in the trash of a temporary home or of a
// mounted volume, the trash is emptied, and the built quilletctl restores the items to where
// they were trashed from. Everything is compared byte for byte.
//
// Nothing here measures time: every wait polls for an outcome with a generous timeout.

#include "archive/CacheLayout.h"
#include "ChildProcess.h"
#include "TestDir.h"
#include "archive/TrashInfo.h"
#include "platform/System.h"

#include <gtest/gtest.h>

#include <fcntl.h>
#include <signal.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <map>
#include <memory>
#include <optional>
#include <random>
#include <string>
#include <vector>

namespace {

using namespace std::chrono_literals;
using quillet::test::ChildProcess;
using quillet::test::catchesSigint;
using quillet::test::holdsDeepFolder;
using quillet::test::exists;
using quillet::test::isExecutable;
using quillet::test::isFolder;
using quillet::test::libexecPath;
using quillet::test::listNames;
using quillet::test::makeFolder;
using quillet::test::readFileText;
using quillet::test::waitFor;

struct Outcome {
    int exitStatus = -1;
    std::string out;
    std::string err;
};

/// Runs program with args and exactly env, its output and errors kept.
Outcome run(const std::string &program, const std::vector<std::string> &args, const std::vector<std::string> &env,
            const std::string &scratch) {
    const std::string outPath = scratch + "/run.out";
    const std::string errPath = scratch + "/run.err";
    std::vector<std::string> strings = {program};
    strings.insert(strings.end(), args.begin(), args.end());
    std::vector<std::string> envStrings = env;
    std::vector<char *> argv;
    for (std::string &s : strings)
        argv.push_back(s.data());
    argv.push_back(nullptr);
    std::vector<char *> envp;
    for (std::string &s : envStrings)
        envp.push_back(s.data());
    envp.push_back(nullptr);
    const pid_t pid = ::fork();
    if (pid == 0) {
        const int in = ::open("/dev/null", O_RDONLY);
        const int outFd = ::open(outPath.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0666);
        const int errFd = ::open(errPath.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0666);
        if (in < 0 || outFd < 0 || errFd < 0 || ::dup2(in, 0) < 0 || ::dup2(outFd, 1) < 0 || ::dup2(errFd, 2) < 0)
            ::_exit(126);
        ::execve(argv[0], argv.data(), envp.data());
        ::_exit(127);
    }
    Outcome outcome;
    if (pid < 0)
        return outcome;
    int status = 0;
    while (::waitpid(pid, &status, 0) < 0 && errno == EINTR) {
    }
    outcome.exitStatus = WIFEXITED(status) ? WEXITSTATUS(status) : -1;
    outcome.out = readFileText(outPath);
    outcome.err = readFileText(errPath);
    return outcome;
}

void writeBytes(const std::string &path, const std::string &content) {
    const int fd = ::open(path.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0644);
    ASSERT_GE(fd, 0) << "cannot create " << path;
    ASSERT_EQ(::write(fd, content.data(), content.size()), static_cast<ssize_t>(content.size())) << path;
    ::close(fd);
}

std::string randomBytes(size_t size, unsigned seed) {
    std::mt19937 random(seed);
    std::string bytes(size, '\0');
    for (char &c : bytes)
        c = static_cast<char>(random() & 0xff);
    return bytes;
}

/// A tree as a restore must give it back: relative path → type, mode and content (files) or
/// target (links).
std::map<std::string, std::string> treeOf(const std::string &root) {
    std::map<std::string, std::string> tree;
    std::vector<std::string> pending = {std::string()};
    while (!pending.empty()) {
        const std::string relative = std::move(pending.back());
        pending.pop_back();
        const std::string path = relative.empty() ? root : root + "/" + relative;
        auto st = quillet::test::lstatOf(path);
        if (!st) {
            tree[relative] = "missing";
            continue;
        }
        std::string description = std::to_string(st->st_mode) + " mtime " + std::to_string(st->st_mtime);
        if (S_ISREG(st->st_mode)) {
            description += " " + readFileText(path);
        } else if (S_ISLNK(st->st_mode)) {
            char target[4096];
            const ssize_t n = ::readlink(path.c_str(), target, sizeof target);
            description += " -> " + std::string(target, n > 0 ? static_cast<size_t>(n) : 0);
        } else if (S_ISDIR(st->st_mode)) {
            for (const std::string &name : listNames(path))
                pending.push_back(relative.empty() ? name : relative + "/" + name);
        }
        tree[relative] = description;
    }
    return tree;
}

/// Writes files, folders and a link under root, for a tree to be trashed whole.
void makeSampleTree(const std::string &root, unsigned seed) {
    ASSERT_TRUE(makeFolder(root + "/sub/deeper", 0750));
    writeBytes(root + "/readme.md", "# Sample\n");
    writeBytes(root + "/sub/data.bin", randomBytes(50000, seed));
    writeBytes(root + "/sub/deeper/odd\nname\t%41.txt", randomBytes(3000, seed + 1));
    ASSERT_EQ(::symlink("../readme.md", (root + "/sub/link").c_str()), 0);
    ASSERT_EQ(::chmod((root + "/readme.md").c_str(), 0600), 0);
}

class RestoreE2eTest : public ::testing::Test {
protected:
    void SetUp() override {
        ASSERT_TRUE(isExecutable(libexecPath("quilletd"))) << "quilletd not built at " << libexecPath("quilletd");
        ASSERT_TRUE(isExecutable(quilletctlPath())) << "quilletctl not built at " << quilletctlPath();
        if (!isExecutable("/usr/bin/trash-put") || !isExecutable("/usr/bin/trash-empty"))
            GTEST_SKIP() << "trash-cli is not installed (scripts/bootstrap installs it)";
        ASSERT_TRUE(makeFolder(_home + "/.local/share/Trash/files", 0700));
        ASSERT_TRUE(makeFolder(_home + "/.local/share/Trash/info", 0700));
        ASSERT_TRUE(makeFolder(_home + "/.TrashCacheFolder", 0700));
        ASSERT_TRUE(makeFolder(_tmp / "volumes"));
        ASSERT_TRUE(makeFolder(_tmp / "config"));
    }
    void TearDown() override {
        for (auto &daemon : _daemons)
            stopDaemon(*daemon);
    }

    static std::string quilletctlPath() {
        const std::string libexec = libexecPath("quilletd");
        const std::string tail = "/libexec/quillet/quilletd";
        return libexec.substr(0, libexec.size() - tail.size()) + "/bin/quilletctl";
    }

    std::vector<std::string> environment() const {
        return {"HOME=" + _home,
                "XDG_DATA_HOME=" + _home + "/.local/share",
                "XDG_CONFIG_HOME=" + (_tmp / "config"),
                "QUILLET_VOLUME_ROOTS=" + (_tmp / "volumes"),
                "TZ=UTC",
                "LC_ALL=C",
                "PATH=/usr/local/bin:/usr/bin:/bin"};
    }

    /// Starts quilletd on the trash folder (with its trailing slash) for the cache of base.
    void startDaemon(const std::string &trash, const std::string &base, int mode) {
        auto &daemon = _daemons.emplace_back(std::make_unique<ChildProcess>());
        const std::string stderrPath = _tmp / ("quilletd-" + std::to_string(_daemons.size()) + ".stderr");
        _daemonStderr.push_back(stderrPath);
        ASSERT_TRUE(daemon->start(libexecPath("quilletd"), {"1", trash, base + "/", "0", "0", std::to_string(mode)},
                                  environment(), stderrPath));
        ASSERT_TRUE(waitFor([&] { return catchesSigint(daemon->pid()) || !daemon->running(); }));
        ASSERT_TRUE(daemon->running()) << "quilletd ended at start-up: " << readFileText(stderrPath);
    }
    void startHomeDaemon(int mode) { startDaemon(_home + "/.local/share/Trash/files/", _home, mode); }
    static void stopDaemon(ChildProcess &daemon) {
        if (daemon.running())
            daemon.signal(SIGINT);
        (void)daemon.waitForExit(60s);
        daemon.stop();
    }
    std::string daemonErrors() const {
        std::string text;
        for (const std::string &path : _daemonStderr)
            text += readFileText(path);
        return text;
    }

    /// Runs a trash client; its exit status must be 0.
    void trash(const std::vector<std::string> &command) {
        const std::vector<std::string> args(command.begin() + 1, command.end());
        Outcome outcome = run(command.front(), args, environment(), _tmp.path());
        ASSERT_EQ(outcome.exitStatus, 0) << command.front() << " failed: " << outcome.err;
    }
    Outcome quilletctl(const std::vector<std::string> &args) { return run(quilletctlPath(), args, environment(), _tmp.path()); }

    /// Waits until the cache of base holds the item trashed from originalPath with its trash
    /// information, and answers its path in the cache ("" on time-out).
    std::string waitForArchive(const std::string &base, const std::string &originalPath) {
        const std::string cache = base + "/.TrashCacheFolder";
        const std::string stored = quillet::storedNameOf(quillet::sys::lastPathComponent(originalPath)).value();
        std::string found;
        waitFor(
            [&] {
                for (const std::string &date : listNames(cache)) {
                    const std::string folder = cache + "/" + date;
                    if (!isFolder(folder) || !exists(folder + "/" + stored))
                        continue;
                    auto fd = quillet::sys::openDirectory(folder);
                    if (!fd)
                        continue;
                    if (quillet::originalPathOf(quillet::readTrashInfoStore(fd->get()), stored, base) == originalPath) {
                        found = folder + "/" + stored;
                        return true;
                    }
                }
                return false;
            },
            30s);
        return found;
    }

    quillet::test::TestDir _tmp;
    const std::string _home = _tmp / "home";
    quillet::test::TmpfsMounts _mounts; ///< unmounted after the daemons have stopped
    std::vector<std::unique_ptr<ChildProcess>> _daemons;
    std::vector<std::string> _daemonStderr;
};

} // namespace


// Files and folders trashed from nested folders of the home, with both clients, come back
// where they were after the trash was emptied and the folders around them deleted.
TEST_F(RestoreE2eTest, itemsTrashedWithTrashPutAndGioComeBackToTheirPlaces) {
    if (!isExecutable("/usr/bin/gio"))
        GTEST_SKIP() << "gio (libglib2.0-bin) is not installed (scripts/bootstrap installs it)";
    ASSERT_NO_FATAL_FAILURE(startHomeDaemon(0));
    struct Item {
        std::string path;
        const char *client;
    };
    const std::vector<Item> items = {
        {_home + "/Documents/2026/reports/report final.pdf", "trash-put"},
        // trash-put cannot write a path that is not UTF-8 (Python refuses to encode it): gio can.
        {_home + "/Documents/2026/two\nlines\t100%25 \xc3\xbc.txt", "trash-put"},
        {_home + "/Documents/2026/bad byte \xff\n.txt", "gio"},
        {_home + "/Projects/app", "trash-put"},
        {_home + "/Music/live/track.ogg", "gio"},
        {_home + "/Photos/2026/Album", "gio"},
    };
    std::map<std::string, std::map<std::string, std::string>> expected;
    unsigned seed = 0;
    for (const Item &item : items) {
        ++seed;
        ASSERT_TRUE(makeFolder(quillet::sys::parentPath(item.path)));
        if (item.path.ends_with("app") || item.path.ends_with("Album"))
            ASSERT_NO_FATAL_FAILURE(makeSampleTree(item.path, seed));
        else
            ASSERT_NO_FATAL_FAILURE(writeBytes(item.path, randomBytes(1000 * seed, seed)));
        expected[item.path] = treeOf(item.path);
        if (std::string(item.client) == "gio")
            ASSERT_NO_FATAL_FAILURE(trash({"/usr/bin/gio", "trash", item.path}));
        else
            ASSERT_NO_FATAL_FAILURE(trash({"/usr/bin/trash-put", item.path}));
        ASSERT_FALSE(exists(item.path));
    }
    std::vector<std::string> cached;
    for (const Item &item : items) {
        cached.push_back(waitForArchive(_home, item.path));
        ASSERT_FALSE(cached.back().empty()) << "not archived with its origin: " << item.path << "\n" << daemonErrors();
    }
    ASSERT_NO_FATAL_FAILURE(trash({"/usr/bin/trash-empty"}));
    EXPECT_EQ(listNames(_home + "/.local/share/Trash/files"), std::vector<std::string>{});
    for (const char *folder : {"Documents", "Projects", "Music", "Photos"})
        quillet::test::removeTree(_home + "/" + folder);

    std::vector<std::string> args = {"restore"};
    args.insert(args.end(), cached.begin(), cached.end());
    Outcome restored = quilletctl(args);
    EXPECT_EQ(restored.exitStatus, 0) << restored.err;
    EXPECT_EQ(restored.err, "");
    for (size_t i = 0; i < items.size(); ++i) {
        EXPECT_EQ(treeOf(items[i].path), expected[items[i].path]) << items[i].path;
        EXPECT_TRUE(exists(cached[i])) << "the archive stays in the cache";
    }
    EXPECT_NE(restored.out.find("Restored " + cached[0] + " to " + items[0].path + "\n"), std::string::npos)
        << restored.out;
    EXPECT_EQ(std::count(restored.out.begin(), restored.out.end(), '\n'), static_cast<long>(items.size()))
        << restored.out;
}

// In move mode the trash information leaves the trash with its entry, none is left behind, and
// the restore reads it from the archive.
TEST_F(RestoreE2eTest, moveModeLeavesNoTrashInformationBehindAndStillRestores) {
    ASSERT_NO_FATAL_FAILURE(startHomeDaemon(1));
    const std::string file = _home + "/Work/deep/plan.txt";
    const std::string folder = _home + "/Work/deep/Drafts";
    ASSERT_TRUE(makeFolder(_home + "/Work/deep"));
    ASSERT_NO_FATAL_FAILURE(writeBytes(file, randomBytes(12345, 7)));
    ASSERT_NO_FATAL_FAILURE(makeSampleTree(folder, 8));
    const auto fileTree = treeOf(file);
    const auto folderTree = treeOf(folder);
    ASSERT_NO_FATAL_FAILURE(trash({"/usr/bin/trash-put", file}));
    ASSERT_NO_FATAL_FAILURE(trash({"/usr/bin/trash-put", folder}));
    const std::string cachedFile = waitForArchive(_home, file);
    const std::string cachedFolder = waitForArchive(_home, folder);
    ASSERT_FALSE(cachedFile.empty() || cachedFolder.empty()) << daemonErrors();
    EXPECT_TRUE(waitFor([&] {
        return listNames(_home + "/.local/share/Trash/files").empty() && listNames(_home + "/.local/share/Trash/info").empty();
    })) << "left in the trash: files " << listNames(_home + "/.local/share/Trash/files").size() << ", info "
        << listNames(_home + "/.local/share/Trash/info").size();
    quillet::test::removeTree(_home + "/Work");

    Outcome restored = quilletctl({"restore", cachedFile, cachedFolder});
    EXPECT_EQ(restored.exitStatus, 0) << restored.err;
    EXPECT_EQ(treeOf(file), fileTree);
    EXPECT_EQ(treeOf(folder), folderTree);
}

// What is at the original path now is the user's: it stays as it is, and the message says why
// the item was not restored. An item without trash information needs a folder to go to.
TEST_F(RestoreE2eTest, anExistingFileAtTheOriginalPathIsLeftAlone) {
    ASSERT_NO_FATAL_FAILURE(startHomeDaemon(0));
    const std::string file = _home + "/notes/todo.txt";
    ASSERT_TRUE(makeFolder(_home + "/notes"));
    ASSERT_NO_FATAL_FAILURE(writeBytes(file, "the trashed list"));
    ASSERT_NO_FATAL_FAILURE(trash({"/usr/bin/trash-put", file}));
    const std::string cached = waitForArchive(_home, file);
    ASSERT_FALSE(cached.empty()) << daemonErrors();
    ASSERT_NO_FATAL_FAILURE(trash({"/usr/bin/trash-empty"}));
    ASSERT_NO_FATAL_FAILURE(writeBytes(file, "a new list, not to be replaced"));

    Outcome refused = quilletctl({"restore", cached});
    EXPECT_EQ(refused.exitStatus, 1);
    EXPECT_EQ(refused.err, "quilletctl: cannot restore " + cached + ": " + file + ": already exists\n");
    EXPECT_EQ(refused.out, "");
    EXPECT_EQ(readFileText(file), "a new list, not to be replaced");
    EXPECT_EQ(listNames(_home + "/notes"), std::vector<std::string>{"todo.txt"});

    // Put into the trash folder directly, as some file managers do: no trash information.
    ASSERT_NO_FATAL_FAILURE(writeBytes(_home + "/.local/share/Trash/files/loose.txt", "loose"));
    std::string loose;
    ASSERT_TRUE(waitFor([&] {
        for (const std::string &date : listNames(_home + "/.TrashCacheFolder"))
            if (exists(_home + "/.TrashCacheFolder/" + date + "/.x_loose.txt"))
                loose = _home + "/.TrashCacheFolder/" + date + "/.x_loose.txt";
        return !loose.empty();
    })) << daemonErrors();
    Outcome unknown = quilletctl({"restore", loose});
    EXPECT_EQ(unknown.exitStatus, 1);
    EXPECT_EQ(unknown.err, "quilletctl: cannot restore " + loose +
                               ": no trash information recorded for it; restore it with --to FOLDER\n");

    ASSERT_TRUE(makeFolder(_home + "/elsewhere"));
    Outcome moved = quilletctl({"restore", cached, loose, "--to", _home + "/elsewhere"});
    EXPECT_EQ(moved.exitStatus, 0) << moved.err;
    EXPECT_EQ(readFileText(_home + "/elsewhere/todo.txt"), "the trashed list");
    EXPECT_EQ(readFileText(_home + "/elsewhere/loose.txt"), "loose");
    EXPECT_EQ(readFileText(file), "a new list, not to be replaced");
}

// A volume's trash lies on the volume ($topdir/.Trash-<uid>), its cache too; what was trashed
// there goes back there.
TEST_F(RestoreE2eTest, itemsTrashedOnAVolumeGoBackOntoIt) {
    auto volume = _mounts.mount(_tmp / "volumes/Stick", "32m");
    if (!volume)
        GTEST_SKIP() << "cannot mount a tmpfs here (needs root)";
    ASSERT_TRUE(makeFolder(*volume + "/.TrashCacheFolder", 0700));
    const std::string trashFolder = *volume + "/.Trash-" + std::to_string(::getuid()) + "/files/";
    ASSERT_NO_FATAL_FAILURE(startDaemon(trashFolder, *volume, 0));
    const std::string file = *volume + "/docs/deep/minutes\n100% \xc3\xbc.odt";
    const std::string folder = *volume + "/docs/Album";
    ASSERT_TRUE(makeFolder(*volume + "/docs/deep"));
    ASSERT_NO_FATAL_FAILURE(writeBytes(file, randomBytes(40000, 11)));
    ASSERT_NO_FATAL_FAILURE(makeSampleTree(folder, 12));
    const auto fileTree = treeOf(file);
    const auto folderTree = treeOf(folder);
    ASSERT_NO_FATAL_FAILURE(trash({"/usr/bin/trash-put", file}));
    ASSERT_NO_FATAL_FAILURE(trash({"/usr/bin/trash-put", folder}));
    ASSERT_TRUE(exists(trashFolder + "Album")) << "trash-put put it elsewhere than " << trashFolder;
    const std::string cachedFile = waitForArchive(*volume, file);
    const std::string cachedFolder = waitForArchive(*volume, folder);
    ASSERT_FALSE(cachedFile.empty() || cachedFolder.empty()) << daemonErrors();
    ASSERT_TRUE(cachedFile.starts_with(*volume + "/.TrashCacheFolder/")) << cachedFile;
    // The trash emptied by hand, both halves.
    const std::string trashTop = quillet::sys::parentPath(trashFolder);
    quillet::test::removeTree(trashTop + "/files");
    quillet::test::removeTree(trashTop + "/info");
    quillet::test::removeTree(*volume + "/docs");

    Outcome restored = quilletctl({"restore", cachedFile, cachedFolder});
    EXPECT_EQ(restored.exitStatus, 0) << restored.err;
    EXPECT_EQ(treeOf(file), fileTree);
    EXPECT_EQ(treeOf(folder), folderTree);
}

// A folder nested deeper than any path may name, trashed whole and archived by quilletd, comes
// back whole both ways: recovered into a folder and restored to its place.
TEST_F(RestoreE2eTest, aFolderNestedDeeperThanAPathCanNameIsRecoveredAndRestoredWhole) {
    ASSERT_NO_FATAL_FAILURE(startHomeDaemon(0));
    const std::string folder = _home + "/Work/Deep";
    ASSERT_TRUE(makeFolder(_home + "/Work"));
    const std::string bottom = randomBytes(100000, 11);
    ASSERT_NO_FATAL_FAILURE(quillet::test::makeDeepFolder(_home + "/Work", "Deep", bottom));
    ASSERT_NO_FATAL_FAILURE(trash({"/usr/bin/trash-put", folder}));
    const std::string cached = waitForArchive(_home, folder);
    ASSERT_FALSE(cached.empty()) << daemonErrors();

    Outcome recovered = quilletctl({"recover", cached, "--to", _home + "/Rescue"});
    EXPECT_EQ(recovered.exitStatus, 0) << recovered.err;
    EXPECT_EQ(recovered.err, "");
    EXPECT_EQ(recovered.out, "Recovered " + cached + " as " + _home + "/Rescue/Deep\n");
    EXPECT_TRUE(holdsDeepFolder(_home + "/Rescue/Deep", quillet::test::kDeepLevelName, "bottom.txt", bottom));

    Outcome restored = quilletctl({"restore", cached});
    EXPECT_EQ(restored.exitStatus, 0) << restored.err;
    EXPECT_EQ(restored.err, "");
    EXPECT_EQ(restored.out, "Restored " + cached + " to " + folder + "\n");
    EXPECT_TRUE(holdsDeepFolder(folder, quillet::test::kDeepLevelName, "bottom.txt", bottom));
}

// Mistakes on the command line are refused before anything is written: usage errors with 2,
// a day row, a missing folder or one inside the cache with 1.
TEST_F(RestoreE2eTest, mistakesAreRefusedBeforeAnythingIsWritten) {
    const std::string date = _home + "/.TrashCacheFolder/2026-12-08 10_15 +0000";
    ASSERT_TRUE(makeFolder(date, 0700));
    ASSERT_NO_FATAL_FAILURE(writeBytes(date + "/.x_kept.txt", "kept"));
    ASSERT_TRUE(makeFolder(_home + "/target"));
    struct Case {
        std::vector<std::string> args;
        int exitStatus;
        std::string errStart;
    };
    const std::vector<Case> cases = {
        {{"restore"}, 2, "quilletctl: restore: give at least one ITEM\nUsage: quilletctl restore"},
        {{"restore", date + "/.x_kept.txt", "--to"}, 2, "quilletctl: restore: --to needs a FOLDER\n"},
        {{"restore", date + "/.x_kept.txt", "--force"}, 2, "quilletctl: restore: unexpected argument \"--force\""},
        {{"restore", date + "/.x_kept.txt", "--to", _home + "/target", "--to", _home}, 2,
         "quilletctl: restore: unexpected argument \"--to\""},
        {{"restore", date}, 1,
         "quilletctl: cannot restore " + date + ": a day of the cache, not an item: restore the items it holds"},
        {{"restore", date + "/.x_kept.txt", "--to", _home + "/missing"}, 1,
         "quilletctl: " + _home + "/missing: no such folder\n"},
        {{"restore", date + "/.x_kept.txt", "--to", date}, 1, "quilletctl: " + date + ": inside the cache folder "},
        {{"restore", _home + "/target"}, 1, "quilletctl: " + _home + "/target: not an item of a cache folder"},
    };
    for (const Case &c : cases) {
        Outcome outcome = quilletctl(c.args);
        EXPECT_EQ(outcome.exitStatus, c.exitStatus) << c.args.back() << ": " << outcome.err;
        EXPECT_EQ(outcome.err.substr(0, c.errStart.size()), c.errStart);
        EXPECT_EQ(outcome.out, "");
    }
    Outcome help = quilletctl({"restore", "--help"});
    EXPECT_EQ(help.exitStatus, 0);
    EXPECT_EQ(help.out.rfind("Usage: quilletctl restore ITEM... [--to FOLDER] [--password-stdin]\n", 0), 0u) << help.out;
    EXPECT_EQ(listNames(_home + "/target"), std::vector<std::string>{});
    EXPECT_EQ(listNames(date), std::vector<std::string>{".x_kept.txt"});
}
