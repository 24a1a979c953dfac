// quilletd killed with SIGKILL in the middle of its work, then started again, over and over:
// nothing trashed may be lost, archived twice or left half-written in view, and the index must
// always be readable.
//
// Each cycle trashes a few small files and a large item (a 64 MiB file or a folder of 2,000
// files), then kills the daemon at a moment of one of three kinds, chosen at random from a
// printed seed: while it writes a copy, while it writes its index, or after a random delay. To
// kill it at a copy or an index write, the test stops the daemon (SIGSTOP) again and again,
// looks at the files it holds open, and kills it while it is stopped in the wanted work; what
// each kill interrupted is printed. QUILLET_RELIABILITY_CYCLES sets the number of cycles (30 by
// default, at most 1,000; each needs 80 MiB of free space) and QUILLET_RELIABILITY_SEED replays
// the choices of a run.

#include "ReliabilityHarness.h"

#include <sys/statvfs.h>

#include <array>
#include <memory>
#include <random>

namespace {

using namespace quillet::test;
using namespace quillet::test::reliability;

constexpr int kDefaultCycles = 30;
constexpr int kMostCycles = 1000;
constexpr size_t kLargeFileBytes = 64u << 20;
constexpr int kFolderParts = 10;
constexpr int kFilesPerPart = 200;
constexpr int kSmallFilesPerCycle = 3;

/// A whole number from the environment within [low, high], the default when unset; nothing
/// (with a failure naming the variable) when it is set to anything else.
std::optional<uint64_t> numberFromEnvironment(const char *variable, uint64_t fallback, uint64_t low, uint64_t high) {
    const char *text = std::getenv(variable);
    if (!text || !*text)
        return fallback;
    errno = 0;
    char *end = nullptr;
    const unsigned long long value = std::strtoull(text, &end, 10);
    if (errno != 0 || *end != '\0' || text[0] == '-' || value < low || value > high) {
        ADD_FAILURE() << variable << "=\"" << text << "\" is not a whole number from " << low << " to " << high;
        return std::nullopt;
    }
    return value;
}

enum class Target { Copy, IndexWrite, Anywhere };

const char *targetName(Target target) {
    switch (target) {
    case Target::Copy: return "a copy";
    case Target::IndexWrite: return "an index write";
    case Target::Anywhere: return "a random moment";
    }
    return "?";
}

/// What a stopped quilletd was doing, from the files it held open and its current system call.
struct Moment {
    bool indexWrite = false; ///< an unnamed (or temporary) file in the cache folder itself
    bool fileWrite = false;  ///< an unnamed file in a date folder: a file's copy, the trash information
    bool folderCopy = false; ///< a folder being assembled
    bool flushing = false;   ///< in syncfs or fsync

