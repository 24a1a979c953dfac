// End-to-end tests of quilletd: the built daemon watches the freedesktop trash of a temporary
// home, items are trashed with trash-put (or moved into Trash/files directly, as a file manager
// does), and the tests look at what lands in the cache folder, in the index file and on the
// daemon's stderr.
//
// Nothing here measures time: every wait polls for an outcome with a generous timeout. To know
// that the daemon has looked at everything in the trash, settle() trashes two fresh files one
// after the other and waits for both to be archived: the scan that archives the second one
// started after the scan that archived the first one had finished, and that one saw the whole
// trash.

#include "archive/ArchiveFile.h"
#include "archive/ArchivedItem.h"
#include "archive/NotArchived.h"
#include "archive/TrashInfo.h"
#include "ChildProcess.h"
#include "TestDir.h"
#include "platform/UserPaths.h"

#include <gtest/gtest.h>

#include <fcntl.h>
#include <signal.h>
#include <sys/mount.h>
#include <sys/stat.h>
#include <sys/statvfs.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <fstream>
#include <optional>
#include <set>
#include <string>
#include <thread>
#include <vector>

namespace {

using namespace std::chrono_literals;
using quillet::test::catchesSigint;
using quillet::test::ChildProcess;
using quillet::test::describeStatus;
using quillet::test::exists;
using quillet::test::isExecutable;
using quillet::test::isFolder;
using quillet::test::kDefaultTimeout;
using quillet::test::libexecPath;
using quillet::test::listNames;
using quillet::test::lstatOf;
using quillet::test::makeFolder;
using quillet::test::parentOf;
using quillet::test::readFileText;
using quillet::test::waitFor;

// ---------------------------------------------------------------------------------------------
// Small helpers

bool writeBytes(const std::string &path, const std::string &content) {
    std::ofstream out(path, std::ios::binary | std::ios::trunc);
    out.write(content.data(), static_cast<std::streamsize>(content.size()));
    out.flush();
    return static_cast<bool>(out);
}

std::string linkTarget(const std::string &path) {
    char buffer[4096];
    ssize_t length = ::readlink(path.c_str(), buffer, sizeof buffer);
    return length < 0 ? std::string() : std::string(buffer, static_cast<size_t>(length));
}

/// Every path below folder (not the folder itself), depth first, links not followed.
void walkTree(const std::string &folder, std::vector<std::string> &out) {
    for (const std::string &name : listNames(folder)) {
        std::string path = folder + "/" + name;
        out.push_back(path);
        if (isFolder(path))
            walkTree(path, out);
    }
}

std::string lastComponent(const std::string &path) {
    size_t slash = path.find_last_of('/');
    return slash == std::string::npos ? path : path.substr(slash + 1);
}

/// The date-folder name quilletd gives the moment when its TZ is UTC.
std::string utcMinuteName(time_t moment) {
    struct tm parts {};
    ::gmtime_r(&moment, &parts);
    char buffer[64];
    std::strftime(buffer, sizeof buffer, "%Y-%m-%d %H_%M +0000", &parts);
    return buffer;
}

std::set<std::string> utcMinuteNamesBetween(time_t from, time_t to) {
    std::set<std::string> names;
    for (time_t t = from; t <= to; ++t)
        names.insert(utcMinuteName(t));
    return names;
}

/// Printable form of a name for failure messages.
std::string printable(const std::string &name) {
    std::string out;
    for (unsigned char c : name) {
        if (c >= 0x20 && c < 0x7f) {
            out += static_cast<char>(c);
        } else {
            char escaped[8];
            std::snprintf(escaped, sizeof escaped, "\\x%02x", c);
            out += escaped;
        }
    }
    return out.size() > 80 ? out.substr(0, 40) + "…(" + std::to_string(name.size()) + " bytes)" : out;
}

// ---------------------------------------------------------------------------------------------
// The fixture: a temporary home with a freedesktop trash and an empty cache folder

struct DaemonSettings {
    int period = 1;
    int sizeLimitMB = 0;
    int minFreePercent = 0;
    int mode = 0;
};

class QuilletdTest : public ::testing::Test {
protected:
    void SetUp() override {
        ASSERT_TRUE(isExecutable(libexecPath("quilletd"))) << "quilletd not built at " << libexecPath("quilletd");
        useHome(_tmp / "home");
    }

    void TearDown() override {
        _daemon.stop();
        if (!_mountPoint.empty()) {
            if (::umount2(_mountPoint.c_str(), 0) != 0)
                ::umount2(_mountPoint.c_str(), MNT_DETACH);
            _mountPoint.clear();
        }
    }

    /// Mounts a tmpfs of the size ("8m") and moves the home, its trash and its cache onto it.
    /// False, with skipReason() set, when mounting is not possible here.
    bool mountHomeOnTmpfs(const std::string &size) {
        std::string mountPoint = _tmp / "volume";
        if (!makeFolder(mountPoint)) {
            _skipReason = "cannot create the mount point";
            return false;
        }
        std::string options = "size=" + size + ",mode=0755";
        if (::mount("tmpfs", mountPoint.c_str(), "tmpfs", 0, options.c_str()) != 0) {
            _skipReason = std::string("cannot mount a tmpfs here: ") + std::strerror(errno);
            return false;
        }
        _mountPoint = mountPoint;
        useHome(mountPoint + "/home");
        return true;
    }
    const std::string &skipReason() const { return _skipReason; }

    void useHome(const std::string &home) {
        _home = home;
        _dataHome = home + "/.local/share";
        _trash = _dataHome + "/Trash/files/";
        _trashInfo = _dataHome + "/Trash/info";
        _cacheBase = home + "/";
        _cacheFolder = home + "/.TrashCacheFolder/";
        ASSERT_TRUE(makeFolder(home));
        ASSERT_TRUE(makeFolder(home + "/.local"));
        ASSERT_TRUE(makeFolder(_dataHome));
        ASSERT_TRUE(makeFolder(_dataHome + "/Trash", 0700));
        ASSERT_TRUE(makeFolder(_trash, 0700));
        ASSERT_TRUE(makeFolder(_trashInfo, 0700));
        ASSERT_TRUE(makeFolder(_cacheFolder, 0700));
    }

    std::vector<std::string> environment() const {
        return {"HOME=" + _home, "XDG_DATA_HOME=" + _dataHome, "TZ=UTC", "LC_ALL=C",
                "PATH=/usr/local/bin:/usr/bin:/bin"};
    }

    std::vector<std::string> daemonArguments(const DaemonSettings &settings) const {
        return {std::to_string(settings.period), _trash, _cacheBase, std::to_string(settings.sizeLimitMB),
                std::to_string(settings.minFreePercent), std::to_string(settings.mode)};
    }

    /// Starts quilletd with its stderr in a fresh file.
    void startDaemonWith(const std::vector<std::string> &args) {
        _stderrPath = _tmp / ("quilletd-" + std::to_string(++_runs) + ".stderr");
        ASSERT_TRUE(_daemon.start(libexecPath("quilletd"), args, environment(), _stderrPath))
            << "cannot start quilletd";
    }
    void startDaemon(const DaemonSettings &settings = {}) {
        _moveMode = settings.mode == 1;
        startDaemonWith(daemonArguments(settings));
    }

    /// Waits until SIGINT would reach the daemon's handler rather than kill it.
    void waitUntilInterruptible() {
        ASSERT_TRUE(waitFor([this] { return catchesSigint(_daemon.pid()) || !_daemon.running(); }))
            << "quilletd never installed its SIGINT handler";
        ASSERT_TRUE(_daemon.running()) << "quilletd ended at start-up: " << daemonStderr();
    }

    /// Sends SIGINT and expects a clean exit with status 0.
    void interruptDaemon() {
        ASSERT_NO_FATAL_FAILURE(waitUntilInterruptible());
        _daemon.signal(SIGINT);
        std::optional<int> status = _daemon.waitForExit(60s);
        ASSERT_TRUE(status.has_value()) << "quilletd did not stop on SIGINT";
        ASSERT_TRUE(WIFEXITED(*status) && WEXITSTATUS(*status) == 0)
            << "quilletd " << describeStatus(*status) << " on SIGINT; stderr: " << daemonStderr();
    }

    std::string daemonStderr() const { return _stderrPath.empty() ? std::string() : readFileText(_stderrPath); }

    /// Runs trash-put on path in the test home; returns its exit status (-1 when it did not run).
    int trashPut(const std::string &path) {
        ChildProcess tool;
        std::string errPath = _tmp / "trash-put.stderr";
        if (!tool.start("/usr/bin/trash-put", {path}, environment(), errPath))
            return -1;
        std::optional<int> status = tool.waitForExit(30s);
        if (!status || !WIFEXITED(*status))
            return -1;
        return WEXITSTATUS(*status);
    }

    /// Creates a file in the home (outside the trash) and returns its path.
    std::string homeFile(const std::string &name, const std::string &content) {
        std::string path = _home + "/" + name;
        EXPECT_TRUE(writeBytes(path, content)) << "cannot write " << printable(path);
        return path;
    }

    /// Trashes a file of the home with trash-put.
    void trashPutFile(const std::string &name, const std::string &content) {
        std::string path = homeFile(name, content);
        ASSERT_EQ(trashPut(path), 0) << "trash-put failed for " << printable(name) << ": "
                                     << readFileText(_tmp / "trash-put.stderr");
        // In move mode the daemon may already have taken it out again.
        if (!_moveMode) {
            ASSERT_TRUE(exists(_trash + name)) << "trash-put did not put " << printable(name) << " in the trash";
        }
    }

    /// Moves an item of the home into Trash/files under name, as a file manager does.
    void moveIntoTrash(const std::string &path, const std::string &name) {
        ASSERT_EQ(::rename(path.c_str(), (_trash + name).c_str()), 0)
            << "cannot move " << printable(path) << " into the trash: " << std::strerror(errno);
    }
    void moveFileIntoTrash(const std::string &name, const std::string &content) {
        std::string path = homeFile(name, content);
        ASSERT_NO_FATAL_FAILURE(moveIntoTrash(path, name));
    }

    /// Date folders of the cache folder, sorted by name.
    std::vector<std::string> dateFolders() const {
        std::vector<std::string> folders;
        for (const std::string &name : listNames(_cacheFolder))
            if (isFolder(_cacheFolder + name))
                folders.push_back(name);
        return folders;
    }

    /// Every archived copy of the hidden name, in any date folder.
    std::vector<std::string> cachedCopies(const std::string &hiddenName) const {
        std::vector<std::string> copies;
        for (const std::string &folder : dateFolders()) {
            std::string path = _cacheFolder + folder + "/" + hiddenName;
            if (exists(path))
                copies.push_back(path);
        }
        return copies;
    }

    /// Waits until the hidden name has a copy in the cache and returns its path ("" on timeout).
    std::string waitForCachedCopy(const std::string &hiddenName, std::chrono::milliseconds timeout = kDefaultTimeout) {
        std::string found;
        waitFor(
            [&] {
                std::vector<std::string> copies = cachedCopies(hiddenName);
                if (copies.empty())
                    return false;
                found = copies.front();
                return true;
            },
            timeout);
        return found;
    }

    /// Items of a date folder that the test itself trashed: settle() files and the system's
    /// own files (the trash information) left out.
    std::vector<std::string> archivedNamesIn(const std::string &dateFolder) const {
        std::vector<std::string> names;
        for (const std::string &name : listNames(_cacheFolder + dateFolder))
            if (name.rfind(".x_zz-settle-", 0) != 0 && name.rfind(".quillet-", 0) != 0)
                names.push_back(name);
        return names;
    }

