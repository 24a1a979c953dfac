#include "Commands.h"

#include "CacheLayout.h"

#include "ChildProcess.h"
#include "DaemonControl.h"
#include "OtherAccount.h"
#include "SettingsStore.h"
#include "TestDir.h"
#include "platform/ProcessTable.h"
#include "platform/System.h"

#include <gtest/gtest.h>
#include <fcntl.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <map>
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
        {{"settings", std::string(prefs::kHowManyDaysToKeepData)}, "KEY and VALUE"},
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

TEST(QuilletctlUsage, jsonStringKeepsUtf8AndReplacesStrayBytes) {
    EXPECT_EQ(cli::jsonString("caf\xc3\xa9"), "\"caf\xc3\xa9\"");
    EXPECT_EQ(cli::jsonString("a\xff" "b\xc3"), "\"a\\ufffdb\\ufffd\"");
    EXPECT_EQ(cli::jsonString("\xed\xa0\x80"), "\"\\ufffd\\ufffd\\ufffd\"");
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
    EXPECT_NE(clash.err.find("File exists"), std::string::npos) << clash.err;
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
        {prefs::kTimeOfLastDaemonLaunch, "a whole number from 0 to 9223372036854775807 (seconds since 1970)",
         {"9223372036854775808"}},
        {prefs::kDaemonsAreRunning, switchRange, {"2", "true"}},
        {prefs::kAppPrefsCheckUpdates, switchRange, {"2", "true"}},
        {prefs::kAppPrefs, "a dictionary", {"0", "1", "{}"}},
        {prefs::kDisplayMenuExtra, switchRange, {"2", "true"}},
        {prefs::kAppMustAskForPassword, switchRange, {"2", "true"}},
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
    EXPECT_GE(tried, 150u);
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
