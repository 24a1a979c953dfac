#include "SettingsStore.h"
#include "platform/FileLock.h"
#include "platform/System.h"

#include "TestDir.h"

#include <gtest/gtest.h>
#include <plist/plist.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <string>
#include <vector>

using namespace quillet;
using quillet::test::listNames;
using quillet::test::readFileText;
using quillet::test::ScopedEnv;
using quillet::test::TestDir;

namespace {

/// A test with its own configuration folder, so every domain lands in a fresh TestDir.
class SettingsStoreTest : public ::testing::Test {
protected:
    TestDir dir;
    ScopedEnv config{"XDG_CONFIG_HOME", dir / "config"};

    std::string domainPath() const { return dir / "config/com.plx.Quillet.plist"; }
};

using Args = std::vector<std::string>;

/// Waits for a forked child and answers its exit code, -1 when it did not exit normally.
int waitChild(pid_t pid) {
    int status = 0;
    while (::waitpid(pid, &status, 0) < 0) {
        if (errno != EINTR)
            return -1;
    }
    return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
}

} // namespace

TEST_F(SettingsStoreTest, domainFileLiesInTheConfigurationFolder) {
    EXPECT_EQ(PreferencesDomain(kQuilletDomain).path(), domainPath());
    EXPECT_EQ(PreferencesDomain(kMenuExtraDomain).path(), dir / "config/com.plx.QuilletMenuExtra.plist");
}

TEST_F(SettingsStoreTest, freshUserGetsTheRegisteredDefaultsAndNothingIsWritten) {
    PreferencesDomain domain(kQuilletDomain);
    auto stored = domain.read();
    ASSERT_TRUE(stored) << stored.status().message();
    EXPECT_TRUE(stored->empty());

    SettingsMirror mirror = SettingsMirror::load(domain, false);
    EXPECT_TRUE(mirror.surveyHomeTrashOnly());
    EXPECT_TRUE(mirror.keepDataForDays());
    EXPECT_EQ(mirror.daysToKeep(), 7);
    EXPECT_TRUE(mirror.keepDataForSizeMax());
    EXPECT_EQ(mirror.sizeMaxForCache(), 4096);
    EXPECT_EQ(mirror.percentageOfFreeDiskSpace(), 10);
    EXPECT_EQ(mirror.modeOfCacheFileHandling(), 0);
    EXPECT_EQ(mirror.timeOfLastDaemonLaunch(), 0);
    EXPECT_FALSE(mirror.daemonsAreRunning());
    EXPECT_TRUE(mirror.checkUpdates());
    EXPECT_TRUE(mirror.displayMenuExtra());
    EXPECT_FALSE(mirror.appMustAskForPassword());
    ASSERT_TRUE(mirror.value(prefs::kAppPrefs));
    EXPECT_TRUE(mirror.value(prefs::kAppPrefs)->isDictionary());
    EXPECT_TRUE(mirror.value(prefs::kAppPrefs)->dictionary().empty());
    EXPECT_EQ(mirror.values().size(), 13u);

    // Reading made no file and no folder.
    EXPECT_FALSE(test::exists(dir / "config"));
}

TEST(RegisteredDefaults, twelveKeysInTableOrderWithoutThePasswordKey) {
    const std::vector<std::string> expectedKeys = {
        "Survey home Trash only",        "Keep data for days",          "How many days to keep data",
        "Keep data for size max",        "Size max for cache",          "Percentage of free disk space",
        "Mode of cache file handling",   "Time of last daemon launch",  "Daemons are running",
        "App_Prefs_checkUpdates",        "App_Prefs",                   "Display menu extra",
    };
    std::vector<std::string> keys;
    for (const PrefDefault &entry : registeredDefaultList())
        keys.push_back(entry.key);
    EXPECT_EQ(keys, expectedKeys);
    PrefValues defaults = registeredDefaults();
    EXPECT_EQ(defaults.size(), 12u);
    EXPECT_EQ(defaults.count("App must ask for password"), 0u);
    EXPECT_EQ(defaults.at("How many days to keep data"), PrefValue(7));
    EXPECT_EQ(defaults.at("Size max for cache"), PrefValue(4096));
    EXPECT_EQ(defaults.at("Percentage of free disk space"), PrefValue(10));
    EXPECT_EQ(defaults.at("App_Prefs"), PrefValue(PrefValue::Dictionary{}));
}