    std::string describe() const {
        std::string text;
        for (auto [on, what] : {std::pair{indexWrite, "index write"}, std::pair{folderCopy, "folder copy"},
                                std::pair{fileWrite, "file write"}, std::pair{flushing, "flushing"}})
            if (on)
                text += (text.empty() ? "" : " + ") + std::string(what);
        return text.empty() ? "between writes" : text;
    }
};

Moment momentOf(pid_t pid, const std::string &cacheFolder) {
    Moment moment;
    const std::string fds = "/proc/" + std::to_string(pid) + "/fd";
    const std::string prefix = cacheFolder + "/";
    const std::string indexTemporary = quillet::sys::temporaryNameOf(std::string(quillet::kIndexFileName));
    for (const std::string &fd : listNames(fds)) {
        char buffer[4096];
        const ssize_t length = ::readlink((fds + "/" + fd).c_str(), buffer, sizeof buffer);
        if (length <= 0)
            continue;
        const std::string target(buffer, static_cast<size_t>(length));
        if (target.rfind(prefix, 0) != 0)
            continue;
        const std::string rest = target.substr(prefix.size());
        const bool unnamed = rest.ends_with(" (deleted)");
        if (rest.find('/') == std::string::npos) {
            moment.indexWrite = moment.indexWrite || unnamed || rest.rfind(indexTemporary, 0) == 0;
        } else if (rest.find("/.quillet-partial-") != std::string::npos) {
            moment.folderCopy = true;
        } else if (unnamed) {
            moment.fileWrite = true;
        }
    }
    // The number of the system call it is in (x86-64 and the generic table both), or "running".
    const std::string call = readFileText("/proc/" + std::to_string(pid) + "/syscall");
    const long number = std::strtol(call.c_str(), nullptr, 10);
#if defined(__x86_64__)
    moment.flushing = number == 306 || number == 74 || number == 75; // syncfs, fsync, fdatasync
#else
    moment.flushing = number == 267 || number == 82 || number == 83;
#endif
    return moment;
}

double secondsSince(std::chrono::steady_clock::time_point from) {
    return std::chrono::duration<double>(std::chrono::steady_clock::now() - from).count();
}

std::string seconds(double value) {
    char text[32];
    std::snprintf(text, sizeof text, "%.1f", value);
    return text;
}

bool wanted(Target target, const Moment &moment) {
    switch (target) {
    case Target::Copy: return moment.fileWrite || moment.folderCopy;
    case Target::IndexWrite: return moment.indexWrite;
    case Target::Anywhere: return true;
    }
    return false;
}

/// Stops the child and waits until it is stopped.
bool stopProcess(ChildProcess &child) {
    child.signal(SIGSTOP);
    return waitFor([&] { return processState(child.pid()) == 'T' || !child.running(); }, 5s, 0ms);
}

class KillRestartTest : public ::testing::Test {
protected:
    void SetUp() override {
        ASSERT_TRUE(isExecutable(libexecPath("quilletd"))) << "quilletd is not built at " << libexecPath("quilletd");
        const auto cycles = numberFromEnvironment("QUILLET_RELIABILITY_CYCLES", kDefaultCycles, 1, kMostCycles);
        ASSERT_TRUE(cycles.has_value());
        _cycles = static_cast<int>(*cycles);
        // Every other cycle leaves a large file in the trash and its copy in the cache, every
        // other one a folder of 2,000 files (a block each, twice): 72 MiB a cycle, and room
        // for the file system's own.
        const uint64_t needed = static_cast<uint64_t>(_cycles) * (80u << 20) + (512u << 20);
        struct statvfs figures {};
        ASSERT_EQ(::statvfs(_tmp.path().c_str(), &figures), 0);
        ASSERT_GE(static_cast<uint64_t>(figures.f_bavail) * figures.f_frsize, needed)
            << _cycles << " cycles need " << (needed >> 20) << " MiB free beside " << _tmp.path();
        // On a fresh volume where root may mount one (a run leaves a gigabyte and thirty
        // thousand files to delete); elsewhere on the test folder's own.
        _volume = std::make_unique<Ext4Volume>(_tmp / "volume.img", _tmp / "volume", std::to_string(needed >> 20) + "M", "-m 0");
        _home = ScratchHome::at(_tmp / "volume/home", _tmp.path());
        _work = _home.home + "/work";
        ASSERT_TRUE(makeFolder(_work));
    }
    void TearDown() override {
        _daemon.stop();
        _volume.reset();
    }

    /// Starts quilletd on the home, its stderr in logs/<label>.stderr.
    ::testing::AssertionResult start(const std::string &label, const std::vector<std::string> &env = {}) {
        _label = label;
        return startDaemon(_daemon, _home, "quilletd", _home.quilletdArguments(), label, env);
    }

    /// Creates an item in the work folder and trashes it under the same name.
    void trashFile(const std::string &name, uint64_t seed, size_t size) {
        const std::string path = _work + "/" + name;
        ASSERT_EQ(writePatternFile(path, seed, size), 0) << "cannot write " << path;
        ASSERT_TRUE(trashByRename(_home, path, name));
        _trashed.insert(name);
    }
    void makeFolderItem(const std::string &name, uint64_t seed, std::mt19937_64 &random) {
        const std::string root = _work + "/" + name;
        ASSERT_TRUE(makeFolder(root));
        std::uniform_int_distribution<size_t> size(512, 4096);
        for (int part = 0; part < kFolderParts; ++part) {
            const std::string folder = root + "/part-" + std::to_string(part);
            ASSERT_TRUE(makeFolder(folder));
            for (int file = 0; file < kFilesPerPart; ++file) {
                const uint64_t fileSeed = seed * 100000 + static_cast<uint64_t>(part * kFilesPerPart + file);
                ASSERT_TRUE(writeBytes(folder + "/f" + std::to_string(file) + ".txt", patternBytes(fileSeed, size(random))));
            }
        }
    }

