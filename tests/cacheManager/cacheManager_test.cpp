// Unit tests of the housekeeping library against temporary folders. HOME, XDG_DATA_HOME and
// QUILLET_VOLUME_ROOTS point into the test's folder, so the home volume stands for the test
// home and only tmpfs volumes mounted under the test's volume root count as other volumes.
// The waiting turns run on a fake clock: nothing here sleeps.

#include "CacheManager.h"
#include "TestDir.h"

#include <gtest/gtest.h>

#include <dirent.h>
#include <fcntl.h>
#include <grp.h>
#include <linux/fs.h>
#include <sys/ioctl.h>
#include <sys/stat.h>
#include <sys/statvfs.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <climits>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <utility>
#include <vector>

namespace {

namespace fs = std::filesystem;
using quillet::cacheManager::CacheManager;
using quillet::CacheManagerArguments;
using quillet::cacheManager::Clock;
using quillet::test::dateName;
using quillet::test::exists;
using quillet::test::isFolder;
using quillet::test::listNames;
using quillet::test::makeFolder;
using quillet::test::ScopedEnv;
using quillet::test::TestDir;
using quillet::test::TmpfsMounts;
using quillet::test::touch;
using quillet::test::setInodeAttributes;
using quillet::test::writeData;

constexpr uid_t kNobody = 65534;
constexpr gid_t kNogroup = 65534;

// ---------------------------------------------------------------------------------------------
// Helpers

/// A clock whose sleeps only move its time on.
struct FakeTime {
    time_t now = 1'700'000'000;
    int sleeps = 0;
    Clock clock() {
        return Clock{[this] { return now; }, [this](int seconds) {
                         now += seconds;
                         ++sleeps;
                     }};
    }
};

/// Captures what the code under test writes to stderr.
class StderrCapture {
public:
    StderrCapture() { ::testing::internal::CaptureStderr(); }
    std::string text() { return ::testing::internal::GetCapturedStderr(); }
};

// ---------------------------------------------------------------------------------------------
// The fixture: a test home with its trash and an empty volume root

class CacheManagerTest : public ::testing::Test {
protected:
    void SetUp() override {
        _home = _tmp / "home";
        _volumes = _tmp / "volumes";
        ASSERT_TRUE(makeFolder(_home));
        ASSERT_TRUE(makeFolder(_volumes));
        _envHome = std::make_unique<ScopedEnv>("HOME", _home);
        _envData = std::make_unique<ScopedEnv>("XDG_DATA_HOME", _home + "/.local/share");
        _envRoots = std::make_unique<ScopedEnv>("QUILLET_VOLUME_ROOTS", _volumes);
        _cache = _home + "/.TrashCacheFolder/";
        _trash = _home + "/.local/share/Trash/files/";
        ASSERT_TRUE(makeFolder(_cache, 0700));
        ASSERT_TRUE(makeFolder(_trash, 0700));
    }

    void TearDown() override {
        _mounts.clear();
        _envRoots.reset();
        _envData.reset();
        _envHome.reset();
    }

    /// Mounts a tmpfs volume under the volume root; nothing when this machine cannot mount.
    std::optional<std::string> mountVolume(const std::string &name, const std::string &size) {
        return _mounts.mount(_volumes + "/" + name, size);
    }

    CacheManager manager(int32_t days, int32_t percentage = 0) {
        return CacheManager(CacheManagerArguments{days, percentage}, _time.clock());
    }

    std::string cached(const std::string &relative) const { return _cache + relative; }

    void makeDateFolders(const std::string &cache, const std::vector<std::string> &names) {
        for (const std::string &name : names) {
            ASSERT_TRUE(makeFolder(cache + name, 0700));
            touch(cache + name + "/.x_item");
        }
    }

    /// The date folders left in a cache folder, in name order.
    std::vector<std::string> dateFoldersIn(const std::string &cache) const {
        std::vector<std::string> names;
        for (const std::string &name : listNames(cache))
            if (isFolder(cache + name) && name.size() == 22)
                names.push_back(name);
        return names;
    }

    /// Runs body in a child process that has dropped root for nobody (the whole test folder is
    /// given to nobody first), so that missing write bits hold as they do for a user. Runs it
    /// in this process when the tests do not run as root. Returns the child's exit status.
    int runAsUser(const std::function<int()> &body) {
        if (::geteuid() != 0)
            return body();
        for (auto it = fs::recursive_directory_iterator(_tmp.path()); it != fs::recursive_directory_iterator(); ++it)
            if (::lchown(it->path().c_str(), kNobody, kNogroup) != 0)
                return 100;
        if (::lchown(_tmp.path().c_str(), kNobody, kNogroup) != 0)
            return 100;
        std::fflush(nullptr);
        pid_t child = ::fork();
        if (child == 0) {
            if (::setgroups(0, nullptr) != 0 || ::setresgid(kNogroup, kNogroup, kNogroup) != 0 ||
                ::setresuid(kNobody, kNobody, kNobody) != 0)
                ::_exit(101);
            int code = body();
            std::fflush(nullptr);
            ::_exit(code);
        }
        int status = 0;
        while (::waitpid(child, &status, 0) < 0 && errno == EINTR) {
        }
        return WIFEXITED(status) ? WEXITSTATUS(status) : 200;
    }