TEST(SettingsMirrorTest, storedValuesWinOverDefaultsButThePasswordFlagFollowsTheKeychain) {
    SettingsMirror mirror(PrefValues{{prefs::kHowManyDaysToKeepData, PrefValue(30)},
                                     {prefs::kSizeMaxForCache, PrefValue("500")}, // a hand-edited string
                                     {prefs::kAppMustAskForPassword, PrefValue(1)},
                                     {"Someone else's key", PrefValue("kept")}});
    mirror.initDefaultMirror(false);
    EXPECT_EQ(mirror.daysToKeep(), 30);
    EXPECT_EQ(mirror.sizeMaxForCache(), 500);
    EXPECT_EQ(mirror.percentageOfFreeDiskSpace(), 10);
    EXPECT_FALSE(mirror.appMustAskForPassword());
    EXPECT_EQ(mirror.value("Someone else's key"), PrefValue("kept"));

    mirror.initDefaultMirror(true);
    EXPECT_TRUE(mirror.appMustAskForPassword());
    EXPECT_EQ(mirror.daysToKeep(), 30);
}

TEST(PrefValueTest, integerValueReadsNumbersBooleansAndLeadingDigitsOfText) {
    EXPECT_EQ(PrefValue(42).integerValue(), 42);
    EXPECT_EQ(PrefValue::boolean(true).integerValue(), 1);
    EXPECT_EQ(PrefValue::real(7.9).integerValue(), 7);
    EXPECT_EQ(PrefValue("  12abc").integerValue(), 12);
    EXPECT_EQ(PrefValue("-3").integerValue(), -3);
    EXPECT_EQ(PrefValue("abc").integerValue(), 0);
    EXPECT_EQ(PrefValue(PrefValue::Dictionary{}).integerValue(), 0);
    EXPECT_EQ(PrefValue(4096).stringValue(), "4096");
    EXPECT_NE(PrefValue(1), PrefValue::boolean(true));
}

TEST(DaemonArguments, defaultsGiveTheThreeCommandLines) {
    SettingsMirror mirror;
    mirror.initDefaultMirror(false);
    EXPECT_EQ(protectionDaemonArguments(mirror, "/home/u/.local/share/Trash/files", "/home/u"),
              (Args{"1", "/home/u/.local/share/Trash/files/", "/home/u/", "4096", "10", "0"}));
    // Folders that already end in "/" get no second one.
    EXPECT_EQ(protectionDaemonArguments(mirror, "/media/d/.Trash-1000/files/", "/media/d/"),
              (Args{"1", "/media/d/.Trash-1000/files/", "/media/d/", "4096", "10", "0"}));
    EXPECT_EQ(mountWatcherArguments(mirror), (Args{"1", "/", "/", "4096", "10", "0"}));
    EXPECT_EQ(protectionDaemonArguments(mirror, "", ""), mountWatcherArguments(mirror));
    EXPECT_EQ(cacheManagerArguments(mirror), (Args{"7", "4096", "10", "0"}));
}

TEST(DaemonArguments, switchesAndLimitsShapeTheArguments) {
    struct Case {
        const char *what;
        PrefValues stored;
        Args daemon;       // arguments 4 to 6 of quilletd
        Args cacheManager; // all four
    };
    const std::vector<Case> cases = {
        {"size limit off", {{prefs::kKeepDataForSizeMax, 0}, {prefs::kSizeMaxForCache, 900}},
         {"0", "10", "0"}, {"7", "0", "10", "0"}},
        {"size limit on", {{prefs::kSizeMaxForCache, 500}}, {"500", "10", "0"}, {"7", "500", "10", "0"}},
        {"no free-space minimum", {{prefs::kPercentageOfFreeDiskSpace, 0}}, {"4096", "0", "0"}, {"7", "4096", "0", "0"}},
        {"negative percentage", {{prefs::kPercentageOfFreeDiskSpace, -3}}, {"4096", "-3", "0"}, {"7", "4096", "0", "0"}},
        {"move mode", {{prefs::kModeOfCacheFileHandling, 1}}, {"4096", "10", "1"}, {"7", "4096", "10", "0"}},
        {"any non-zero mode moves", {{prefs::kModeOfCacheFileHandling, 5}}, {"4096", "10", "1"}, {"7", "4096", "10", "0"}},
        {"day limit off", {{prefs::kKeepDataForDays, 0}, {prefs::kHowManyDaysToKeepData, 30}},
         {"4096", "10", "0"}, {"0", "4096", "10", "0"}},
        {"day limit on", {{prefs::kHowManyDaysToKeepData, 30}}, {"4096", "10", "0"}, {"30", "4096", "10", "0"}},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(c.what);
        SettingsMirror mirror(c.stored);
        mirror.initDefaultMirror(false);
        Args daemon = protectionDaemonArguments(mirror, "/t", "/c");
        ASSERT_EQ(daemon.size(), 6u);
        EXPECT_EQ(Args(daemon.begin() + 3, daemon.end()), c.daemon);
        Args watcher = mountWatcherArguments(mirror);
        EXPECT_EQ(Args(watcher.begin() + 3, watcher.end()), c.daemon);
        EXPECT_EQ(cacheManagerArguments(mirror), c.cacheManager);
    }
}

