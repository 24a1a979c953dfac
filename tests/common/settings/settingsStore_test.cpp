#include "settings/SettingsFile.h"
#include "settings/SettingsStore.h"
#include "control/DaemonCommandLine.h"
#include "support/Plist.h"
#include "settings/PrefValue.h"
#include "settings/PreferencesDomain.h"
#include "settings/SettingsMirror.h"
#include "platform/FileLock.h"
#include "platform/System.h"

#include "TestDir.h"

#include <gtest/gtest.h>
#include <plist/plist.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <cmath>
#include <cstdint>
#include <limits>
#include <memory>
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

TEST(SettingsStoreDefaults, twelveKeysInTableOrderWithoutThePasswordKey) {
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

TEST(SettingsStoreMirror, storedValuesWinOverDefaultsButThePasswordFlagFollowsTheKeychain) {
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

// A program that cannot look at the password itself takes the flag the application stored,
// when the application could have stored it.
TEST_F(SettingsStoreTest, withoutTheKeyringThePasswordFlagIsTheStoredOne) {
    struct Case {
        const char *what;
        std::string stored; // the key's value in the file, nothing for no key
        bool asks;
        size_t warnings;
    };
    const std::vector<Case> cases = {
        {"no file", "", false, 0},
        {"on", "<integer>1</integer>", true, 0},
        {"off", "<integer>0</integer>", false, 0},
        {"a boolean", "<true/>", true, 0},
        {"a value the application never stores", "<integer>7</integer>", false, 1},
        {"text", "<string>yes</string>", false, 1},
    };
    PreferencesDomain domain(kQuilletDomain);
    for (const Case &c : cases) {
        SCOPED_TRACE(c.what);
        (void)::unlink(domainPath().c_str());
        if (!c.stored.empty())
            dir.writeFile("config/com.plx.Quillet.plist",
                          "<?xml version=\"1.0\" encoding=\"UTF-8\"?>\n<plist version=\"1.0\">\n<dict>"
                          "<key>App must ask for password</key>" +
                              c.stored + "</dict>\n</plist>\n");
        SettingsMirror mirror = SettingsMirror::loadWithStoredPasswordFlag(domain);
        EXPECT_EQ(mirror.appMustAskForPassword(), c.asks);
        EXPECT_EQ(mirror.warnings().size(), c.warnings);
        EXPECT_EQ(mirror.daysToKeep(), 7);
    }
}

TEST(SettingsStorePrefValue, integerValueReadsNumbersBooleansAndLeadingDigitsOfText) {
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
        ASSERT_EQ(mirror.warnings().size(), 1u);
        EXPECT_EQ(mirror.warnings()[0].rfind(path + ": ", 0), 0u) << mirror.warnings()[0];

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
    const std::string keys[2] = {prefs::kSizeMaxForCache, prefs::kTimeOfLastDaemonLaunch};
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

// ---------------------------------------------------------------------------------------------
// Values out of range: in the file, through setValue, and what is allowed for each key.

namespace {

struct Refused {
    PrefValue value;
    std::string shown; // how the message shows it
};

struct KeyRange {
    std::string key;
    std::string range; // how the message words what is allowed
    std::vector<PrefValue> accepted;
    std::vector<Refused> refused;
};

const std::string kSwitchRange = "0 or 1";
const std::string kDaysRange =
    "a whole number from 1 to 36500 (to keep data without a day limit, set \"Keep data for days\" to 0)";
const std::string kSizeRange = "a whole number of megabytes from 0 to 8796093022207";
const std::string kPercentageRange = "a whole number from 0 to 99";
const std::string kModeRange = "0 (copy) or 1 (move)";
const std::string kTimeRange = "a whole number from 0 to 9223372036854775807 (seconds since 1970)";

/// Wrong for every number key: negative, overflowing, not whole, not a number, not a scalar.
std::vector<Refused> wrongForEveryNumber() {
    return {
        {PrefValue(-1), "-1"},
        {PrefValue(std::numeric_limits<int64_t>::min()), "-9223372036854775808"},
        {PrefValue::real(-0.5), "-0.5"},
        {PrefValue::real(1e308), "1e+308"},
        {PrefValue::real(std::nan("")), "nan"},
        {PrefValue::real(-INFINITY), "-inf"},
        {PrefValue("abc"), "\"abc\""},
        {PrefValue("99999999999999999999"), "99999999999999999999"},
        {PrefValue("-99999999999999999999"), "-99999999999999999999"},
        {PrefValue("1 "), "\"1 \""},
        {PrefValue("+1"), "\"+1\""},
        {PrefValue(""), "\"\""},
        {PrefValue(std::string("1\0", 2)), "\"1\\x00\""},
        {PrefValue(PrefValue::Array{PrefValue(1)}), "an array"},
        {PrefValue(PrefValue::Dictionary{}), "an empty dictionary"},
        {PrefValue(PrefValue::Dictionary{{"a", PrefValue(1)}}), "a dictionary"},
    };
}

KeyRange switchKey(const char *key) {
    KeyRange range{key, kSwitchRange,
                   {PrefValue(0), PrefValue(1), PrefValue::boolean(true), PrefValue::boolean(false), PrefValue::real(1.0),
                    PrefValue::real(-0.0), PrefValue("0"), PrefValue("1"), PrefValue("01")},
                   wrongForEveryNumber()};
    range.refused.insert(range.refused.end(), {{PrefValue(2), "2"},
                                               {PrefValue(std::numeric_limits<int64_t>::max()), "9223372036854775807"},
                                               {PrefValue::real(0.5), "0.5"},
                                               {PrefValue("2"), "2"},
                                               {PrefValue("true"), "\"true\""}});
    return range;
}

KeyRange numberKey(const char *key, const std::string &words, std::vector<PrefValue> accepted, std::vector<Refused> refused) {
    KeyRange range{key, words, std::move(accepted), wrongForEveryNumber()};
    range.refused.insert(range.refused.end(), refused.begin(), refused.end());
    return range;
}

/// Every key of the domain with what it takes and what it refuses.
std::vector<KeyRange> keyRanges() {
    const double twoTo63 = std::ldexp(1.0, 63);
    return {
        switchKey(prefs::kSurveyHomeTrashOnly),
        switchKey(prefs::kKeepDataForDays),
        numberKey(prefs::kHowManyDaysToKeepData, kDaysRange,
                  {PrefValue(1), PrefValue(36500), PrefValue("7"), PrefValue("036500"), PrefValue::real(30.0)},
                  {{PrefValue(0), "0"},
                   {PrefValue(36501), "36501"},
                   {PrefValue(int64_t{4294967295}), "4294967295"},
                   {PrefValue::boolean(true), "true"},
                   {PrefValue::real(7.5), "7.5"},
                   {PrefValue("0"), "0"},
                   {PrefValue("36501"), "36501"},
                   {PrefValue("7 days"), "\"7 days\""}}),
        switchKey(prefs::kKeepDataForSizeMax),
        numberKey(prefs::kSizeMaxForCache, kSizeRange,
                  {PrefValue(0), PrefValue(int64_t{8796093022207}), PrefValue("8796093022207"), PrefValue::real(4096.0)},
                  {{PrefValue(int64_t{8796093022208}), "8796093022208"},
                   {PrefValue(std::numeric_limits<int64_t>::max()), "9223372036854775807"},
                   {PrefValue::boolean(true), "true"},
                   {PrefValue::real(twoTo63), "9.22337203685478e+18"},
                   {PrefValue("8796093022208"), "8796093022208"}}),
        numberKey(prefs::kPercentageOfFreeDiskSpace, kPercentageRange,
                  {PrefValue(0), PrefValue(99), PrefValue("99"), PrefValue::real(50.0)},
                  {{PrefValue(100), "100"},
                   {PrefValue(150), "150"},
                   {PrefValue::boolean(false), "false"},
                   {PrefValue::real(99.5), "99.5"},
                   {PrefValue("150"), "150"}}),
        numberKey(prefs::kModeOfCacheFileHandling, kModeRange, {PrefValue(0), PrefValue(1), PrefValue("1"), PrefValue::real(1.0)},
                  {{PrefValue(2), "2"}, {PrefValue(5), "5"}, {PrefValue::boolean(true), "true"}, {PrefValue("copy"), "\"copy\""}}),
        numberKey(prefs::kTimeOfLastDaemonLaunch, kTimeRange,
                  {PrefValue(0), PrefValue(std::numeric_limits<int64_t>::max()), PrefValue("9223372036854775807"),
                   PrefValue::real(1765140000.0), PrefValue::real(std::ldexp(1.0, 62))},
                  {{PrefValue("9223372036854775808"), "9223372036854775808"},
                   {PrefValue::real(twoTo63), "9.22337203685478e+18"},
                   {PrefValue::boolean(true), "true"},
                   {PrefValue::real(1.5), "1.5"}}),
        switchKey(prefs::kDaemonsAreRunning),
        switchKey(prefs::kAppPrefsCheckUpdates),
        {prefs::kAppPrefs,
         "a dictionary",
         {PrefValue(PrefValue::Dictionary{}), PrefValue(PrefValue::Dictionary{{"x", PrefValue(1)}})},
         {{PrefValue(0), "0"},
          {PrefValue(1), "1"},
          {PrefValue::boolean(true), "true"},
          {PrefValue("x"), "\"x\""},
          {PrefValue(PrefValue::Array{}), "an array"},
          {PrefValue::real(1.5), "1.5"}}},
        switchKey(prefs::kDisplayMenuExtra),
        switchKey(prefs::kAppMustAskForPassword),
    };
}

std::string problemFor(const std::string &key, const std::string &range, const std::string &shown) {
    return "\"" + key + "\" must be " + range + ", not " + shown;
}

std::string xmlDomain(const std::string &body) {
    return "<?xml version=\"1.0\" encoding=\"UTF-8\"?>\n"
           "<!DOCTYPE plist PUBLIC \"-//Apple//DTD PLIST 1.0//EN\" \"http://www.apple.com/DTDs/PropertyList-1.0.dtd\">\n"
           "<plist version=\"1.0\">\n<dict>" +
           body + "</dict>\n</plist>\n";
}

/// The arguments of all three daemons, for comparing mirrors by what the daemons would get.
std::vector<Args> daemonLines(const SettingsMirror &mirror) {
    return {protectionDaemonArguments(mirror, "/t", "/c"), mountWatcherArguments(mirror), cacheManagerArguments(mirror)};
}

SettingsMirror defaultMirror() {
    SettingsMirror mirror;
    mirror.initDefaultMirror(false);
    return mirror;
}

} // namespace

TEST(SettingsStoreValidation, everyKeyTakesItsRangeAndRefusesAnythingElseNamingKeyRangeAndValue) {
    size_t checked = 0;
    for (const KeyRange &range : keyRanges()) {
        SCOPED_TRACE(range.key);
        for (const PrefValue &value : range.accepted) {
            EXPECT_EQ(settingValueProblem(range.key, value), std::nullopt) << ::testing::PrintToString(value.stringValue());
            ++checked;
        }
        for (const Refused &refused : range.refused) {
            auto problem = settingValueProblem(range.key, refused.value);
            ASSERT_TRUE(problem) << "accepted " << refused.shown;
            EXPECT_EQ(*problem, problemFor(range.key, range.range, refused.shown));
            ++checked;
        }
    }
    EXPECT_EQ(keyRanges().size(), 13u);
    EXPECT_GT(checked, 250u);
    // Another program's key is its business.
    EXPECT_EQ(settingValueProblem("Someone else's key", PrefValue(-1)), std::nullopt);
    EXPECT_EQ(settingValueProblem("Someone else's key", PrefValue(PrefValue::Array{})), std::nullopt);
}

TEST_F(SettingsStoreTest, badValueInTheFileIsNotTakenTheDefaultIsUsedAndAWarningSaysWhy) {
    struct Stored {
        std::string xml;
        std::string shown;
    };
    // Written as a user or another program might leave them. An integer beyond 64 bits is read
    // by libplist as the largest 64-bit pattern, which is -1.
    const std::vector<Stored> wrongForEveryNumber = {
        {"<integer>-1</integer>", "-1"},
        {"<integer>-9223372036854775808</integer>", "-9223372036854775808"},
        {"<integer>99999999999999999999</integer>", "-1"},
        {"<real>1e308</real>", "1e+308"},
        {"<real>7.5</real>", "7.5"},
        {"<string>abc</string>", "\"abc\""},
        {"<string>99999999999999999999</string>", "99999999999999999999"},
        {"<string> 7</string>", "\" 7\""},
        {"<array><integer>7</integer></array>", "an array"},
        {"<dict/>", "an empty dictionary"},
    };
    struct Case {
        std::string key;
        std::string range;
        std::string defaultShown;
        std::vector<Stored> stored;
    };
    auto number = [&](const char *key, const std::string &range, const std::string &defaultShown, std::vector<Stored> own) {
        Case c{key, range, defaultShown, wrongForEveryNumber};
        c.stored.insert(c.stored.end(), own.begin(), own.end());
        return c;
    };
    const std::vector<Stored> wrongForSwitches = {{"<integer>2</integer>", "2"}, {"<string>yes</string>", "\"yes\""}};
    const std::vector<Case> cases = {
        number(prefs::kSurveyHomeTrashOnly, kSwitchRange, "1", wrongForSwitches),
        number(prefs::kKeepDataForDays, kSwitchRange, "1", wrongForSwitches),
        number(prefs::kHowManyDaysToKeepData, kDaysRange, "7",
               {{"<integer>0</integer>", "0"}, {"<integer>4294967295</integer>", "4294967295"}, {"<true/>", "true"}}),
        number(prefs::kKeepDataForSizeMax, kSwitchRange, "1", wrongForSwitches),
        number(prefs::kSizeMaxForCache, kSizeRange, "4096",
               {{"<integer>8796093022208</integer>", "8796093022208"}, {"<true/>", "true"}}),
        number(prefs::kPercentageOfFreeDiskSpace, kPercentageRange, "10",
               {{"<integer>150</integer>", "150"}, {"<integer>100</integer>", "100"}, {"<true/>", "true"}}),
        number(prefs::kModeOfCacheFileHandling, kModeRange, "0", {{"<integer>5</integer>", "5"}, {"<true/>", "true"}}),
        number(prefs::kTimeOfLastDaemonLaunch, kTimeRange, "0",
               {{"<string>9223372036854775808</string>", "9223372036854775808"}, {"<false/>", "false"}}),
        number(prefs::kDaemonsAreRunning, kSwitchRange, "0", wrongForSwitches),
        number(prefs::kAppPrefsCheckUpdates, kSwitchRange, "1", wrongForSwitches),
        {prefs::kAppPrefs,
         "a dictionary",
         "an empty dictionary",
         {{"<integer>1</integer>", "1"}, {"<string>x</string>", "\"x\""}, {"<array/>", "an array"}, {"<true/>", "true"}}},
        number(prefs::kDisplayMenuExtra, kSwitchRange, "1", wrongForSwitches),
    };
    const SettingsMirror defaults = defaultMirror();
    PreferencesDomain domain(kQuilletDomain);
    size_t tried = 0;
    for (const Case &c : cases) {
        for (const Stored &stored : c.stored) {
            SCOPED_TRACE(c.key + " = " + stored.xml);
            dir.writeFile("config/com.plx.Quillet.plist", xmlDomain("<key>" + c.key + "</key>" + stored.xml));
            SettingsMirror mirror = SettingsMirror::load(domain, false);
            EXPECT_EQ(mirror.value(c.key), defaults.value(c.key));
            EXPECT_EQ(mirror.values(), defaults.values());
            EXPECT_EQ(daemonLines(mirror), daemonLines(defaults));
            EXPECT_EQ(mirror.warnings(),
                      std::vector<std::string>{problemFor(c.key, c.range, stored.shown) +
                                               ": the stored value is ignored, the default, " + c.defaultShown + ", is used"});
            ++tried;
        }
    }
    EXPECT_GE(tried, 130u);

    // The password flag has no default: the mirror takes what the keychain says.
    dir.writeFile("config/com.plx.Quillet.plist", xmlDomain("<key>App must ask for password</key><integer>7</integer>"));
    SettingsMirror mirror = SettingsMirror::load(domain, false);
    EXPECT_FALSE(mirror.appMustAskForPassword());
    EXPECT_EQ(mirror.warnings(), std::vector<std::string>{problemFor(prefs::kAppMustAskForPassword, kSwitchRange, "7") +
                                                          ": the stored value is ignored, 0 is used"});
}

TEST_F(SettingsStoreTest, fileWithEveryValueWrongStillGivesTheDaemonsTheDefaults) {
    // The housekeeping daemon deletes the day folders older than its day count, and all of them
    // when the limits say so: none of these may reach it.
    dir.writeFile("config/com.plx.Quillet.plist",
                  xmlDomain("<key>How many days to keep data</key><integer>-1</integer>"
                            "<key>Size max for cache</key><real>1e308</real>"
                            "<key>Percentage of free disk space</key><integer>150</integer>"
                            "<key>Mode of cache file handling</key><string>5</string>"
                            "<key>Survey home Trash only</key><string>yes</string>"
                            "<key>Keep data for days</key><array/>"
                            "<key>Keep data for size max</key><real>0.5</real>"
                            "<key>Time of last daemon launch</key><integer>-5</integer>"
                            "<key>Daemons are running</key><integer>2</integer>"
                            "<key>App_Prefs_checkUpdates</key><integer>-1</integer>"
                            "<key>App_Prefs</key><integer>3</integer>"
                            "<key>Display menu extra</key><string></string>"
                            "<key>App must ask for password</key><real>1e308</real>"
                            "<key>Someone else's key</key><integer>-1</integer>"));
    SettingsMirror mirror = SettingsMirror::load(PreferencesDomain(kQuilletDomain), false);
    EXPECT_EQ(mirror.warnings().size(), 13u);
    EXPECT_EQ(daemonLines(mirror), daemonLines(defaultMirror()));
    EXPECT_EQ(cacheManagerArguments(mirror), (Args{"7", "4096", "10", "0"}));
    // Not ours to judge.
    EXPECT_EQ(mirror.value("Someone else's key"), PrefValue(-1));
}

TEST_F(SettingsStoreTest, setValueRefusesAValueOutOfRangeAndWritesNothing) {
    PreferencesDomain domain(kQuilletDomain);
    ASSERT_TRUE(domain.setValue(prefs::kHowManyDaysToKeepData, PrefValue(30)));
    const std::string before = readFileText(domainPath());
    const std::vector<std::string> names = listNames(dir / "config");
    size_t tried = 0;
    for (const KeyRange &range : keyRanges()) {
        for (const Refused &refused : range.refused) {
            SCOPED_TRACE(range.key + " = " + refused.shown);
            auto written = domain.setValue(range.key, refused.value);
            ASSERT_FALSE(written);
            EXPECT_EQ(written.code(), EINVAL);
            EXPECT_EQ(written.status().message(), domainPath() + ": " + problemFor(range.key, range.range, refused.shown));
            ++tried;
        }
    }
    EXPECT_GT(tried, 200u);
    // One bad value among good ones: none is stored.
    auto mixed = domain.setValues({{prefs::kDaemonsAreRunning, PrefValue(1)}, {prefs::kPercentageOfFreeDiskSpace, PrefValue(150)}});
    EXPECT_EQ(mixed.code(), EINVAL);
    EXPECT_EQ(readFileText(domainPath()), before);
    EXPECT_EQ(listNames(dir / "config"), names);
}

TEST_F(SettingsStoreTest, everyAllowedValueIsStoredAndTakenByTheMirror) {
    PreferencesDomain domain(kQuilletDomain);
    for (const KeyRange &range : keyRanges()) {
        if (range.key == prefs::kAppMustAskForPassword)
            continue; // the mirror takes the keychain's answer instead
        for (const PrefValue &value : range.accepted) {
            SCOPED_TRACE(range.key + " = " + value.stringValue());
            auto written = domain.setValue(range.key, value);
            ASSERT_TRUE(written) << written.status().message();
            SettingsMirror mirror = SettingsMirror::load(domain, false);
            EXPECT_EQ(mirror.value(range.key), value);
            EXPECT_TRUE(mirror.warnings().empty()) << mirror.warnings().front();
        }
    }
}

// ---------------------------------------------------------------------------------------------
// Nesting: a deeply nested file is corrupt, in either form, at the same depth.

namespace {

/// Collections nested in a libplist tree, the top one counting 1.
uint32_t libplistDepth(plist_t node) {
    uint32_t deepest = 0;
    if (plist_get_node_type(node) == PLIST_ARRAY) {
        for (uint32_t i = 0; i < plist_array_get_size(node); ++i)
            deepest = std::max(deepest, libplistDepth(plist_array_get_item(node, i)));
        return deepest + 1;
    }
    if (plist_get_node_type(node) == PLIST_DICT) {
        (void)forEachPlistEntry(node, [&](const char *, plist_t item) {
            deepest = std::max(deepest, libplistDepth(item));
            return true;
        });
        return deepest + 1;
    }
    return 0;
}

std::string repeat(const std::string &text, size_t count) {
    std::string out;
    for (size_t i = 0; i < count; ++i)
        out += text;
    return out;
}

/// arrays nested count deep under key "a", innermost holding inner.
std::string nestedXml(size_t count, const std::string &inner = "") {
    return xmlDomain("<key>a</key>" + repeat("<array>", count) + inner + repeat("</array>", count));
}

std::string nestedBinary(size_t count) {
    plist_t root = plist_new_dict();
    plist_t innermost = plist_new_array();
    for (size_t i = 1; i < count; ++i) {
        plist_t outer = plist_new_array();
        plist_array_append_item(outer, innermost);
        innermost = outer;
    }
    plist_dict_set_item(root, "a", innermost);
    char *bytes = nullptr;
    uint32_t length = 0;
    plist_to_bin(root, &bytes, &length);
    plist_free(root);
    std::string out(bytes, length);
    plist_to_bin_free(bytes);
    return out;
}

} // namespace

TEST_F(SettingsStoreTest, deeplyNestedFileIsCorruptGivesDefaultsAndIsKeptAsideByTheNextWrite) {
    // 20,000 nested arrays make a 300 KB file, 69,000 nearly the largest file read: reading
    // either once overflowed the stack.
    for (size_t levels : {size_t{20000}, size_t{69000}}) {
        SCOPED_TRACE(levels);
        test::removeTree(dir / "config");
        const std::string content =
            xmlDomain("<key>How many days to keep data</key><integer>30</integer><key>Someone else's key</key>" +
                      repeat("<array>", levels) + repeat("</array>", levels));
        ASSERT_LE(content.size(), kMaxDomainFileBytes);
        const std::string path = dir.writeFile("config/com.plx.Quillet.plist", content);
        PreferencesDomain domain(kQuilletDomain);
        auto stored = domain.read();
        ASSERT_FALSE(stored);
        EXPECT_EQ(stored.code(), EBADMSG);
        SettingsMirror mirror = SettingsMirror::load(domain, false);
        EXPECT_EQ(mirror.daysToKeep(), 7);
        ASSERT_EQ(mirror.warnings().size(), 1u);
        EXPECT_NE(mirror.warnings()[0].find("nested more than 32 levels deep"), std::string::npos) << mirror.warnings()[0];

        auto report = domain.setValue(prefs::kDaemonsAreRunning, PrefValue(1));
        ASSERT_TRUE(report) << report.status().message();
        EXPECT_EQ(readFileText(report->corruptCopyPath), content);
        EXPECT_EQ(*domain.read(), (PrefValues{{prefs::kDaemonsAreRunning, PrefValue(1)}}));
    }
}

TEST_F(SettingsStoreTest, nestingUpToTheLimitIsReadInBothFormsOneLevelMoreInNeither) {
    struct Case {
        const char *what;
        std::string content;
        bool readable;
    };
    // The top dictionary is at depth 0: kMaxSettingsDepth arrays below it are the most allowed.
    const std::vector<Case> cases = {
        {"XML at the limit", nestedXml(kMaxSettingsDepth), true},
        {"XML at the limit with an empty array inside", nestedXml(kMaxSettingsDepth - 1, "<array/>"), true},
        {"XML one deeper", nestedXml(kMaxSettingsDepth + 1), false},
        {"XML one deeper by an empty array", nestedXml(kMaxSettingsDepth, "<array/>"), false},
        {"XML one deeper by an empty dictionary", nestedXml(kMaxSettingsDepth, "<dict/>"), false},
        {"binary at the limit", nestedBinary(kMaxSettingsDepth), true},
        {"binary one deeper", nestedBinary(kMaxSettingsDepth + 1), false},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(c.what);
        dir.writeFile("config/com.plx.Quillet.plist", c.content);
        auto stored = PreferencesDomain(kQuilletDomain).read();
        EXPECT_EQ(stored.ok(), c.readable) << stored.status().message();
        if (!c.readable) {
            EXPECT_EQ(stored.code(), EBADMSG);
        }
    }
}

TEST(SettingsStoreXmlCheck, markupLibplistSkipsDoesNotCountAndNestingItBuildsDoes) {
    const std::string deep = repeat("<array>", kMaxSettingsDepth + 5);
    const std::string closings = repeat("</array>", kMaxSettingsDepth + 5);
    struct Case {
        const char *what;
        std::string body; // inside the top dictionary
        bool accepted;
    };
    const std::vector<Case> cases = {
        {"arrays in a comment", "<!-- " + deep + " --><key>a</key><true/>", true},
        {"arrays in a CDATA section", "<key>a</key><string><![CDATA[" + deep + "]]></string>", true},
        {"arrays in a comment inside text", "<key>a</key><string>x<!-- " + deep + " -->y</string>", true},
        {"arrays in a processing instruction", "<?pi " + deep + " ?><key>a</key><true/>", true},
        {"a quoted ?> does not end a processing instruction", "<?pi \"?>\" " + deep + " ?><key>a</key><true/>", true},
        {"arrays in a DOCTYPE internal subset", "<!DOCTYPE x [ " + deep + " ]><key>a</key><true/>", true},
        {"arrays in an attribute", "<key>a</key><array x=\"" + deep + "\"></array>", true},
        {"arrays as text", "<key>a</key><string>&lt;array&gt;</string>", true},
        {"arrays nested too deep", "<key>a</key>" + deep + closings, false},
        {"closing tags in comments do not close",
         "<key>a</key>" + repeat("<array><!-- </array> -->", kMaxSettingsDepth + 5) + closings, false},
        {"closing tags in a DOCTYPE do not close",
         "<key>a</key>" + repeat("<array><!DOCTYPE x [ </array> ]>", kMaxSettingsDepth + 5) + closings, false},
        {"closing tags in a processing instruction do not close",
         "<key>a</key>" + repeat("<array><?pi \"?>\" </array> ?>", kMaxSettingsDepth + 5) + closings, false},
        {"a quoted > does not end a tag", "<key>a</key>" + repeat("<array x=\">\">", kMaxSettingsDepth + 5) + closings, false},
        {"a NUL byte", std::string("<key>a</key><string>a\0b</string>", 33), false},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(c.what);
        const std::string text = xmlDomain(c.body);
        const bool accepted = checkXmlPlist(text, kMaxSettingsDepth);
        EXPECT_EQ(accepted, c.accepted);
        // Whatever the check lets through, libplist builds no deeper.
        plist_t root = nullptr;
        plist_from_xml(text.data(), static_cast<uint32_t>(text.size()), &root);
        std::unique_ptr<void, void (*)(void *)> owner(root, [](void *node) { plist_free(static_cast<plist_t>(node)); });
        if (accepted) {
            ASSERT_NE(root, nullptr) << "libplist refuses what the check accepts";
            EXPECT_LE(libplistDepth(root), kMaxSettingsDepth + 1);
        } else if (root && c.body.find('\0') == std::string::npos) {
            EXPECT_GT(libplistDepth(root), kMaxSettingsDepth + 1) << "refused although libplist builds it shallow";
        }
    }
}

// ---------------------------------------------------------------------------------------------
// Writes the reader would not take back are refused.

TEST_F(SettingsStoreTest, writeTheReaderWouldRefuseIsRefusedAndTheFileKept) {
    PreferencesDomain domain(kQuilletDomain);
    ASSERT_TRUE(domain.setValue(prefs::kHowManyDaysToKeepData, PrefValue(30)));
    const std::string before = readFileText(domainPath());
    const std::vector<std::string> names = listNames(dir / "config");

    PrefValue deepest = PrefValue(PrefValue::Array{});
    for (uint32_t level = 1; level < kMaxSettingsDepth; ++level)
        deepest = PrefValue(PrefValue::Array{deepest});
    const PrefValue tooDeep(PrefValue::Array{deepest});
    struct Case {
        const char *what;
        PrefValues values;
    };
    const std::vector<Case> cases = {
        {"a string as large as the largest file", {{"Another program's key", PrefValue(std::string(kMaxDomainFileBytes, 'x'))}}},
        {"many strings together too large",
         {{"one", PrefValue(std::string(kMaxDomainFileBytes / 2, 'x'))}, {"two", PrefValue(std::string(kMaxDomainFileBytes / 2, 'y'))}}},
        {"nesting one level too deep", {{"Another program's key", tooDeep}}},
        {"nesting too deep inside App_Prefs", {{prefs::kAppPrefs, PrefValue(PrefValue::Dictionary{{"inner", deepest}})}}},
        {"a key with NUL", {{std::string("key\0with NUL", 12), PrefValue(1)}}},
        {"a string with NUL that is not UTF-8", {{"Another program's key", PrefValue(std::string("\xff\0", 2))}}},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(c.what);
        auto written = domain.setValues(c.values);
        ASSERT_FALSE(written);
        EXPECT_EQ(written.code(), EFBIG) << written.status().message();
        EXPECT_EQ(readFileText(domainPath()), before);
        EXPECT_EQ(listNames(dir / "config"), names);
    }

    // At the limit it is stored and read back.
    ASSERT_TRUE(domain.setValue("Another program's key", deepest));
    EXPECT_EQ(domain.read()->at("Another program's key"), deepest);
}

TEST_F(SettingsStoreTest, refusedWriteLeavesEvenACorruptFileInPlace) {
    const std::string content = "not a property list";
    dir.writeFile("config/com.plx.Quillet.plist", content);
    PreferencesDomain domain(kQuilletDomain);
    auto written = domain.setValue("Another program's key", PrefValue(std::string(kMaxDomainFileBytes, 'x')));
    ASSERT_FALSE(written);
    EXPECT_EQ(written.code(), EFBIG);
    EXPECT_EQ(readFileText(domainPath()), content);
    EXPECT_EQ(listNames(dir / "config"), (std::vector<std::string>{"com.plx.Quillet.plist", "com.plx.Quillet.plist.lock"}));
}

TEST_F(SettingsStoreTest, contentsTooLargeAsXmlAreWrittenInBinaryWhenThatFits) {
    // "<" takes four bytes in XML and one in the binary form.
    const PrefValue brackets(std::string(kMaxDomainFileBytes / 2, '<'));
    PreferencesDomain domain(kQuilletDomain);
    ASSERT_TRUE(domain.setValue("Another program's key", brackets));
    EXPECT_EQ(readFileText(domainPath()).rfind("bplist00", 0), 0u);
    EXPECT_EQ(domain.read()->at("Another program's key"), brackets);
    ASSERT_TRUE(domain.removeKey("Another program's key"));
    EXPECT_EQ(readFileText(domainPath()).rfind("<?xml", 0), 0u);
}

// ---------------------------------------------------------------------------------------------
// Strings holding NUL survive every later write.

TEST_F(SettingsStoreTest, stringsWithNulSurviveWritesOfOtherKeys) {
    const std::vector<std::string> texts = {
        std::string("a\0b", 3),         std::string("\0", 1), std::string("trailing\0", 9),
        std::string("\0\0\0", 3),       std::string("caf\xc3\xa9\0\xf0\x9f\x98\x80", 10),
        std::string("<&>\0]]>", 7),
    };
    PreferencesDomain domain(kQuilletDomain);
    for (const std::string &text : texts) {
        SCOPED_TRACE(::testing::PrintToString(text));
        test::removeTree(dir / "config");
        ASSERT_TRUE(domain.setValues({{"Another program's key", PrefValue(text)},
                                      {prefs::kAppPrefs, PrefValue(PrefValue::Dictionary{{"note", PrefValue(text)}})}}));
        // XML cannot carry NUL: the file is binary while it holds one.
        EXPECT_EQ(readFileText(domainPath()).rfind("bplist00", 0), 0u);
        ASSERT_TRUE(domain.setValue(prefs::kDaemonsAreRunning, PrefValue(1)));
        ASSERT_TRUE(domain.setValue(prefs::kHowManyDaysToKeepData, PrefValue(30)));
        auto stored = domain.read();
        ASSERT_TRUE(stored) << stored.status().message();
        EXPECT_EQ(stored->at("Another program's key"), PrefValue(text));
        EXPECT_EQ(stored->at(prefs::kAppPrefs).dictionary().at("note"), PrefValue(text));
        EXPECT_EQ(stored->at(prefs::kHowManyDaysToKeepData), PrefValue(30));
    }
}

TEST_F(SettingsStoreTest, anotherProgramsBinaryFileKeepsItsNulStringAndFractionalDateThroughOurWrite) {
    // Made by hand as another writer would: a UTF-16 string "a", NUL, "é" (which libplist reads
    // whole) and a date 1.5 seconds after 2001-01-01 (which XML cannot carry).
    std::string file = "bplist00";
    file += std::string("\xd2\x01\x02\x03\x04", 5);            // 0: {1: 3, 2: 4}
    file += "\x51" "s";                                          // 1: "s"
    file += "\x51" "d";                                          // 2: "d"
    file += std::string("\x63\x00\x61\x00\x00\x00\xe9", 7);    // 3: "a\0é" in UTF-16
    file += std::string("\x33\x3f\xf8\x00\x00\x00\x00\x00\x00", 9); // 4: date 1.5
    const std::string offsets = std::string("\x08\x0d\x0f\x11\x18", 5);
    const size_t tableStart = file.size();
    file += offsets;
    file += std::string(6, '\0') + "\x01\x01";
    file += std::string("\0\0\0\0\0\0\0\x05", 8) + std::string(8, '\0');
    file += std::string("\0\0\0\0\0\0\0", 7) + static_cast<char>(tableStart);
    dir.writeFile("config/com.plx.Quillet.plist", file);

    PreferencesDomain domain(kQuilletDomain);
    auto stored = domain.read();
    ASSERT_TRUE(stored) << stored.status().message();
    const PrefValue text(std::string("a\0\xc3\xa9", 4));
    EXPECT_EQ(*stored, (PrefValues{{"s", text}}));

    ASSERT_TRUE(domain.setValue(prefs::kDaemonsAreRunning, PrefValue(1)));
    auto bytes = sys::readFile(domainPath(), kMaxDomainFileBytes);
    ASSERT_TRUE(bytes);
    auto top = parseSettingsFile(*bytes);
    ASSERT_TRUE(top);
    ASSERT_NE(top->find("s"), nullptr);
    EXPECT_EQ(top->find("s")->bytes, std::string("a\0\xc3\xa9", 4));
    ASSERT_NE(top->find("d"), nullptr);
    EXPECT_EQ(top->find("d")->kind, PlistNode::Kind::Date);
    EXPECT_EQ(top->find("d")->seconds, 1);
    EXPECT_EQ(top->find("d")->microseconds, 500000);
    EXPECT_EQ(domain.read()->at(prefs::kDaemonsAreRunning), PrefValue(1));
}

TEST_F(SettingsStoreTest, xmlFileWithANulByteIsCorruptRatherThanReadAltered) {
    // libplist would read "a", NUL, "b" as "a", NUL, NUL: the file is kept aside instead.
    const std::string content = xmlDomain(std::string("<key>k</key><string>a\0b</string>", 33));
    dir.writeFile("config/com.plx.Quillet.plist", content);
    PreferencesDomain domain(kQuilletDomain);
    EXPECT_EQ(domain.read().code(), EBADMSG);
    auto report = domain.setValue(prefs::kDaemonsAreRunning, PrefValue(1));
    ASSERT_TRUE(report);
    EXPECT_EQ(readFileText(report->corruptCopyPath), content);
}
