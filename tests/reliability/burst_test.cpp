// A burst of trashed items while the housekeeping daemon runs beside quilletd: ten thousand
// small files trashed one after the other as fast as they can be moved, and one folder of fifty
// thousand files. Every one must be captured (or refused by a rule, which the log then says),
// none lost, none twice, with settings that keep everything.
//
// The time to capture is printed beside the time `cp -a` of the same set and one sync take on
// the same volume; it is a figure to read, not a limit.

#include "ReliabilityHarness.h"

#include <memory>

namespace {

using namespace quillet::test;
using namespace quillet::test::reliability;

constexpr int kBurstFiles = 10000;
constexpr int kTreeFolders = 50;
constexpr int kTreeFilesPerFolder = 1000;

double secondsSince(std::chrono::steady_clock::time_point from) {
    return std::chrono::duration<double>(std::chrono::steady_clock::now() - from).count();
}

std::string seconds(double value) {
    char text[32];
    std::snprintf(text, sizeof text, "%.2f", value);
    return text;
}

std::string burstName(int i) {
    char name[32];
    std::snprintf(name, sizeof name, "note-%05d.txt", i);
    return name;
}

class BurstTest : public ::testing::Test {
protected:
    void SetUp() override {
        for (const char *program : {"quilletd", "quilletCacheManagerd"})
            ASSERT_TRUE(isExecutable(libexecPath(program))) << program << " is not built at " << libexecPath(program);
        // On a fresh volume where root may mount one; elsewhere on the test folder's own.
        _volume = _tmp / "volume";
        _fresh = std::make_unique<Ext4Volume>(_tmp / "volume.img", _volume, "3G", "-i 4096");
        _home = ScratchHome::at(_volume + "/home", _tmp.path());
        _set = _home.home + "/burst";
        ASSERT_TRUE(makeFolder(_set));
    }
    void TearDown() override {
        _daemon.stop();
        _housekeeping.stop();
        _fresh.reset();
    }

    void settle() {
        for (int round = 0; round < 2; ++round) {
            const std::string name = "zz-settle-" + std::to_string(round);
            ASSERT_TRUE(writeBytes(_home.home + "/" + name, ""));
            ASSERT_TRUE(trashByRename(_home, _home.home + "/" + name, name));
            _trashed.insert(name);
            ASSERT_TRUE(waitFor(
                [&] {
                    for (const std::string &folder : dateFoldersOf(_home.cacheFolder))
                        if (exists(_home.cacheFolder + "/" + folder + "/.x_" + name))
                            return true;
                    return false;
                },
                300s, 5ms))
                << "quilletd did not archive " << name << "; running: " << _daemon.running();
        }
    }

