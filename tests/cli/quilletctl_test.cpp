#include "Commands.h"

#include "archive/CacheLayout.h"

#include "ChildProcess.h"
#include "control/DaemonControl.h"
#include "archive/NotArchived.h"
#include "OtherAccount.h"
#include "settings/PreferencesDomain.h"
#include "settings/SettingsStore.h"
#include "TestDir.h"
#include "archive/TrashInfo.h"
#include "platform/ProcessTable.h"
#include "platform/System.h"

#include <gtest/gtest.h>
#include <fcntl.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <map>
#include <optional>
#include <sstream>

using namespace quillet;
using quillet::test::ScopedEnv;
using quillet::test::TestDir;

namespace {

struct Outcome {
    int exitStatus = -1;
    std::string out;
    std::string err;
};

// Runs the built quilletctl (and, through it, the real daemons of the build), so CTest runs it
// alone: it reads and signals every daemon on the machine.
class QuilletctlTest : public ::testing::Test {
protected:
    QuilletctlTest()
        : _home("HOME", _dir / "home"), _data("XDG_DATA_HOME", _dir / "data"), _config("XDG_CONFIG_HOME", _dir / "config"),
          _roots("QUILLET_VOLUME_ROOTS", _dir / "volumes"),
          _daemons(sys::parentPath(quillet::test::libexecPath("quilletd"))) {
        _dir.makeDir("home");
        _dir.makeDir("volumes");
        _dir.makeDir("run");
    }
    void TearDown() override {
        _daemons.killAllDaemons();
        quillet::test::waitFor([&] { return daemonCount() == 0; });
    }

    static std::string programPath() {
        std::string libexec = quillet::test::libexecPath("quilletd");
        const std::string tail = "/libexec/quillet/quilletd";
        return libexec.substr(0, libexec.size() - tail.size()) + "/bin/quilletctl";
    }

    std::vector<std::string> environment() const {
        return {"HOME=" + (_dir / "home"),        "XDG_DATA_HOME=" + (_dir / "data"),
                "XDG_CONFIG_HOME=" + (_dir / "config"), "QUILLET_VOLUME_ROOTS=" + (_dir / "volumes"),
                "PATH=/usr/bin:/bin",             "TZ=UTC"};
    }