    /// Moves two empty files into the trash, one after the other, and waits until both are
    /// archived: the scan that archived the second began after the scan that archived the
    /// first had finished, and that one had seen everything trashed before.
    void settle() {
        for (int round = 0; round < 2; ++round) {
            const std::string name = "zz-settle-" + std::to_string(++_settles);
            const std::string path = _work + "/" + name;
            ASSERT_TRUE(writeBytes(path, ""));
            ASSERT_TRUE(trashByRename(_home, path, name));
            _trashed.insert(name);
            ASSERT_TRUE(waitFor(
                [&] {
                    for (const std::string &folder : dateFoldersOf(_home.cacheFolder))
                        if (exists(_home.cacheFolder + "/" + folder + "/.x_" + name))
                            return true;
                    return false;
                },
                180s))
                << "quilletd did not archive " << name << "; running: " << _daemon.running() << "; the end of its log:\n"
                << tailOf(readFileText(_home.logs + "/" + _label + ".stderr"));
        }
    }

    TestDir _tmp;
    int _cycles = kDefaultCycles;
    std::unique_ptr<Ext4Volume> _volume;
    ScratchHome _home;
    std::string _work;
    ChildProcess _daemon;
    std::set<std::string> _trashed;
    int _settles = 0;
    std::string _label; ///< of the daemon's last start, naming its log
};

TEST_F(KillRestartTest, KilledDuringCopiesAndIndexWritesThenRestartedLosesNothingAndArchivesEachEntryOnce) {
    const auto seed = numberFromEnvironment(
        "QUILLET_RELIABILITY_SEED", static_cast<uint64_t>(std::chrono::system_clock::now().time_since_epoch().count()),
        0, UINT64_MAX);
    ASSERT_TRUE(seed.has_value());
    report("kill and restart: " + std::to_string(_cycles) + " cycles, seed " + std::to_string(*seed) +
           " (QUILLET_RELIABILITY_SEED replays the choices), on " + _volume->described());
    std::mt19937_64 random(*seed);
    // The pauses of the hunts draw from a stream of their own: their number depends on timing,
    // and the choices above must replay from the seed whatever it was.
    std::minstd_rand jitter(static_cast<std::minstd_rand::result_type>(*seed));
    const auto testStart = std::chrono::steady_clock::now();

    std::map<std::string, int> interrupted; // what the kills interrupted, by kind
    int hits = 0;
    size_t partialAtKills = 0;
    for (int cycle = 0; cycle < _cycles; ++cycle) {
        char prefix[16];
        std::snprintf(prefix, sizeof prefix, "c%03d-", cycle);
        const Target target = std::array{Target::Copy, Target::IndexWrite, Target::Anywhere}[random() % 3];
        const bool largeFile = cycle % 2 == 0;
        const std::string large = std::string(prefix) + (largeFile ? "large.bin" : "folder");
        if (!largeFile) {
            ASSERT_NO_FATAL_FAILURE(makeFolderItem(large, *seed + static_cast<uint64_t>(cycle), random));
        }

        ASSERT_TRUE(start("quilletd-" + std::to_string(cycle)));
        const auto started = std::chrono::steady_clock::now();
        for (int i = 0; i < kSmallFilesPerCycle; ++i)
            ASSERT_NO_FATAL_FAILURE(trashFile(std::string(prefix) + "note-" + std::to_string(i) + ".txt",
                                              *seed + static_cast<uint64_t>(cycle * 10 + i), 1 + random() % (64 << 10)));
        if (largeFile) {
            ASSERT_NO_FATAL_FAILURE(trashFile(large, *seed + static_cast<uint64_t>(cycle), kLargeFileBytes));
        } else {
            ASSERT_TRUE(trashByRename(_home, _work + "/" + large, large));
            _trashed.insert(large);
        }

        // Hunt for the wanted moment within a budget, then kill wherever the daemon is.
        const auto budget = target == Target::Anywhere ? std::chrono::milliseconds(random() % 2500)
                            : target == Target::Copy   ? std::chrono::milliseconds(3000)
                                                       : std::chrono::milliseconds(4000);
        if (target == Target::Anywhere)
            std::this_thread::sleep_for(budget);
        Moment moment;
        bool hit = false;
        for (;;) {
            ASSERT_TRUE(_daemon.running()) << "quilletd ended by itself in cycle " << cycle << ", "
                                           << describeStatus(_daemon.waitForExit(0ms).value_or(-1)) << ": "
                                           << tailOf(readFileText(_home.logs + "/" + _label + ".stderr"));
            ASSERT_TRUE(stopProcess(_daemon)) << "quilletd could not be stopped";
            moment = momentOf(_daemon.pid(), _home.cacheFolder);
            hit = wanted(target, moment);
            if (hit || std::chrono::steady_clock::now() - started >= budget)
                break;
            _daemon.signal(SIGCONT);
            std::this_thread::sleep_for(std::chrono::microseconds(200 + jitter() % 1800));
        }
        partialAtKills += partialWorkOf(_home.cacheFolder).size();
        _daemon.signal(SIGKILL);
        ASSERT_TRUE(_daemon.waitForExit(10s).has_value()) << "quilletd survived SIGKILL";
        const auto at = std::chrono::duration_cast<std::chrono::milliseconds>(std::chrono::steady_clock::now() - started);
        hits += hit ? 1 : 0;
        ++interrupted[moment.describe()];
        std::cout << "  cycle " << cycle << ": aimed at " << targetName(target) << ", killed after " << at.count()
                  << " ms in: " << moment.describe() << (hit || target == Target::Anywhere ? "" : " (missed)") << std::endl;
    }

    // A last start finds what the kills left; once it has archived everything, it is stopped as
    // its launchers stop it.
    const double cyclesSeconds = secondsSince(testStart);
    const auto finalStart = std::chrono::steady_clock::now();
    ASSERT_TRUE(start("quilletd-final"));
    ASSERT_NO_FATAL_FAILURE(settle());
    const double finalSeconds = secondsSince(finalStart);
    const std::vector<std::string> partialLeft = partialWorkOf(_home.cacheFolder);
    ASSERT_TRUE(interruptDaemon(_daemon, "quilletd")) << readFileText(_home.logs + "/quilletd-final.stderr");

    // The index: whole, and no temporary file beside it.
    const std::optional<quillet::ArchiveStruct> index = readIndexOf(_home.cacheFolder);
    ASSERT_TRUE(index.has_value()) << "the index file is missing or torn";
    EXPECT_TRUE(indexTemporariesOf(_home.cacheFolder).empty())
        << "temporary index files left: " << printable(indexTemporariesOf(_home.cacheFolder).front());
    EXPECT_TRUE(partialLeft.empty()) << partialLeft.size() << " folders being assembled were left after the last start, "
                                     << "the first " << printable(partialLeft.front());

    // Every trashed entry archived exactly once, every copy whole.
    std::map<std::string, std::vector<ArchivedEntry>> copies;
    std::vector<std::string> strays;
    for (ArchivedEntry &entry : archivedEntriesOf(_home.cacheFolder)) {
        if (auto origin = originOf(entry.storedName, _trashed))
            copies[origin->name].push_back(std::move(entry));
        else
            strays.push_back(entry.dateFolder + "/" + entry.storedName);
    }
    size_t lost = 0, duplicates = 0, partial = 0;
    std::string lostNames, duplicateNames, partialNames;
    TreeComparison all;
    for (const std::string &name : _trashed) {
        const std::vector<ArchivedEntry> &found = copies[name];
        if (found.empty()) {
            ++lost;
            lostNames += " " + name;
        } else if (found.size() > 1) {
            duplicates += found.size() - 1;
            duplicateNames += " " + name + " (" + std::to_string(found.size()) + " copies)";
        }
        for (const ArchivedEntry &entry : found) {
            TreeComparison one;
            compareTrees(_home.trash + "/" + name, entry.path, CopyNames::Hidden, one);
            const std::string differences =
                one.describe({Aspect::Presence, Aspect::Type, Aspect::Content, Aspect::LinkTarget});
            if (!differences.empty()) {
                ++partial;
                partialNames += entry.dateFolder + "/" + entry.storedName + ":\n" + differences;
            }
            all.files += one.files;
            all.bytes += one.bytes;
        }
    }

    // The index records each entry once (copy mode: every entry is still in the trash).
    std::map<std::string, int> records;
    for (const quillet::ArchivedItem &item : index->items)
        ++records[item.name];
    std::string recordProblems;
    for (const std::string &name : _trashed)
        if (records[".x_" + name] != 1)
            recordProblems += " " + name + " (" + std::to_string(records[".x_" + name]) + " records)";

    // The trash information of each copy, kept beside it.
    size_t withoutInformation = 0;
    for (const auto &[name, found] : copies)
        for (const ArchivedEntry &entry : found) {
            const auto store = quillet::parseTrashInfoStore(
                readFileText(_home.cacheFolder + "/" + entry.dateFolder + "/" + std::string(quillet::kTrashInfoStoreName)));
            withoutInformation += store.contains(entry.storedName) ? 0 : 1;
        }
    const std::vector<std::string> emptyFolders = emptyDateFoldersOf(_home.cacheFolder);

    std::string kinds;
    for (const auto &[kind, count] : interrupted)
        kinds += (kinds.empty() ? "" : ", ") + kind + " " + std::to_string(count);
    report("cycles took " + seconds(cyclesSeconds) + " s; the last start archived what was left in " +
           seconds(finalSeconds) + " s");
    report("kills: " + kinds + "; aimed kills that found their moment: " + std::to_string(hits) +
           "; folders being assembled at the kills: " + std::to_string(partialAtKills));
    report("items trashed " + std::to_string(_trashed.size()) + " (" + std::to_string(all.files) + " files, " +
           std::to_string(all.bytes >> 20) + " MiB compared), lost " + std::to_string(lost) + ", duplicates " +
           std::to_string(duplicates) + ", partial items " + std::to_string(partial) + ", partial folders left " +
           std::to_string(partialLeft.size()) + ", index torn 0, index temporaries " +
           std::to_string(indexTemporariesOf(_home.cacheFolder).size()) + ", empty date folders " +
           std::to_string(emptyFolders.size()) + ", copies without trash information " +
           std::to_string(withoutInformation));

    EXPECT_EQ(lost, 0u) << "never archived:" << lostNames;
    EXPECT_EQ(duplicates, 0u) << "archived more than once:" << duplicateNames;
    EXPECT_EQ(partial, 0u) << "copies that differ from their trash originals:\n" << partialNames;
    EXPECT_TRUE(strays.empty()) << strays.size() << " entries of the cache stand for nothing trashed, the first "
                                << printable(strays.front());
    EXPECT_TRUE(recordProblems.empty()) << "entries not recorded exactly once in the index:" << recordProblems;
    EXPECT_EQ(withoutInformation, 0u) << "copies whose trash information the cache does not keep";
    EXPECT_TRUE(emptyFolders.empty()) << emptyFolders.size() << " empty date folders, the first " << emptyFolders.front();
}

// A scan keeps the trash information of what it archived when it ends: the copies a killed scan
// had already made are taken at the restart, and must get their trash information then.
TEST_F(KillRestartTest, TrashInformationOfCopiesMadeBeforeAKillIsKept) {
    constexpr int kFiles = 300;
    for (int i = 0; i < kFiles; ++i) {
        char name[32];
        std::snprintf(name, sizeof name, "note-%03d.txt", i);
        ASSERT_NO_FATAL_FAILURE(trashFile(name, static_cast<uint64_t>(i), 20000));
    }
    // Killed once it has made copies and before its scan kept their information.
    ASSERT_TRUE(start("quilletd-killed"));
    bool caught = false, tooLate = false;
    const auto deadline = std::chrono::steady_clock::now() + 60s;
    while (!caught && !tooLate && std::chrono::steady_clock::now() < deadline) {
        ASSERT_TRUE(stopProcess(_daemon));
        for (const std::string &folder : dateFoldersOf(_home.cacheFolder))
            tooLate = tooLate || exists(_home.cacheFolder + "/" + folder + "/" + std::string(quillet::kTrashInfoStoreName));
        caught = !tooLate && !archivedEntriesOf(_home.cacheFolder).empty();
        if (!caught) {
            _daemon.signal(SIGCONT);
            std::this_thread::sleep_for(300us);
        }
    }
    _daemon.signal(SIGKILL);
    ASSERT_TRUE(_daemon.waitForExit(10s).has_value());
    ASSERT_TRUE(caught) << (tooLate ? "the scan had kept the trash information before the kill"
                                    : "quilletd archived nothing");
    const size_t beforeKill = archivedEntriesOf(_home.cacheFolder).size();

    ASSERT_TRUE(start("quilletd-restarted"));
    ASSERT_NO_FATAL_FAILURE(settle());
    ASSERT_TRUE(interruptDaemon(_daemon, "quilletd"));

    std::string missing;
    size_t without = 0;
    for (const ArchivedEntry &entry : archivedEntriesOf(_home.cacheFolder)) {
        if (entry.storedName.rfind(".x_zz-settle-", 0) == 0)
            continue;
        const auto store = quillet::parseTrashInfoStore(
            readFileText(_home.cacheFolder + "/" + entry.dateFolder + "/" + std::string(quillet::kTrashInfoStoreName)));
        auto it = store.find(entry.storedName);
        const std::string expected = quillet::percentEncode(_work + "/" + entry.storedName.substr(3), "%");
        if (it == store.end() || it->second.path != expected) {
            ++without;
            if (without <= 10)
                missing += " " + entry.storedName;
        }
    }
    EXPECT_EQ(without, 0u) << beforeKill << " copies were made before the kill; archived items without their trash "
                           << "information:" << missing;
    report("trash information: " + std::to_string(beforeKill) + " copies made before the kill, " +
           std::to_string(without) + " of all copies without their information");
}

// The date folder of a minute is made for the first copy of that minute. A daemon killed during
// that copy leaves the folder empty; started again in a later minute, it must not leave it so
// (housekeeping would count it as a day of activity). The later minute is made here by starting
// the daemon again an hour east of UTC, which names this minute's folder differently.
TEST_F(KillRestartTest, AKillDuringTheFirstCopyOfAMinuteLeavesNoEmptyDateFolder) {
    ASSERT_TRUE(start("quilletd-killed"));
    ASSERT_NO_FATAL_FAILURE(trashFile("large.bin", 1, kLargeFileBytes));
    bool caught = false;
    const auto deadline = std::chrono::steady_clock::now() + 20s;
    while (!caught && std::chrono::steady_clock::now() < deadline) {
        ASSERT_TRUE(stopProcess(_daemon));
        caught = momentOf(_daemon.pid(), _home.cacheFolder).fileWrite && archivedEntriesOf(_home.cacheFolder).empty();
        if (!caught) {
            _daemon.signal(SIGCONT);
            std::this_thread::sleep_for(500us);
        }
    }
    _daemon.signal(SIGKILL);
    ASSERT_TRUE(_daemon.waitForExit(10s).has_value());
    ASSERT_TRUE(caught) << "quilletd was never caught in the copy of large.bin";
    ASSERT_EQ(dateFoldersOf(_home.cacheFolder).size(), 1u);

    std::vector<std::string> env = _home.environment();
    std::replace(env.begin(), env.end(), std::string("TZ=UTC"), std::string("TZ=UTC-1"));
    ASSERT_TRUE(start("quilletd-later", env));
    ASSERT_NO_FATAL_FAILURE(settle());
    ASSERT_TRUE(interruptDaemon(_daemon, "quilletd"));
    const std::vector<std::string> empty = emptyDateFoldersOf(_home.cacheFolder);
    EXPECT_TRUE(empty.empty()) << "the date folder " << empty.front() << " was left empty";
}

} // namespace