    TestDir _tmp;
    std::string _home;
    std::string _volumes;
    std::string _cache;
    std::string _trash;
    FakeTime _time;
    std::unique_ptr<ScopedEnv> _envHome, _envData, _envRoots;
    TmpfsMounts _mounts;
};

// ---------------------------------------------------------------------------------------------
// Cache and trash folders of the mounted volumes

TEST_F(CacheManagerTest, homeVolumeAloneGivesTheHomeCacheAndTrash) {
    CacheManager cacheManager = manager(7);
    std::vector<std::string> caches = {"stale"};
    cacheManager.getCachesPaths(caches);
    EXPECT_EQ(caches, std::vector<std::string>{_cache});
    std::vector<std::string> trashes;
    cacheManager.getTrashedPaths(trashes);
    EXPECT_EQ(trashes, std::vector<std::string>{_trash});
}

TEST_F(CacheManagerTest, homeCacheIsListedEvenWhenMissing) {
    fs::remove_all(_cache);
    CacheManager cacheManager = manager(7);
    std::vector<std::string> caches;
    cacheManager.getCachesPaths(caches);
    EXPECT_EQ(caches, std::vector<std::string>{_cache});
    EXPECT_EQ(cacheManager.getNumberOfActivityDays(), 0);
}

TEST_F(CacheManagerTest, otherVolumesAreListedWhenTheirCacheOrTrashExists) {
    auto withCache = mountVolume("withCache", "1m");
    auto bare = mountVolume("bare", "1m");
    if (!withCache || !bare)
        GTEST_SKIP() << "cannot mount a tmpfs here (needs root)";
    std::string uid = std::to_string(::getuid());
    ASSERT_TRUE(makeFolder(*withCache + "/.TrashCacheFolder", 0700));
    ASSERT_TRUE(makeFolder(*withCache + "/.Trash-" + uid + "/files", 0700));

    CacheManager cacheManager = manager(7);
    std::vector<std::string> caches;
    cacheManager.getCachesPaths(caches);
    EXPECT_EQ(caches, (std::vector<std::string>{_cache, *withCache + "/.TrashCacheFolder/"}));
    std::vector<std::string> trashes;
    cacheManager.getTrashedPaths(trashes);
    EXPECT_EQ(trashes, (std::vector<std::string>{_trash, *withCache + "/.Trash-" + uid + "/files/"}));
}

TEST_F(CacheManagerTest, diskSizeStatsGivesTheVolumeFiguresAndIgnoresMissingArguments) {
    auto volume = mountVolume("small", "2m");
    if (!volume)
        GTEST_SKIP() << "cannot mount a tmpfs here (needs root)";
    uint64_t freeBytes = 0;
    uint64_t totalBytes = 0;
    CacheManager::diskSizeStats(*volume, &freeBytes, &totalBytes);
    EXPECT_EQ(totalBytes, 2u << 20);
    EXPECT_EQ(freeBytes, 2u << 20);
    freeBytes = totalBytes = 7;
    CacheManager::diskSizeStats("", &freeBytes, &totalBytes);
    CacheManager::diskSizeStats(*volume, nullptr, &totalBytes);
    EXPECT_EQ(freeBytes, 7u);
    EXPECT_EQ(totalBytes, 7u);
}

// ---------------------------------------------------------------------------------------------
// Counting activity days

TEST_F(CacheManagerTest, activityDaysCountChangesOfDayAndSkipEverythingElse) {
    makeDateFolders(_cache, {dateName(2009, 3, 14, 9, 0), dateName(2009, 3, 14, 17, 30), dateName(2009, 3, 15),
                             dateName(2009, 4, 1)});
    touch(cached("ArchivedFileData"));
    touch(cached("UPD_FLAG"));
    touch(cached("UPD_FLAG_CACHE_MANAGER"));
    ASSERT_TRUE(makeFolder(cached("Photos")));
    ASSERT_TRUE(makeFolder(cached("2009-04-02 12_00")));           // no zone: not a date-folder name
    ASSERT_TRUE(makeFolder(cached("2009-04-03 12_00 +0000 copy"))); // too long
    EXPECT_EQ(manager(7).getNumberOfActivityDays(), 3);
}

TEST_F(CacheManagerTest, sameDayOfTwoYearsFollowingEachOtherCountsOnce) {
    makeDateFolders(_cache, {dateName(2009, 3, 14), dateName(2010, 3, 14)});
    EXPECT_EQ(manager(7).getNumberOfActivityDays(), 1);
}

TEST_F(CacheManagerTest, dayOfTheYearIsTakenInTheZoneTheNameStates) {
    // Both are 2009-03-15 04:30 UTC, but the first name says the 14th in its own zone.
    makeDateFolders(_cache, {"2009-03-14 23_30 -0500", "2009-03-15 04_30 +0000"});
    EXPECT_EQ(manager(7).getNumberOfActivityDays(), 2);
}

TEST_F(CacheManagerTest, activityDaysCarryOverFromOneCacheFolderToTheNext) {
    auto volume = mountVolume("second", "1m");
    if (!volume)
        GTEST_SKIP() << "cannot mount a tmpfs here (needs root)";
    std::string other = *volume + "/.TrashCacheFolder/";
    ASSERT_TRUE(makeFolder(other, 0700));
    makeDateFolders(_cache, {dateName(2009, 3, 14), dateName(2009, 3, 15)});
    makeDateFolders(other, {dateName(2009, 3, 15, 18, 0), dateName(2009, 3, 16)});
    EXPECT_EQ(manager(7).getNumberOfActivityDays(), 3);
}

// ---------------------------------------------------------------------------------------------
// The day limit

TEST_F(CacheManagerTest, nineDaysWithALimitOfSevenShrinkOverThreePasses) {
    const std::vector<std::string> oldestDay = {dateName(2009, 3, 1, 8, 0), dateName(2009, 3, 1, 9, 15),
                                                dateName(2009, 3, 1, 22, 59)};
    std::vector<std::string> otherDays;
    for (int day = 2; day <= 9; ++day)
        otherDays.push_back(dateName(2009, 3, day));
    makeDateFolders(_cache, oldestDay);
    makeDateFolders(_cache, otherDays);
    touch(cached("ArchivedFileData"));
    touch(cached("UPD_FLAG"));
    CacheManager cacheManager = manager(7);
    ASSERT_EQ(cacheManager.getNumberOfActivityDays(), 9);

    // Pass 1: nine days; two folders go, both of the oldest day.
    cacheManager.checkActivityLimitation();
    std::vector<std::string> expected = {oldestDay[2]};
    expected.insert(expected.end(), otherDays.begin(), otherDays.end());
    EXPECT_EQ(dateFoldersIn(_cache), expected);

    // Pass 2: still nine days; the last folder of the oldest day and the second-oldest day go.
    EXPECT_EQ(cacheManager.getNumberOfActivityDays(), 9);
    cacheManager.checkActivityLimitation();
    expected.assign(otherDays.begin() + 1, otherDays.end());
    EXPECT_EQ(dateFoldersIn(_cache), expected);

    // Pass 3: seven days; nothing goes.
    EXPECT_EQ(cacheManager.getNumberOfActivityDays(), 7);
    cacheManager.checkActivityLimitation();
    EXPECT_EQ(dateFoldersIn(_cache), expected);

    EXPECT_TRUE(exists(cached("ArchivedFileData")));
    EXPECT_TRUE(exists(cached("UPD_FLAG")));
}

TEST_F(CacheManagerTest, dayLimitRemovesDateFoldersWithEverythingInThem) {
    makeDateFolders(_cache, {dateName(2009, 3, 1), dateName(2009, 3, 2)});
    writeData(cached(dateName(2009, 3, 1) + "/.x_Photos/.x_Trip/.x_img.jpg"), 1000);
    writeData(cached(dateName(2009, 3, 1) + "/.x_Report.pdf"), 1000);
    CacheManager cacheManager = manager(1);
    cacheManager.checkActivityLimitation();
    EXPECT_EQ(dateFoldersIn(_cache), std::vector<std::string>{dateName(2009, 3, 2)});
}

TEST_F(CacheManagerTest, dayLimitNeverTouchesEntriesThatAreNotDateFolders) {
    makeDateFolders(_cache, {dateName(2009, 3, 1), dateName(2009, 3, 2)});
    ASSERT_TRUE(makeFolder(cached("Photos")));
    touch(cached("Photos/picture"));
    touch(cached("ArchivedFileData"));
    touch(cached("UPD_FLAG"));
    touch(cached("UPD_FLAG_CACHE_MANAGER"));
    // A limit of 0 or less is no limit at all: nothing goes.
    for (int32_t noLimit : {0, -5, INT32_MIN}) {
        manager(noLimit).checkActivityLimitation();
        EXPECT_EQ(dateFoldersIn(_cache).size(), 2u) << noLimit;
    }
    CacheManager cacheManager = manager(1);
    cacheManager.checkActivityLimitation();
    EXPECT_EQ(listNames(_cache), (std::vector<std::string>{dateName(2009, 3, 2), "ArchivedFileData", "Photos",
                                                           "UPD_FLAG", "UPD_FLAG_CACHE_MANAGER"}));
    EXPECT_TRUE(exists(cached("Photos/picture")));
}

// The oldest days go, whichever cache folder holds them: with a 3-day limit, two recent home
// days once went while five older days stayed on another volume.
TEST_F(CacheManagerTest, surplusDaysAreTakenFromTheOldestDaysOfAllCacheFolders) {
    auto volume = mountVolume("second", "1m");
    if (!volume)
        GTEST_SKIP() << "cannot mount a tmpfs here (needs root)";
    std::string other = *volume + "/.TrashCacheFolder/";
    ASSERT_TRUE(makeFolder(other, 0700));
    makeDateFolders(_cache, {dateName(2009, 5, 1), dateName(2009, 5, 2)});
    makeDateFolders(other, {dateName(2009, 3, 1), dateName(2009, 3, 2), dateName(2009, 3, 3), dateName(2009, 4, 1),
                            dateName(2009, 5, 2, 18, 0)});
    CacheManager cacheManager = manager(3);
    ASSERT_EQ(cacheManager.getNumberOfActivityDays(), 6);
    cacheManager.checkActivityLimitation();
    EXPECT_EQ(dateFoldersIn(_cache), (std::vector<std::string>{dateName(2009, 5, 1), dateName(2009, 5, 2)}));
    EXPECT_EQ(dateFoldersIn(other), (std::vector<std::string>{dateName(2009, 4, 1), dateName(2009, 5, 2, 18, 0)}));
    EXPECT_EQ(cacheManager.getNumberOfActivityDays(), 3);
}

TEST_F(CacheManagerTest, dateFolderThatCannotBeRemovedIsReportedWithTheSystemError) {
    makeDateFolders(_cache, {dateName(2009, 3, 1), dateName(2009, 3, 2), dateName(2009, 3, 3)});
    writeData(cached(dateName(2009, 3, 1) + "/.x_Report.pdf"), 100);
    // An immutable cache folder keeps its entries, whatever happens inside them.
    if (::geteuid() != 0 || !setInodeAttributes(_cache, FS_IMMUTABLE_FL))
        GTEST_SKIP() << "cannot set the immutable attribute here";
    StderrCapture capture;
    manager(1).checkActivityLimitation();
    std::string errors = capture.text();
    ASSERT_TRUE(setInodeAttributes(_cache, 0, FS_IMMUTABLE_FL));

    std::string path = _cache + dateName(2009, 3, 1);
    EXPECT_NE(errors.find("quilletCacheManagerd: can't delete folder: " + path + "\n"), std::string::npos) << errors;
    EXPECT_NE(errors.find("Error is " + std::string(std::strerror(EPERM)) + "\n"), std::string::npos) << errors;
    // The content went item by item; the folder stayed, and counted as one day all the same.
    EXPECT_TRUE(isFolder(path));
    EXPECT_TRUE(listNames(path).empty());
    EXPECT_EQ(dateFoldersIn(_cache).size(), 3u);
}

// ---------------------------------------------------------------------------------------------
// The free-space minimum

/// An item of a cache on a small volume, in the order the free-space rule walks them.
struct CachedFile {
    std::string relative; ///< relative to the cache folder
    size_t size;
};

TEST_F(CacheManagerTest, freeSpaceRuleEmptiesTheOldestDateFoldersFirstUntilTheBudgetIsCounted) {
    auto volume = mountVolume("small", "4m");
    if (!volume)
        GTEST_SKIP() << "cannot mount a tmpfs here (needs root)";
    std::string cache = *volume + "/.TrashCacheFolder/";
    ASSERT_TRUE(makeFolder(cache, 0700));
    const std::string a = dateName(2009, 3, 1), b = dateName(2009, 3, 2), c = dateName(2009, 3, 3);
    // In walking order: names ascending at every depth.
    const std::vector<CachedFile> files = {
        {a + "/.x_Photos/.x_p1.jpg", 200 * 1024}, {a + "/.x_Photos/.x_p2.jpg", 100 * 1024},
        {a + "/.x_a1", 300 * 1024},               {b + "/.x_b1", 300 * 1024},
        {b + "/.x_b2", 300 * 1024},               {c + "/.x_c1", 300 * 1024},
        {c + "/.x_c2", 300 * 1024},               {c + "/.x_c3", 300 * 1024},
    };
    for (const CachedFile &file : files)
        writeData(cache + file.relative, file.size);
    writeData(cache + "ArchivedFileData", 4096);
    touch(cache + "UPD_FLAG");
    touch(cache + "UPD_FLAG_CACHE_MANAGER");
    writeData(*volume + "/filler", 1200 * 1024); // other data on the volume

    struct statvfs figures {};
    ASSERT_EQ(::statvfs(volume->c_str(), &figures), 0);
    uint64_t total = figures.f_blocks * figures.f_frsize;
    uint64_t freeBytes = figures.f_bavail * figures.f_frsize;
    uint64_t percentageFree = freeBytes * 100 / total;
    const int32_t minimum = 40;
    ASSERT_LT(percentageFree, 25u) << "the volume should be well below the minimum";
    uint64_t budget = total * (minimum - percentageFree) / 100 + 1;

    size_t expectedDeleted = 0;
    uint64_t counted = 0;
    while (expectedDeleted < files.size() && counted < budget)
        counted += files[expectedDeleted++].size;
    ASSERT_GT(expectedDeleted, 3u);
    ASSERT_LT(expectedDeleted, files.size());

    CacheManager cacheManager = manager(30, minimum);
    cacheManager.runPass();

    for (size_t i = 0; i < files.size(); ++i)
        EXPECT_EQ(exists(cache + files[i].relative), i >= expectedDeleted) << files[i].relative;
    // Date folders stay even when emptied; emptied folders inside them go.
    EXPECT_TRUE(isFolder(cache + a));
    EXPECT_TRUE(isFolder(cache + b));
    EXPECT_TRUE(isFolder(cache + c));
    EXPECT_FALSE(exists(cache + a + "/.x_Photos"));
    EXPECT_EQ(quillet::test::readFileText(cache + "ArchivedFileData").size(), 4096u);
    EXPECT_TRUE(exists(cache + "UPD_FLAG"));
    EXPECT_TRUE(exists(cache + "UPD_FLAG_CACHE_MANAGER"));
    EXPECT_TRUE(exists(*volume + "/filler"));
}

TEST_F(CacheManagerTest, freeSpaceRuleLeavesAVolumeAboveTheMinimumAlone) {
    auto volume = mountVolume("roomy", "4m");
    if (!volume)
        GTEST_SKIP() << "cannot mount a tmpfs here (needs root)";
    std::string cache = *volume + "/.TrashCacheFolder/";
    writeData(cache + dateName(2009, 3, 1) + "/.x_a", 1 << 20);
    writeData(*volume + "/filler", 2 << 20);
    // About 25% free: a minimum of 20% holds, a minimum of 0 or less means none.
    for (int32_t minimum : {20, 0, -10}) {
        manager(30, minimum).runPass();
        EXPECT_TRUE(exists(cache + dateName(2009, 3, 1) + "/.x_a")) << "minimum " << minimum;
    }
}

TEST_F(CacheManagerTest, deleteDataInFolderStopsOnceTheBudgetIsCountedAndKeepsTheFolder) {
    std::string folder = cached(dateName(2009, 3, 1));
    writeData(folder + "/.x_1", 100);
    writeData(folder + "/.x_2/.x_inner1", 100);
    writeData(folder + "/.x_2/.x_inner2", 100);
    writeData(folder + "/.x_3", 100);

    // 150 bytes: .x_1 and .x_2/.x_inner1 count 200; .x_2 keeps an entry and stays.
    EXPECT_EQ(CacheManager::deleteDataInFolder(folder, 150), 200u);
    EXPECT_EQ(listNames(folder), (std::vector<std::string>{".x_2", ".x_3"}));
    EXPECT_EQ(listNames(folder + "/.x_2"), std::vector<std::string>{".x_inner2"});

    EXPECT_EQ(CacheManager::deleteDataInFolder(folder, 1000), 200u);
    EXPECT_TRUE(isFolder(folder));
    EXPECT_TRUE(listNames(folder).empty());

    EXPECT_EQ(CacheManager::deleteDataInFolder(folder, 0), 0u);
    EXPECT_EQ(CacheManager::deleteDataInFolder(cached("missing"), 1000), 0u);
    touch(cached("ArchivedFileData"));
    EXPECT_EQ(CacheManager::deleteDataInFolder(cached("ArchivedFileData"), 1000), 0u);
    EXPECT_TRUE(exists(cached("ArchivedFileData")));
}

// ---------------------------------------------------------------------------------------------
// Symbolic links: deleted as links, never followed

class CacheManagerLinkTest : public CacheManagerTest {
protected:
    void SetUp() override {
        CacheManagerTest::SetUp();
        _outside = _tmp / "outside";
        writeData(_outside + "/precious-1", 1 << 20);
        writeData(_outside + "/sub/precious-2", 1 << 20);
    }