TEST_F(SettingsStoreTest, typedValuesRoundTripAndOtherKeysStay) {
    PreferencesDomain domain(kQuilletDomain);
    const PrefValues written = {
        {prefs::kHowManyDaysToKeepData, PrefValue(14)},
        {prefs::kTimeOfLastDaemonLaunch, PrefValue(int64_t{1765140000})},
        {"negative", PrefValue(-5)},
        {"text", PrefValue("Größe <&>")},
        {"flag", PrefValue::boolean(true)},
        {"ratio", PrefValue::real(0.25)},
        {"list", PrefValue(PrefValue::Array{PrefValue(1), PrefValue("two")})},
        {prefs::kAppPrefs, PrefValue(PrefValue::Dictionary{{"inner", PrefValue(3)},
                                                          {"nested", PrefValue(PrefValue::Dictionary{})}})},
    };
    auto report = domain.setValues(written);
    ASSERT_TRUE(report) << report.status().message();
    EXPECT_TRUE(report->corruptCopyPath.empty());
    EXPECT_EQ(readFileText(domainPath()).rfind("<?xml", 0), 0u);

    auto stored = domain.read();
    ASSERT_TRUE(stored) << stored.status().message();
    EXPECT_EQ(*stored, written);

    ASSERT_TRUE(domain.setValue(prefs::kDaemonsAreRunning, PrefValue(1)));
    ASSERT_TRUE(domain.removeKey("negative"));
    ASSERT_TRUE(domain.removeKey("never there"));
    PrefValues expected = written;
    expected.erase("negative");
    expected[prefs::kDaemonsAreRunning] = PrefValue(1);
    stored = domain.read();
    ASSERT_TRUE(stored);
    EXPECT_EQ(*stored, expected);

    // Only the domain file and its lock file are left: no temporary files.
    EXPECT_EQ(listNames(dir / "config"), (std::vector<std::string>{"com.plx.Quillet.plist", "com.plx.Quillet.plist.lock"}));
}

TEST_F(SettingsStoreTest, keysOfKindsNotRepresentedSurviveAWrite) {
    dir.writeFile("config/com.plx.Quillet.plist",
                  "<?xml version=\"1.0\" encoding=\"UTF-8\"?>\n"
                  "<!DOCTYPE plist PUBLIC \"-//Apple//DTD PLIST 1.0//EN\" "
                  "\"http://www.apple.com/DTDs/PropertyList-1.0.dtd\">\n"
                  "<plist version=\"1.0\"><dict>"
                  "<key>when</key><date>2009-03-14T12:00:00Z</date>"
                  "<key>blob</key><data>AAEC</data>"
                  "<key>Size max for cache</key><integer>100</integer>"
                  "</dict></plist>\n");
    PreferencesDomain domain(kQuilletDomain);
    auto stored = domain.read();
    ASSERT_TRUE(stored) << stored.status().message();
    EXPECT_EQ(*stored, (PrefValues{{prefs::kSizeMaxForCache, PrefValue(100)}}));

    ASSERT_TRUE(domain.setValue(prefs::kPercentageOfFreeDiskSpace, PrefValue(20)));
    std::string text = readFileText(domainPath());
    EXPECT_NE(text.find("<key>when</key>"), std::string::npos) << text;
    EXPECT_NE(text.find("<date>"), std::string::npos) << text;
    EXPECT_NE(text.find("<key>blob</key>"), std::string::npos) << text;
    stored = domain.read();
    ASSERT_TRUE(stored);
    EXPECT_EQ(stored->at(prefs::kSizeMaxForCache), PrefValue(100));
    EXPECT_EQ(stored->at(prefs::kPercentageOfFreeDiskSpace), PrefValue(20));
}

