// A volume that fills while quilletd archives: the trash and the cache share a small tmpfs, and
// more is trashed than the cache can take. What does not fit must leave nothing behind (no
// partial file or folder, no record, no empty date folder), what fits must be archived whole,
// and the daemon must carry on and say what failed.
//
// Mounting needs root: elsewhere the test skips with a message.

#include "ReliabilityHarness.h"

#include <memory>

namespace {

using namespace quillet::test;
using namespace quillet::test::reliability;

constexpr const char *kVolumeSize = "64m";
constexpr size_t kMovieBytes = 30u << 20; // cannot fit beside its own original
constexpr int kAlbumFiles = 24;           // 1 MiB each: cannot fit either
constexpr int kSmallFiles = 100;          // 16 KiB each: they fit
constexpr size_t kSmallBytes = 16u << 10;
constexpr size_t kFillerBytes = 64u << 10;
constexpr int kMostFillers = 2000;
constexpr size_t kBallastBytes = 4u << 20; // more than the files that cannot be copied once the volume is full

class VolumeFullTest : public ::testing::Test {
protected:
    void SetUp() override {
        ASSERT_TRUE(isExecutable(libexecPath("quilletd"))) << "quilletd is not built at " << libexecPath("quilletd");
        _volume = std::make_unique<TmpfsMount>(_tmp / "volume", kVolumeSize);
        if (!_volume->mounted())
            GTEST_SKIP() << "cannot mount a tmpfs here (mounting needs root): " << std::strerror(errno);
        // The logs stay off the volume, or the failures could not be written down.
        _home = ScratchHome::at(_volume->path() + "/home", _tmp.path());
        _work = _home.home + "/work";
        ASSERT_TRUE(makeFolder(_work));
    }
    void TearDown() override {
        _daemon.stop();
        _volume.reset();
    }

    /// Writes a file of the pattern seed into the work folder; errno on failure.
    int create(const std::string &name, uint64_t seed, size_t size) {
        return writePatternFile(_work + "/" + name, seed, size);
    }
    void trash(const std::string &name) {
        ASSERT_TRUE(trashByRename(_home, _work + "/" + name, name));
        _trashed.insert(name);
    }
    /// Trashes a file as a client does on a volume that may be full: false, with the file
    /// removed, when there is no room for its trash information.
    bool trashUnlessFull(const std::string &name) {
        const std::string text = "[Trash Info]\nPath=" + _work + "/" + name + "\nDeletionDate=2026-12-08T10:00:00\n";
        if (!writeBytes(_home.info + "/" + name + ".trashinfo", text)) {
            (void)::unlink((_home.info + "/" + name + ".trashinfo").c_str());
            (void)::unlink((_work + "/" + name).c_str());
            return false;
        }
        EXPECT_EQ(::rename((_work + "/" + name).c_str(), (_home.trash + "/" + name).c_str()), 0) << std::strerror(errno);
        _trashed.insert(name);
        return true;
    }
    /// The probes go in without trash information: on a full volume there may be no room for it.
    void settle() {
        for (int round = 0; round < 2; ++round) {
            const std::string name = "zz-settle-" + std::to_string(++_settles);
            ASSERT_TRUE(writeBytes(_work + "/" + name, "")) << "the volume has no room even for an empty file";
            ASSERT_EQ(::rename((_work + "/" + name).c_str(), (_home.trash + "/" + name).c_str()), 0) << std::strerror(errno);
            _trashed.insert(name);
            ASSERT_TRUE(waitFor(
                [&] {
                    for (const std::string &folder : dateFoldersOf(_home.cacheFolder))
                        if (exists(_home.cacheFolder + "/" + folder + "/.x_" + name))
                            return true;
                    return false;
                },
                60s))
                << "quilletd did not archive " << name << "; running: " << _daemon.running() << "; its log:\n"
                << daemonLog();
        }
    }
    std::string daemonLog() const { return readFileText(_home.logs + "/quilletd.stderr"); }