    TestDir _tmp;
    std::string _volume;
    std::unique_ptr<Ext4Volume> _fresh;
    ScratchHome _home;
    std::string _set;
    ChildProcess _daemon;
    ChildProcess _housekeeping;
    std::set<std::string> _trashed;
};

TEST_F(BurstTest, TenThousandFilesAndAFolderOfFiftyThousandAreAllCapturedWhileHousekeepingRuns) {
    // The set: small files of their own contents, and the folder.
    for (int i = 0; i < kBurstFiles; ++i)
        ASSERT_TRUE(writeBytes(_set + "/" + burstName(i), patternBytes(static_cast<uint64_t>(i), 64 + i % 700)));
    for (int folder = 0; folder < kTreeFolders; ++folder) {
        const std::string path = _set + "/tree/part-" + std::to_string(folder);
        ASSERT_TRUE(makeFolder(path));
        for (int file = 0; file < kTreeFilesPerFolder; ++file)
            ASSERT_TRUE(writeBytes(path + "/f" + std::to_string(file) + ".txt",
                                   patternBytes(1000000u + static_cast<uint64_t>(folder * kTreeFilesPerFolder + file),
                                                64 + file % 500)));
    }

    // The reference: the same set copied with cp -a, then the volume flushed once.
    const auto cpStart = std::chrono::steady_clock::now();
    ProgramRun cp = runProgram("/bin/cp", {"-a", _set, _volume + "/cp-copy"}, _home.environment(), _tmp.path());
    ASSERT_TRUE(cp.succeeded()) << "cp -a failed: " << cp.err;
    ProgramRun sync = runProgram("/bin/sync", {"-f", _volume + "/cp-copy"}, _home.environment(), _tmp.path());
    ASSERT_TRUE(sync.succeeded()) << "sync failed: " << sync.err;
    const double cpSeconds = secondsSince(cpStart);

    // Settings that keep everything: 100 years of days, a free-space minimum of 1%.
    ASSERT_TRUE(startDaemon(_housekeeping, _home, "quilletCacheManagerd", {"36500", "0", "1", "0"}, "housekeeping"));
    ASSERT_TRUE(startDaemon(_daemon, _home, "quilletd", _home.quilletdArguments(), "quilletd"));
    ASSERT_TRUE(waitFor([&] { return catchesSigint(_daemon.pid()) || !_daemon.running(); }));

    const auto burstStart = std::chrono::steady_clock::now();
    for (int i = 0; i < kBurstFiles; ++i) {
        ASSERT_TRUE(trashByRename(_home, _set + "/" + burstName(i), burstName(i)));
        _trashed.insert(burstName(i));
    }
    ASSERT_TRUE(trashByRename(_home, _set + "/tree", "tree"));
    _trashed.insert("tree");
    const double burstSeconds = secondsSince(burstStart);
    ASSERT_NO_FATAL_FAILURE(settle());
    const double captureSeconds = secondsSince(burstStart);

    const bool daemonRan = _daemon.running();
    const bool housekeepingRan = _housekeeping.running();
    ASSERT_TRUE(interruptDaemon(_daemon, "quilletd")) << readFileText(_home.logs + "/quilletd.stderr");
    _housekeeping.signal(SIGINT);
    ASSERT_TRUE(_housekeeping.waitForExit(30s).has_value()) << "quilletCacheManagerd did not end on SIGINT";

    // Counted and compared: each trashed entry once in the cache, each copy whole.
    std::map<std::string, size_t> copies;
    size_t partial = 0, strays = 0;
    std::string partialNames;
    TreeComparison all;
    for (const ArchivedEntry &entry : archivedEntriesOf(_home.cacheFolder)) {
        auto origin = originOf(entry.storedName, _trashed);
        if (!origin) {
            ++strays;
            continue;
        }
        ++copies[origin->name];
        TreeComparison one;
        compareTrees(_home.trash + "/" + origin->name, entry.path, CopyNames::Hidden, one);
        if (const std::string differences = one.describe({Aspect::Presence, Aspect::Type, Aspect::Content});
            !differences.empty()) {
            ++partial;
            partialNames += entry.dateFolder + "/" + entry.storedName + ":\n" + differences;
        }
        all.files += one.files;
    }
    // What was refused says so in the log, one line per entry, its path at the end.
    const std::string log = readFileText(_home.logs + "/quilletd.stderr");
    std::set<std::string> refused;
    for (size_t at = log.find("not archived ("); at != std::string::npos; at = log.find("not archived (", at + 1)) {
        const size_t end = log.find('\n', at);
        const std::string line = log.substr(at, end == std::string::npos ? std::string::npos : end - at);
        refused.insert(line.substr(line.find_last_of('/') + 1));
    }
    size_t captured = 0, lost = 0, duplicates = 0;
    std::string lostNames;
    for (const std::string &name : _trashed) {
        const size_t found = copies[name];
        captured += found > 0 ? 1 : 0;
        if (found == 0 && !refused.contains(name) && ++lost <= 10)
            lostNames += " " + name;
        duplicates += found > 1 ? found - 1 : 0;
    }

    const std::optional<quillet::ArchiveStruct> index = readIndexOf(_home.cacheFolder);
    ASSERT_TRUE(index.has_value()) << "the index file is missing or torn";
    std::map<std::string, int> records;
    for (const quillet::ArchivedItem &item : index->items)
        ++records[item.name];
    size_t notRecordedOnce = 0;
    for (const std::string &name : _trashed)
        notRecordedOnce += records[".x_" + name] == 1 ? 0 : 1;

    report("burst: " + std::to_string(kBurstFiles) + " files and a folder of " +
           std::to_string(kTreeFolders * kTreeFilesPerFolder) + " files (" + std::to_string(all.files) +
           " files compared); captured " + std::to_string(captured) +
           " of " + std::to_string(_trashed.size()) + " entries, refused by rule " + std::to_string(refused.size()) + ", lost " +
           std::to_string(lost) + ", duplicates " + std::to_string(duplicates) + ", partial " + std::to_string(partial) +
           ", index records not one per entry " + std::to_string(notRecordedOnce));
    report("on " + _fresh->described() +
           ": trashing " + seconds(burstSeconds) + " s, captured within " + seconds(captureSeconds) +
           " s of the first arrival; cp -a of the same set + sync -f: " + seconds(cpSeconds) + " s");

    EXPECT_TRUE(daemonRan) << "quilletd ended during the burst: " << log;
    EXPECT_TRUE(housekeepingRan) << "quilletCacheManagerd ended during the burst: "
                                 << readFileText(_home.logs + "/housekeeping.stderr");
    EXPECT_EQ(lost, 0u) << "neither archived nor refused:" << lostNames;
    EXPECT_EQ(duplicates, 0u);
    EXPECT_EQ(partial, 0u) << partialNames;
    EXPECT_EQ(strays, 0u) << "entries of the cache that stand for nothing trashed";
    EXPECT_EQ(notRecordedOnce, refused.size()) << "entries not recorded exactly once in the index";
}

} // namespace