TEST_F(SettingsStoreTest, binaryPropertyListIsReadAndRewrittenAsXml) {
    plist_t root = plist_new_dict();
    plist_dict_set_item(root, "Survey home Trash only", plist_new_uint(0));
    plist_dict_set_item(root, "note", plist_new_string("binary"));
    char *bytes = nullptr;
    uint32_t length = 0;
    plist_to_bin(root, &bytes, &length);
    plist_free(root);
    ASSERT_NE(bytes, nullptr);
    dir.writeFile("config/com.plx.Quillet.plist", std::string(bytes, length));
    plist_to_bin_free(bytes);

    PreferencesDomain domain(kQuilletDomain);
    auto stored = domain.read();
    ASSERT_TRUE(stored) << stored.status().message();
    EXPECT_EQ(*stored, (PrefValues{{prefs::kSurveyHomeTrashOnly, PrefValue(0)}, {"note", PrefValue("binary")}}));
    EXPECT_FALSE(SettingsMirror::load(domain, false).surveyHomeTrashOnly());

    ASSERT_TRUE(domain.setValue(prefs::kDaemonsAreRunning, PrefValue(1)));
    EXPECT_EQ(readFileText(domainPath()).rfind("<?xml", 0), 0u);
    stored = domain.read();
    ASSERT_TRUE(stored);
    EXPECT_EQ(stored->size(), 3u);
}

TEST_F(SettingsStoreTest, emptyFileHoldsNoValues) {
    dir.writeFile("config/com.plx.Quillet.plist", "");
    auto stored = PreferencesDomain(kQuilletDomain).read();
    ASSERT_TRUE(stored) << stored.status().message();
    EXPECT_TRUE(stored->empty());
}

TEST_F(SettingsStoreTest, corruptFileGivesDefaultsAndIsKeptAsideOnlyWhenAKeyIsWritten) {
    struct Case {
        const char *what;
        std::string content;
    };
    const std::vector<Case> cases = {
        {"garbage", "this is not a property list \x01\x02"},
        {"truncated XML", "<?xml version=\"1.0\"?><plist version=\"1.0\"><dict><key>Size max for cache</key><integ"},
        {"array at the top", "<?xml version=\"1.0\"?><plist version=\"1.0\"><array><integer>1</integer></array></plist>"},
        {"damaged binary", std::string("bplist00\xd1\x01\x02\x00\x00", 13)},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(c.what);
        test::removeTree(dir / "config");
        const std::string path = dir.writeFile("config/com.plx.Quillet.plist", c.content);
        PreferencesDomain domain(kQuilletDomain);

        auto stored = domain.read();
        ASSERT_FALSE(stored);
        EXPECT_EQ(stored.code(), EBADMSG) << stored.status().message();

        SettingsMirror mirror = SettingsMirror::load(domain, false);
        SettingsMirror defaults;
        defaults.initDefaultMirror(false);
        EXPECT_EQ(mirror.values(), defaults.values());

        // Reading, however often, leaves the user's file as it was.
        EXPECT_EQ(readFileText(path), c.content);
        EXPECT_EQ(listNames(dir / "config"), (std::vector<std::string>{"com.plx.Quillet.plist"}));

        // The first write keeps the damaged file under a new name, then starts afresh.
        auto report = domain.setValue(prefs::kDaemonsAreRunning, PrefValue(1));
        ASSERT_TRUE(report) << report.status().message();
        const std::string copy = report->corruptCopyPath;
        EXPECT_EQ(copy.rfind(path + ".corrupt-", 0), 0u) << copy;
        EXPECT_EQ(readFileText(copy), c.content);
        stored = domain.read();
        ASSERT_TRUE(stored) << stored.status().message();
        EXPECT_EQ(*stored, (PrefValues{{prefs::kDaemonsAreRunning, PrefValue(1)}}));

        // A second damaged file never replaces the first copy.
        dir.writeFile("config/com.plx.Quillet.plist", "again not a property list");
        report = domain.setValue(prefs::kDaemonsAreRunning, PrefValue(0));
        ASSERT_TRUE(report) << report.status().message();
        EXPECT_NE(report->corruptCopyPath, copy);
        EXPECT_EQ(readFileText(copy), c.content);
        EXPECT_EQ(readFileText(report->corruptCopyPath), "again not a property list");
    }
}

