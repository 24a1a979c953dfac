// quilletctl under the password lock: the built program, run with a private home and XDG
// folders against a gnome-keyring daemon on a session bus of the test's own (KeyringSession).
// Only commands that never start or stop protection are run to completion (list, search,
// recover, restore); empty is only seen refusing, before it would look at the daemons.
#include "platform/Keyring.h"

#include "ChildProcess.h"
#include "KeyringSession.h"
#include "TestDir.h"

#include <gtest/gtest.h>

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <sys/wait.h>
#include <termios.h>
#include <unistd.h>

#include <chrono>
#include <cstdlib>
#include <optional>
#include <string>
#include <vector>

using namespace quillet;
using quillet::sys::Keyring;
using quillet::sys::KeyringState;
using quillet::test::KeyringSession;
using quillet::test::TestDir;

namespace {

// "päss wörd": the password the tests lock the cache with.
const std::string kPassword = "p\xc3\xa4ss w\xc3\xb6rd";
const std::string kDate = "2026-12-07 15_42 +0000";

struct Outcome {
    int exitStatus = -1;
    std::string out;
    std::string err;
};

std::string programPath() {
    const std::string libexec = test::libexecPath("quilletd");
    const std::string tail = "/libexec/quillet/quilletd";
    return libexec.substr(0, libexec.size() - tail.size()) + "/bin/quilletctl";
}

std::vector<char *> pointers(std::vector<std::string> &strings) {
    std::vector<char *> result;
    for (std::string &s : strings)
        result.push_back(s.data());
    result.push_back(nullptr);
    return result;
}

std::string plistWith(const std::string &body) {
    return "<?xml version=\"1.0\" encoding=\"UTF-8\"?>\n"
           "<!DOCTYPE plist PUBLIC \"-//Apple//DTD PLIST 1.0//EN\" \"http://www.apple.com/DTDs/PropertyList-1.0.dtd\">\n"
           "<plist version=\"1.0\">\n<dict>" +
           body + "</dict>\n</plist>\n";
}

// One keyring session per test process: GLib keeps the bus the process first reaches, and the
// test adds and removes the item itself.
class PasswordLockTest : public ::testing::Test {
protected:
    static void SetUpTestSuite() {
        if (!KeyringSession::missingTools().empty())
            return;
        _sessionDir = new TestDir();
        _session = new KeyringSession(_sessionDir->path());
        if (_session->started())
            ::setenv("DBUS_SESSION_BUS_ADDRESS", _session->busAddress().c_str(), 1);
    }
    static void TearDownTestSuite() {
        ::unsetenv("DBUS_SESSION_BUS_ADDRESS");
        delete _session;
        _session = nullptr;
        delete _sessionDir;
        _sessionDir = nullptr;
    }

    void SetUp() override {
        if (std::string missing = KeyringSession::missingTools(); !missing.empty())
            GTEST_SKIP() << "no keyring daemon to test against: " << missing;
        ASSERT_TRUE(_session->started()) << _session->failure();
        ASSERT_TRUE(test::isExecutable(programPath())) << programPath();
        const sys::KeyringAnswer added = Keyring().addItem(kPassword);
        ASSERT_EQ(added.state, KeyringState::Found) << added.error;
        // A cache with one archived file, as quilletd leaves it.
        ASSERT_TRUE(test::makeFolder(home() + "/.TrashCacheFolder/" + kDate, 0700));
        test::writeData(itemPath(), 12);
        ASSERT_TRUE(test::makeFolder(_dir / "volumes"));
        lock(true);
    }
    void TearDown() override {
        if (_session && _session->started())
            (void)Keyring().deleteItem();
    }

    static std::string home() { return _sessionDir->path() + "/home"; }
    static std::string itemPath() { return home() + "/.TrashCacheFolder/" + kDate + "/.x_Report.pdf"; }

    /// Stores "App must ask for password" as Quillet does (on: 1, off: 0).
    static void lock(bool on) {
        (void)_sessionDir->writeFile("config/com.plx.Quillet.plist",
                                     plistWith(std::string("<key>App must ask for password</key><integer>") +
                                               (on ? "1" : "0") + "</integer>"));
    }

    std::vector<std::string> environment(bool withBus = true) const {
        std::vector<std::string> env = _session->environment(withBus);
        env.push_back("QUILLET_VOLUME_ROOTS=" + (_dir / "volumes"));
        env.push_back("TZ=UTC");
        return env;
    }