    void expectOutsideIntact() {
        EXPECT_TRUE(exists(_outside + "/precious-1"));
        EXPECT_TRUE(exists(_outside + "/sub/precious-2"));
        EXPECT_EQ(listNames(_outside), (std::vector<std::string>{"precious-1", "sub"}));
    }

    std::string _outside;
};

TEST_F(CacheManagerLinkTest, dayLimitRemovesLinksWithoutEnteringWhatTheyPointTo) {
    const std::string oldest = dateName(2009, 3, 1);
    makeDateFolders(_cache, {oldest, dateName(2009, 3, 3)});
    ASSERT_EQ(::symlink(_outside.c_str(), cached(oldest + "/.x_link").c_str()), 0);
    // A link named like a date folder, older than all of them.
    const std::string linkedDate = dateName(2009, 2, 1);
    ASSERT_EQ(::symlink(_outside.c_str(), cached(linkedDate).c_str()), 0);

    // The link is neither counted as a day nor entered: two days, one to go.
    manager(1).checkActivityLimitation();
    EXPECT_TRUE(quillet::test::lstatOf(cached(linkedDate)).has_value());
    EXPECT_FALSE(exists(cached(oldest)));
    EXPECT_EQ(dateFoldersIn(_cache), std::vector<std::string>{dateName(2009, 3, 3)});
    expectOutsideIntact();
}

// ---------------------------------------------------------------------------------------------
// Crafted cache folders: a link, another account's folder or date folder

TEST_F(CacheManagerLinkTest, linkedOrForeignCacheFoldersOfAVolumeAreNeverWalked) {
    auto linkedVolume = mountVolume("linked", "4m");
    auto foreignVolume = mountVolume("foreign", "4m");
    if (!linkedVolume || !foreignVolume)
        GTEST_SKIP() << "cannot mount a tmpfs here (needs root)";
    // Old date folders outside any cache, reached through the volume's cache folder link.
    const std::string old = dateName(2001, 1, 1);
    writeData(_outside + "/" + old + "/.x_looks-archived", 1 << 20);
    ASSERT_EQ(::symlink(_outside.c_str(), (*linkedVolume + "/.TrashCacheFolder").c_str()), 0);
    std::string foreign = *foreignVolume + "/.TrashCacheFolder";
    writeData(foreign + "/" + old + "/.x_theirs", 1 << 20);
    ASSERT_EQ(::chown(foreign.c_str(), 4242, 4242), 0);
    writeData(*linkedVolume + "/filler", 3800 * 1024);
    writeData(*foreignVolume + "/filler", 2800 * 1024);
    makeDateFolders(_cache, {dateName(2009, 3, 1), dateName(2009, 3, 2)});

    CacheManager cacheManager = manager(1, 99);
    std::vector<std::string> caches;
    cacheManager.getCachesPaths(caches);
    EXPECT_EQ(caches, std::vector<std::string>{_cache});
    EXPECT_EQ(cacheManager.getNumberOfActivityDays(), 2);
    cacheManager.runPass();
    EXPECT_TRUE(exists(_outside + "/" + old + "/.x_looks-archived"));
    EXPECT_TRUE(exists(_outside + "/precious-1"));
    EXPECT_TRUE(exists(_outside + "/sub/precious-2"));
    EXPECT_TRUE(exists(foreign + "/" + old + "/.x_theirs"));
    EXPECT_EQ(dateFoldersIn(_cache), std::vector<std::string>{dateName(2009, 3, 2)});
}

TEST_F(CacheManagerTest, dateFoldersOfAnotherAccountAreNeitherCountedNorDeleted) {
    makeDateFolders(_cache, {dateName(2009, 3, 1), dateName(2009, 3, 5), dateName(2009, 3, 6)});
    ASSERT_EQ(::chown(cached(dateName(2009, 3, 1)).c_str(), 4242, 4242), 0);
    CacheManager cacheManager = manager(1);
    EXPECT_EQ(cacheManager.getNumberOfActivityDays(), 2);
    cacheManager.checkActivityLimitation();
    EXPECT_EQ(dateFoldersIn(_cache), (std::vector<std::string>{dateName(2009, 3, 1), dateName(2009, 3, 6)}));
    EXPECT_TRUE(exists(cached(dateName(2009, 3, 1) + "/.x_item")));
}

TEST_F(CacheManagerTest, freeSpaceMinimumsOutsideOneToNinetyNineDeleteNothing) {
    makeDateFolders(_cache, {dateName(2009, 3, 1)});
    for (int32_t minimum : {100, 150, INT32_MAX, -1, INT32_MIN}) {
        manager(30, minimum).runPass();
        EXPECT_TRUE(exists(cached(dateName(2009, 3, 1) + "/.x_item"))) << "minimum " << minimum;
    }
}

TEST_F(CacheManagerLinkTest, freeSpaceRuleRemovesLinksAsLinksAndCountsOnlyTheirOwnSize) {
    auto volume = mountVolume("small", "4m");
    if (!volume)
        GTEST_SKIP() << "cannot mount a tmpfs here (needs root)";
    std::string cache = *volume + "/.TrashCacheFolder/";
    const std::string a = dateName(2009, 3, 1), b = dateName(2009, 3, 2);
    writeData(cache + a + "/.x_a1", 600 * 1024);
    writeData(cache + b + "/.x_b1", 512 * 1024);
    writeData(cache + b + "/.x_b2", 512 * 1024);
    ASSERT_EQ(::symlink(_outside.c_str(), (cache + a + "/.x_0link").c_str()), 0);
    // A link to a folder in the cache folder itself is not a folder: it yields nothing.
    ASSERT_EQ(::symlink(_outside.c_str(), (cache + "0-linked").c_str()), 0);
    writeData(*volume + "/filler", 1800 * 1024);

    // About 15% free against a minimum of 40%: a budget of about 1 MB, met by .x_a1 and .x_b1
    // together. Had the link been followed, the 2 MB outside would have met it before any file
    // of the cache was touched.
    struct statvfs figures {};
    ASSERT_EQ(::statvfs(volume->c_str(), &figures), 0);
    uint64_t percentageFree = figures.f_bavail * 100 / figures.f_blocks;
    ASSERT_GE(percentageFree, 13u);
    ASSERT_LE(percentageFree, 16u);

    manager(30, 40).runPass();
    expectOutsideIntact();
    EXPECT_FALSE(exists(cache + a + "/.x_0link"));
    EXPECT_FALSE(exists(cache + a + "/.x_a1"));
    EXPECT_FALSE(exists(cache + b + "/.x_b1"));
    EXPECT_TRUE(exists(cache + b + "/.x_b2"));
    EXPECT_TRUE(exists(cache + "0-linked"));
    EXPECT_TRUE(isFolder(cache + a));
}

TEST_F(CacheManagerLinkTest, deleteDataInFolderGivenALinkDoesNothing) {
    std::string link = cached(dateName(2009, 3, 1));
    ASSERT_EQ(::symlink(_outside.c_str(), link.c_str()), 0);
    EXPECT_EQ(CacheManager::deleteDataInFolder(link, 1u << 30), 0u);
    EXPECT_TRUE(exists(link));
    expectOutsideIntact();
}

// ---------------------------------------------------------------------------------------------
// Locked items

TEST_F(CacheManagerTest, dayLimitUnlocksFoldersWithoutWriteBitAndDeletesThem) {
    const std::string oldest = dateName(2009, 3, 1);
    makeDateFolders(_cache, {oldest, dateName(2009, 3, 2)});
    writeData(cached(oldest + "/.x_Locked/.x_inside"), 100);
    writeData(cached(oldest + "/.x_Locked/.x_deeper/.x_file"), 100);
    ASSERT_EQ(::chmod(cached(oldest + "/.x_Locked/.x_deeper").c_str(), 0555), 0);
    ASSERT_EQ(::chmod(cached(oldest + "/.x_Locked").c_str(), 0555), 0);
    ASSERT_EQ(::chmod(cached(oldest).c_str(), 0500), 0);

    int status = runAsUser([] {
        CacheManager cacheManager(CacheManagerArguments{1, 0}, Clock{[] { return time_t{0}; }, [](int) {}});
        cacheManager.checkActivityLimitation();
        return 0;
    });
    ASSERT_EQ(status, 0);
    EXPECT_FALSE(exists(cached(oldest)));
    EXPECT_EQ(dateFoldersIn(_cache), std::vector<std::string>{dateName(2009, 3, 2)});
}

TEST_F(CacheManagerTest, freeSpaceRuleUnlocksFoldersWithoutWriteBit) {
    std::string folder = cached(dateName(2009, 3, 1));
    writeData(folder + "/.x_Locked/.x_inside", 100);
    writeData(folder + "/.x_plain", 100);
    ASSERT_EQ(::chmod((folder + "/.x_Locked").c_str(), 0555), 0);
    ASSERT_EQ(::chmod(folder.c_str(), 0555), 0);

    int status = runAsUser([&] {
        uint64_t deleted = CacheManager::deleteDataInFolder(folder, 1000);
        return deleted == 200 ? 0 : 1;
    });
    ASSERT_EQ(status, 0) << "bytes counted differ from 200";
    EXPECT_TRUE(isFolder(folder));
    EXPECT_TRUE(listNames(folder).empty());
}

TEST_F(CacheManagerTest, immutableAndAppendOnlyItemsAreUnlockedAndDeleted) {
    const std::string oldest = dateName(2009, 3, 1), next = dateName(2009, 3, 2);
    makeDateFolders(_cache, {oldest, next, dateName(2009, 3, 3)});
    std::string immutableFile = cached(oldest + "/.x_immutable");
    std::string appendOnlyFile = cached(oldest + "/.x_Folder/.x_append");
    std::string immutableFolder = cached(oldest + "/.x_Folder");
    std::string lockedForBudget = cached(next + "/.x_immutable");
    writeData(immutableFile, 100);
    writeData(appendOnlyFile, 100);
    writeData(lockedForBudget, 100);
    bool permitted = setInodeAttributes(immutableFile, FS_IMMUTABLE_FL) && setInodeAttributes(appendOnlyFile, FS_APPEND_FL) &&
                     setInodeAttributes(immutableFolder, FS_IMMUTABLE_FL) && setInodeAttributes(lockedForBudget, FS_IMMUTABLE_FL);
    if (!permitted) {
        for (const std::string &path : {immutableFile, appendOnlyFile, immutableFolder, lockedForBudget})
            setInodeAttributes(path, 0, FS_IMMUTABLE_FL | FS_APPEND_FL);
        GTEST_SKIP() << "cannot set the immutable or append-only attribute here";
    }

    manager(2).checkActivityLimitation();
    EXPECT_FALSE(exists(cached(oldest)));

    EXPECT_EQ(CacheManager::deleteDataInFolder(cached(next), 1000), 100u);
    EXPECT_FALSE(exists(lockedForBudget));
    EXPECT_FALSE(exists(cached(next + "/.x_item")));
    EXPECT_TRUE(isFolder(cached(next)));
}

// ---------------------------------------------------------------------------------------------
// Passes and waiting turns

TEST_F(CacheManagerTest, passNotesItsStartTime) {
    CacheManager cacheManager = manager(7);
    _time.now = 1'234'567'890;
    cacheManager.runPass();
    EXPECT_EQ(cacheManager.LAST_UPDATE, 1'234'567'890);
}

TEST_F(CacheManagerTest, markerIsConsumedAndMakesAPassDue) {
    touch(cached("UPD_FLAG_CACHE_MANAGER"));
    touch(cached("UPD_FLAG"));
    touch(cached("ArchivedFileData"));
    CacheManager cacheManager = manager(7);
    cacheManager.runPass();
    EXPECT_TRUE(exists(cached("UPD_FLAG_CACHE_MANAGER"))) << "a pass never touches the marker";

    EXPECT_TRUE(cacheManager.waitTurn());
    EXPECT_FALSE(exists(cached("UPD_FLAG_CACHE_MANAGER")));
    EXPECT_TRUE(exists(cached("UPD_FLAG")));
    EXPECT_TRUE(exists(cached("ArchivedFileData")));
    EXPECT_FALSE(cacheManager.waitTurn());
    EXPECT_EQ(_time.sleeps, 2);
}

TEST_F(CacheManagerTest, lockedMarkerIsUnlockedAndConsumed) {
    touch(cached("UPD_FLAG_CACHE_MANAGER"));
    if (!setInodeAttributes(cached("UPD_FLAG_CACHE_MANAGER"), FS_IMMUTABLE_FL))
        GTEST_SKIP() << "cannot set the immutable attribute here";
    CacheManager cacheManager = manager(7);
    EXPECT_TRUE(cacheManager.waitTurn());
    EXPECT_FALSE(exists(cached("UPD_FLAG_CACHE_MANAGER")));
}

TEST_F(CacheManagerTest, onlyTheFirstMarkerFoundIsConsumedInATurn) {
    auto volume = mountVolume("second", "1m");
    if (!volume)
        GTEST_SKIP() << "cannot mount a tmpfs here (needs root)";
    std::string other = *volume + "/.TrashCacheFolder/";
    ASSERT_TRUE(makeFolder(other, 0700));
    touch(cached("UPD_FLAG_CACHE_MANAGER"));
    touch(other + "UPD_FLAG_CACHE_MANAGER");
    CacheManager cacheManager = manager(7);
    EXPECT_TRUE(cacheManager.waitTurn());
    EXPECT_FALSE(exists(cached("UPD_FLAG_CACHE_MANAGER")));
    EXPECT_TRUE(exists(other + "UPD_FLAG_CACHE_MANAGER"));
    EXPECT_TRUE(cacheManager.waitTurn());
    EXPECT_FALSE(exists(other + "UPD_FLAG_CACHE_MANAGER"));
    EXPECT_FALSE(cacheManager.waitTurn());
}

TEST_F(CacheManagerTest, trashTotalStartsAPassOnlyBeyondTheHighestTotalSeen) {
    auto trashEntries = [this](int count) {
        fs::remove_all(_trash);
        ASSERT_TRUE(makeFolder(_trash, 0700));
        for (int i = 0; i < count; ++i)
            touch(_trash + (i % 2 ? ".hidden-" : "entry-") + std::to_string(i));
    };
    CacheManager cacheManager = manager(7);
    cacheManager.runPass();
    EXPECT_FALSE(cacheManager.waitTurn()) << "an empty trash starts nothing";

    trashEntries(10);
    EXPECT_TRUE(cacheManager.waitTurn());
    EXPECT_EQ(cacheManager.knownObjectInTrash, 10u);
    EXPECT_FALSE(cacheManager.waitTurn()) << "the same total starts nothing";

    trashEntries(0);
    EXPECT_FALSE(cacheManager.waitTurn());
    trashEntries(3);
    EXPECT_FALSE(cacheManager.waitTurn());
    trashEntries(10);
    EXPECT_FALSE(cacheManager.waitTurn());
    EXPECT_EQ(cacheManager.knownObjectInTrash, 10u);
    trashEntries(11);
    EXPECT_TRUE(cacheManager.waitTurn());
    EXPECT_EQ(cacheManager.knownObjectInTrash, 11u);
}

TEST_F(CacheManagerTest, trashTotalFollowsChangesOfATrashFolderLeftAloneForLong) {
    for (int i = 0; i < 5; ++i)
        touch(_trash + "old-" + std::to_string(i));
    // Last changed two hours ago: its count may be kept while the folder stays as it is.
    struct timespec past[2] = {{::time(nullptr) - 7200, 0}, {::time(nullptr) - 7200, 0}};
    ASSERT_EQ(::utimensat(AT_FDCWD, _trash.c_str(), past, 0), 0);
    CacheManager cacheManager = manager(7);
    EXPECT_TRUE(cacheManager.waitTurn());
    EXPECT_EQ(cacheManager.knownObjectInTrash, 5u);
    EXPECT_FALSE(cacheManager.waitTurn());

    touch(_trash + "new-0");
    EXPECT_TRUE(cacheManager.waitTurn());
    EXPECT_EQ(cacheManager.knownObjectInTrash, 6u);

    ASSERT_EQ(::utimensat(AT_FDCWD, _trash.c_str(), past, 0), 0);
    EXPECT_FALSE(cacheManager.waitTurn());
    ASSERT_EQ(::unlink((_trash + "old-0").c_str()), 0);
    touch(_trash + "new-1");
    touch(_trash + "new-2");
    EXPECT_TRUE(cacheManager.waitTurn());
    EXPECT_EQ(cacheManager.knownObjectInTrash, 7u);
}

TEST_F(CacheManagerTest, trashTotalAddsTheTrashOfEveryVolume) {
    auto volume = mountVolume("second", "1m");
    if (!volume)
        GTEST_SKIP() << "cannot mount a tmpfs here (needs root)";
    std::string otherTrash = *volume + "/.Trash-" + std::to_string(::getuid()) + "/files/";
    ASSERT_TRUE(makeFolder(otherTrash, 0700));
    for (int i = 0; i < 4; ++i)
        touch(_trash + "home-" + std::to_string(i));
    for (int i = 0; i < 3; ++i)
        touch(otherTrash + "volume-" + std::to_string(i));
    CacheManager cacheManager = manager(7);
    EXPECT_TRUE(cacheManager.waitTurn());
    EXPECT_EQ(cacheManager.knownObjectInTrash, 7u);
}

TEST_F(CacheManagerTest, missingTrashFolderCountsNothing) {
    fs::remove_all(_home + "/.local");
    CacheManager cacheManager = manager(7);
    EXPECT_FALSE(cacheManager.waitTurn());
    EXPECT_EQ(cacheManager.knownObjectInTrash, 0u);
}

TEST_F(CacheManagerTest, withNothingHappeningTheNextPassComesAfterTwoMinutes) {
    CacheManager cacheManager = manager(7);
    cacheManager.runPass();
    time_t start = _time.now;
    cacheManager.waitForNextPass();
    // 5-second turns until more than 120 seconds have gone: 25 turns, 125 seconds.
    EXPECT_EQ(_time.sleeps, 25);
    EXPECT_EQ(_time.now - start, 125);
}

TEST_F(CacheManagerTest, markerEndsTheWaitAtTheNextTurn) {
    CacheManager cacheManager = manager(7);
    cacheManager.runPass();
    touch(cached("UPD_FLAG_CACHE_MANAGER"));
    cacheManager.waitForNextPass();
    EXPECT_EQ(_time.sleeps, 1);
    EXPECT_FALSE(exists(cached("UPD_FLAG_CACHE_MANAGER")));
}

TEST_F(CacheManagerTest, newVolumeIsSeenAtTheNextTurn) {
    CacheManager cacheManager = manager(7);
    std::vector<std::string> caches;
    cacheManager.getCachesPaths(caches);
    ASSERT_EQ(caches.size(), 1u);
    auto volume = mountVolume("late", "1m");
    if (!volume)
        GTEST_SKIP() << "cannot mount a tmpfs here (needs root)";
    ASSERT_TRUE(makeFolder(*volume + "/.TrashCacheFolder", 0700));
    touch(*volume + "/.TrashCacheFolder/UPD_FLAG_CACHE_MANAGER");
    EXPECT_TRUE(cacheManager.waitTurn());
    EXPECT_FALSE(exists(*volume + "/.TrashCacheFolder/UPD_FLAG_CACHE_MANAGER"));
    cacheManager.getCachesPaths(caches);
    EXPECT_EQ(caches.size(), 2u);
}

} // namespace