    /// Runs the built quilletctl with args; with a prefix (a command such as setpriv that runs
    /// what follows it), through that command.
    Outcome quilletctl(const std::vector<std::string> &args, const std::vector<std::string> &prefix = {}) {
        const std::string outPath = _dir / "run/out";
        const std::string errPath = _dir / "run/err";
        std::vector<std::string> strings = prefix;
        strings.push_back(programPath());
        strings.insert(strings.end(), args.begin(), args.end());
        std::vector<std::string> envStrings = environment();
        std::vector<char *> argv;
        for (std::string &s : strings)
            argv.push_back(s.data());
        argv.push_back(nullptr);
        std::vector<char *> envp;
        for (std::string &s : envStrings)
            envp.push_back(s.data());
        envp.push_back(nullptr);
        pid_t pid = ::fork();
        if (pid == 0) {
            int outFd = ::open(outPath.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0666);
            int errFd = ::open(errPath.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0666);
            if (outFd < 0 || errFd < 0 || ::dup2(outFd, 1) < 0 || ::dup2(errFd, 2) < 0)
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
        outcome.out = quillet::test::readFileText(outPath);
        outcome.err = quillet::test::readFileText(errPath);
        return outcome;
    }

    static std::vector<std::vector<std::string>> running(const char *name) {
        return quillet::test::argumentsOfProcessesNamed(name);
    }
    static size_t daemonCount() {
        return running(kProtectionDaemonName).size() + running(kCacheManagerDaemonName).size() +
               running(kMountDaemonName).size();
    }

    // A cache with one archived file, as quilletd leaves it.
    void makeCache() { _dir.writeFile("home/.TrashCacheFolder/2026-12-07 15_42 +0000/.x_Report.pdf", "twelve bytes"); }

    TestDir _dir;
    ScopedEnv _home, _data, _config, _roots;
    DaemonControl _daemons;
};

int runInProcess(const std::vector<std::string> &args, std::string *out = nullptr, std::string *err = nullptr) {
    std::ostringstream outStream;
    std::ostringstream errStream;
    int status = cli::run(args, outStream, errStream);
    if (out)
        *out = outStream.str();
    if (err)
        *err = errStream.str();
    return status;
}

} // namespace

TEST(QuilletctlUsage, usageErrorsExitWithTwoAndNameTheProblem) {
    struct Case {
        std::vector<std::string> args;
        std::string named;
    };
    const Case cases[] = {
        {{}, "no command"},
        {{"frobnicate"}, "frobnicate"},
        {{"status", "extra"}, "status"},
        {{"settings", "No such key", "1"}, "No such key"},
        {{"settings", std::string(prefs::kHowManyDaysToKeepData), "many"}, "many"},
        {{"settings", std::string(prefs::kDaemonsAreRunning), "1"}, "kept by Quillet itself"},
        {{"settings", std::string(prefs::kDaemonsAreRunning)}, "kept by Quillet itself"},
        {{"settings", std::string(prefs::kAppMustAskForPassword), "0"}, "password"},
        {{"settings", "No such key"}, "unknown key \"No such key\""},
        {{"list", "--sort", "colour"}, "colour"},
        {{"list", "--hours", "-3"}, "-3"},
        {{"list", "--wide"}, "--wide"},
        {{"search"}, "TEXT"},
        {{"start", "--json"}, "start"},
    };
    for (const Case &c : cases) {
        std::string err;
        EXPECT_EQ(runInProcess(c.args, nullptr, &err), cli::kExitUsage) << ::testing::PrintToString(c.args);
        EXPECT_NE(err.find(c.named), std::string::npos) << err;
    }
}

TEST(QuilletctlUsage, helpExitsWithZeroForEveryCommand) {
    for (const char *command : {"status", "start", "stop", "settings", "list", "search", "log"}) {
        std::string out;
        EXPECT_EQ(runInProcess({command, "--help"}, &out), cli::kExitSuccess) << command;
        EXPECT_NE(out.find(std::string("quilletctl ") + command), std::string::npos) << out;
    }
    std::string out;
    EXPECT_EQ(runInProcess({"--help"}, &out), cli::kExitSuccess);
    EXPECT_NE(out.find("Commands:"), std::string::npos);
}

TEST(QuilletctlLog, showsTheLastLinesOfTheDaemonsLog) {
    TestDir dir;
    ScopedEnv state("XDG_STATE_HOME", dir.path());
    std::string out;
    EXPECT_EQ(runInProcess({"log"}, &out), cli::kExitSuccess) << "no log yet is no failure";
    EXPECT_EQ(out, "");
    std::string text;
    for (int i = 1; i <= 60; ++i)
        text += "quilletd: line " + std::to_string(i) + "\n";
    dir.writeFile("quillet/daemons.log", text);
    ASSERT_EQ(runInProcess({"log", "--lines", "2"}, &out), cli::kExitSuccess);
    EXPECT_EQ(out, "quilletd: line 59\nquilletd: line 60\n");
    ASSERT_EQ(runInProcess({"log"}, &out), cli::kExitSuccess);
    EXPECT_EQ(out.substr(0, 19), "quilletd: line 11\nq");
    for (const char *bad : {"0", "-3", "100001", "many"}) {
        std::string err;
        EXPECT_EQ(runInProcess({"log", "--lines", bad}, &out, &err), cli::kExitUsage) << bad;
        EXPECT_NE(err.find("--lines"), std::string::npos) << err;
    }
}

TEST(QuilletctlUsage, jsonStringEscapesQuotesBackslashesAndControls) {
    EXPECT_EQ(cli::jsonString("a\"b\\c\nd\x01"), "\"a\\\"b\\\\c\\nd\\u0001\"");
}

TEST(QuilletctlUsage, jsonStringKeepsUtf8AndEscapesStrayBytesAsSurrogates) {
    EXPECT_EQ(cli::jsonString("caf\xc3\xa9"), "\"caf\xc3\xa9\"");
    EXPECT_EQ(cli::jsonString("a\xff" "b\xc3"), "\"a\\udcffb\\udcc3\"");
    // An encoded surrogate is no well-formed UTF-8: each of its bytes is escaped.
    EXPECT_EQ(cli::jsonString("\xed\xa0\x80"), "\"\\udced\\udca0\\udc80\"");
    EXPECT_EQ(cli::jsonString(std::string("\0\x1f", 2)), "\"\\u0000\\u001f\"");
}

// Text rows hold one row per line and one field per tab whatever the names hold, and every
// escaped text reads back as exactly the bytes it was written for.
TEST(QuilletctlUsage, textEscapesKeepRowsWholeAndReadBack) {
    struct Case {
        std::string bytes;
        std::string text;
    } cases[] = {
        {"plain name.txt", "plain name.txt"},
        {"caf\xc3\xa9 \xe6\x97\xa5", "caf\xc3\xa9 \xe6\x97\xa5"},
        {"a\\b", "a\\\\b"},
        {"line\nbreak\ttab", "line\\nbreak\\ttab"},
        {std::string("\0\x01\r\x1b\x7f", 5), "\\000\\001\\015\\033\\177"},
        {"\xff\xfe", "\\377\\376"},
        {"\xc2\x85next", "\\302\\205next"}, // C1 control
        {"\xc2\xa0nbsp", "\xc2\xa0nbsp"},
        {"cut \xe6\x97", "cut \\346\\227"},
        {"\xed\xb3\xbf", "\\355\\263\\277"},
    };
    for (const Case &c : cases) {
        EXPECT_EQ(cli::escapedText(c.bytes), c.text) << ::testing::PrintToString(c.bytes);
        EXPECT_EQ(cli::unescapedText(c.text), c.bytes) << c.text;
    }
    // Only the way the rows write bytes reads back: never two texts for one name.
    for (const char *text : {"a\\qb", "end\\", "\\101", "\\400", "\\12", "\\r", "\xff"})
        EXPECT_EQ(cli::unescapedText(text), std::nullopt) << text;

    EXPECT_EQ(cli::surrogateEscapesDecoded("a\xed\xb3\xbf" "b\xed\xb2\x80"), "a\xff" "b\x80");
    EXPECT_EQ(cli::surrogateEscapesDecoded("caf\xc3\xa9"), std::nullopt);
    EXPECT_EQ(cli::surrogateEscapesDecoded("\xed\xa0\x80"), std::nullopt) << "not a byte's escape";
}

TEST_F(QuilletctlTest, statusStartSettingsStopDriveTheRealDaemons) {
    ASSERT_TRUE(daemonCount() == 0) << "daemons of another run are still alive";

    Outcome stopped = quilletctl({"status"});
    EXPECT_EQ(stopped.exitStatus, 0) << stopped.err;
    EXPECT_NE(stopped.out.find("Protection: off"), std::string::npos) << stopped.out;

    Outcome defaults = quilletctl({"settings"});
    EXPECT_EQ(defaults.exitStatus, 0) << defaults.err;
    EXPECT_NE(defaults.out.find("How many days to keep data = 7"), std::string::npos) << defaults.out;
    EXPECT_NE(defaults.out.find("Size max for cache = 4096"), std::string::npos) << defaults.out;

    Outcome started = quilletctl({"start"});
    ASSERT_EQ(started.exitStatus, 0) << started.err;
    ASSERT_TRUE(quillet::test::waitFor([] { return running(kProtectionDaemonName).size() == 1; }));

    Outcome on = quilletctl({"status"});
    EXPECT_EQ(on.exitStatus, 0) << on.err;
    EXPECT_NE(on.out.find("Protection: on"), std::string::npos) << on.out;
    EXPECT_NE(on.out.find("Protection daemons: 1"), std::string::npos) << on.out;

    Outcome json = quilletctl({"status", "--json"});
    EXPECT_EQ(json.exitStatus, 0) << json.err;
    EXPECT_EQ(json.out.front(), '{');
    EXPECT_NE(json.out.find("\"protection\": true"), std::string::npos) << json.out;
    EXPECT_NE(json.out.find("\"protectionDaemons\": 1"), std::string::npos) << json.out;

    Outcome again = quilletctl({"start"});
    EXPECT_EQ(again.exitStatus, 0) << again.err;
    EXPECT_NE(again.out.find("already running"), std::string::npos) << again.out;

    Outcome set = quilletctl({"settings", prefs::kSizeMaxForCache, "2048"});
    EXPECT_EQ(set.exitStatus, 0) << set.err;
    EXPECT_NE(set.out.find("restarted"), std::string::npos) << set.out;
    ASSERT_TRUE(quillet::test::waitFor([] {
        auto lines = running(kProtectionDaemonName);
        return lines.size() == 1 && lines[0].size() == 6 && lines[0][3] == "2048";
    })) << "quilletd was not restarted with the new size";
    auto stored = PreferencesDomain(kQuilletDomain).read();
    ASSERT_TRUE(stored);
    EXPECT_EQ(stored->at(prefs::kSizeMaxForCache).integerValue(), 2048);

    Outcome unknown = quilletctl({"settings", "Colour of the trash", "3"});
    EXPECT_EQ(unknown.exitStatus, 2);
    EXPECT_NE(unknown.err.find("Colour of the trash"), std::string::npos) << unknown.err;

    Outcome stop = quilletctl({"stop"});
    EXPECT_EQ(stop.exitStatus, 0) << stop.err;
    EXPECT_EQ(daemonCount(), 0u);
    Outcome off = quilletctl({"status"});
    EXPECT_NE(off.out.find("Protection: off"), std::string::npos) << off.out;
}

// Another account running protection neither stands for ours nor holds up our stop: status
// says off, start launches our own daemons, stop returns at once and leaves theirs alone.
TEST_F(QuilletctlTest, anotherAccountsProtectionNeitherCountsNorIsStopped) {
    ASSERT_TRUE(daemonCount() == 0) << "daemons of another run are still alive";
    auto other = quillet::test::otherAccount();
    if (!other)
        GTEST_SKIP() << quillet::test::otherAccountSkipReason();
    const std::string theirFolder = _dir.makeDir("theirs", 0755);
    ASSERT_EQ(::chmod(_dir.path().c_str(), 0755), 0);
    quillet::test::ChildProcess theirs[3];
    const char *names[] = {kProtectionDaemonName, kCacheManagerDaemonName, kMountDaemonName};
    for (int i = 0; i < 3; ++i) {
        ASSERT_EQ(quillet::test::runShell("cp /bin/sleep '" + theirFolder + "/" + names[i] + "'"), 0);
        auto command = quillet::test::commandAs(*other, theirFolder + "/" + names[i], {"120"});
        ASSERT_TRUE(theirs[i].start(command.front(), {command.begin() + 1, command.end()}, {}, _dir / "run/theirs"));
    }
    ASSERT_TRUE(quillet::test::waitFor([&] {
        return std::all_of(std::begin(theirs), std::end(theirs),
                           [](auto &p) { return quillet::test::processState(p.pid()) == 'S'; });
    }));

    Outcome off = quilletctl({"status"});
    EXPECT_NE(off.out.find("Protection: off"), std::string::npos) << off.out;
    EXPECT_NE(off.out.find("Protection daemons: 0"), std::string::npos) << off.out;
    Outcome started = quilletctl({"start"});
    EXPECT_EQ(started.exitStatus, 0) << started.err;
    EXPECT_NE(started.out.find("Protection started."), std::string::npos) << started.out;
    ASSERT_TRUE(quillet::test::waitFor([] { return running(kProtectionDaemonName).size() == 1; }));
    Outcome on = quilletctl({"status"});
    EXPECT_NE(on.out.find("Protection daemons: 1"), std::string::npos) << on.out;
    Outcome stopped = quilletctl({"stop"});
    EXPECT_EQ(stopped.exitStatus, 0) << stopped.err;
    EXPECT_EQ(daemonCount(), 0u);
    for (auto &process : theirs)
        EXPECT_TRUE(process.running()) << "another account's daemon was stopped";
}

// A shared volume whose cache folder another account made (open to all, with a minute folder
// ready) is shown as not protected, with the reason, and start says so and writes nothing there.
TEST_F(QuilletctlTest, aVolumeWhoseCacheBelongsToAnotherAccountIsReportedNotProtected) {
    ASSERT_TRUE(daemonCount() == 0) << "daemons of another run are still alive";
    quillet::test::TmpfsMount shared(_dir / "volumes/Shared", "8m");
    if (!shared.mounted())
        GTEST_SKIP() << "cannot mount a tmpfs here (needs root)";
    const std::string cache = _dir / "volumes/Shared/.TrashCacheFolder";
    _dir.makeDir("volumes/Shared/.TrashCacheFolder/2026-12-08 10_00 +0000", 0777);
    ASSERT_EQ(::chmod(cache.c_str(), 0777), 0);
    ASSERT_EQ(::chown(cache.c_str(), 4242, 4242), 0);
    ASSERT_EQ(quilletctl({"settings", prefs::kSurveyHomeTrashOnly, "0"}).exitStatus, 0);
    const std::string reason = _dir / "volumes/Shared" + ": " + cache + ": belongs to another account (uid 4242)";

    Outcome status = quilletctl({"status"});
    EXPECT_EQ(status.exitStatus, 0) << status.err;
    EXPECT_NE(status.out.find("Not protected: " + reason), std::string::npos) << status.out;
    Outcome json = quilletctl({"status", "--json"});
    EXPECT_NE(json.out.find("\"unprotected\": [{\"volume\": \"" + _dir / "volumes/Shared"), std::string::npos)
        << json.out;

    Outcome started = quilletctl({"start"});
    EXPECT_EQ(started.exitStatus, 1) << started.out;
    EXPECT_NE(started.err.find("quilletctl: not protected: " + reason), std::string::npos) << started.err;
    EXPECT_NE(started.out.find("Protection started."), std::string::npos) << started.out;
    ASSERT_TRUE(quillet::test::waitFor([] { return running(kProtectionDaemonName).size() == 1; }));
    EXPECT_EQ(running(kProtectionDaemonName)[0][2], _dir / "home/");
    EXPECT_EQ(quillet::test::listNames(cache), std::vector<std::string>{"2026-12-08 10_00 +0000"});
    EXPECT_EQ(quilletctl({"stop"}).exitStatus, 0);
}

// The whole story as an ordinary user meets it: another account (here root) made the shared
// volume's cache folder, open to all, with a minute folder ready. The user's start says the
// volume is not protected, and an item the user trashes there with trash-put never lands in the
// other account's folder; the home trash is protected as ever.
TEST_F(QuilletctlTest, anOrdinaryUserNeverArchivesIntoAnotherAccountsCacheOnASharedVolume) {
    ASSERT_TRUE(daemonCount() == 0) << "daemons of another run are still alive";
    auto user = quillet::test::otherAccount();
    if (!user)
        GTEST_SKIP() << quillet::test::otherAccountSkipReason();
    const std::vector<std::string> asUser = quillet::test::commandAs(*user, "/usr/bin/env", {});
    if (quillet::test::runShell("/usr/bin/setpriv --reuid=" + std::to_string(user->uid) + " --regid=" +
                                std::to_string(user->gid) + " --clear-groups -- test -x '" + programPath() + "'") != 0)
        GTEST_SKIP() << "the build folder is not reachable by " << user->name;
    // Whatever happens, the user's daemons do not outlive the test (the fixture stops only the
    // daemons of the account running the tests).
    struct StopTheirDaemons {
        uid_t uid;
        ~StopTheirDaemons() {
            (void)quillet::test::runShell("pkill -KILL -U " + std::to_string(uid) + " quillet >/dev/null 2>&1");
        }
    } stopTheirDaemons{user->uid};
    quillet::test::TmpfsMount shared(_dir / "volumes/Shared", "8m");
    if (!shared.mounted())
        GTEST_SKIP() << "cannot mount a tmpfs here (needs root)";
    ASSERT_EQ(::chmod((_dir / "volumes/Shared").c_str(), 01777), 0);
    const std::string theirCache = _dir / "volumes/Shared/.TrashCacheFolder";
    for (const std::string &minute : {std::string("2026-12-08 10_00 +0000"), finderCompatibleDateDescription(::time(nullptr)),
                                      finderCompatibleDateDescription(::time(nullptr) + 60)})
        _dir.makeDir("volumes/Shared/.TrashCacheFolder/" + minute, 0777);
    ASSERT_EQ(::chmod(theirCache.c_str(), 0777), 0);
    // The test's folders are the user's: home, data, configuration, and the volume's file.
    ASSERT_EQ(::chmod(_dir.path().c_str(), 0755), 0);
    _dir.makeDir("config");
    _dir.makeDir("data");
    for (const char *folder : {"home", "run", "volumes", "config", "data"})
        ASSERT_TRUE(quillet::test::giveTo(*user, _dir / folder)) << folder;
    const std::string document = _dir.writeFile("volumes/Shared/notes.txt", "on the shared volume");
    ASSERT_TRUE(quillet::test::giveTo(*user, document));

    Outcome set = quilletctl({"settings", prefs::kSurveyHomeTrashOnly, "0"}, asUser);
    ASSERT_EQ(set.exitStatus, 0) << set.err;
    Outcome started = quilletctl({"start"}, asUser);
    EXPECT_EQ(started.exitStatus, 1) << started.out << started.err;
    EXPECT_NE(started.err.find("not protected: " + _dir / "volumes/Shared" + ": " + theirCache +
                               ": belongs to another account (uid 0)"),
              std::string::npos)
        << started.err;

    // trash-put, as the user, on the shared volume and in the home.
    auto trashPut = [&](const std::string &path) {
        std::string command = "env -i HOME='" + (_dir / "home") + "' XDG_DATA_HOME='" + (_dir / "data") +
                              "' PATH=/usr/bin:/bin /usr/bin/setpriv --reuid=" + std::to_string(user->uid) +
                              " --regid=" + std::to_string(user->gid) + " --clear-groups -- trash-put '" + path + "'";
        return quillet::test::runShell(command);
    };
    if (!quillet::test::isExecutable("/usr/bin/trash-put"))
        GTEST_SKIP() << "trash-put (trash-cli) is not installed";
    ASSERT_EQ(trashPut(document), 0);
    const std::string homeFile = _dir.writeFile("home/letter.txt", "in the home");
    ASSERT_TRUE(quillet::test::giveTo(*user, homeFile));
    ASSERT_EQ(trashPut(homeFile), 0);
    // The home item is archived by the user's own daemon ...
    ASSERT_TRUE(quillet::test::waitFor([&] {
        for (const std::string &minute : quillet::test::listNames(_dir / "home/.TrashCacheFolder"))
            if (quillet::test::exists(_dir / "home/.TrashCacheFolder/" + minute + "/.x_letter.txt"))
                return true;
        return false;
    })) << "the home trash was not protected";
    // ... and nothing of the user's ever reached the other account's folder.
    for (const std::string &minute : quillet::test::listNames(theirCache))
        EXPECT_TRUE(quillet::test::listNames(theirCache + "/" + minute).empty()) << minute;
    EXPECT_EQ(quilletctl({"stop"}, asUser).exitStatus, 0);
}

TEST_F(QuilletctlTest, settingsKeyValueStoresItWhileProtectionIsOff) {
    Outcome set = quilletctl({"settings", prefs::kHowManyDaysToKeepData, "3"});
    EXPECT_EQ(set.exitStatus, 0) << set.err;
    EXPECT_EQ(daemonCount(), 0u);
    Outcome shown = quilletctl({"settings"});
    EXPECT_NE(shown.out.find("How many days to keep data = 3"), std::string::npos) << shown.out;
}

TEST_F(QuilletctlTest, listShowsDayRowsWithTheirItemsAndFlatRows) {
    makeCache();
    Outcome day = quilletctl({"list"});
    ASSERT_EQ(day.exitStatus, 0) << day.err;
    EXPECT_EQ(day.out.rfind("2026-12-07 15:42 +0000\t", 0), 0u) << day.out;
    EXPECT_NE(day.out.find("\n    Report.pdf\t"), std::string::npos) << day.out;

    Outcome flat = quilletctl({"list", "--flat", "--sort", "size", "--reverse"});
    ASSERT_EQ(flat.exitStatus, 0) << flat.err;
    EXPECT_EQ(flat.out.rfind("Report.pdf\t", 0), 0u) << flat.out;

    Outcome json = quilletctl({"list", "--json"});
    ASSERT_EQ(json.exitStatus, 0) << json.err;
    EXPECT_NE(json.out.find("\"name\": \"Report.pdf\""), std::string::npos) << json.out;
    EXPECT_NE(json.out.find("\"items\": ["), std::string::npos) << json.out;

    Outcome recent = quilletctl({"list", "--hours", "1"});
    EXPECT_EQ(recent.exitStatus, 0) << recent.err;
}

TEST_F(QuilletctlTest, searchFindsTheVisibleNameIgnoringCase) {
    makeCache();
    Outcome found = quilletctl({"search", "report"});
    ASSERT_EQ(found.exitStatus, 0) << found.err;
    EXPECT_EQ(found.out.rfind("Report.pdf\t", 0), 0u) << found.out;

    Outcome json = quilletctl({"search", "PDF", "--json"});
    ASSERT_EQ(json.exitStatus, 0) << json.err;
    EXPECT_NE(json.out.find("\"name\": \"Report.pdf\""), std::string::npos) << json.out;

    Outcome none = quilletctl({"search", "nothing like it"});
    EXPECT_EQ(none.exitStatus, 0) << none.err;
    EXPECT_EQ(none.out, "");
}

TEST_F(QuilletctlTest, helpExitsWithZeroFromTheBuiltProgram) {
    Outcome help = quilletctl({"--help"});
    EXPECT_EQ(help.exitStatus, 0);
    EXPECT_NE(help.out.find("Usage: quilletctl"), std::string::npos);
    Outcome listHelp = quilletctl({"list", "--help"});
    EXPECT_EQ(listHelp.exitStatus, 0);
}

namespace {

/// The path column of the rows of quilletctl list (or search) output, by the name they show.
std::map<std::string, std::string> pathsByName(const std::string &listing) {
    std::map<std::string, std::string> paths;
    std::istringstream lines(listing);
    for (std::string line; std::getline(lines, line);) {
        const size_t start = line.find_first_not_of(' ');
        const size_t tab = line.find('\t');
        const size_t lastTab = line.rfind('\t');
        if (tab == std::string::npos || start == std::string::npos)
            continue;
        paths[line.substr(start, tab - start)] = line.substr(lastTab + 1);
    }
    return paths;
}

} // namespace

TEST_F(QuilletctlTest, recoverAndEmptyRefuseWhatIsNotACachedItem) {
    makeCache();
    const std::string item = _dir / "home/.TrashCacheFolder/2026-12-07 15_42 +0000/.x_Report.pdf";
    struct Case {
        std::vector<std::string> args;
        int exitStatus;
        std::string named;
    };
    const Case cases[] = {
        {{"recover", item}, 2, "--to"},
        {{"recover", "--to", _dir / "Rescue"}, 2, "ITEM"},
        {{"recover", "/etc/passwd", "--to", _dir / "Rescue"}, 1, "/etc/passwd"},
        {{"recover", _dir / "home/.TrashCacheFolder/../x", "--to", _dir / "Rescue"}, 1, "not an item"},
        {{"recover", _dir / "home/.TrashCacheFolder", "--to", _dir / "Rescue"}, 1, "not an item"},
        {{"recover", item + "-gone", "--to", _dir / "Rescue"}, 1, "No such file"},
        {{"recover", item, "--to", _dir / "home/.TrashCacheFolder/Rescue"}, 1, "inside the cache"},
        {{"recover", item, "--to", _dir / "no/such/Rescue"}, 1, "parent folder"},
        {{"recover", item, "--to", item}, 1, "not a folder"},
        {{"empty"}, 2, "--all"},
        {{"empty", "--all", item}, 2, "--all"},
        {{"empty", "--all", "--force"}, 2, "--force"},
        {{"empty", "/etc/passwd", "--yes"}, 1, "/etc/passwd"},
        {{"empty", item, "/etc", "--yes"}, 1, "/etc"},
        {{"empty", "--all"}, 2, "--yes"},
    };
    for (const Case &c : cases) {
        Outcome outcome = quilletctl(c.args);
        EXPECT_EQ(outcome.exitStatus, c.exitStatus) << ::testing::PrintToString(c.args) << outcome.err;
        EXPECT_NE(outcome.err.find(c.named), std::string::npos) << ::testing::PrintToString(c.args) << outcome.err;
    }
    EXPECT_TRUE(quillet::test::exists(item)) << "a refused emptying deletes nothing, valid items included";
    EXPECT_TRUE(quillet::test::exists("/etc/passwd"));
    EXPECT_FALSE(quillet::test::exists(_dir / "Rescue"));
    EXPECT_FALSE(quillet::test::exists(_dir / "home/.TrashCacheFolder/Rescue"));
}

TEST_F(QuilletctlTest, emptyAsksOnATerminalFirst) {
    makeCache();
    const std::string item = _dir / "home/.TrashCacheFolder/2026-12-07 15_42 +0000/.x_Report.pdf";
    std::istringstream no("n\n");
    std::ostringstream out, err;
    EXPECT_EQ(cli::run({"empty", item}, out, err, cli::Console{true, &no}), cli::kExitFailure);
    EXPECT_NE(err.str().find("Are you sure you want to delete files?"), std::string::npos) << err.str();
    EXPECT_NE(err.str().find("nothing was deleted"), std::string::npos) << err.str();
    EXPECT_TRUE(quillet::test::exists(item));

    std::istringstream yes("y\n");
    EXPECT_EQ(cli::run({"empty", item}, out, err, cli::Console{true, &yes}), cli::kExitSuccess) << err.str();
    EXPECT_FALSE(quillet::test::exists(item));
    EXPECT_NE(out.str().find("Deleted 1 of 1 items."), std::string::npos) << out.str();
    EXPECT_NE(err.str().find("Deleting [##############################] 100% 1/1 items"), std::string::npos)
        << "a terminal gets a progress bar: " << err.str();
}

TEST_F(QuilletctlTest, emptyingWithProtectionStoppedLeavesItStopped) {
    makeCache();
    _dir.writeFile("home/.TrashCacheFolder/ArchivedFileData", "index");
    Outcome emptied = quilletctl({"empty", "--all", "--yes"});
    EXPECT_EQ(emptied.exitStatus, 0) << emptied.err;
    EXPECT_EQ(quillet::test::listNames(_dir / "home/.TrashCacheFolder"), std::vector<std::string>{});
    EXPECT_EQ(daemonCount(), 0u);
    EXPECT_EQ(emptied.out.find("Protection"), std::string::npos) << emptied.out;

    Outcome again = quilletctl({"empty", "--all"});
    EXPECT_EQ(again.exitStatus, 0) << again.err;
    EXPECT_NE(again.out.find("nothing to delete"), std::string::npos) << again.out;
}

// The whole way: files trashed with trash-put are archived by the running daemons, listed,
// found, recovered, and deleted for good while protection stops and starts again around it.
TEST_F(QuilletctlTest, trashedItemsAreListedRecoveredAndEmptiedWithProtectionRunning) {
    if (!quillet::test::exists("/usr/bin/trash-put"))
        GTEST_SKIP() << "trash-put (trash-cli) is not installed";
    ASSERT_TRUE(daemonCount() == 0) << "daemons of another run are still alive";
    Outcome started = quilletctl({"start"});
    ASSERT_EQ(started.exitStatus, 0) << started.err;
    ASSERT_TRUE(quillet::test::waitFor([] { return running(kProtectionDaemonName).size() == 1; }));

    _dir.writeFile("home/report.txt", "quarterly figures");
    _dir.writeFile("home/Pics/a.jpg", "picture a");
    _dir.writeFile("home/Pics/sub/b.jpg", "picture b");
    for (const char *name : {"report.txt", "Pics"}) {
        quillet::test::ChildProcess trashPut;
        ASSERT_TRUE(trashPut.start("/usr/bin/trash-put", {_dir / ("home/" + std::string(name))}, environment(), _dir / "run/trash.err"));
        ASSERT_EQ(trashPut.waitForExit(std::chrono::seconds(30)), 0) << quillet::test::readFileText(_dir / "run/trash.err");
    }
    ASSERT_TRUE(quillet::test::waitFor([&] {
        Outcome found = quilletctl({"search", ".jpg"});
        return found.out.find("b.jpg") != std::string::npos && found.out.find("a.jpg") != std::string::npos;
    })) << "quilletd did not archive the trashed folder";

    Outcome day = quilletctl({"list"});
    ASSERT_EQ(day.exitStatus, 0) << day.err;
    EXPECT_NE(day.out.find("\n    report.txt\t"), std::string::npos) << day.out;
    EXPECT_NE(day.out.find("\n    Pics\t"), std::string::npos) << day.out;
    const std::string dayName = day.out.substr(0, day.out.find('\t'));
    const std::string dayPath = pathsByName(day.out)[dayName];
    auto flat = pathsByName(quilletctl({"list", "--flat"}).out);
    ASSERT_EQ(flat.count("report.txt"), 1u);
    ASSERT_EQ(flat.count("Pics"), 1u);
    auto found = pathsByName(quilletctl({"search", "REPORT"}).out);
    EXPECT_EQ(found["report.txt"], flat["report.txt"]);

    // A file and a folder, then the whole day into the same folder.
    const std::string rescue = _dir / "Rescue";
    Outcome recovered = quilletctl({"recover", flat["report.txt"], flat["Pics"], "--to", rescue});
    ASSERT_EQ(recovered.exitStatus, 0) << recovered.err;
    EXPECT_EQ(quillet::test::readFileText(rescue + "/report.txt"), "quarterly figures");
    EXPECT_EQ(quillet::test::readFileText(rescue + "/Pics/a.jpg"), "picture a");
    EXPECT_EQ(quillet::test::readFileText(rescue + "/Pics/sub/b.jpg"), "picture b");
    Outcome wholeDay = quilletctl({"recover", dayPath, "--to", rescue});
    ASSERT_EQ(wholeDay.exitStatus, 0) << wholeDay.err << " for " << dayPath;
    const std::string dayFolder = rescue + "/" + dayName;
    EXPECT_EQ(quillet::test::readFileText(dayFolder + "/report.txt"), "quarterly figures");
    EXPECT_EQ(quillet::test::readFileText(dayFolder + "/Pics/sub/b.jpg"), "picture b");

    // Into a folder that already holds the name: that file fails, nothing is replaced.
    _dir.writeFile("Rescue/report.txt", "edited since");
    Outcome clash = quilletctl({"recover", flat["report.txt"], "--to", rescue});
    EXPECT_EQ(clash.exitStatus, 1);
    EXPECT_NE(clash.err.find("report.txt"), std::string::npos) << clash.err;
    EXPECT_NE(clash.err.find(rescue + "/report.txt: already exists"), std::string::npos) << clash.err;
    EXPECT_EQ(quillet::test::readFileText(rescue + "/report.txt"), "edited since");

    // The user empties the trash; the cache still holds everything. Then a selection goes,
    // then everything, each time with protection stopped and started again.
    for (const std::string &entry : quillet::test::listNames(_dir / "data/Trash/files"))
        quillet::test::removeTree(_dir / "data/Trash/files/" + entry);
    Outcome selection = quilletctl({"empty", flat["report.txt"], "--yes"});
    ASSERT_EQ(selection.exitStatus, 0) << selection.err;
    EXPECT_NE(selection.out.find("Protection started again."), std::string::npos) << selection.out;
    EXPECT_FALSE(quillet::test::exists(flat["report.txt"]));
    EXPECT_TRUE(quillet::test::exists(flat["Pics"]));
    EXPECT_EQ(running(kProtectionDaemonName).size(), 1u);
    EXPECT_EQ(running(kCacheManagerDaemonName).size(), 1u);

    Outcome everything = quilletctl({"empty", "--all", "--yes"});
    ASSERT_EQ(everything.exitStatus, 0) << everything.err;
    EXPECT_NE(everything.out.find("Protection started again."), std::string::npos) << everything.out;
    EXPECT_EQ(quilletctl({"list"}).out, "");
    EXPECT_EQ(quilletctl({"search", "jpg"}).out, "");
    EXPECT_EQ(running(kProtectionDaemonName).size(), 1u);
    EXPECT_EQ(running(kCacheManagerDaemonName).size(), 1u);

    Outcome stop = quilletctl({"stop"});
    EXPECT_EQ(stop.exitStatus, 0) << stop.err;
}

// Every setting refuses values out of its range, overflowing numbers and text: the command exits
// with 2, names the setting and its range, and stores and restarts nothing. Values already in
// the file that are out of range are shown as warnings while the defaults are used.
TEST_F(QuilletctlTest, settingsRefusesBadValuesForEveryKeyAndWarnsAboutBadStoredOnes) {
    // Stored here rather than through quilletctl, which would restart daemons if any ran. A
    // start stores the launch time, so the file left unchanged below also shows that nothing
    // was started.
    ASSERT_TRUE(PreferencesDomain(kQuilletDomain).setValue(prefs::kHowManyDaysToKeepData, PrefValue(30)));
    const std::string path = _dir / "config/com.plx.Quillet.plist";
    const std::string before = quillet::test::readFileText(path);
    const std::vector<std::string> names = quillet::test::listNames(_dir / "config");

    const std::string switchRange = "0 or 1";
    struct Case {
        std::string key;
        std::string range;
        std::vector<std::string> values; // besides those wrong for every key
    };
    const std::vector<Case> cases = {
        {prefs::kSurveyHomeTrashOnly, switchRange, {"2", "true"}},
        {prefs::kKeepDataForDays, switchRange, {"2", "true"}},
        {prefs::kHowManyDaysToKeepData,
         "a whole number from 1 to 36500 (to keep data without a day limit, set \"Keep data for days\" to 0)",
         {"0", "36501", "4294967295", "7 days"}},
        {prefs::kKeepDataForSizeMax, switchRange, {"2", "true"}},
        {prefs::kSizeMaxForCache, "a whole number of megabytes from 0 to 8796093022207", {"8796093022208", "9223372036854775807"}},
        {prefs::kPercentageOfFreeDiskSpace, "a whole number from 0 to 99", {"100", "150"}},
        {prefs::kModeOfCacheFileHandling, "0 (copy) or 1 (move)", {"2", "5", "move"}},
        {prefs::kAppPrefsCheckUpdates, switchRange, {"2", "true"}},
        {prefs::kDisplayMenuExtra, switchRange, {"2", "true"}},
    };
    const std::vector<std::string> wrongForEveryKey = {
        "-1", "99999999999999999999", "-99999999999999999999", "-9223372036854775809", "abc", "-x", "7.5", "1e3", "", " 1", "+1",
    };
    size_t tried = 0;
    for (const Case &c : cases) {
        std::vector<std::string> values = wrongForEveryKey;
        values.insert(values.end(), c.values.begin(), c.values.end());
        for (const std::string &value : values) {
            SCOPED_TRACE(c.key + " = \"" + value + "\"");
            Outcome refused = quilletctl({"settings", c.key, value});
            EXPECT_EQ(refused.exitStatus, 2);
            EXPECT_EQ(refused.err.rfind("quilletctl: settings: \"" + c.key + "\" must be " + c.range + ", not ", 0), 0u)
                << refused.err;
            EXPECT_NE(refused.err.find("Usage: quilletctl settings"), std::string::npos) << refused.err;
            EXPECT_EQ(refused.out, "");
            ++tried;
        }
    }
    EXPECT_EQ(tried, 120u);
    // The programs' own keys are no settings: refused whatever the value.
    for (const char *key : {prefs::kTimeOfLastDaemonLaunch, prefs::kDaemonsAreRunning, prefs::kAppPrefs,
                            prefs::kAppMustAskForPassword}) {
        Outcome refused = quilletctl({"settings", key, "1"});
        EXPECT_EQ(refused.exitStatus, 2) << key;
        EXPECT_EQ(refused.err.rfind("quilletctl: settings: \"" + std::string(key) + "\" ", 0), 0u) << refused.err;
        EXPECT_EQ(refused.out, "");
    }
    EXPECT_EQ(quillet::test::readFileText(path), before);
    EXPECT_EQ(quillet::test::listNames(_dir / "config"), names);

    // Out-of-range values another program left in the file: shown as warnings, the defaults used.
    _dir.writeFile("config/com.plx.Quillet.plist",
                   "<?xml version=\"1.0\" encoding=\"UTF-8\"?>\n<plist version=\"1.0\"><dict>"
                   "<key>How many days to keep data</key><integer>-1</integer>"
                   "<key>Size max for cache</key><real>1e308</real>"
                   "<key>Percentage of free disk space</key><integer>150</integer>"
                   "<key>Keep data for days</key><string>yes</string>"
                   "</dict></plist>\n");
    Outcome shown = quilletctl({"settings"});
    EXPECT_EQ(shown.exitStatus, 0) << shown.err;
    EXPECT_NE(shown.out.find("How many days to keep data = 7\n"), std::string::npos) << shown.out;
    EXPECT_NE(shown.out.find("Size max for cache = 4096\n"), std::string::npos) << shown.out;
    EXPECT_NE(shown.out.find("Percentage of free disk space = 10\n"), std::string::npos) << shown.out;
    EXPECT_NE(shown.out.find("Keep data for days = 1\n"), std::string::npos) << shown.out;
    for (const char *warning : {"quilletctl: \"How many days to keep data\" must be a whole number from 1 to 36500",
                                "quilletctl: \"Size max for cache\" must be a whole number of megabytes from 0 to "
                                "8796093022207, not 1e+308: the stored value is ignored, the default, 4096, is used\n",
                                "quilletctl: \"Percentage of free disk space\" must be a whole number from 0 to 99, not "
                                "150: the stored value is ignored, the default, 10, is used\n",
                                "quilletctl: \"Keep data for days\" must be 0 or 1, not \"yes\""})
        EXPECT_NE(shown.err.find(warning), std::string::npos) << shown.err;

    // A nested file that once crashed quilletctl: one warning, the defaults, exit 0.
    std::string nested;
    for (int i = 0; i < 20000; ++i)
        nested += "<array>";
    for (int i = 0; i < 20000; ++i)
        nested += "</array>";
    _dir.writeFile("config/com.plx.Quillet.plist",
                   "<?xml version=\"1.0\"?><plist version=\"1.0\"><dict><key>k</key>" + nested + "</dict></plist>\n");
    Outcome deep = quilletctl({"settings"});
    EXPECT_EQ(deep.exitStatus, 0) << deep.err;
    EXPECT_NE(deep.err.find("nested more than 32 levels deep"), std::string::npos) << deep.err;
    EXPECT_NE(deep.out.find("How many days to keep data = 7\n"), std::string::npos) << deep.out;
}

namespace {

/// The bytes a JSON string literal starting at text[at] (its opening quote) stands for, read as
/// Python's json and os.fsencode read it: a lone surrogate U+DC80..U+DCFF is the byte it
/// escapes. at moves past the closing quote.
std::string decodeJsonString(const std::string &text, size_t &at) {
    std::string bytes;
    const auto hex = [&](size_t from) { return static_cast<unsigned>(std::stoul(text.substr(from, 4), nullptr, 16)); };
    const auto utf8 = [&](unsigned code) {
        if (code < 0x80) {
            bytes += static_cast<char>(code);
        } else if (code < 0x800) {
            bytes += static_cast<char>(0xC0 | (code >> 6));
            bytes += static_cast<char>(0x80 | (code & 0x3F));
        } else if (code < 0x10000) {
            bytes += static_cast<char>(0xE0 | (code >> 12));
            bytes += static_cast<char>(0x80 | ((code >> 6) & 0x3F));
            bytes += static_cast<char>(0x80 | (code & 0x3F));
        } else {
            bytes += static_cast<char>(0xF0 | (code >> 18));
            bytes += static_cast<char>(0x80 | ((code >> 12) & 0x3F));
            bytes += static_cast<char>(0x80 | ((code >> 6) & 0x3F));
            bytes += static_cast<char>(0x80 | (code & 0x3F));
        }
    };
    for (++at; at < text.size() && text[at] != '"'; ++at) {
        if (text[at] != '\\') {
            bytes += text[at];
            continue;
        }
        const char c = text[++at];
        switch (c) {
        case 'n': bytes += '\n'; break;
        case 't': bytes += '\t'; break;
        case 'r': bytes += '\r'; break;
        case 'b': bytes += '\b'; break;
        case 'f': bytes += '\f'; break;
        case 'u': {
            unsigned code = hex(at + 1);
            at += 4;
            if (code >= 0xDC80 && code <= 0xDCFF) {
                bytes += static_cast<char>(code & 0xFF);
            } else if (code >= 0xD800 && code <= 0xDBFF && text.compare(at + 1, 2, "\\u") == 0) {
                code = 0x10000 + ((code - 0xD800) << 10) + (hex(at + 3) - 0xDC00);
                at += 6;
                utf8(code);
            } else {
                utf8(code);
            }
            break;
        }
        default: bytes += c; // '"', '\\', '/'
        }
    }
    ++at;
    return bytes;
}

/// Every value of the field in a JSON text, decoded; "null" values as nothing.
std::vector<std::optional<std::string>> jsonValues(const std::string &json, const std::string &field) {
    std::vector<std::optional<std::string>> values;
    const std::string key = "\"" + field + "\": ";
    for (size_t at = json.find(key); at != std::string::npos; at = json.find(key, at)) {
        at += key.size();
        if (json.compare(at, 4, "null") == 0)
            values.emplace_back(std::nullopt);
        else
            values.emplace_back(decodeJsonString(json, at));
    }
    return values;
}

std::vector<std::string> linesOf(const std::string &text) {
    std::vector<std::string> lines;
    std::istringstream stream(text);
    for (std::string line; std::getline(stream, line);)
        lines.push_back(line);
    return lines;
}

std::vector<std::string> fieldsOf(const std::string &line) {
    std::vector<std::string> fields;
    size_t start = 0;
    for (size_t tab; (tab = line.find('\t', start)) != std::string::npos; start = tab + 1)
        fields.push_back(line.substr(start, tab - start));
    fields.push_back(line.substr(start));
    return fields;
}

const std::string kDay = "2026-12-07 15_42 +0000";
/// A name with a newline, a tab, a backslash and a byte that is no UTF-8.
const std::string kOddName = "odd\nname\twith\\slash\xff.bin";
const std::string kOddContent = std::string("\0\x01 binary \xff\xfe\n", 13);

} // namespace

// A name holding a newline, a tab, a backslash and the byte 0xff: its rows stay one line of five
// fields, and every form a path is printed in (escaped text, JSON decoded as Python decodes it,
// surrogates written out as UTF-8) recovers it byte for byte.
TEST_F(QuilletctlTest, hostileNamesRoundTripFromListAndSearchToRecover) {
    const std::string day = "home/.TrashCacheFolder/" + kDay;
    _dir.writeFile(day + "/.x_" + kOddName, kOddContent);
    _dir.writeFile(day + "/.x_" + kOddName + ".d/.x_" + kOddName, kOddContent + "inner");
    const std::string file = _dir / day + "/.x_" + kOddName;

    std::string out, err;
    ASSERT_EQ(runInProcess({"list", "--flat"}, &out, &err), cli::kExitSuccess) << err;
    const std::vector<std::string> rows = linesOf(out);
    ASSERT_EQ(rows.size(), 2u) << out;
    std::vector<std::string> textPaths;
    for (const std::string &row : rows) {
        const std::vector<std::string> fields = fieldsOf(row);
        ASSERT_EQ(fields.size(), 5u) << row;
        EXPECT_EQ(fields[0].rfind("odd\\nname\\twith\\\\slash\\377.bin", 0), 0u) << fields[0];
        textPaths.push_back(fields[4]);
    }
    EXPECT_EQ(textPaths[0], cli::escapedText(file)) << "rows are sorted by name";

    ASSERT_EQ(runInProcess({"list", "--flat", "--json"}, &out, &err), cli::kExitSuccess) << err;
    EXPECT_NE(out.find("\\udcff"), std::string::npos) << out;
    const auto jsonPaths = jsonValues(out, "path");
    ASSERT_EQ(jsonPaths.size(), 2u) << out;
    EXPECT_EQ(jsonPaths[0], file);
    EXPECT_EQ(jsonValues(out, "name").at(0), kOddName);

    ASSERT_EQ(runInProcess({"search", "slash", "--json"}, &out, &err), cli::kExitSuccess) << err;
    EXPECT_EQ(jsonValues(out, "path").size(), 3u) << "the file, the folder and the file inside: " << out;
    ASSERT_EQ(runInProcess({"search", "slash"}, &out, &err), cli::kExitSuccess) << err;
    EXPECT_EQ(linesOf(out).size(), 3u) << out;

    std::string surrogates = file;
    surrogates.replace(surrogates.find('\xff'), 1, "\xed\xb3\xbf");
    const struct {
        const char *how;
        std::vector<std::string> items;
    } forms[] = {
        {"json", {*jsonPaths[0], *jsonPaths[1]}},
        {"text", textPaths},
        {"surrogates", {surrogates, *jsonPaths[1]}},
    };
    for (const auto &form : forms) {
        SCOPED_TRACE(form.how);
        const std::string rescue = _dir / std::string("Rescue-") + form.how;
        std::vector<std::string> args = {"recover"};
        args.insert(args.end(), form.items.begin(), form.items.end());
        args.insert(args.end(), {"--to", rescue});
        ASSERT_EQ(runInProcess(args, &out, &err), cli::kExitSuccess) << err;
        EXPECT_EQ(err, "");
        EXPECT_EQ(linesOf(out).size(), 2u) << out;
        EXPECT_EQ(quillet::test::listNames(rescue), (std::vector<std::string>{kOddName, kOddName + ".d"}));
        EXPECT_EQ(quillet::test::readFileText(rescue + "/" + kOddName), kOddContent);
        EXPECT_EQ(quillet::test::readFileText(rescue + "/" + kOddName + ".d/" + kOddName), kOddContent + "inner");
    }
    // The escaped form of a path that is not there names it as escaped, on one line.
    ASSERT_EQ(runInProcess({"recover", textPaths[0] + "x", "--to", _dir / "Rescue"}, &out, &err), cli::kExitFailure);
    EXPECT_EQ(linesOf(err).size(), 1u) << err;
    EXPECT_NE(err.find(textPaths[0] + "x: "), std::string::npos) << err;
}

TEST_F(QuilletctlTest, anItemNamedWithTheHiddenPrefixIsShownAndRecoveredWithIt) {
    _dir.writeFile("home/.TrashCacheFolder/" + kDay + "/.x_.x_profile", "profile");
    _dir.writeFile("home/.TrashCacheFolder/" + kDay + "/.x_.x_config/.x_.x_inner", "inner");
    std::string out, err;
    ASSERT_EQ(runInProcess({"list", "--flat"}, &out, &err), cli::kExitSuccess) << err;
    auto names = pathsByName(out);
    ASSERT_EQ(names.count(".x_profile"), 1u) << out;
    ASSERT_EQ(names.count(".x_config"), 1u) << out;
    ASSERT_EQ(runInProcess({"search", "inner"}, &out, &err), cli::kExitSuccess) << err;
    EXPECT_EQ(out.rfind(".x_inner\t", 0), 0u) << out;

    const std::string rescue = _dir / "Rescue";
    ASSERT_EQ(runInProcess({"recover", names[".x_profile"], names[".x_config"], "--to", rescue}, &out, &err),
              cli::kExitSuccess)
        << err;
    EXPECT_EQ(quillet::test::listNames(rescue), (std::vector<std::string>{".x_config", ".x_profile"}));
    EXPECT_EQ(quillet::test::readFileText(rescue + "/.x_profile"), "profile");
    EXPECT_EQ(quillet::test::readFileText(rescue + "/.x_config/.x_inner"), "inner");
}

// Nothing in the destination is replaced, and nothing left out goes unsaid: each item not
// recovered is named with the reason, the folder is "recovered but for" them, and the exit
// status is 1.
TEST_F(QuilletctlTest, recoverNamesEveryItemNotRecovered) {
    const std::string day = _dir / "home/.TrashCacheFolder" + "/" + kDay;
    _dir.writeFile("home/.TrashCacheFolder/" + kDay + "/.x_Pics/.x_p1.jpg", "archived p1");
    _dir.writeFile("home/.TrashCacheFolder/" + kDay + "/.x_Docs/.x_d1", "archived d1");
    _dir.writeFile("home/.TrashCacheFolder/" + kDay + "/.x_Docs/.x_d2", "archived d2");
    _dir.writeFile("Rescue/Pics", "a file named like the folder");
    _dir.writeFile("Rescue/Docs/d1", "my d1");
    const std::string rescue = _dir / "Rescue";

    std::string out, err;
    EXPECT_EQ(runInProcess({"recover", day + "/.x_Pics", day + "/.x_Docs", "--to", rescue}, &out, &err),
              cli::kExitFailure);
    EXPECT_EQ(linesOf(err), (std::vector<std::string>{
                                "quilletctl: cannot recover " + day + "/.x_Pics: " + rescue +
                                    "/Pics: already exists and is not a folder",
                                "quilletctl: cannot recover " + day + "/.x_Docs/.x_d1: " + rescue + "/Docs/d1: already exists",
                            }));
    EXPECT_EQ(out, "Recovered " + day + "/.x_Docs as " + rescue + "/Docs but for 1 item\n");
    EXPECT_EQ(quillet::test::readFileText(rescue + "/Pics"), "a file named like the folder");
    EXPECT_EQ(quillet::test::readFileText(rescue + "/Docs/d1"), "my d1");
    EXPECT_EQ(quillet::test::readFileText(rescue + "/Docs/d2"), "archived d2");

    // A destination that cannot be made is said once, not once per item.
    EXPECT_EQ(runInProcess({"recover", day + "/.x_Pics", day + "/.x_Docs", "--to", rescue + "/Pics/Inside"}, &out, &err),
              cli::kExitFailure);
    EXPECT_EQ(linesOf(err), std::vector<std::string>{"quilletctl: " + rescue + "/Pics/Inside: cannot make the folder: Not a directory"});
    EXPECT_EQ(out, "");
}

TEST_F(QuilletctlTest, settingsShowsAndTakesTheUserSettingsOnly) {
    ASSERT_TRUE(PreferencesDomain(kQuilletDomain).setValue(prefs::kDaemonsAreRunning, PrefValue(1)));
    ASSERT_TRUE(PreferencesDomain(kQuilletDomain).setValue(prefs::kSizeMaxForCache, PrefValue(2048)));
    std::string out, err;
    ASSERT_EQ(runInProcess({"settings"}, &out, &err), cli::kExitSuccess) << err;
    EXPECT_EQ(out, "Survey home Trash only = 1\n"
                   "Keep data for days = 1\n"
                   "How many days to keep data = 7\n"
                   "Keep data for size max = 1\n"
                   "Size max for cache = 2048\n"
                   "Percentage of free disk space = 10\n"
                   "Mode of cache file handling = 0\n"
                   "App_Prefs_checkUpdates = 1\n"
                   "Display menu extra = 1\n");
    ASSERT_EQ(runInProcess({"settings", prefs::kSizeMaxForCache}, &out, &err), cli::kExitSuccess) << err;
    EXPECT_EQ(out, "2048\n");
    ASSERT_EQ(runInProcess({"settings", prefs::kHowManyDaysToKeepData}, &out, &err), cli::kExitSuccess) << err;
    EXPECT_EQ(out, "7\n") << "a setting never stored shows its default";
    for (const char *key : {prefs::kDaemonsAreRunning, prefs::kTimeOfLastDaemonLaunch, "Size max"}) {
        EXPECT_EQ(runInProcess({"settings", key}, &out, &err), cli::kExitUsage) << key;
        EXPECT_EQ(out, "");
        EXPECT_NE(err.find(std::string("\"") + key + "\""), std::string::npos) << err;
    }
    EXPECT_EQ(runInProcess({"settings", prefs::kDaemonsAreRunning, "5"}, &out, &err), cli::kExitUsage);
    EXPECT_EQ(PreferencesDomain(kQuilletDomain).read()->at(prefs::kDaemonsAreRunning).integerValue(), 1);
}

// "Deleted N of M items" counts what list shows: archived items (a day counts its items), not
// the index or the markers that go with them.
TEST_F(QuilletctlTest, emptyCountsArchivedItemsOnly) {
    const std::string cache = "home/.TrashCacheFolder/";
    _dir.writeFile(cache + kDay + "/.x_a", "a");
    _dir.writeFile(cache + kDay + "/.x_b/.x_c", "c");
    _dir.writeFile(cache + kDay + "/.quillet-trashinfo", "");
    _dir.writeFile(cache + "2026-12-08 09_00 +0000/.x_d", "d");
    _dir.writeFile(cache + "2026-12-08 10_00 +0000/.x_e", "e");
    for (const char *marker : {"ArchivedFileData", "UPD_FLAG", "UPD_FLAG_CACHE_MANAGER"})
        _dir.writeFile(cache + marker, "");

    std::string out, err;
    ASSERT_EQ(runInProcess({"empty", _dir / cache + kDay, _dir / cache + "2026-12-08 09_00 +0000/.x_d", "--yes"}, &out, &err),
              cli::kExitSuccess)
        << err;
    EXPECT_EQ(out, "Deleted 3 of 3 items.\n");
    ASSERT_EQ(runInProcess({"empty", "--all", "--yes"}, &out, &err), cli::kExitSuccess) << err;
    EXPECT_EQ(out, "Deleted 1 of 1 items.\n");
    EXPECT_EQ(quillet::test::listNames(_dir / "home/.TrashCacheFolder"), std::vector<std::string>{});
}

// Where each item was trashed from, as quilletd recorded it: a column of the text rows (the
// folder) and two fields of the JSON ones; "-" and null where nothing was recorded.
TEST_F(QuilletctlTest, listAndSearchShowWhereItemsCameFrom) {
    const std::string day = _dir.makeDir("home/.TrashCacheFolder/" + kDay, 0700);
    _dir.writeFile("home/.TrashCacheFolder/" + kDay + "/.x_Report.pdf", "report");
    _dir.writeFile("home/.TrashCacheFolder/" + kDay + "/.x_Pics/.x_a.jpg", "a");
    _dir.writeFile("home/.TrashCacheFolder/" + kDay + "/.x_unknown.txt", "?");
    auto folder = sys::openDirectory(day);
    ASSERT_TRUE(folder);
    ASSERT_TRUE(addToTrashInfoStore(folder->get(), day,
                                    {{".x_Report.pdf", {"/home/u/My%20Documents/Report.pdf", "2026-12-07T15:42:10"}},
                                     {".x_Pics", {"/home/u/Pictures/Pics", "2026-12-07T15:42:30"}}}));

    std::string out, err;
    ASSERT_EQ(runInProcess({"list", "--flat"}, &out, &err), cli::kExitSuccess) << err;
    std::map<std::string, std::string> from;
    for (const std::string &row : linesOf(out))
        from[fieldsOf(row).at(0)] = fieldsOf(row).at(3);
    EXPECT_EQ(from, (std::map<std::string, std::string>{
                        {"Pics", "/home/u/Pictures"}, {"Report.pdf", "/home/u/My Documents"}, {"unknown.txt", "-"}}));

    ASSERT_EQ(runInProcess({"list", "--flat", "--json"}, &out, &err), cli::kExitSuccess) << err;
    EXPECT_EQ(jsonValues(out, "originalPath"),
              (std::vector<std::optional<std::string>>{"/home/u/Pictures/Pics", "/home/u/My Documents/Report.pdf",
                                                       std::nullopt}));
    EXPECT_EQ(jsonValues(out, "deletionDate"),
              (std::vector<std::optional<std::string>>{"2026-12-07T15:42:30", "2026-12-07T15:42:10", std::nullopt}));

    // The day view: the day row has no origin, its items have theirs.
    ASSERT_EQ(runInProcess({"list", "--json"}, &out, &err), cli::kExitSuccess) << err;
    EXPECT_EQ(jsonValues(out, "originalPath").front(), std::nullopt);
    EXPECT_EQ(jsonValues(out, "originalPath").size(), 4u) << out;

    // Inside an archived folder: from inside the folder's original place.
    ASSERT_EQ(runInProcess({"search", "a.jpg", "--json"}, &out, &err), cli::kExitSuccess) << err;
    EXPECT_EQ(jsonValues(out, "originalPath"), (std::vector<std::optional<std::string>>{"/home/u/Pictures/Pics/a.jpg"}));
    ASSERT_EQ(runInProcess({"search", "a.jpg"}, &out, &err), cli::kExitSuccess) << err;
    EXPECT_EQ(fieldsOf(linesOf(out).at(0)).at(3), "/home/u/Pictures/Pics");
}

TEST_F(QuilletctlTest, statusCountsTheTrashedItemsNotArchivedLatelyWithTheirReasonsAndLogNamesThem) {
    ASSERT_TRUE(daemonCount() == 0) << "daemons of another run are still alive";
    ASSERT_EQ(quilletctl({"settings", "Keep data for size max", "1"}).exitStatus, 0);
    ASSERT_EQ(quilletctl({"settings", "Size max for cache", "1"}).exitStatus, 0);
    // A refusal of two days ago is no longer "lately".
    _dir.makeDir("home/.local/state/quillet");
    _dir.writeFile("home/.local/state/quillet/daemons.log",
                   notArchivedLine(::time(nullptr) - 48 * 3600, kNotArchivedFreeSpace, "/old/entry"));
    Outcome quiet = quilletctl({"status"});
    EXPECT_EQ(quiet.out.find("Not archived"), std::string::npos) << quiet.out;

    Outcome started = quilletctl({"start"});
    ASSERT_EQ(started.exitStatus, 0) << started.err;
    _dir.makeDir("data/Trash/files");
    _dir.makeDir("data/Trash/info");
    ASSERT_TRUE(quillet::test::waitFor([] { return running(kProtectionDaemonName).size() == 1; }));
    const std::string name = "disk\nimage.iso"; // a newline: still one line in the log
    _dir.writeFile("home/" + name, std::string(2 << 20, 'd'));
    _dir.writeFile("home/small.txt", "small");
    ASSERT_EQ(::rename((_dir / ("home/" + name)).c_str(), (_dir / ("data/Trash/files/" + name)).c_str()), 0);
    ASSERT_EQ(::rename((_dir / "home/small.txt").c_str(), (_dir / "data/Trash/files/small.txt").c_str()), 0);

    Outcome status;
    ASSERT_TRUE(quillet::test::waitFor([&] {
        status = quilletctl({"status"});
        return status.out.find("Not archived") != std::string::npos;
    })) << status.out << quilletctl({"log"}).out;
    EXPECT_NE(status.out.find("Not archived in the last 24 hours: 1 item (1 larger than the size limit); quilletctl "
                              "log shows which\n"),
              std::string::npos)
        << status.out;
    Outcome json = quilletctl({"status", "--json"});
    EXPECT_NE(json.out.find("\"notArchivedLately\": {\"hours\": 24, \"count\": 1, \"reasons\": {\"larger than the "
                            "size limit\": 1}}"),
              std::string::npos)
        << json.out;
    Outcome log = quilletctl({"log"});
    EXPECT_NE(log.out.find("quilletd: not archived (larger than the size limit): " + (_dir / "data/Trash/files/") +
                           "disk\\nimage.iso\n"),
              std::string::npos)
        << log.out;
}