    /// Runs the built quilletctl with args; standard input holds stdinText, or is /dev/null.
    Outcome quilletctl(const std::vector<std::string> &args, const std::optional<std::string> &stdinText,
                       bool withBus = true) {
        const std::string inPath = stdinText ? _dir.writeFile("run/in", *stdinText) : std::string("/dev/null");
        const std::string outPath = _dir / "run/out";
        const std::string errPath = _dir / "run/err";
        (void)test::makeFolder(_dir / "run");
        std::vector<std::string> argvStrings = {programPath()};
        argvStrings.insert(argvStrings.end(), args.begin(), args.end());
        std::vector<std::string> envStrings = environment(withBus);
        std::vector<char *> argv = pointers(argvStrings);
        std::vector<char *> envp = pointers(envStrings);
        pid_t pid = ::fork();
        if (pid == 0) {
            int in = ::open(inPath.c_str(), O_RDONLY);
            int out = ::open(outPath.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600);
            int err = ::open(errPath.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600);
            if (in < 0 || out < 0 || err < 0 || ::dup2(in, 0) < 0 || ::dup2(out, 1) < 0 || ::dup2(err, 2) < 0)
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
        outcome.out = test::readFileText(outPath);
        outcome.err = test::readFileText(errPath);
        return outcome;
    }

    /// The commands that read or change the cache, with arguments that would succeed.
    std::vector<std::vector<std::string>> lockedCommands() {
        return {
            {"list", "--flat"},
            {"search", "Report"},
            {"recover", itemPath(), "--to", _dir / "recovered"},
            {"restore", itemPath(), "--to", _dir.makeDir("restored")},
            {"empty", itemPath(), "--yes"},
        };
    }

    TestDir _dir;
    static TestDir *_sessionDir;
    static KeyringSession *_session;
};

TestDir *PasswordLockTest::_sessionDir = nullptr;
KeyringSession *PasswordLockTest::_session = nullptr;

TEST_F(PasswordLockTest, theRightPasswordOnStandardInputLetsTheCommandsThrough) {
    Outcome listed = quilletctl({"list", "--flat", "--password-stdin"}, kPassword + "\n");
    EXPECT_EQ(listed.exitStatus, 0) << listed.err;
    EXPECT_NE(listed.out.find("Report.pdf"), std::string::npos) << listed.out;
    EXPECT_EQ(listed.err, "");

    Outcome found = quilletctl({"search", "report", "--password-stdin"}, kPassword + "\n");
    EXPECT_EQ(found.exitStatus, 0) << found.err;
    EXPECT_NE(found.out.find("Report.pdf"), std::string::npos) << found.out;

    Outcome recovered = quilletctl({"recover", itemPath(), "--to", _dir / "recovered", "--password-stdin"}, kPassword + "\n");
    EXPECT_EQ(recovered.exitStatus, 0) << recovered.err;
    EXPECT_TRUE(test::exists(_dir / "recovered/Report.pdf"));

    const std::string restored = _dir.makeDir("restored");
    Outcome back = quilletctl({"restore", itemPath(), "--to", restored, "--password-stdin"}, kPassword + "\n");
    EXPECT_EQ(back.exitStatus, 0) << back.err;
    EXPECT_TRUE(test::exists(restored + "/Report.pdf"));
}

TEST_F(PasswordLockTest, onlyTheFirstLineIsThePasswordAndItsNewlineIsLeftOut) {
    struct Case {
        std::string input;
        int exitStatus;
    };
    const Case cases[] = {
        {kPassword, 0},                    // no newline at the end of the input
        {kPassword + "\nsecond line\n", 0}, // the rest of the input is not the password
        {kPassword + "\n\n", 0},
        {kPassword + " \n", 1},  // a trailing blank belongs to it
        {kPassword + "\r\n", 1}, // and so does a carriage return
        {"\n" + kPassword + "\n", 1},
        {"", 1},
    };
    for (const Case &c : cases) {
        Outcome outcome = quilletctl({"list", "--password-stdin"}, c.input);
        EXPECT_EQ(outcome.exitStatus, c.exitStatus) << test::readFileText(_dir / "run/in") << ": " << outcome.err;
        if (c.exitStatus != 0) {
            EXPECT_EQ(outcome.err, "quilletctl: wrong password\n");
        }
    }
}

TEST_F(PasswordLockTest, aWrongPasswordIsRefusedBeforeAnythingIsDone) {
    for (const std::vector<std::string> &command : lockedCommands()) {
        std::vector<std::string> args = command;
        args.push_back("--password-stdin");
        Outcome outcome = quilletctl(args, "not the password\n");
        EXPECT_EQ(outcome.exitStatus, 1) << command.front();
        EXPECT_EQ(outcome.out, "") << command.front();
        EXPECT_EQ(outcome.err, "quilletctl: wrong password\n") << command.front();
    }
    EXPECT_TRUE(test::exists(itemPath()));
    EXPECT_FALSE(test::exists(_dir / "recovered"));
    EXPECT_EQ(test::listNames(_dir / "restored"), std::vector<std::string>{});
}

TEST_F(PasswordLockTest, withoutATerminalOrPasswordStdinNothingCanBeAskedSoAllIsRefused) {
    for (const std::vector<std::string> &command : lockedCommands()) {
        Outcome outcome = quilletctl(command, std::nullopt);
        EXPECT_EQ(outcome.exitStatus, 1) << command.front();
        EXPECT_EQ(outcome.out, "") << command.front();
        EXPECT_EQ(outcome.err,
                  "quilletctl: the cache is locked by a password; give it on a terminal or with --password-stdin\n")
            << command.front();
    }
    // A password waiting on standard input is not taken without --password-stdin.
    Outcome notAsked = quilletctl({"list"}, kPassword + "\n");
    EXPECT_EQ(notAsked.exitStatus, 1);
    EXPECT_EQ(notAsked.out, "");
    EXPECT_TRUE(test::exists(itemPath()));
}

TEST_F(PasswordLockTest, withoutTheLockNothingIsAskedAndTheKeyringIsNotNeeded) {
    lock(false);
    // No session bus at all: any use of the keyring would fail.
    Outcome listed = quilletctl({"list", "--flat"}, std::nullopt, false);
    EXPECT_EQ(listed.exitStatus, 0) << listed.err;
    EXPECT_NE(listed.out.find("Report.pdf"), std::string::npos);
    EXPECT_EQ(listed.err, "");
    // --password-stdin is then accepted and not read.
    Outcome withOption = quilletctl({"search", "Report", "--password-stdin"}, "anything\n", false);
    EXPECT_EQ(withOption.exitStatus, 0) << withOption.err;
    EXPECT_NE(withOption.out.find("Report.pdf"), std::string::npos);
    // A domain without the key is no lock either.
    (void)_sessionDir->writeFile("config/com.plx.Quillet.plist", plistWith(""));
    Outcome plain = quilletctl({"list"}, std::nullopt, false);
    EXPECT_EQ(plain.exitStatus, 0) << plain.err;
}

TEST_F(PasswordLockTest, aKeyringThatCannotBeReachedRefusesWithTheReason) {
    for (const std::vector<std::string> &command : lockedCommands()) {
        std::vector<std::string> args = command;
        args.push_back("--password-stdin");
        Outcome outcome = quilletctl(args, kPassword + "\n", false);
        EXPECT_EQ(outcome.exitStatus, 1) << command.front();
        EXPECT_EQ(outcome.out, "") << command.front();
        const std::string start = "quilletctl: cannot check the password: looking up the keyring item (service "
                                  "Quillet1, account " +
                                  sys::loginName() + "): ";
        EXPECT_EQ(outcome.err.rfind(start, 0), 0u) << outcome.err;
        // The bus's own reason follows, on the same line.
        EXPECT_GT(outcome.err.size(), start.size() + 1) << outcome.err;
        EXPECT_EQ(outcome.err.find('\n'), outcome.err.size() - 1) << outcome.err;
    }
    EXPECT_TRUE(test::exists(itemPath()));
}

TEST_F(PasswordLockTest, aLockWithoutAnItemInTheKeyringRefuses) {
    ASSERT_EQ(Keyring().deleteItem().state, KeyringState::Found);
    Outcome outcome = quilletctl({"list", "--password-stdin"}, kPassword + "\n");
    EXPECT_EQ(outcome.exitStatus, 1);
    EXPECT_EQ(outcome.out, "");
    EXPECT_EQ(outcome.err, "quilletctl: cannot check the password: the keyring holds no password item (service "
                           "Quillet1, account " +
                               sys::loginName() + ")\n");
}

// ---- on a terminal --------------------------------------------------------------------------

/// quilletctl with standard input and standard error on a pseudo-terminal, as a user runs it.
class OnTerminal {
public:
    OnTerminal(const std::vector<std::string> &args, std::vector<std::string> env, const std::string &outPath) {
        _master = ::posix_openpt(O_RDWR | O_NOCTTY | O_CLOEXEC);
        if (_master < 0 || ::grantpt(_master) != 0 || ::unlockpt(_master) != 0)
            return;
        const std::string slaveName = ::ptsname(_master);
        _slave = ::open(slaveName.c_str(), O_RDWR | O_NOCTTY | O_CLOEXEC);
        if (_slave < 0)
            return;
        std::vector<std::string> argvStrings = {programPath()};
        argvStrings.insert(argvStrings.end(), args.begin(), args.end());
        std::vector<char *> argv = pointers(argvStrings);
        std::vector<char *> envp = pointers(env);
        _pid = ::fork();
        if (_pid == 0) {
            ::setsid();
            int terminal = ::open(slaveName.c_str(), O_RDWR);
            int out = ::open(outPath.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600);
            if (terminal < 0 || out < 0 || ::dup2(terminal, 0) < 0 || ::dup2(out, 1) < 0 || ::dup2(terminal, 2) < 0)
                ::_exit(126);
            ::execve(argv[0], argv.data(), envp.data());
            ::_exit(127);
        }
    }
    ~OnTerminal() {
        if (_pid > 0) {
            ::kill(_pid, SIGKILL);
            int status = 0;
            while (::waitpid(_pid, &status, 0) < 0 && errno == EINTR) {
            }
        }
        if (_slave >= 0)
            ::close(_slave);
        if (_master >= 0)
            ::close(_master);
    }

