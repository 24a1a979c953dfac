#include "KeyringSession.h"

#include "ChildProcess.h"
#include "TestDir.h"

#include <fcntl.h>
#include <signal.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>

namespace quillet::test {

namespace {

// The login collection's password: any text but an empty one (see the header).
constexpr const char *kLoginPassword = "login-keyring-of-a-test";

bool onPath(const std::string &program) {
    for (const char *folder : {"/usr/local/bin", "/usr/bin", "/bin"})
        if (isExecutable(std::string(folder) + "/" + program))
            return true;
    return false;
}

std::string withoutNewline(std::string text) {
    while (!text.empty() && (text.back() == '\n' || text.back() == '\r'))
        text.pop_back();
    return text;
}

} // namespace

std::string KeyringSession::missingTools() {
    for (const char *program : {"dbus-run-session", "gnome-keyring-daemon"})
        if (!onPath(program))
            return std::string(program) + " is not installed (packages dbus and gnome-keyring)";
    return {};
}

std::vector<std::string> KeyringSession::environment(bool withBus) const {
    std::vector<std::string> env = {
        "PATH=/usr/local/bin:/usr/bin:/bin",
        "HOME=" + _folder + "/home",
        "XDG_DATA_HOME=" + _folder + "/data",
        "XDG_CONFIG_HOME=" + _folder + "/config",
        "XDG_CACHE_HOME=" + _folder + "/cache",
        "XDG_STATE_HOME=" + _folder + "/state",
        "XDG_RUNTIME_DIR=" + _folder + "/run",
        "LANG=C.UTF-8",
    };
    if (withBus && !_busAddress.empty())
        env.push_back("DBUS_SESSION_BUS_ADDRESS=" + _busAddress);
    return env;
}

KeyringSession::KeyringSession(const std::string &folder) : _folder(folder) {
    for (const char *sub : {"home", "data", "config", "cache", "state"})
        if (!makeFolder(_folder + "/" + sub, 0700)) {
            _failure = "cannot make " + _folder + "/" + sub;
            return;
        }
    // The bus and the keyring put their sockets in the runtime folder, which must be private.
    if (!makeFolder(_folder + "/run", 0700)) {
        _failure = "cannot make " + _folder + "/run";
        return;
    }
    const std::string addressFile = _folder + "/bus-address";
    const std::string logFile = _folder + "/session.log";
    int pipeFds[2];
    if (::pipe2(pipeFds, O_CLOEXEC) != 0) {
        _failure = "pipe2 failed";
        return;
    }
    const std::string script =
        "printf %s \"$QUILLET_TEST_LOGIN_PASSWORD\" | gnome-keyring-daemon --unlock --components=secrets >/dev/null "
        "|| exit 1; printf '%s\\n' \"$DBUS_SESSION_BUS_ADDRESS\" > \"$1.part\" && mv \"$1.part\" \"$1\" && "
        "exec cat >/dev/null";
    std::vector<std::string> args = {"dbus-run-session", "--", "sh", "-c", script, "sh", addressFile};
    std::vector<std::string> env = environment(false);
    env.push_back(std::string("QUILLET_TEST_LOGIN_PASSWORD=") + kLoginPassword);
    std::vector<char *> argv;
    for (std::string &arg : args)
        argv.push_back(arg.data());
    argv.push_back(nullptr);
    std::vector<char *> envp;
    for (std::string &variable : env)
        envp.push_back(variable.data());
    envp.push_back(nullptr);

    _pid = ::fork();
    if (_pid == 0) {
        // A process group of its own, so that a session that will not end can be ended whole.
        ::setpgid(0, 0);
        int out = ::open("/dev/null", O_WRONLY);
        int err = ::open(logFile.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600);
        if (out < 0 || err < 0 || ::dup2(pipeFds[0], 0) < 0 || ::dup2(out, 1) < 0 || ::dup2(err, 2) < 0)
            ::_exit(126);
        ::execvpe("dbus-run-session", argv.data(), envp.data());
        ::_exit(127);
    }
    ::close(pipeFds[0]);
    _keepAlive = pipeFds[1];
    if (_pid < 0) {
        _failure = "fork failed";
        return;
    }
    bool ended = false;
    waitFor(
        [&] {
            int status = 0;
            if (::waitpid(_pid, &status, WNOHANG) == _pid) {
                ended = true;
                _pid = -1;
                return true;
            }
            return exists(addressFile);
        },
        std::chrono::seconds(30));
    if (!ended && exists(addressFile))
        _busAddress = withoutNewline(readFileText(addressFile));
    if (_busAddress.empty())
        _failure = std::string(ended ? "the keyring session ended at once" : "the keyring session did not start") +
                   "; its messages:\n" + readFileText(logFile);
}

KeyringSession::~KeyringSession() {
    if (_keepAlive >= 0)
        ::close(_keepAlive);
    if (_pid <= 0)
        return;
    int status = 0;
    const bool ended = waitFor([&] { return ::waitpid(_pid, &status, WNOHANG) == _pid; }, std::chrono::seconds(10));
    if (!ended) {
        ::kill(-_pid, SIGTERM);
        while (::waitpid(_pid, &status, 0) < 0 && errno == EINTR) {
        }
    }
    // The keyring daemon leaves when the bus has gone; its socket goes with it, and only then
    // may the folder it writes to be removed.
    waitFor([&] { return !exists(_folder + "/run/keyring/control"); }, std::chrono::seconds(5));
}

} // namespace quillet::test
