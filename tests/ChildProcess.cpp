#include "ChildProcess.h"

#include "platform/ProcessTable.h"

#include "TestDir.h"

#include <fcntl.h>
#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <fstream>
#include <sstream>
#include <thread>

namespace quillet::test {

bool waitFor(const std::function<bool()> &condition, std::chrono::milliseconds timeout,
             std::chrono::milliseconds step) {
    auto deadline = std::chrono::steady_clock::now() + timeout;
    for (;;) {
        if (condition())
            return true;
        if (std::chrono::steady_clock::now() >= deadline)
            return condition();
        std::this_thread::sleep_for(step);
    }
}

static std::string buildDirFor(const std::string &name) {
    if (const char *fromEnv = std::getenv("QUILLET_BUILD_DIR"); fromEnv && *fromEnv)
        return fromEnv;
    char cwd[4096];
    if (::getcwd(cwd, sizeof cwd) && isExecutable(parentOf(cwd) + "/libexec/quillet/" + name))
        return parentOf(cwd);
    char self[4096];
    ssize_t length = ::readlink("/proc/self/exe", self, sizeof self - 1);
    if (length > 0) {
        self[length] = '\0';
        return parentOf(parentOf(self));
    }
    return "..";
}

std::string libexecPath(const std::string &name) { return buildDirFor(name) + "/libexec/quillet/" + name; }

std::string describeStatus(int status) {
    std::ostringstream text;
    if (WIFEXITED(status))
        text << "exited with " << WEXITSTATUS(status);
    else if (WIFSIGNALED(status))
        text << "killed by signal " << WTERMSIG(status);
    else
        text << "wait status " << status;
    return text.str();
}

bool ChildProcess::start(const std::string &program, const std::vector<std::string> &args,
                         const std::vector<std::string> &env, const std::string &stderrPath, Interrupt interrupt) {
    stop();
    _status.reset();
    std::vector<std::string> argvStrings = {program};
    argvStrings.insert(argvStrings.end(), args.begin(), args.end());
    std::vector<char *> argv;
    for (std::string &arg : argvStrings)
        argv.push_back(arg.data());
    argv.push_back(nullptr);
    std::vector<std::string> envStrings = env;
    std::vector<char *> envp;
    for (std::string &variable : envStrings)
        envp.push_back(variable.data());
    envp.push_back(nullptr);

    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_addopen(&actions, 0, "/dev/null", O_RDONLY, 0);
    posix_spawn_file_actions_addopen(&actions, 1, "/dev/null", O_WRONLY, 0);
    posix_spawn_file_actions_addopen(&actions, 2, stderrPath.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
    posix_spawnattr_t attributes;
    posix_spawnattr_init(&attributes);
    sigset_t mask, defaults;
    sigemptyset(&mask);
    if (interrupt == Interrupt::Blocked)
        sigaddset(&mask, SIGINT);
    sigfillset(&defaults);
    posix_spawnattr_setsigmask(&attributes, &mask);
    posix_spawnattr_setsigdefault(&attributes, &defaults);
    posix_spawnattr_setflags(&attributes, POSIX_SPAWN_SETSIGMASK | POSIX_SPAWN_SETSIGDEF);
    pid_t pid = -1;
    int error = ::posix_spawn(&pid, program.c_str(), &actions, &attributes, argv.data(), envp.data());
    posix_spawn_file_actions_destroy(&actions);
    posix_spawnattr_destroy(&attributes);
    if (error != 0)
        return false;
    _pid = pid;
    return true;
}

bool ChildProcess::running() {
    if (_pid <= 0)
        return false;
    int status = 0;
    pid_t done = ::waitpid(_pid, &status, WNOHANG);
    if (done == _pid) {
        _status = status;
        _pid = -1;
        return false;
    }
    return done == 0;
}

void ChildProcess::signal(int sig) {
    if (_pid > 0)
        ::kill(_pid, sig);
}

std::optional<int> ChildProcess::waitForExit(std::chrono::milliseconds timeout) {
    if (_pid > 0)
        waitFor([this] { return !running(); }, timeout);
    return _status;
}

void ChildProcess::stop() {
    if (_pid <= 0)
        return;
    if (running()) {
        ::kill(_pid, SIGKILL);
        int status = 0;
        while (::waitpid(_pid, &status, 0) < 0 && errno == EINTR) {
        }
        _status = status;
        _pid = -1;
    }
}

std::vector<std::string> statFields(pid_t pid) {
    std::string stat = readFileText("/proc/" + std::to_string(pid) + "/stat");
    size_t close = stat.rfind(')');
    std::vector<std::string> fields;
    if (close == std::string::npos)
        return fields;
    std::istringstream rest(stat.substr(close + 1));
    std::string field;
    while (rest >> field)
        fields.push_back(field);
    return fields;
}

char processState(pid_t pid) {
    auto fields = statFields(pid);
    return fields.empty() ? '\0' : fields[0][0];
}

std::vector<std::string> commandLineOf(pid_t pid) {
    std::string raw = readFileText("/proc/" + std::to_string(pid) + "/cmdline");
    std::vector<std::string> argv;
    size_t start = 0;
    while (start < raw.size()) {
        size_t end = raw.find('\0', start);
        if (end == std::string::npos)
            end = raw.size();
        argv.push_back(raw.substr(start, end - start));
        start = end + 1;
    }
    return argv;
}

std::vector<pid_t> childrenOf(pid_t parent) {
    std::vector<pid_t> children;
    for (const std::string &name : listNames("/proc")) {
        if (name.find_first_not_of("0123456789") != std::string::npos)
            continue;
        pid_t pid = std::atoi(name.c_str());
        auto fields = statFields(pid);
        if (fields.size() > 1 && std::atoi(fields[1].c_str()) == parent)
            children.push_back(pid);
    }
    return children;
}

bool statusMaskHas(pid_t pid, const std::string &field, int sig) {
    std::ifstream status("/proc/" + std::to_string(pid) + "/status");
    std::string line;
    while (std::getline(status, line))
        if (line.rfind(field + ":", 0) == 0)
            return (std::strtoull(line.c_str() + field.size() + 1, nullptr, 16) >> (sig - 1)) & 1u;
    return false;
}

bool catchesSigint(pid_t pid) { return statusMaskHas(pid, "SigCgt", SIGINT); }

std::vector<std::vector<std::string>> argumentsOfProcessesNamed(const std::string &program) {
    std::vector<std::vector<std::string>> lines;
    for (const sys::ProcessEntry &entry : sys::readProcessTable())
        if (sys::matchesProgram(entry.command, program)) {
            auto line = commandLineOf(entry.pid);
            if (!line.empty())
                line.erase(line.begin());
            lines.push_back(line);
        }
    return lines;
}

} // namespace quillet::test