    bool started() const { return _pid > 0; }
    /// What the terminal showed so far, once text has appeared (or the wait was over).
    std::string waitForScreen(const std::string &text) {
        test::waitFor([&] {
            pollfd entry{_master, POLLIN, 0};
            while (::poll(&entry, 1, 0) > 0 && (entry.revents & POLLIN)) {
                char buffer[256];
                const ssize_t got = ::read(_master, buffer, sizeof buffer);
                if (got <= 0)
                    break;
                _screen.append(buffer, static_cast<size_t>(got));
            }
            return _screen.find(text) != std::string::npos;
        });
        return _screen;
    }
    void type(const std::string &text) { (void)!::write(_master, text.data(), text.size()); }
    void signal(int sig) { ::kill(_pid, sig); }
    /// The wait status once quilletctl has ended.
    std::optional<int> waitForExit() {
        int status = 0;
        const bool ended = test::waitFor([&] { return ::waitpid(_pid, &status, WNOHANG) == _pid; });
        if (!ended)
            return std::nullopt;
        _pid = -1;
        return status;
    }
    /// Whether the terminal echoes what is typed.
    bool echoes() const {
        termios settings{};
        return ::tcgetattr(_slave, &settings) == 0 && (settings.c_lflag & ECHO) != 0;
    }

private:
    int _master = -1;
    int _slave = -1;
    pid_t _pid = -1;
    std::string _screen;
};

TEST_F(PasswordLockTest, onATerminalThePasswordIsAskedForWithoutEcho) {
    struct Case {
        std::string typed;
        int exitStatus;
        std::string message;
    };
    const Case cases[] = {{kPassword, 0, ""}, {"wrong guess", 1, "quilletctl: wrong password"}};
    for (const Case &c : cases) {
        const std::string outPath = _dir / "terminal.out";
        OnTerminal terminal({"list", "--flat"}, environment(), outPath);
        ASSERT_TRUE(terminal.started());
        EXPECT_TRUE(terminal.echoes());
        const std::string prompt = terminal.waitForScreen("Password: ");
        ASSERT_NE(prompt.find("Password: "), std::string::npos) << prompt;
        EXPECT_FALSE(terminal.echoes());
        terminal.type(c.typed + "\n");
        const std::optional<int> status = terminal.waitForExit();
        ASSERT_TRUE(status);
        EXPECT_TRUE(WIFEXITED(*status) && WEXITSTATUS(*status) == c.exitStatus) << test::describeStatus(*status);
        const std::string screen = terminal.waitForScreen(c.message.empty() ? "Password: " : c.message);
        // Nothing typed was shown.
        EXPECT_EQ(screen.find(c.typed), std::string::npos) << screen;
        if (!c.message.empty()) {
            EXPECT_NE(screen.find(c.message), std::string::npos) << screen;
        }
        EXPECT_EQ(test::readFileText(outPath).find("Report.pdf") != std::string::npos, c.exitStatus == 0);
        EXPECT_TRUE(terminal.echoes());
    }
}

TEST_F(PasswordLockTest, anInterruptAtThePromptPutsTheEchoBack) {
    OnTerminal terminal({"list"}, environment(), _dir / "terminal.out");
    ASSERT_TRUE(terminal.started());
    const std::string prompt = terminal.waitForScreen("Password: ");
    ASSERT_NE(prompt.find("Password: "), std::string::npos) << prompt;
    ASSERT_FALSE(terminal.echoes());
    terminal.signal(SIGINT);
    const std::optional<int> status = terminal.waitForExit();
    ASSERT_TRUE(status);
    EXPECT_TRUE(WIFSIGNALED(*status) && WTERMSIG(*status) == SIGINT) << test::describeStatus(*status);
    EXPECT_TRUE(terminal.echoes());
    EXPECT_EQ(test::readFileText(_dir / "terminal.out"), "");
}

} // namespace