TEST_F(SettingsStoreTest, oversizedFileCountsAsCorrupt) {
    const std::string content(kMaxDomainFileBytes + 1, ' ');
    dir.writeFile("config/com.plx.Quillet.plist", content);
    PreferencesDomain domain(kQuilletDomain);
    auto stored = domain.read();
    ASSERT_FALSE(stored);
    EXPECT_EQ(stored.code(), EFBIG);
    auto report = domain.setValue(prefs::kDaemonsAreRunning, PrefValue(1));
    ASSERT_TRUE(report) << report.status().message();
    EXPECT_EQ(readFileText(report->corruptCopyPath).size(), content.size());
}

TEST_F(SettingsStoreTest, fileThatCannotBeReadIsNeverReplaced) {
    // A folder where the file should be: read() fails, and so does every write.
    dir.makeDir("config/com.plx.Quillet.plist");
    PreferencesDomain domain(kQuilletDomain);
    auto stored = domain.read();
    ASSERT_FALSE(stored);
    EXPECT_NE(stored.code(), EBADMSG);
    EXPECT_FALSE(domain.setValue(prefs::kDaemonsAreRunning, PrefValue(1)));
    EXPECT_TRUE(test::isFolder(domainPath()));
}

TEST_F(SettingsStoreTest, twoProcessesWritingDifferentKeysAtOnceBothKeepTheirKeys) {
    constexpr int kWrites = 300;
    const std::string keys[2] = {prefs::kDaemonsAreRunning, prefs::kTimeOfLastDaemonLaunch};
    ASSERT_TRUE(PreferencesDomain(kQuilletDomain).setValue("start", PrefValue(1)));

    // Both writers wait at a pipe so that they really start together.
    int gate[2];
    ASSERT_EQ(::pipe(gate), 0);
    pid_t children[2];
    for (int i = 0; i < 2; ++i) {
        children[i] = ::fork();
        ASSERT_GE(children[i], 0);
        if (children[i] == 0) {
            ::close(gate[1]);
            char go;
            if (::read(gate[0], &go, 1) != 0)
                ::_exit(3);
            PreferencesDomain domain(kQuilletDomain);
            for (int n = 1; n <= kWrites; ++n) {
                if (!domain.setValue(keys[i], PrefValue(n)))
                    ::_exit(1);
                // Every write must find the other writer's key already there.
                auto stored = domain.read();
                if (!stored || stored->count("start") == 0)
                    ::_exit(2);
            }
            ::_exit(0);
        }
    }
    ::close(gate[0]);
    ::close(gate[1]); // end of file releases both writers

    // Meanwhile this process keeps reading: it never sees a half-written file.
    PreferencesDomain domain(kQuilletDomain);
    for (int n = 0; n < 200; ++n) {
        auto stored = domain.read();
        ASSERT_TRUE(stored) << stored.status().message();
        EXPECT_EQ(stored->count("start"), 1u);
    }
    EXPECT_EQ(waitChild(children[0]), 0);
    EXPECT_EQ(waitChild(children[1]), 0);

    auto stored = domain.read();
    ASSERT_TRUE(stored) << stored.status().message();
    EXPECT_EQ(*stored, (PrefValues{{"start", PrefValue(1)}, {keys[0], PrefValue(kWrites)}, {keys[1], PrefValue(kWrites)}}));
}

TEST_F(SettingsStoreTest, exclusiveFileLockKeepsOtherProcessesWaiting) {
    const std::string lockPath = dir / "lock";
    const std::string marker = dir / "marker";
    auto lock = sys::FileLock::acquire(lockPath, sys::FileLock::Mode::Exclusive);
    ASSERT_TRUE(lock) << lock.status().message();
    pid_t child = ::fork();
    ASSERT_GE(child, 0);
    if (child == 0) {
        // The inherited descriptor shares the parent's lock; only the parent's may keep it.
        lock->release();
        auto taken = sys::FileLock::acquire(lockPath, sys::FileLock::Mode::Exclusive);
        // The marker is written just before the parent lets go: seeing it proves the wait.
        ::_exit(taken && sys::exists(marker) ? 0 : 1);
    }
    ::usleep(200 * 1000);
    test::touch(marker);
    lock->release();
    EXPECT_EQ(waitChild(child), 0);
}