    /// Returns once the daemon has scanned everything that is in the trash now (see the top of
    /// the file). The daemon must be archiving (mode 0 or 1).
    void settle() {
        for (int round = 0; round < 2; ++round) {
            std::string name = "zz-settle-" + std::to_string(++_settles);
            ASSERT_NO_FATAL_FAILURE(moveFileIntoTrash(name, ""));
            ASSERT_FALSE(waitForCachedCopy(".x_" + name).empty())
                << "quilletd did not archive " << name << "; running: " << _daemon.running()
                << "; stderr: " << daemonStderr();
        }
    }

    std::string indexPath() const { return _cacheFolder + "ArchivedFileData"; }

    /// The index file as it is on disk now, decoded; nothing when missing or malformed.
    std::optional<quillet::ArchiveStruct> readIndex() const {
        if (!exists(indexPath()))
            return std::nullopt;
        return quillet::decodeArchive(readFileText(indexPath()));
    }

    std::vector<const quillet::ArchivedItem *> indexRecordsNamed(const quillet::ArchiveStruct &index,
                                                                 const std::string &name) const {
        std::vector<const quillet::ArchivedItem *> records;
        for (const quillet::ArchivedItem &item : index.items)
            if (item.name == name)
                records.push_back(&item);
        return records;
    }