    TestDir _tmp;
    std::unique_ptr<TmpfsMount> _volume;
    ScratchHome _home;
    std::string _work;
    ChildProcess _daemon;
    std::set<std::string> _trashed;
    int _settles = 0;
};

TEST_F(VolumeFullTest, WhatDoesNotFitLeavesNothingBehindAndWhatFitsIsArchivedWhole) {
    // A file and a folder each too large to be copied beside their originals, small files, and
    // room held outside the trash to be given back later.
    ASSERT_EQ(create("ballast", 0, kBallastBytes), 0);
    ASSERT_EQ(create("movie.bin", 1, kMovieBytes), 0);
    ASSERT_TRUE(makeFolder(_work + "/album/side-a") && makeFolder(_work + "/album/side-b"));
    for (int i = 0; i < kAlbumFiles; ++i)
        ASSERT_EQ(create(std::string("album/side-") + (i % 2 ? "b" : "a") + "/track-" + std::to_string(i) + ".flac",
                         100 + static_cast<uint64_t>(i), 1u << 20),
                  0);
    std::vector<std::string> small;
    for (int i = 0; i < kSmallFiles; ++i) {
        small.push_back("small-" + std::to_string(i) + ".txt");
        ASSERT_EQ(create(small.back(), 1000 + static_cast<uint64_t>(i), kSmallBytes), 0);
    }

    ASSERT_TRUE(startDaemon(_daemon, _home, "quilletd", _home.quilletdArguments(), "quilletd"));
    ASSERT_NO_FATAL_FAILURE(trash("movie.bin"));
    ASSERT_NO_FATAL_FAILURE(trash("album"));
    for (const std::string &name : small)
        ASSERT_NO_FATAL_FAILURE(trash(name));
    ASSERT_NO_FATAL_FAILURE(settle());

    // Then files trashed one after the other until the volume has no room left for another,
    // while the daemon copies them.
    int fillers = 0;
    for (; fillers < kMostFillers; ++fillers) {
        const std::string name = "filler-" + std::to_string(fillers) + ".bin";
        const int error = create(name, 5000 + static_cast<uint64_t>(fillers), kFillerBytes);
        if (error == ENOSPC || (error == 0 && !trashUnlessFull(name)))
            break;
        ASSERT_EQ(error, 0) << "cannot write " << name << ": " << std::strerror(error);
    }
    ASSERT_LT(fillers, kMostFillers) << "the volume never filled";
    const bool stillRunning = _daemon.running();
    const size_t archivedWhenFull = archivedEntriesOf(_home.cacheFolder).size();

    // Room made again (outside the trash): what failed is tried again at the next scans, and
    // now fits, except the file and the folder that never can.
    ASSERT_EQ(::unlink((_work + "/ballast").c_str()), 0) << std::strerror(errno);
    ASSERT_NO_FATAL_FAILURE(settle());
    ASSERT_TRUE(interruptDaemon(_daemon, "quilletd")) << daemonLog();
    const std::string log = daemonLog();

    // What is in the cache is whole; nothing is being assembled.
    std::map<std::string, std::vector<ArchivedEntry>> copies;
    std::vector<std::string> strays;
    for (ArchivedEntry &entry : archivedEntriesOf(_home.cacheFolder)) {
        if (auto origin = originOf(entry.storedName, _trashed))
            copies[origin->name].push_back(std::move(entry));
        else
            strays.push_back(entry.storedName);
    }
    std::set<std::string> whole;
    size_t partial = 0, duplicates = 0;
    std::string partialNames;
    for (const auto &[name, found] : copies) {
        duplicates += found.size() - 1;
        for (const ArchivedEntry &entry : found) {
            TreeComparison one;
            compareTrees(_home.trash + "/" + name, entry.path, CopyNames::Hidden, one);
            const std::string differences = one.describe({Aspect::Presence, Aspect::Type, Aspect::Content});
            if (differences.empty()) {
                whole.insert(name);
            } else {
                ++partial;
                partialNames += entry.dateFolder + "/" + entry.storedName + ":\n" + differences;
            }
        }
    }
    const std::vector<std::string> partialWork = partialWorkOf(_home.cacheFolder);
    const std::vector<std::string> emptyFolders = emptyDateFoldersOf(_home.cacheFolder);

    // The index records nothing that is not wholly in the cache.
    const std::optional<quillet::ArchiveStruct> index = readIndexOf(_home.cacheFolder);
    ASSERT_TRUE(index.has_value()) << "the index file is missing or torn";
    std::string recordedNotWhole;
    size_t recordsNotWhole = 0;
    for (const quillet::ArchivedItem &item : index->items) {
        const std::string name = item.name.rfind(".x_", 0) == 0 ? item.name.substr(3) : item.name;
        if (!whole.contains(name)) {
            ++recordsNotWhole;
            recordedNotWhole += " " + printable(name);
        }
    }

    size_t fillersArchived = 0;
    std::string fillersMissing;
    for (int i = 0; i < fillers; ++i) {
        const std::string name = "filler-" + std::to_string(i) + ".bin";
        if (whole.contains(name))
            ++fillersArchived;
        else if (_trashed.contains(name))
            fillersMissing += " " + name;
    }
    size_t failureLines = 0;
    for (size_t at = log.find("No space left on device"); at != std::string::npos;
         at = log.find("No space left on device", at + 1))
        ++failureLines;
    report(std::string("volume ") + kVolumeSize + ": items trashed " + std::to_string(_trashed.size()) +
           ", archived whole " + std::to_string(whole.size()) + " (small files " +
           std::to_string(std::count_if(small.begin(), small.end(), [&](const std::string &n) { return whole.contains(n); })) +
           " of " + std::to_string(small.size()) + ", files trashed until the volume was full " +
           std::to_string(fillersArchived) + " of " + std::to_string(fillers) + "); archived when the volume was full " +
           std::to_string(archivedWhenFull) + ", partial files " +
           std::to_string(partial) + ", folders being assembled left " + std::to_string(partialWork.size()) +
           ", records of items not whole " + std::to_string(recordsNotWhole) +
           ", empty date folders " + std::to_string(emptyFolders.size()) + ", lines saying the volume is full " +
           std::to_string(failureLines));

    EXPECT_EQ(partial, 0u) << "copies that differ from their trash originals:\n" << partialNames;
    EXPECT_EQ(duplicates, 0u);
    EXPECT_TRUE(strays.empty()) << "entries of the cache that stand for nothing trashed, the first " << printable(strays.front());
    EXPECT_TRUE(partialWork.empty()) << "left being assembled: " << printable(partialWork.front());
    EXPECT_TRUE(emptyFolders.empty()) << emptyFolders.size() << " empty date folders, the first " << emptyFolders.front();
    EXPECT_TRUE(recordedNotWhole.empty()) << "the index records items that are not wholly in the cache:" << recordedNotWhole;
    EXPECT_FALSE(copies.contains("movie.bin")) << "the file that cannot fit has a copy";
    EXPECT_FALSE(copies.contains("album")) << "the folder that cannot fit has a copy";
    for (const std::string &name : small)
        EXPECT_TRUE(whole.contains(name)) << name << " fits but was not archived";
    EXPECT_TRUE(fillersMissing.empty()) << "not archived once there was room again:" << fillersMissing;
    EXPECT_TRUE(stillRunning) << "quilletd ended on a full volume: " << log;
    EXPECT_NE(log.find("movie.bin"), std::string::npos) << "the failure of movie.bin is not in the log: " << log;
    EXPECT_NE(log.find("album"), std::string::npos) << "the failure of the album is not in the log: " << log;
    EXPECT_GT(failureLines, 0u) << "the log never says the volume is full: " << log;
}

} // namespace