    quillet::test::TestDir _tmp;
    std::string _home, _dataHome, _trash, _trashInfo, _cacheBase, _cacheFolder;
    std::string _mountPoint, _skipReason;
    std::string _stderrPath;
    ChildProcess _daemon;
    int _runs = 0;
    int _settles = 0;
    bool _moveMode = false;
};

// ---------------------------------------------------------------------------------------------
// Command line

class ArgumentCountTest : public QuilletdTest, public ::testing::WithParamInterface<int> {};

TEST_P(ArgumentCountTest, WrongArgumentCountIsReportedWithArgcAndExitsTwoAtOnce) {
    const int given = GetParam();
    std::vector<std::string> full = daemonArguments({});
    full.push_back("1");
    full.push_back("1");
    std::vector<std::string> args(full.begin(), full.begin() + given);
    ASSERT_NO_FATAL_FAILURE(startDaemonWith(args));
    std::optional<int> status = _daemon.waitForExit();
    ASSERT_TRUE(status.has_value()) << "quilletd kept running with " << given << " arguments";
    EXPECT_TRUE(WIFEXITED(*status) && WEXITSTATUS(*status) == 2) << describeStatus(*status);
    EXPECT_EQ(daemonStderr(), "quilletDaemon: Wrong number of args!(" + std::to_string(given + 1) + ")\n");
    EXPECT_FALSE(exists(indexPath())) << "the index was touched although the arguments were refused";
    EXPECT_TRUE(dateFolders().empty());
}

INSTANTIATE_TEST_SUITE_P(Counts, ArgumentCountTest, ::testing::Values(0, 1, 5, 7, 8),
                         [](const ::testing::TestParamInfo<int> &param) {
                             return std::to_string(param.param) + "Arguments";
                         });

// ---------------------------------------------------------------------------------------------
// A trash folder that cannot be read

struct UnreadableTrashCase {
    const char *label;
    bool replaceWithFile; // else the folder is simply missing
    const char *reason;
};

void PrintTo(const UnreadableTrashCase &c, std::ostream *out) { *out << c.label; }

class UnreadableTrashTest : public QuilletdTest, public ::testing::WithParamInterface<UnreadableTrashCase> {};

TEST_P(UnreadableTrashTest, DaemonDiesWithReasonAndPathAndExitsZeroAtStart) {
    const UnreadableTrashCase &c = GetParam();
    std::string folder = _trash.substr(0, _trash.size() - 1);
    ASSERT_EQ(::rmdir(folder.c_str()), 0);
    if (c.replaceWithFile) {
        ASSERT_TRUE(writeBytes(folder, "not a folder"));
    }
    ASSERT_NO_FATAL_FAILURE(startDaemon());
    std::optional<int> status = _daemon.waitForExit();
    ASSERT_TRUE(status.has_value()) << "quilletd kept running without a readable trash folder";
    EXPECT_TRUE(WIFEXITED(*status) && WEXITSTATUS(*status) == 0) << describeStatus(*status);
    EXPECT_EQ(daemonStderr(), std::string("quilletd: Daemon will die (") + c.reason + ")(" + _trash + ")\n");
    EXPECT_TRUE(dateFolders().empty());
}

INSTANTIATE_TEST_SUITE_P(Cases, UnreadableTrashTest,
                         ::testing::Values(UnreadableTrashCase {"Missing", false, "No such file or directory"},
                                           UnreadableTrashCase {"RegularFile", true, "Not a directory"}),
                         [](const ::testing::TestParamInfo<UnreadableTrashCase> &param) {
                             return std::string(param.param.label);
                         });

TEST_F(QuilletdTest, DaemonDiesWithReasonAndExitsZeroWhenTrashFolderIsRemovedWhileRunning) {
    ASSERT_NO_FATAL_FAILURE(startDaemon());
    ASSERT_NO_FATAL_FAILURE(trashPutFile("first.txt", "first"));
    ASSERT_FALSE(waitForCachedCopy(".x_first.txt").empty()) << daemonStderr();

    quillet::test::removeTree(_trash.substr(0, _trash.size() - 1));
    std::optional<int> status = _daemon.waitForExit();
    ASSERT_TRUE(status.has_value()) << "quilletd kept running after its trash folder was removed";
    EXPECT_TRUE(WIFEXITED(*status) && WEXITSTATUS(*status) == 0) << describeStatus(*status);
    EXPECT_NE(daemonStderr().find("quilletd: Daemon will die (No such file or directory)(" + _trash + ")\n"),
              std::string::npos)
        << "stderr: " << daemonStderr();
}

// ---------------------------------------------------------------------------------------------
// Archiving in copy mode

TEST_F(QuilletdTest, CopyModeArchivesTrashedFileUnderHiddenNameAndLeavesItInTrash) {
    ASSERT_NO_FATAL_FAILURE(startDaemon());
    time_t before = std::time(nullptr);
    ASSERT_NO_FATAL_FAILURE(trashPutFile("Report.pdf", "quarterly figures"));
    std::string copy = waitForCachedCopy(".x_Report.pdf");
    time_t after = std::time(nullptr);
    ASSERT_FALSE(copy.empty()) << "not archived; stderr: " << daemonStderr();

    EXPECT_EQ(readFileText(copy), "quarterly figures");
    EXPECT_EQ(readFileText(_trash + "Report.pdf"), "quarterly figures") << "copy mode must leave the trash as it is";
    std::vector<std::string> folders = dateFolders();
    ASSERT_EQ(folders.size(), 1u);
    EXPECT_EQ(utcMinuteNamesBetween(before, after).count(folders[0]), 1u)
        << "date folder \"" << folders[0] << "\" is not the minute of capture";
    EXPECT_EQ(archivedNamesIn(folders[0]), std::vector<std::string>({".x_Report.pdf"}));
    EXPECT_TRUE(waitFor([&] { return exists(_cacheFolder + "UPD_FLAG") && exists(_cacheFolder + "UPD_FLAG_CACHE_MANAGER"); }))
        << "marker files missing after an archived entry";
}

TEST_F(QuilletdTest, DateFoldersAreCreatedPrivateToTheOwner) {
    ASSERT_NO_FATAL_FAILURE(startDaemon());
    ASSERT_NO_FATAL_FAILURE(trashPutFile("private.txt", "secret"));
    ASSERT_FALSE(waitForCachedCopy(".x_private.txt").empty()) << daemonStderr();
    std::vector<std::string> folders = dateFolders();
    ASSERT_FALSE(folders.empty());
    for (const std::string &folder : folders) {
        auto st = lstatOf(_cacheFolder + folder);
        ASSERT_TRUE(st.has_value());
        EXPECT_EQ(st->st_mode & 0777, 0700u) << "date folder " << folder << " has mode " << std::oct
                                             << (st->st_mode & 0777);
    }
}

TEST_F(QuilletdTest, CopyModeArchivesTrashedFolderWithHiddenNamesAtEveryDepth) {
    std::string trip = _home + "/Trip";
    ASSERT_TRUE(makeFolder(trip));
    ASSERT_TRUE(makeFolder(trip + "/photos"));
    ASSERT_TRUE(makeFolder(trip + "/photos/day two"));
    ASSERT_TRUE(writeBytes(trip + "/itinerary.txt", "fly out monday"));
    ASSERT_TRUE(writeBytes(trip + "/photos/beach.jpg", "sand"));
    ASSERT_TRUE(writeBytes(trip + "/photos/day two/hill.jpg", "grass"));
    ASSERT_NO_FATAL_FAILURE(startDaemon());
    ASSERT_EQ(trashPut(trip), 0);

    std::string copy = waitForCachedCopy(".x_Trip");
    ASSERT_FALSE(copy.empty()) << daemonStderr();
    ASSERT_TRUE(waitFor([&] { return exists(copy + "/.x_photos/.x_day two/.x_hill.jpg"); })) << daemonStderr();
    ASSERT_NO_FATAL_FAILURE(settle());
    EXPECT_EQ(readFileText(copy + "/.x_itinerary.txt"), "fly out monday");
    EXPECT_EQ(readFileText(copy + "/.x_photos/.x_beach.jpg"), "sand");
    EXPECT_EQ(readFileText(copy + "/.x_photos/.x_day two/.x_hill.jpg"), "grass");
    std::vector<std::string> below;
    walkTree(copy, below);
    EXPECT_EQ(below.size(), 5u);
    for (const std::string &path : below)
        EXPECT_EQ(lastComponent(path).rfind(".x_", 0), 0u) << path << " is not hidden";
    EXPECT_TRUE(isFolder(_trash + "Trip")) << "copy mode must leave the folder in the trash";
}

// ---------------------------------------------------------------------------------------------
// Move mode and watch-only mode

TEST_F(QuilletdTest, MoveModeMovesEntriesIntoCacheAndHidesNamesAtEveryDepth) {
    std::string trip = _home + "/Trip";
    ASSERT_TRUE(makeFolder(trip));
    ASSERT_TRUE(makeFolder(trip + "/photos"));
    ASSERT_TRUE(writeBytes(trip + "/itinerary.txt", "fly out monday"));
    ASSERT_TRUE(writeBytes(trip + "/photos/beach.jpg", "sand"));
    ASSERT_NO_FATAL_FAILURE(startDaemon({.mode = 1}));
    ASSERT_NO_FATAL_FAILURE(trashPutFile("notes.txt", "remember the milk"));
    ASSERT_EQ(trashPut(trip), 0);

    std::string file = waitForCachedCopy(".x_notes.txt");
    ASSERT_FALSE(file.empty()) << daemonStderr();
    std::string folder = waitForCachedCopy(".x_Trip");
    ASSERT_FALSE(folder.empty()) << daemonStderr();
    ASSERT_TRUE(waitFor([&] { return exists(folder + "/.x_photos/.x_beach.jpg"); })) << daemonStderr();

    EXPECT_EQ(readFileText(file), "remember the milk");
    EXPECT_EQ(readFileText(folder + "/.x_itinerary.txt"), "fly out monday");
    EXPECT_EQ(readFileText(folder + "/.x_photos/.x_beach.jpg"), "sand");
    std::vector<std::string> below;
    walkTree(folder, below);
    EXPECT_EQ(below.size(), 3u);
    for (const std::string &path : below)
        EXPECT_EQ(lastComponent(path).rfind(".x_", 0), 0u) << path << " is not hidden";
    EXPECT_FALSE(exists(_trash + "notes.txt")) << "move mode must take the file out of the trash";
    EXPECT_FALSE(exists(_trash + "Trip")) << "move mode must take the folder out of the trash";
    for (const std::string &dateFolder : dateFolders()) {
        EXPECT_FALSE(exists(_cacheFolder + dateFolder + "/notes.txt"));
        EXPECT_FALSE(exists(_cacheFolder + dateFolder + "/Trip"));
    }
}

TEST_F(QuilletdTest, MoveModeDeletesArchivedFileTrashedAgainButLeavesArchivedFolder) {
    const timespec stamp[2] = {{1700000000, 0}, {1700000000, 0}};
    auto makeDoc = [&] {
        std::string path = homeFile("doc.txt", "version one");
        ::utimensat(AT_FDCWD, path.c_str(), stamp, 0);
        return path;
    };
    auto makeBox = [&] {
        std::string box = _home + "/Box";
        EXPECT_TRUE(makeFolder(box));
        EXPECT_TRUE(writeBytes(box + "/inside.txt", "boxed"));
        ::utimensat(AT_FDCWD, box.c_str(), stamp, 0);
        return box;
    };

    ASSERT_NO_FATAL_FAILURE(startDaemon({.mode = 1}));
    ASSERT_NO_FATAL_FAILURE(moveIntoTrash(makeDoc(), "doc.txt"));
    ASSERT_NO_FATAL_FAILURE(moveIntoTrash(makeBox(), "Box"));
    ASSERT_FALSE(waitForCachedCopy(".x_doc.txt").empty()) << daemonStderr();
    std::string box = waitForCachedCopy(".x_Box");
    ASSERT_FALSE(box.empty()) << daemonStderr();
    ASSERT_TRUE(waitFor([&] { return exists(box + "/.x_inside.txt"); }));
    ASSERT_TRUE(waitFor([&] { return !exists(_trash + "doc.txt") && !exists(_trash + "Box"); }));

    // The same file and the same folder (name, size, modification time) trashed once more.
    ASSERT_NO_FATAL_FAILURE(moveIntoTrash(makeDoc(), "doc.txt"));
    ASSERT_NO_FATAL_FAILURE(moveIntoTrash(makeBox(), "Box"));
    EXPECT_TRUE(waitFor([&] { return !exists(_trash + "doc.txt"); }))
        << "an already archived file trashed again must be deleted from the trash";
    ASSERT_NO_FATAL_FAILURE(settle());
    EXPECT_TRUE(isFolder(_trash + "Box")) << "an already archived folder trashed again must stay in the trash";
    EXPECT_EQ(readFileText(_trash + "Box/inside.txt"), "boxed");

    std::vector<std::string> docs = cachedCopies(".x_doc.txt");
    ASSERT_EQ(docs.size(), 1u);
    EXPECT_EQ(readFileText(docs[0]), "version one");
    EXPECT_EQ(cachedCopies(".x_Box").size(), 1u);
    for (const std::string &dateFolder : dateFolders()) {
        EXPECT_FALSE(exists(_cacheFolder + dateFolder + "/doc.txt"));
        EXPECT_FALSE(exists(_cacheFolder + dateFolder + "/Box"));
    }
}

TEST_F(QuilletdTest, WatchOnlyModeArchivesNothing) {
    ASSERT_NO_FATAL_FAILURE(startDaemon({.mode = 2}));
    ASSERT_NO_FATAL_FAILURE(waitUntilInterruptible());
    ASSERT_NO_FATAL_FAILURE(trashPutFile("kept.txt", "stays"));
    // Nothing is ever archived in this mode, so there is no outcome to wait for: give the
    // daemon a few of its one-second polls.
    std::this_thread::sleep_for(2500ms);
    EXPECT_TRUE(_daemon.running()) << daemonStderr();
    ASSERT_NO_FATAL_FAILURE(interruptDaemon());
    EXPECT_TRUE(dateFolders().empty());
    EXPECT_EQ(readFileText(_trash + "kept.txt"), "stays");
    std::optional<quillet::ArchiveStruct> index = readIndex();
    ASSERT_TRUE(index.has_value());
    EXPECT_EQ(index->items.size(), 0u);
}

// ---------------------------------------------------------------------------------------------
// Entries that are never archived

class DesktopServicesStoreTest : public QuilletdTest, public ::testing::WithParamInterface<int> {};

TEST_P(DesktopServicesStoreTest, DsStoreIsDeletedFromTrashAndNeverArchived) {
    ASSERT_NO_FATAL_FAILURE(startDaemon({.mode = GetParam()}));
    ASSERT_NO_FATAL_FAILURE(moveFileIntoTrash(".DS_Store", "finder view settings"));
    ASSERT_NO_FATAL_FAILURE(moveFileIntoTrash("visible.txt", "visible"));
    ASSERT_FALSE(waitForCachedCopy(".x_visible.txt").empty()) << daemonStderr();
    ASSERT_NO_FATAL_FAILURE(settle());
    EXPECT_FALSE(exists(_trash + ".DS_Store"));
    EXPECT_TRUE(cachedCopies(".x_.DS_Store").empty());
    EXPECT_TRUE(cachedCopies(".DS_Store").empty());
}

INSTANTIATE_TEST_SUITE_P(Modes, DesktopServicesStoreTest, ::testing::Values(0, 1),
                         [](const ::testing::TestParamInfo<int> &param) {
                             return param.param == 0 ? std::string("CopyMode") : std::string("MoveMode");
                         });

class OwnProgramNameTest : public QuilletdTest, public ::testing::WithParamInterface<const char *> {};

TEST_P(OwnProgramNameTest, OwnProgramIsNeverArchived) {
    const std::string name = GetParam();
    ASSERT_NO_FATAL_FAILURE(startDaemon());
    if (name.ends_with(".app")) {
        ASSERT_TRUE(makeFolder(_home + "/" + name));
        ASSERT_TRUE(makeFolder(_home + "/" + name + "/Contents"));
        ASSERT_TRUE(writeBytes(_home + "/" + name + "/Contents/Info.plist", "<plist/>"));
        ASSERT_EQ(trashPut(_home + "/" + name), 0);
    } else {
        ASSERT_NO_FATAL_FAILURE(trashPutFile(name, "#!/bin/sh\n"));
    }
    // A look-alike name is archived as usual.
    ASSERT_NO_FATAL_FAILURE(trashPutFile(name + ".old", "look-alike"));
    ASSERT_FALSE(waitForCachedCopy(".x_" + name + ".old").empty()) << daemonStderr();
    ASSERT_NO_FATAL_FAILURE(settle());
    EXPECT_TRUE(cachedCopies(".x_" + name).empty()) << name << " was archived";
    EXPECT_TRUE(exists(_trash + name)) << name << " must stay in the trash";
}

INSTANTIATE_TEST_SUITE_P(Names, OwnProgramNameTest,
                         ::testing::Values("quilletd", "quilletCacheManagerd", "quilletMountDiskd", "Quillet.app",
                                           "QuilletMenuExtra.app"),
                         [](const ::testing::TestParamInfo<const char *> &param) {
                             std::string name = param.param;
                             std::replace(name.begin(), name.end(), '.', '_');
                             return name;
                         });

// ---------------------------------------------------------------------------------------------
// Admission: size limit and free space

TEST_F(QuilletdTest, SizeLimitRefusesLargerFileAndAdmitsFileAtTheLimit) {
    constexpr off_t kLimit = 1048576;
    ASSERT_NO_FATAL_FAILURE(startDaemon({.sizeLimitMB = 1}));
    std::string atLimit = homeFile("at-limit.bin", std::string(static_cast<size_t>(kLimit), 'a'));
    std::string overLimit = homeFile("over-limit.bin", std::string(static_cast<size_t>(kLimit) + 1, 'o'));
    ASSERT_EQ(trashPut(atLimit), 0);
    ASSERT_EQ(trashPut(overLimit), 0);

    std::string copy = waitForCachedCopy(".x_at-limit.bin");
    ASSERT_FALSE(copy.empty()) << "a file of exactly the limit must be archived; stderr: " << daemonStderr();
    ASSERT_NO_FATAL_FAILURE(settle());
    auto st = lstatOf(copy);
    ASSERT_TRUE(st.has_value());
    EXPECT_EQ(st->st_size, kLimit);
    EXPECT_TRUE(cachedCopies(".x_over-limit.bin").empty()) << "a file over the limit must not be archived";
    auto trashed = lstatOf(_trash + "over-limit.bin");
    ASSERT_TRUE(trashed.has_value()) << "the refused file must stay in the trash";
    EXPECT_EQ(trashed->st_size, kLimit + 1);

    // The refusal is said once, however many scans try the entry again; status counts it.
    for (const char *name : {"later-1.txt", "later-2.txt"}) {
        ASSERT_EQ(trashPut(homeFile(name, name)), 0);
        ASSERT_FALSE(waitForCachedCopy(std::string(".x_") + name).empty()) << daemonStderr();
    }
    const std::string said = "quilletd: not archived (larger than the size limit): " + _trash + "over-limit.bin\n";
    const std::string log = daemonStderr();
    ASSERT_NE(log.find(said), std::string::npos) << log;
    EXPECT_EQ(log.find(said), log.rfind(said)) << log;
    quillet::NotArchivedSummary summary = quillet::summarizeNotArchived(log, ::time(nullptr) - 3600);
    EXPECT_EQ(summary.count, 1u) << log;
    EXPECT_EQ(summary.byReason[std::string(quillet::kNotArchivedSizeLimit)], 1u);
}

TEST_F(QuilletdTest, FolderIsArchivedWithoutFilesAtSizeLimitAndWithoutSpotlightFolders) {
    std::string project = _home + "/Project";
    ASSERT_TRUE(makeFolder(project));
    ASSERT_TRUE(writeBytes(project + "/small.txt", "small"));
    ASSERT_TRUE(writeBytes(project + "/at-limit.bin", std::string(1048576, 'b')));
    ASSERT_TRUE(makeFolder(project + "/.Spotlight-V100"));
    ASSERT_TRUE(writeBytes(project + "/.Spotlight-V100/store.db", "index"));
    ASSERT_TRUE(makeFolder(project + "/.Spotlight"));
    ASSERT_TRUE(writeBytes(project + "/.Spotlight/cache", "index"));
    ASSERT_TRUE(makeFolder(project + "/Spotlight notes"));
    ASSERT_TRUE(writeBytes(project + "/Spotlight notes/n.txt", "kept"));
    ASSERT_NO_FATAL_FAILURE(startDaemon({.sizeLimitMB = 1}));
    ASSERT_EQ(trashPut(project), 0);

    std::string copy = waitForCachedCopy(".x_Project");
    ASSERT_FALSE(copy.empty()) << daemonStderr();
    ASSERT_NO_FATAL_FAILURE(settle());
    EXPECT_EQ(readFileText(copy + "/.x_small.txt"), "small");
    EXPECT_EQ(readFileText(copy + "/.x_Spotlight notes/.x_n.txt"), "kept");
    EXPECT_FALSE(exists(copy + "/.x_at-limit.bin")) << "a file of the limit size inside a folder is skipped";
    EXPECT_FALSE(exists(copy + "/.x_.Spotlight-V100"));
    EXPECT_FALSE(exists(copy + "/.x_.Spotlight"));
    std::vector<std::string> below;
    walkTree(copy, below);
    EXPECT_EQ(below.size(), 3u);
    EXPECT_TRUE(exists(_trash + "Project/at-limit.bin"));
}

TEST_F(QuilletdTest, MinimumFreePercentageAdmitsFileThatFitsAndRefusesFileThatWouldGoBelow) {
    if (!mountHomeOnTmpfs("8m"))
        GTEST_SKIP() << skipReason();
    ASSERT_FALSE(HasFatalFailure());
    constexpr size_t kFits = 400 * 1024;
    constexpr size_t kTooBig = 1200 * 1024;
    std::string fits = homeFile("fits.bin", std::string(kFits, 'f'));
    std::string tooBig = homeFile("too-big.bin", std::string(kTooBig, 't'));

    // Fill the volume until 30 % of it is free.
    struct statvfs volume {};
    ASSERT_EQ(::statvfs(_home.c_str(), &volume), 0);
    uint64_t total = static_cast<uint64_t>(volume.f_blocks) * volume.f_frsize;
    uint64_t available = static_cast<uint64_t>(volume.f_bavail) * volume.f_frsize;
    uint64_t wanted = total * 30 / 100;
    ASSERT_GT(available, wanted);
    homeFile("filler.bin", std::string(static_cast<size_t>(available - wanted), 'x'));
    ASSERT_EQ(::statvfs(_home.c_str(), &volume), 0);
    available = static_cast<uint64_t>(volume.f_bavail) * volume.f_frsize;
    ASSERT_GE((available - kFits) * 100 / total, 22u) << "the volume is not filled as planned";

    ASSERT_NO_FATAL_FAILURE(startDaemon({.minFreePercent = 20}));
    ASSERT_EQ(trashPut(fits), 0);
    std::string copy = waitForCachedCopy(".x_fits.bin");
    ASSERT_FALSE(copy.empty()) << "a file that leaves enough free space must be archived; stderr: "
                               << daemonStderr();
    EXPECT_EQ(readFileText(copy), std::string(kFits, 'f'));

    ASSERT_EQ(::statvfs(_home.c_str(), &volume), 0);
    available = static_cast<uint64_t>(volume.f_bavail) * volume.f_frsize;
    ASSERT_GT(available, kTooBig) << "the refused file must be one that would fit";
    ASSERT_LT((available - kTooBig) * 100 / total, 20u) << "the volume is not filled as planned";
    ASSERT_EQ(trashPut(tooBig), 0);
    ASSERT_NO_FATAL_FAILURE(settle());
    EXPECT_TRUE(cachedCopies(".x_too-big.bin").empty()) << "archiving it would leave less than 20 % free";
    EXPECT_TRUE(exists(_trash + "too-big.bin"));
}

// ---------------------------------------------------------------------------------------------
// Hostile names

struct HostileNameCase {
    const char *label;
    std::string name;
    std::string cachedName; // name of the copy in the date folder
    std::string indexName;  // name of its index record
    bool viaTrashPut;
};

void PrintTo(const HostileNameCase &c, std::ostream *out) { *out << c.label; }

class HostileNameTest : public QuilletdTest, public ::testing::WithParamInterface<HostileNameCase> {};

TEST_P(HostileNameTest, EntryIsArchivedUnderItsHiddenNameAndRecordedInIndex) {
    const HostileNameCase &c = GetParam();
    const std::string content = std::string("content of ") + c.label;
    ASSERT_NO_FATAL_FAILURE(startDaemon());
    if (c.viaTrashPut) {
        ASSERT_NO_FATAL_FAILURE(trashPutFile(c.name, content));
    } else {
        ASSERT_NO_FATAL_FAILURE(moveFileIntoTrash(c.name, content));
    }

    std::string copy = waitForCachedCopy(c.cachedName);
    ASSERT_FALSE(copy.empty()) << printable(c.name) << " not archived as " << printable(c.cachedName)
                               << "; stderr: " << daemonStderr();
    EXPECT_EQ(readFileText(copy), content);
    EXPECT_EQ(readFileText(_trash + c.name), content);
    ASSERT_NO_FATAL_FAILURE(interruptDaemon());

    std::optional<quillet::ArchiveStruct> index = readIndex();
    ASSERT_TRUE(index.has_value()) << "the index file is not readable";
    auto records = indexRecordsNamed(*index, c.indexName);
    ASSERT_EQ(records.size(), 1u) << "no single record named " << printable(c.indexName);
    EXPECT_EQ(records[0]->itemSize, static_cast<int64_t>(content.size()));
}

INSTANTIATE_TEST_SUITE_P(
    Names, HostileNameTest,
    ::testing::Values(
        HostileNameCase {"Newline", "two\nlines", ".x_two\nlines", ".x_two\nlines", false},
        HostileNameCase {"NotUtf8", "\xff\xfe", ".x_\xff\xfe", ".x_\xff\xfe", false},
        HostileNameCase {"MixedNotUtf8", "caf\xe9 menu.txt", ".x_caf\xe9 menu.txt", ".x_caf\xe9 menu.txt", false},
        HostileNameCase {"LongestArchivable252Bytes", std::string(248, 'L') + ".txt",
                         ".x_" + std::string(248, 'L') + ".txt", ".x_" + std::string(248, 'L') + ".txt", false},
        HostileNameCase {"ExactlyHiddenPrefix", ".x_", ".x_.x_", ".x_", false},
        HostileNameCase {"StartsWithHiddenPrefix", ".x_secret", ".x_.x_secret", ".x_secret", false},
        HostileNameCase {"SpacesAndAccentsViaTrashPut", "R\xc3\xa9sum\xc3\xa9 final (2).txt",
                         ".x_R\xc3\xa9sum\xc3\xa9 final (2).txt", ".x_R\xc3\xa9sum\xc3\xa9 final (2).txt", true}),
    [](const ::testing::TestParamInfo<HostileNameCase> &param) { return std::string(param.param.label); });

// A name too long for the ".x_" prefix is archived under itself (its visible form, exactly),
// and recorded, so that it is not copied again; one that also begins with ".x_" cannot be
// stored without changing, and is named in the log instead.
TEST_F(QuilletdTest, NamesTooLongForTheHiddenFormAreArchivedAsTheyAre) {
    const std::string longName(255, 'M');
    const std::string prefixed = ".x_" + std::string(252, 'P');
    ASSERT_NO_FATAL_FAILURE(startDaemon());
    ASSERT_NO_FATAL_FAILURE(moveFileIntoTrash(longName, "too long to hide"));
    ASSERT_NO_FATAL_FAILURE(moveFileIntoTrash(prefixed, "cannot be kept"));
    ASSERT_NO_FATAL_FAILURE(moveFileIntoTrash("after.txt", "after"));
    ASSERT_FALSE(waitForCachedCopy(".x_after.txt").empty()) << daemonStderr();
    std::string copy = waitForCachedCopy(longName);
    ASSERT_FALSE(copy.empty()) << daemonStderr();
    EXPECT_EQ(readFileText(copy), "too long to hide");
    ASSERT_NO_FATAL_FAILURE(settle());
    EXPECT_TRUE(_daemon.running()) << "quilletd ended: " << daemonStderr();
    EXPECT_NE(daemonStderr().find("quilletd: not archived (the name is too long to be stored): " + _trash + prefixed),
              std::string::npos)
        << daemonStderr();
    // A restart finds the copy for the record: no second copy.
    ASSERT_NO_FATAL_FAILURE(interruptDaemon());
    ASSERT_NO_FATAL_FAILURE(startDaemon());
    ASSERT_NO_FATAL_FAILURE(settle());
    EXPECT_EQ(cachedCopies(longName).size(), 1u);
}

// ---------------------------------------------------------------------------------------------
// The index file and the signals

TEST_F(QuilletdTest, SigintWritesIndexWithArchivedEntriesAndExitsZero) {
    ASSERT_NO_FATAL_FAILURE(startDaemon());
    ASSERT_NO_FATAL_FAILURE(trashPutFile("kept.txt", "abc"));
    ASSERT_NO_FATAL_FAILURE(trashPutFile("other.txt", "defgh"));
    ASSERT_FALSE(waitForCachedCopy(".x_kept.txt").empty()) << daemonStderr();
    ASSERT_FALSE(waitForCachedCopy(".x_other.txt").empty()) << daemonStderr();
    ASSERT_NO_FATAL_FAILURE(interruptDaemon());

    std::optional<quillet::ArchiveStruct> index = readIndex();
    ASSERT_TRUE(index.has_value()) << "the index file is not readable";
    EXPECT_EQ(index->itemCount, index->items.size());
    auto kept = indexRecordsNamed(*index, ".x_kept.txt");
    ASSERT_EQ(kept.size(), 1u);
    auto st = lstatOf(_trash + "kept.txt");
    ASSERT_TRUE(st.has_value());
    EXPECT_EQ(kept[0]->itemSize, 3);
    EXPECT_EQ(kept[0]->modificationTime.seconds, static_cast<uint32_t>(st->st_mtime));
    auto other = indexRecordsNamed(*index, ".x_other.txt");
    ASSERT_EQ(other.size(), 1u);
    EXPECT_EQ(other[0]->itemSize, 5);
}

TEST_F(QuilletdTest, SigtermEndsDaemonWithoutWritingIndex) {
    ASSERT_NO_FATAL_FAILURE(startDaemon());
    ASSERT_NO_FATAL_FAILURE(waitUntilInterruptible());
    ASSERT_TRUE(waitFor([this] { return readIndex().has_value(); })) << "no index written at start-up";
    const std::string indexAtStart = readFileText(indexPath());
    std::optional<quillet::ArchiveStruct> atStart = quillet::decodeArchive(indexAtStart);
    ASSERT_TRUE(atStart.has_value());
    ASSERT_EQ(atStart->items.size(), 0u);

    ASSERT_NO_FATAL_FAILURE(trashPutFile("unsaved.txt", "not in the index"));
    ASSERT_FALSE(waitForCachedCopy(".x_unsaved.txt").empty()) << daemonStderr();
    _daemon.signal(SIGTERM);
    ASSERT_TRUE(_daemon.waitForExit().has_value()) << "quilletd did not end on SIGTERM";
    EXPECT_EQ(readFileText(indexPath()), indexAtStart) << "the index was written on SIGTERM";
}

enum class EntryKind { File, Folder, Link };

struct RestartCase {
    const char *label;
    EntryKind kind;
    std::string name;
    std::string indexName;
    bool oldModificationTime; // dated long before the capture
};

void PrintTo(const RestartCase &c, std::ostream *out) { *out << c.label; }

class RestartTest : public QuilletdTest, public ::testing::WithParamInterface<RestartCase> {};

TEST_P(RestartTest, RestartAfterSigintKeepsRecordAndDoesNotArchiveSameEntryAgain) {
    const RestartCase &c = GetParam();
    const std::string source = _home + "/" + c.name;
    switch (c.kind) {
    case EntryKind::File:
        ASSERT_TRUE(writeBytes(source, "dear"));
        break;
    case EntryKind::Folder:
        ASSERT_TRUE(makeFolder(source));
        ASSERT_TRUE(writeBytes(source + "/one.jpg", "one"));
        ASSERT_TRUE(makeFolder(source + "/more"));
        ASSERT_TRUE(writeBytes(source + "/more/two.jpg", "two"));
        break;
    case EntryKind::Link:
        ASSERT_EQ(::symlink("somewhere/else", source.c_str()), 0);
        break;
    }
    if (c.oldModificationTime) {
        const timespec stamp[2] = {{1500000000, 0}, {1500000000, 0}};
        ASSERT_EQ(::utimensat(AT_FDCWD, source.c_str(), stamp, AT_SYMLINK_NOFOLLOW), 0);
    }
    const std::string hiddenName = ".x_" + c.name;

    ASSERT_NO_FATAL_FAILURE(startDaemon());
    ASSERT_EQ(trashPut(source), 0);
    ASSERT_TRUE(exists(_trash + c.name));
    ASSERT_FALSE(waitForCachedCopy(hiddenName).empty()) << daemonStderr();
    ASSERT_NO_FATAL_FAILURE(settle());
    ASSERT_NO_FATAL_FAILURE(interruptDaemon());
    std::optional<quillet::ArchiveStruct> first = readIndex();
    ASSERT_TRUE(first.has_value());
    ASSERT_EQ(indexRecordsNamed(*first, c.indexName).size(), 1u);

    ASSERT_NO_FATAL_FAILURE(startDaemon());
    ASSERT_NO_FATAL_FAILURE(settle());
    EXPECT_EQ(cachedCopies(hiddenName).size(), 1u) << "archived again after the restart";
    // Within the same minute a second copy fails instead of showing up; the failure is reported.
    std::string errors = daemonStderr();
    EXPECT_EQ(errors.find(hiddenName), std::string::npos) << "tried to archive it again: " << errors;
    ASSERT_NO_FATAL_FAILURE(interruptDaemon());

    std::optional<quillet::ArchiveStruct> second = readIndex();
    ASSERT_TRUE(second.has_value());
    EXPECT_EQ(indexRecordsNamed(*second, c.indexName).size(), 1u)
        << "the record was dropped at start-up although its copy is still in the cache";
}

INSTANTIATE_TEST_SUITE_P(
    Entries, RestartTest,
    ::testing::Values(RestartCase {"File", EntryKind::File, "letter.txt", ".x_letter.txt", false},
                      RestartCase {"FileWithOldModificationTime", EntryKind::File, "old.txt", ".x_old.txt", true},
                      RestartCase {"Folder", EntryKind::Folder, "Album", ".x_Album", false},
                      RestartCase {"FolderWithOldModificationTime", EntryKind::Folder, "Archive", ".x_Archive", true},
                      RestartCase {"SymbolicLink", EntryKind::Link, "shortcut", ".x_shortcut", true},
                      RestartCase {"NameWithHiddenPrefix", EntryKind::File, ".x_secret", ".x_secret", false}),
    [](const ::testing::TestParamInfo<RestartCase> &param) { return std::string(param.param.label); });

TEST_F(QuilletdTest, MoveModeRestartKeepsRecordOfArchivedFolder) {
    const std::string box = _home + "/Box";
    ASSERT_TRUE(makeFolder(box));
    ASSERT_TRUE(writeBytes(box + "/inside.txt", "boxed"));
    const timespec stamp[2] = {{1500000000, 0}, {1500000000, 0}};
    ASSERT_EQ(::utimensat(AT_FDCWD, box.c_str(), stamp, 0), 0);
    ASSERT_NO_FATAL_FAILURE(startDaemon({.mode = 1}));
    ASSERT_EQ(trashPut(box), 0);
    std::string copy = waitForCachedCopy(".x_Box");
    ASSERT_FALSE(copy.empty()) << daemonStderr();
    ASSERT_TRUE(waitFor([&] { return exists(copy + "/.x_inside.txt"); }));
    ASSERT_NO_FATAL_FAILURE(settle());
    ASSERT_NO_FATAL_FAILURE(interruptDaemon());
    std::optional<quillet::ArchiveStruct> first = readIndex();
    ASSERT_TRUE(first.has_value());
    ASSERT_EQ(indexRecordsNamed(*first, ".x_Box").size(), 1u);

    // A restart that archives nothing: only the start-up pruning touches the index.
    ASSERT_NO_FATAL_FAILURE(startDaemon({.mode = 2}));
    ASSERT_NO_FATAL_FAILURE(interruptDaemon());
    std::optional<quillet::ArchiveStruct> second = readIndex();
    ASSERT_TRUE(second.has_value());
    EXPECT_EQ(indexRecordsNamed(*second, ".x_Box").size(), 1u)
        << "the record was dropped at start-up although the folder is still in the cache";
}

// Copy mode: when an entry leaves the trash, only its record goes; the others stay, and what is
// still in the trash is not copied again (a restore or a deletion once copied the whole trash).
TEST_F(QuilletdTest, EntryLeavingTheTrashForgetsOnlyItsOwnRecord) {
    ASSERT_NO_FATAL_FAILURE(startDaemon());
    ASSERT_NO_FATAL_FAILURE(trashPutFile("a.txt", "a"));
    ASSERT_NO_FATAL_FAILURE(trashPutFile("b.txt", "b"));
    ASSERT_FALSE(waitForCachedCopy(".x_a.txt").empty()) << daemonStderr();
    ASSERT_FALSE(waitForCachedCopy(".x_b.txt").empty()) << daemonStderr();
    ASSERT_NO_FATAL_FAILURE(interruptDaemon());
    std::optional<quillet::ArchiveStruct> saved = readIndex();
    ASSERT_TRUE(saved.has_value());
    ASSERT_EQ(saved->items.size(), 2u);

    ASSERT_NO_FATAL_FAILURE(startDaemon());
    ASSERT_NO_FATAL_FAILURE(waitUntilInterruptible());
    ASSERT_EQ(::unlink((_trash + "a.txt").c_str()), 0);
    EXPECT_TRUE(waitFor([this] {
        auto index = readIndex();
        return index && index->items.size() == 1 && index->items[0].name == ".x_b.txt";
    })) << "the index did not keep b.txt alone within seconds";

    ASSERT_NO_FATAL_FAILURE(settle());
    EXPECT_EQ(cachedCopies(".x_b.txt").size(), 1u) << "b.txt was archived again";
    EXPECT_TRUE(exists(_trash + "b.txt"));
}

// ---------------------------------------------------------------------------------------------
// Faults that must stay fixed

struct SwapCase {
    const char *label;
    bool hardLink;       // the newcomer appears through link(2), which raises no arrival event
    bool afterIdlePause; // the daemon has been idle for more than a period before the swap
};

void PrintTo(const SwapCase &c, std::ostream *out) { *out << c.label; }

class SwapTest : public QuilletdTest, public ::testing::WithParamInterface<SwapCase> {};

TEST_P(SwapTest, CopyModeArchivesArrivalWhileAnotherEntryLeavesBetweenPolls) {
    const SwapCase &c = GetParam();
    ASSERT_NO_FATAL_FAILURE(startDaemon({.period = 3}));
    ASSERT_NO_FATAL_FAILURE(moveFileIntoTrash("leaving.txt", "leaving"));
    ASSERT_FALSE(waitForCachedCopy(".x_leaving.txt").empty()) << daemonStderr();
    if (c.afterIdlePause)
        std::this_thread::sleep_for(3500ms);

    std::string newcomer = homeFile("newcomer.txt", "newcomer");
    // One quick step: the entry count is the same before and after.
    ASSERT_EQ(::unlink((_trash + "leaving.txt").c_str()), 0);
    if (c.hardLink) {
        ASSERT_EQ(::link(newcomer.c_str(), (_trash + "newcomer.txt").c_str()), 0);
    } else {
        ASSERT_NO_FATAL_FAILURE(moveIntoTrash(newcomer, "newcomer.txt"));
    }

    std::string copy = waitForCachedCopy(".x_newcomer.txt");
    ASSERT_FALSE(copy.empty()) << "an arrival that kept the entry count unchanged was missed; stderr: "
                               << daemonStderr();
    EXPECT_EQ(readFileText(copy), "newcomer");
}

INSTANTIATE_TEST_SUITE_P(Cases, SwapTest,
                         ::testing::Values(SwapCase {"MovedInRightAfterScan", false, false},
                                           SwapCase {"LinkedInAfterIdlePeriod", true, true}),
                         [](const ::testing::TestParamInfo<SwapCase> &param) { return std::string(param.param.label); });

TEST_F(QuilletdTest, SymbolicLinkIsArchivedAsLinkAndNotItsTarget) {
    std::string album = _home + "/Album";
    ASSERT_TRUE(makeFolder(album));
    ASSERT_TRUE(writeBytes(album + "/photo.jpg", "pixels"));
    ASSERT_EQ(::symlink(album.c_str(), (_home + "/AlbumLink").c_str()), 0);
    ASSERT_EQ(::symlink("photo.jpg", (_home + "/relative-link").c_str()), 0);
    ASSERT_NO_FATAL_FAILURE(startDaemon());
    ASSERT_EQ(trashPut(_home + "/AlbumLink"), 0);
    ASSERT_EQ(trashPut(_home + "/relative-link"), 0);

    std::string copy = waitForCachedCopy(".x_AlbumLink");
    ASSERT_FALSE(copy.empty()) << daemonStderr();
    std::string relative = waitForCachedCopy(".x_relative-link");
    ASSERT_FALSE(relative.empty()) << daemonStderr();
    ASSERT_NO_FATAL_FAILURE(settle());
    auto st = lstatOf(copy);
    ASSERT_TRUE(st.has_value());
    EXPECT_TRUE(S_ISLNK(st->st_mode)) << "the link was not archived as a link";
    EXPECT_EQ(linkTarget(copy), album);
    EXPECT_EQ(linkTarget(relative), "photo.jpg");
    std::vector<std::string> everything;
    walkTree(_cacheFolder, everything);
    for (const std::string &path : everything)
        EXPECT_TRUE(lastComponent(path) != ".x_photo.jpg" && lastComponent(path) != "photo.jpg")
            << "the link's target was copied: " << path;
}

TEST_F(QuilletdTest, DanglingLinkIsArchivedOnceAndNotAgainAtLaterScans) {
    ASSERT_EQ(::symlink("/nonexistent/quillet-target", (_home + "/dangling").c_str()), 0);
    ASSERT_NO_FATAL_FAILURE(startDaemon());
    ASSERT_NO_FATAL_FAILURE(moveIntoTrash(_home + "/dangling", "dangling"));
    std::string copy = waitForCachedCopy(".x_dangling");
    ASSERT_FALSE(copy.empty()) << daemonStderr();
    EXPECT_EQ(linkTarget(copy), "/nonexistent/quillet-target");

    // More arrivals, each one its own scan, the later ones in another second than the first
    // capture (a record that changes with the clock would show there).
    std::this_thread::sleep_for(1100ms);
    for (int i = 0; i < 3; ++i) {
        std::string name = "later-" + std::to_string(i) + ".txt";
        ASSERT_NO_FATAL_FAILURE(moveFileIntoTrash(name, name));
        ASSERT_FALSE(waitForCachedCopy(".x_" + name).empty()) << daemonStderr();
    }
    ASSERT_NO_FATAL_FAILURE(settle());
    EXPECT_EQ(cachedCopies(".x_dangling").size(), 1u);
    EXPECT_EQ(daemonStderr().find("dangling"), std::string::npos)
        << "the dangling link was tried again: " << daemonStderr();
    ASSERT_NO_FATAL_FAILURE(interruptDaemon());
    std::optional<quillet::ArchiveStruct> index = readIndex();
    ASSERT_TRUE(index.has_value());
    EXPECT_EQ(indexRecordsNamed(*index, ".x_dangling").size(), 1u);
}

TEST_F(QuilletdTest, CopyFailingForLackOfSpaceLeavesNothingInCache) {
    if (!mountHomeOnTmpfs("4m"))
        GTEST_SKIP() << skipReason();
    ASSERT_FALSE(HasFatalFailure());
    std::string big = homeFile("big.bin", std::string(3 * 1024 * 1024, 'B'));
    struct statvfs volume {};
    ASSERT_EQ(::statvfs(_home.c_str(), &volume), 0);
    uint64_t available = static_cast<uint64_t>(volume.f_bavail) * volume.f_frsize;
    ASSERT_LT(available, 3u * 1024 * 1024) << "the volume has room for the copy";
    ASSERT_GT(available, 0u);

    ASSERT_NO_FATAL_FAILURE(startDaemon());
    ASSERT_EQ(trashPut(big), 0);
    ASSERT_NO_FATAL_FAILURE(settle());

    EXPECT_TRUE(cachedCopies(".x_big.bin").empty());
    for (const std::string &folder : dateFolders())
        EXPECT_TRUE(archivedNamesIn(folder).empty()) << "left in " << folder << ": " << archivedNamesIn(folder).front();
    std::set<std::string> expectedTop = {"ArchivedFileData", "UPD_FLAG", "UPD_FLAG_CACHE_MANAGER"};
    for (const std::string &name : listNames(_cacheFolder))
        EXPECT_TRUE(expectedTop.count(name) || isFolder(_cacheFolder + name)) << "stray file in the cache: " << name;
    EXPECT_EQ(readFileText(_trash + "big.bin").size(), 3u * 1024 * 1024);
    EXPECT_NE(daemonStderr().find("No space left on device"), std::string::npos)
        << "the failed copy was not reported; stderr: " << daemonStderr();
    ASSERT_EQ(::statvfs(_home.c_str(), &volume), 0);
    EXPECT_GE(static_cast<uint64_t>(volume.f_bavail) * volume.f_frsize + 64 * 1024, available)
        << "space is still held by a partial copy";
}

// The same name trashed again within the minute (the trash emptied in between, a different
// file and a folder the second and third time): each is archived at once under the next free
// name of the date folder, the first is never overwritten, and a restart records them all as
// archived instead of copying them again.
TEST_F(QuilletdTest, SameNameWithinTheMinuteIsArchivedAtOnceUnderTheNextFreeName) {
    // All captures must fall in the same minute.
    time_t start = std::time(nullptr);
    if (start % 60 > 45)
        std::this_thread::sleep_for(std::chrono::seconds(61 - start % 60));

    ASSERT_NO_FATAL_FAILURE(startDaemon());
    ASSERT_NO_FATAL_FAILURE(moveFileIntoTrash("n.txt", "first copy"));
    std::string first = waitForCachedCopy(".x_n.txt");
    ASSERT_FALSE(first.empty()) << daemonStderr();
    const std::string dateFolder = lastComponent(parentOf(first));

    ASSERT_EQ(::unlink((_trash + "n.txt").c_str()), 0);
    ASSERT_NO_FATAL_FAILURE(moveFileIntoTrash("n.txt", "second, longer copy"));
    ASSERT_FALSE(waitForCachedCopy(".x_n-1.txt").empty()) << daemonStderr();
    ASSERT_EQ(::unlink((_trash + "n.txt").c_str()), 0);
    ASSERT_TRUE(makeFolder(_home + "/n.txt"));
    ASSERT_TRUE(writeBytes(_home + "/n.txt/inside", "a folder now"));
    ASSERT_NO_FATAL_FAILURE(moveIntoTrash(_home + "/n.txt", "n.txt"));
    ASSERT_FALSE(waitForCachedCopy(".x_n.txt-1").empty()) << daemonStderr();
    if (utcMinuteName(std::time(nullptr)) != dateFolder)
        GTEST_SKIP() << "the minute changed during the test; a copy had a folder of its own";

    EXPECT_EQ(readFileText(_cacheFolder + dateFolder + "/.x_n.txt"), "first copy");
    EXPECT_EQ(readFileText(_cacheFolder + dateFolder + "/.x_n-1.txt"), "second, longer copy");
    EXPECT_EQ(readFileText(_cacheFolder + dateFolder + "/.x_n.txt-1/.x_inside"), "a folder now");
    EXPECT_EQ(daemonStderr().find("File exists"), std::string::npos) << "stderr: " << daemonStderr();

    // A restart prunes nothing of it, and archives the folder still in the trash no second time.
    ASSERT_NO_FATAL_FAILURE(interruptDaemon());
    ASSERT_NO_FATAL_FAILURE(startDaemon());
    ASSERT_NO_FATAL_FAILURE(settle());
    EXPECT_TRUE(waitFor([&] {
        auto index = readIndex();
        return index && indexRecordsNamed(*index, ".x_n.txt").size() == 1;
    })) << "only the folder is still in the trash";
    std::vector<std::string> folders;
    for (const std::string &folder : dateFolders())
        if (exists(_cacheFolder + folder + "/.x_n.txt") || exists(_cacheFolder + folder + "/.x_n.txt-1"))
            folders.push_back(folder);
    EXPECT_EQ(folders, std::vector<std::string>{dateFolder}) << "archived again after the restart";
}

TEST_F(QuilletdTest, AnEntryReplacedUnderItsNameDuringABurstIsArchivedToo) {
    // The scans of a burst pass by the entries the burst has already seen: one replaced by
    // another file under the same name meanwhile must still be archived, as must every file of
    // the burst.
    constexpr int kFiles = 10000;
    const std::string stage = _home + "/stage";
    ASSERT_TRUE(makeFolder(stage));
    auto nameOf = [](int i) {
        char name[32];
        std::snprintf(name, sizeof name, "b%05d.txt", i);
        return std::string(name);
    };
    for (int i = 0; i < kFiles; ++i)
        ASSERT_TRUE(writeBytes(stage + "/" + nameOf(i), "file " + std::to_string(i)));
    ASSERT_NO_FATAL_FAILURE(startDaemon());
    ASSERT_NO_FATAL_FAILURE(waitUntilInterruptible());

    // Trashed as fast as they can be: the daemon falls behind, and its scans follow one another.
    std::thread trasher([&] {
        for (int i = 0; i < kFiles; ++i)
            (void)::rename((stage + "/" + nameOf(i)).c_str(), (_trash + nameOf(i)).c_str());
    });
    const bool firstArchived = !waitForCachedCopy(".x_" + nameOf(0)).empty();
    // The first entry leaves the trash and another file takes its name while the burst goes on.
    const bool replaced = firstArchived && ::rename((_trash + nameOf(0)).c_str(), (_home + "/restored").c_str()) == 0 &&
                          writeBytes(stage + "/replacement", "the replacement, longer than the first") &&
                          ::rename((stage + "/replacement").c_str(), (_trash + nameOf(0)).c_str()) == 0;
    trasher.join();
    ASSERT_TRUE(firstArchived) << daemonStderr();
    ASSERT_TRUE(replaced) << std::strerror(errno);

    auto replacementArchived = [&] {
        for (const std::string &name : {std::string(".x_b00000.txt"), std::string(".x_b00000-1.txt")})
            for (const std::string &copy : cachedCopies(name))
                if (readFileText(copy) == "the replacement, longer than the first")
                    return true;
        return false;
    };
    EXPECT_TRUE(waitFor(replacementArchived)) << daemonStderr();
    std::vector<int> missing;
    EXPECT_TRUE(waitFor([&] {
        missing.clear();
        for (int i = 1; i < kFiles; ++i)
            if (cachedCopies(".x_" + nameOf(i)).empty())
                missing.push_back(i);
        return missing.empty();
    })) << missing.size() << " files of the burst not archived";
}

TEST_F(QuilletdTest, StartupWithTenThousandRecordsPrunesRecordsWhoseCopiesAreGone) {
    constexpr int kItems = 10000;
    // On a tmpfs when possible: ten thousand flushes of a disk would dominate the run. Without
    // one the test runs on the temporary folder's own volume.
    (void)mountHomeOnTmpfs("64m");
    ASSERT_FALSE(HasFatalFailure());
    auto itemName = [](int i) {
        char name[32];
        std::snprintf(name, sizeof name, "item-%05d", i);
        return std::string(name);
    };
    for (int i = 0; i < kItems; ++i) {
        int fd = ::open((_trash + itemName(i)).c_str(), O_CREAT | O_WRONLY | O_CLOEXEC, 0644);
        ASSERT_GE(fd, 0) << std::strerror(errno);
        ::close(fd);
    }
    auto countCopies = [this] {
        size_t count = 0;
        for (const std::string &folder : dateFolders())
            count += listNames(_cacheFolder + folder).size();
        return count;
    };

    ASSERT_NO_FATAL_FAILURE(startDaemon());
    ASSERT_TRUE(waitFor([&] { return countCopies() == kItems; }, 180s, 250ms))
        << countCopies() << " archived; stderr: " << daemonStderr();
    ASSERT_NO_FATAL_FAILURE(interruptDaemon());
    std::optional<quillet::ArchiveStruct> index = readIndex();
    ASSERT_TRUE(index.has_value());
    ASSERT_EQ(index->items.size(), static_cast<size_t>(kItems));

    // Remove the copies of the even-numbered items, then restart without archiving.
    std::set<std::string> expected;
    for (const std::string &folder : dateFolders())
        for (const std::string &name : listNames(_cacheFolder + folder)) {
            int number = std::atoi(name.c_str() + 8);
            if (number % 2 == 0)
                ASSERT_EQ(::unlink((_cacheFolder + folder + "/" + name).c_str()), 0);
            else
                expected.insert(name);
        }
    ASSERT_EQ(expected.size(), static_cast<size_t>(kItems / 2));

    ASSERT_NO_FATAL_FAILURE(startDaemon({.mode = 2}));
    EXPECT_TRUE(waitFor(
        [this] {
            auto pruned = readIndex();
            return pruned && pruned->items.size() == kItems / 2;
        },
        120s, 100ms))
        << "the index was not pruned at start-up; stderr: " << daemonStderr();
    ASSERT_NO_FATAL_FAILURE(interruptDaemon());
    index = readIndex();
    ASSERT_TRUE(index.has_value());
    ASSERT_EQ(index->items.size(), static_cast<size_t>(kItems / 2));
    EXPECT_EQ(index->itemCount, static_cast<uint64_t>(kItems / 2));
    std::set<std::string> recorded;
    for (const quillet::ArchivedItem &item : index->items)
        recorded.insert(item.name);
    EXPECT_EQ(recorded, expected);
}

// ---------------------------------------------------------------------------------------------
// Wake-up on arrival

TEST_F(QuilletdTest, ArrivalWakesDaemonBeforeItsPollingPeriodEnds) {
    ASSERT_NO_FATAL_FAILURE(startDaemon({.period = 30}));
    ASSERT_NO_FATAL_FAILURE(waitUntilInterruptible());
    ASSERT_TRUE(waitFor([this] { return readIndex().has_value(); })) << "no index written at start-up";
    ASSERT_NO_FATAL_FAILURE(trashPutFile("urgent.txt", "now"));
    // The period is 30 s: the copy shows up well within 10 s only when the arrival woke the loop.
    std::string copy = waitForCachedCopy(".x_urgent.txt", 10s);
    ASSERT_FALSE(copy.empty()) << "an arrival did not wake the daemon; stderr: " << daemonStderr();
    EXPECT_EQ(readFileText(copy), "now");
}

// ---------------------------------------------------------------------------------------------
// Hostile arguments: none is ever read as "everything" or "nothing at all"

struct BadArgumentCase {
    const char *label;
    int position; ///< 0-based among the six arguments
    const char *value;
    const char *named; ///< what the message must name
};

void PrintTo(const BadArgumentCase &c, std::ostream *out) { *out << c.label; }

class BadArgumentTest : public QuilletdTest, public ::testing::WithParamInterface<BadArgumentCase> {};

TEST_P(BadArgumentTest, RefusedWithTheArgumentNamedAndExitTwoBeforeTouchingAnything) {
    const BadArgumentCase &c = GetParam();
    std::vector<std::string> args = daemonArguments({});
    args[static_cast<size_t>(c.position)] = c.value;
    ASSERT_NO_FATAL_FAILURE(moveFileIntoTrash("kept.txt", "kept"));
    ASSERT_NO_FATAL_FAILURE(startDaemonWith(args));
    std::optional<int> status = _daemon.waitForExit();
    ASSERT_TRUE(status.has_value()) << "quilletd kept running with " << c.label;
    EXPECT_TRUE(WIFEXITED(*status) && WEXITSTATUS(*status) == 2) << describeStatus(*status);
    EXPECT_NE(daemonStderr().find(c.named), std::string::npos) << daemonStderr();
    EXPECT_NE(daemonStderr().find(c.value), std::string::npos) << daemonStderr();
    EXPECT_FALSE(exists(indexPath()));
    EXPECT_TRUE(dateFolders().empty());
}

INSTANTIATE_TEST_SUITE_P(
    Cases, BadArgumentTest,
    ::testing::Values(BadArgumentCase{"PeriodOverflowing", 0, "99999999999999999999", "PERIOD"},
                      BadArgumentCase{"TrashWithoutSlash", 1, "/tmp/trash", "TRASH_FOLDER/"},
                      BadArgumentCase{"TrashRelative", 1, "trash/", "TRASH_FOLDER/"},
                      BadArgumentCase{"TrashEmpty", 1, "", "TRASH_FOLDER/"},
                      BadArgumentCase{"CacheBaseWithoutSlash", 2, "/tmp/home", "CACHE_BASE/"},
                      BadArgumentCase{"SizeOverflowing", 3, "99999999999999999999", "SIZE_LIMIT_MB"},
                      BadArgumentCase{"SizeTooLargeForBytes", 3, "8796093022208", "SIZE_LIMIT_MB"},
                      BadArgumentCase{"PercentOverflowing", 4, "-99999999999999999999", "MIN_FREE_PERCENT"},
                      BadArgumentCase{"ModeBeyond32Bits", 5, "4294967296", "MODE"}),
    [](const ::testing::TestParamInfo<BadArgumentCase> &param) { return std::string(param.param.label); });

// A period of 0, a negative one or one beyond 32 bits once made the daemon poll without pause.
TEST_F(QuilletdTest, PeriodsOutOfRangeNeitherSpinNorStopArchiving) {
    for (const char *period : {"0", "-5", "2147483648"}) {
        std::vector<std::string> args = daemonArguments({});
        args[0] = period;
        ASSERT_NO_FATAL_FAILURE(startDaemonWith(args));
        ASSERT_NO_FATAL_FAILURE(waitUntilInterruptible());
        std::string name = std::string("period") + period + ".txt";
        ASSERT_NO_FATAL_FAILURE(trashPutFile(name, "p"));
        EXPECT_FALSE(waitForCachedCopy(".x_" + name).empty()) << period << ": " << daemonStderr();
        // Clock ticks of CPU time over three seconds of waiting: a loop without pause takes
        // them all (300 at the usual 100 a second), a waiting daemon almost none.
        auto cpuTicks = [&] {
            auto fields = quillet::test::statFields(_daemon.pid());
            return fields.size() > 12 ? std::stol(fields[11]) + std::stol(fields[12]) : -1L;
        };
        long before = cpuTicks();
        std::this_thread::sleep_for(3s);
        long used = cpuTicks() - before;
        EXPECT_LT(used, 100) << "period " << period << ": the daemon spun";
        ASSERT_NO_FATAL_FAILURE(interruptDaemon());
    }
}

TEST_F(QuilletdTest, PercentagesOutsideOneToNinetyNineMeanNoMinimum) {
    for (const char *percent : {"150", "-3", "100"}) {
        std::vector<std::string> args = daemonArguments({});
        args[4] = percent;
        ASSERT_NO_FATAL_FAILURE(startDaemonWith(args));
        std::string name = std::string("percent") + percent + ".txt";
        ASSERT_NO_FATAL_FAILURE(trashPutFile(name, "p"));
        EXPECT_FALSE(waitForCachedCopy(".x_" + name).empty()) << percent << ": " << daemonStderr();
        ASSERT_NO_FATAL_FAILURE(interruptDaemon());
    }
}

// ---------------------------------------------------------------------------------------------
// Crafted cache and trash folders: never entered, written or deleted through

struct CacheProblemCase {
    const char *label;
    const char *expected; ///< in the message
};

void PrintTo(const CacheProblemCase &c, std::ostream *out) { *out << c.label; }

class CacheProblemTest : public QuilletdTest, public ::testing::WithParamInterface<CacheProblemCase> {};

TEST_P(CacheProblemTest, CacheFolderThatIsNotTheUsersOwnIsRefusedWithExitOne) {
    const CacheProblemCase &c = GetParam();
    std::string cache = _cacheFolder.substr(0, _cacheFolder.size() - 1);
    std::string elsewhere = _tmp / "elsewhere";
    ASSERT_TRUE(makeFolder(elsewhere, 0777));
    ASSERT_TRUE(writeBytes(elsewhere + "/precious", "precious"));
    ASSERT_EQ(::rmdir(cache.c_str()), 0);
    const std::string label = c.label;
    if (label == "Link") {
        ASSERT_EQ(::symlink(elsewhere.c_str(), cache.c_str()), 0);
    } else if (label == "OtherAccount") {
        ASSERT_TRUE(makeFolder(cache, 0777));
        ASSERT_EQ(::chown(cache.c_str(), 4242, 4242), 0);
    } else if (label == "File") {
        ASSERT_TRUE(writeBytes(cache, "a file"));
    } // Missing: nothing there
    ASSERT_NO_FATAL_FAILURE(moveFileIntoTrash("secret.txt", "secret"));
    ASSERT_NO_FATAL_FAILURE(startDaemon({.mode = 1}));
    std::optional<int> status = _daemon.waitForExit();
    ASSERT_TRUE(status.has_value()) << "quilletd kept running with its cache folder " << c.label;
    EXPECT_TRUE(WIFEXITED(*status) && WEXITSTATUS(*status) == 1) << describeStatus(*status);
    EXPECT_NE(daemonStderr().find(c.expected), std::string::npos) << daemonStderr();
    EXPECT_NE(daemonStderr().find(_trash), std::string::npos) << daemonStderr();
    EXPECT_EQ(listNames(elsewhere), std::vector<std::string>{"precious"});
    EXPECT_EQ(readFileText(_trash + "secret.txt"), "secret") << "the trashed file was moved away";
    if (label == "OtherAccount") {
        EXPECT_TRUE(listNames(cache).empty()) << "the other account's folder received files";
    }
}

INSTANTIATE_TEST_SUITE_P(Cases, CacheProblemTest,
                         ::testing::Values(CacheProblemCase{"Missing", "the cache folder does not exist"},
                                           CacheProblemCase{"File", "not a folder"},
                                           CacheProblemCase{"Link", "a symbolic link"},
                                           CacheProblemCase{"OtherAccount", "belongs to another account (uid 4242)"}),
                         [](const ::testing::TestParamInfo<CacheProblemCase> &param) {
                             return std::string(param.param.label);
                         });

size_t countOf(const std::string &text, const std::string &part) {
    size_t count = 0;
    for (size_t at = text.find(part); at != std::string::npos; at = text.find(part, at + part.size()))
        ++count;
    return count;
}

/// A "volume" for the daemon: a folder standing for a mount point, with its cache folder and the
/// user's per-volume trash below it (the daemon recognises the layout by its paths).
struct FakeVolume {
    std::string root, trashTop, trash, cache;
};

FakeVolume makeFakeVolume(const std::string &root, bool withTrash) {
    FakeVolume volume;
    volume.root = root + "/";
    volume.trashTop = root + "/.Trash-" + std::to_string(::getuid());
    volume.trash = volume.trashTop + "/files/";
    volume.cache = root + "/.TrashCacheFolder/";
    EXPECT_TRUE(makeFolder(root, 0755));
    EXPECT_TRUE(makeFolder(volume.cache, 0700));
    if (withTrash) {
        EXPECT_TRUE(makeFolder(volume.trash, 0700));
    }
    return volume;
}

TEST_F(QuilletdTest, LinkedTrashFoldersAreRefusedAndWhatTheyPointToIsNeverArchivedOrMoved) {
    std::string target = _tmp / "documents";
    ASSERT_TRUE(makeFolder(target + "/files", 0700));
    ASSERT_TRUE(writeBytes(target + "/files/thesis.odt", "thesis"));
    ASSERT_TRUE(writeBytes(target + "/letter.txt", "letter"));
    // The home trash's "files" itself a link, then a volume's ".Trash-<uid>" a link, in move mode.
    std::string files = _trash.substr(0, _trash.size() - 1);
    quillet::test::removeTree(files);
    ASSERT_EQ(::symlink(target.c_str(), files.c_str()), 0);
    ASSERT_NO_FATAL_FAILURE(startDaemon({.mode = 1}));
    std::optional<int> status = _daemon.waitForExit();
    ASSERT_TRUE(status.has_value()) << "quilletd watched a linked trash folder";
    EXPECT_TRUE(WIFEXITED(*status) && WEXITSTATUS(*status) == 1) << describeStatus(*status);
    EXPECT_EQ(daemonStderr(), "quilletd: Daemon will die (a symbolic link, not a folder)(" + _trash + ")\n");

    FakeVolume volume = makeFakeVolume(_tmp / "volume", false);
    ASSERT_EQ(::symlink(target.c_str(), volume.trashTop.c_str()), 0);
    std::vector<std::string> args = {"1", volume.trash, volume.root, "0", "0", "1"};
    ASSERT_NO_FATAL_FAILURE(startDaemonWith(args));
    status = _daemon.waitForExit();
    ASSERT_TRUE(status.has_value()) << "quilletd watched a trash folder reached through a link";
    EXPECT_TRUE(WIFEXITED(*status) && WEXITSTATUS(*status) == 1) << describeStatus(*status);
    EXPECT_NE(daemonStderr().find("a symbolic link, not a folder"), std::string::npos) << daemonStderr();

    EXPECT_EQ(readFileText(target + "/files/thesis.odt"), "thesis");
    EXPECT_EQ(readFileText(target + "/letter.txt"), "letter");
    EXPECT_TRUE(listNames(volume.cache).empty());
    EXPECT_TRUE(dateFolders().empty());
}

TEST_F(QuilletdTest, VolumeTrashOfAnotherAccountIsRefused) {
    FakeVolume volume = makeFakeVolume(_tmp / "volume", true);
    ASSERT_TRUE(writeBytes(volume.trash + "theirs.txt", "theirs"));
    ASSERT_EQ(::chown(volume.trashTop.c_str(), 4242, 4242), 0);
    std::vector<std::string> args = {"1", volume.trash, volume.root, "0", "0", "1"};
    ASSERT_NO_FATAL_FAILURE(startDaemonWith(args));
    std::optional<int> status = _daemon.waitForExit();
    ASSERT_TRUE(status.has_value());
    EXPECT_TRUE(WIFEXITED(*status) && WEXITSTATUS(*status) == 1) << describeStatus(*status);
    EXPECT_NE(daemonStderr().find("belongs to another account (uid 4242)"), std::string::npos) << daemonStderr();
    EXPECT_EQ(readFileText(volume.trash + "theirs.txt"), "theirs");
}

// The wait is woken by the folders appearing (inotify on the volume's top folder and below), not
// by the polling period, which is an hour here.
TEST_F(QuilletdTest, VolumeTrashThatAppearsLaterIsWaitedForThenProtected) {
    FakeVolume volume = makeFakeVolume(_tmp / "volume", false);
    std::vector<std::string> args = {"3600", volume.trash, volume.root, "0", "0", "0"};
    ASSERT_NO_FATAL_FAILURE(startDaemonWith(args));
    ASSERT_TRUE(waitFor([&] { return daemonStderr().find("waiting for the trash folder") != std::string::npos; }))
        << daemonStderr();
    ASSERT_TRUE(_daemon.running()) << daemonStderr();
    // The first item trashed on the volume makes the folders.
    ASSERT_TRUE(makeFolder(volume.trash, 0700));
    ASSERT_TRUE(writeBytes(volume.trash + "first.txt", "first"));
    ASSERT_TRUE(waitFor([&] {
        for (const std::string &folder : listNames(volume.cache))
            if (exists(volume.cache + folder + "/.x_first.txt"))
                return true;
        return false;
    })) << daemonStderr();
    // The trash folder removed, the daemon waits for it again; then the volume goes (here: its
    // folders all at once, as an unmount takes them), and the daemon ends as before. Both
    // wake it although its period is an hour.
    quillet::test::removeTree(volume.trashTop);
    ASSERT_TRUE(waitFor([&] { return countOf(daemonStderr(), "waiting for the trash folder") == 2; }))
        << daemonStderr();
    const std::string root = volume.root.substr(0, volume.root.size() - 1);
    ASSERT_EQ(::rename(root.c_str(), (root + "-unmounted").c_str()), 0);
    std::optional<int> status = _daemon.waitForExit();
    ASSERT_TRUE(status.has_value()) << "quilletd outlived its volume";
    EXPECT_TRUE(WIFEXITED(*status) && WEXITSTATUS(*status) == 0) << describeStatus(*status);
}

TEST_F(QuilletdTest, TrashFolderSwappedForALinkWhileRunningIsNoticedAndNothingOfTheTargetIsTaken) {
    std::string target = _tmp / "private";
    ASSERT_TRUE(makeFolder(target, 0700));
    ASSERT_TRUE(writeBytes(target + "/diary.txt", "diary"));
    ASSERT_NO_FATAL_FAILURE(startDaemon({.mode = 1}));
    ASSERT_NO_FATAL_FAILURE(trashPutFile("before.txt", "before"));
    ASSERT_FALSE(waitForCachedCopy(".x_before.txt").empty()) << daemonStderr();

    // Swapped in one step, as an attacker racing the daemon would.
    std::string files = _trash.substr(0, _trash.size() - 1);
    ASSERT_EQ(::symlink(target.c_str(), (files + "-link").c_str()), 0);
    ASSERT_EQ(::renameat2(AT_FDCWD, (files + "-link").c_str(), AT_FDCWD, files.c_str(), RENAME_EXCHANGE), 0)
        << std::strerror(errno);
    std::optional<int> status = _daemon.waitForExit();
    ASSERT_TRUE(status.has_value()) << "quilletd went on watching a trash folder swapped for a link";
    EXPECT_TRUE(WIFEXITED(*status) && WEXITSTATUS(*status) == 1) << describeStatus(*status);
    EXPECT_NE(daemonStderr().find("Daemon will die (a symbolic link, not a folder)"), std::string::npos)
        << daemonStderr();
    EXPECT_EQ(readFileText(target + "/diary.txt"), "diary");
    EXPECT_TRUE(cachedCopies(".x_diary.txt").empty());
}

TEST_F(QuilletdTest, PlantedMarkerAndIndexLinksAreNeverFollowed) {
    std::string outside = _tmp / "outside";
    ASSERT_TRUE(makeFolder(outside));
    for (const char *name : {"UPD_FLAG", "UPD_FLAG_CACHE_MANAGER", "ArchivedFileData"})
        ASSERT_EQ(::symlink((outside + "/" + name + "-target").c_str(), (_cacheFolder + name).c_str()), 0);
    ASSERT_NO_FATAL_FAILURE(startDaemon());
    ASSERT_NO_FATAL_FAILURE(trashPutFile("file.txt", "f"));
    ASSERT_FALSE(waitForCachedCopy(".x_file.txt").empty()) << daemonStderr();
    ASSERT_NO_FATAL_FAILURE(interruptDaemon());
    EXPECT_TRUE(listNames(outside).empty()) << "a file was created through a planted link";
}

TEST_F(QuilletdTest, DateFolderPlantedAsALinkOrByAnotherAccountIsNeverWrittenInto) {
    std::string outside = _tmp / "outside";
    ASSERT_TRUE(makeFolder(outside, 0777));
    // This minute and the next few, as links or as folders of another account.
    time_t now = std::time(nullptr);
    int i = 0;
    for (const std::string &name : utcMinuteNamesBetween(now, now + 180)) {
        std::string path = _cacheFolder + name;
        if (i++ % 2 == 0) {
            ASSERT_EQ(::symlink(outside.c_str(), path.c_str()), 0);
        } else {
            ASSERT_TRUE(makeFolder(path, 0777));
            ASSERT_EQ(::chown(path.c_str(), 4242, 4242), 0);
        }
    }
    ASSERT_NO_FATAL_FAILURE(startDaemon());
    ASSERT_NO_FATAL_FAILURE(trashPutFile("file.txt", "f"));
    ASSERT_TRUE(waitFor([&] {
        return daemonStderr().find("a symbolic link, not a folder") != std::string::npos ||
               daemonStderr().find("belongs to another account (uid 4242)") != std::string::npos;
    })) << "no refusal was logged: " << daemonStderr();
    ASSERT_NO_FATAL_FAILURE(interruptDaemon());
    EXPECT_TRUE(listNames(outside).empty()) << "a copy went through a planted date folder";
    for (const std::string &name : listNames(_cacheFolder)) {
        auto st = lstatOf(_cacheFolder + name);
        if (st && S_ISDIR(st->st_mode) && st->st_uid == 4242) {
            EXPECT_TRUE(listNames(_cacheFolder + name).empty()) << "a copy went into " << name;
        }
    }
}

// Move mode: a trashed file equal to a record is only removed from the trash while its
// archived copy is still there; once the copy is gone (recovered, then emptied) it is archived
// again instead of being destroyed.
TEST_F(QuilletdTest, MoveModeArchivesAgainWhenTheRecordedCopyIsGone) {
    ASSERT_NO_FATAL_FAILURE(startDaemon({.mode = 1}));
    std::string original = homeFile("report.pdf", "the only report");
    struct stat st {};
    ASSERT_EQ(::stat(original.c_str(), &st), 0);
    ASSERT_NO_FATAL_FAILURE(moveIntoTrash(original, "report.pdf"));
    std::string copy = waitForCachedCopy(".x_report.pdf");
    ASSERT_FALSE(copy.empty()) << daemonStderr();
    ASSERT_TRUE(waitFor([&] { return !exists(_trash + "report.pdf"); }));

    // Recovered (copied out keeping its time), then the cache emptied.
    std::string recovered = homeFile("report.pdf", readFileText(copy));
    struct timespec times[2] = {st.st_atim, st.st_mtim};
    ASSERT_EQ(::utimensat(AT_FDCWD, recovered.c_str(), times, 0), 0);
    quillet::test::removeTree(copy);
    ASSERT_TRUE(cachedCopies(".x_report.pdf").empty());

    // Trashed again: same name, size and modification second as the record.
    ASSERT_NO_FATAL_FAILURE(moveIntoTrash(recovered, "report.pdf"));
    std::string again = waitForCachedCopy(".x_report.pdf");
    ASSERT_FALSE(again.empty()) << "the file was deleted from the trash instead of archived; stderr: "
                                << daemonStderr();
    EXPECT_EQ(readFileText(again), "the only report");
}

// ---------------------------------------------------------------------------------------------
// A real trash client on real volumes: gio puts an item in the shared trash when "$topdir/.Trash"
// is a real sticky folder, else in "$topdir/.Trash-<uid>"; the folder chosen for quilletd is the
// same one, so what gio trashes there is archived. (gio refuses tmpfs volumes: they are ext4
// images here.)

TEST_F(QuilletdTest, GioTrashOnAVolumeLandsInTheTrashFolderQuilletdWatches) {
    if (!isExecutable("/usr/bin/gio"))
        GTEST_SKIP() << "gio (libglib2.0-bin) is not installed";
    struct Case {
        const char *label;
        mode_t sharedTrashMode; ///< 0: no .Trash
        const char *expectedRelative;
    };
    const std::string uid = std::to_string(::getuid());
    const Case cases[] = {
        {"sticky shared trash", 01777, ".Trash/"},
        {"shared trash without the sticky bit", 0777, ".Trash-"},
        {"no shared trash", 0, ".Trash-"},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(c.label);
        const std::string image = _tmp / "volume.img";
        const std::string volume = _tmp / "media/Volume";
        ASSERT_TRUE(makeFolder(volume));
        if (quillet::test::runShell("truncate -s 16M '" + image + "' && mkfs.ext4 -q -F '" + image +
                                    "' >/dev/null 2>&1 && mount -o loop '" + image + "' '" + volume + "' 2>/dev/null") != 0)
            GTEST_SKIP() << "cannot mount an ext4 image here (needs root)";
        struct Unmount {
            std::string point;
            ~Unmount() { (void)quillet::test::runShell("umount -l '" + point + "'"); }
        } unmount{volume};
        ASSERT_EQ(::chmod(volume.c_str(), 01777), 0);
        if (c.sharedTrashMode != 0) {
            ASSERT_TRUE(makeFolder(volume + "/.Trash", c.sharedTrashMode));
            ASSERT_EQ(::chown((volume + "/.Trash").c_str(), 4242, 4242), 0); // the administrator's
        }
        ASSERT_TRUE(makeFolder(volume + "/.TrashCacheFolder", 0700));
        const std::string trash = quillet::sys::volumeTrashFolder(volume);
        ASSERT_EQ(trash.substr(volume.size() + 1, std::strlen(c.expectedRelative)), c.expectedRelative) << trash;
        ASSERT_NO_FATAL_FAILURE(startDaemonWith({"1", trash, volume + "/", "0", "0", "0"}));

        ASSERT_TRUE(writeBytes(volume + "/report.odt", "on the volume"));
        ChildProcess gio;
        ASSERT_TRUE(gio.start("/usr/bin/gio", {"trash", volume + "/report.odt"}, environment(), _tmp / "gio.stderr"));
        auto status = gio.waitForExit(30s);
        ASSERT_TRUE(status && WIFEXITED(*status) && WEXITSTATUS(*status) == 0) << readFileText(_tmp / "gio.stderr");
        ASSERT_TRUE(exists(trash + "report.odt")) << "gio put it elsewhere than " << trash;
        EXPECT_TRUE(waitFor([&] {
            for (const std::string &minute : listNames(volume + "/.TrashCacheFolder"))
                if (readFileText(volume + "/.TrashCacheFolder/" + minute + "/.x_report.odt") == "on the volume")
                    return true;
            return false;
        })) << "not archived; stderr: " << daemonStderr();
        ASSERT_NO_FATAL_FAILURE(interruptDaemon());
    }
}

// ---------------------------------------------------------------------------------------------
// Where archived items came from: the trash information goes with the archive

TEST_F(QuilletdTest, TrashInformationIsKeptWithTheArchiveAndTakenAlongInMoveMode) {
    for (int mode : {0, 1}) {
        SCOPED_TRACE(mode == 0 ? "copy mode" : "move mode");
        ASSERT_NO_FATAL_FAILURE(startDaemon({.mode = mode}));
        const std::string name = mode == 0 ? "copy one.txt" : "move\none.txt";
        const std::string folder = _home + "/Projects/deep " + std::to_string(mode);
        ASSERT_TRUE(makeFolder(folder));
        ASSERT_TRUE(writeBytes(folder + "/" + name, "content"));
        ASSERT_EQ(trashPut(folder + "/" + name), 0) << readFileText(_tmp / "trash-put.stderr");
        std::string copy = waitForCachedCopy(".x_" + name);
        ASSERT_FALSE(copy.empty()) << daemonStderr();
        const std::string dateFolder = parentOf(copy);
        std::optional<std::string> original;
        ASSERT_TRUE(waitFor([&] {
            auto dir = quillet::sys::openDirectory(dateFolder);
            if (!dir)
                return false;
            original = quillet::originalPathOf(quillet::readTrashInfoStore(dir->get()), ".x_" + name, "/");
            return original.has_value();
        })) << daemonStderr();
        EXPECT_EQ(*original, folder + "/" + name);
        // The .trashinfo goes with its entry in move mode only.
        EXPECT_EQ(exists(_trashInfo + "/" + name + ".trashinfo"), mode == 0);
        for (const std::string &entry : listNames(dateFolder))
            EXPECT_TRUE(entry.rfind(".x_", 0) == 0 || entry == ".quillet-trashinfo") << entry;
        ASSERT_NO_FATAL_FAILURE(interruptDaemon());
    }
}

} // namespace
