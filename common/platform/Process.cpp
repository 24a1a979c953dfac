#include "platform/Process.h"

#include <fcntl.h>
#include <poll.h>
#include <spawn.h>
#include <sys/syscall.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <csignal>
#include <ctime>

extern char **environ;

namespace quillet::sys {
namespace {

void interruptSleep(int) {}

/// RAII owner of a posix_spawnattr_t.
class SpawnAttributes {
public:
    SpawnAttributes() { _ready = ::posix_spawnattr_init(&_attributes) == 0; }
    ~SpawnAttributes() {
        if (_ready)
            ::posix_spawnattr_destroy(&_attributes);
    }
    SpawnAttributes(const SpawnAttributes &) = delete;
    SpawnAttributes &operator=(const SpawnAttributes &) = delete;
    bool ready() const { return _ready; }
    posix_spawnattr_t *get() { return &_attributes; }

private:
    posix_spawnattr_t _attributes;
    bool _ready = false;
};

} // namespace

Result<std::string> siblingExecutable(std::string_view name) {
    auto self = readlinkAt(AT_FDCWD, "/proc/self/exe");
    if (!self)
        return self.status();
    // A program replaced on disk while it runs (a reinstall, a rebuild) reads as
    // "path (deleted)"; its siblings are still in the same folder.
    constexpr std::string_view kDeleted = " (deleted)";
    std::string path = *self;
    if (path.ends_with(kDeleted))
        path.resize(path.size() - kDeleted.size());
    return joinPath(parentPath(path), name);
}

namespace {

/// RAII owner of a posix_spawn_file_actions_t.
class SpawnFileActions {
public:
    SpawnFileActions() { _ready = ::posix_spawn_file_actions_init(&_actions) == 0; }
    ~SpawnFileActions() {
        if (_ready)
            ::posix_spawn_file_actions_destroy(&_actions);
    }
    SpawnFileActions(const SpawnFileActions &) = delete;
    SpawnFileActions &operator=(const SpawnFileActions &) = delete;
    bool ready() const { return _ready; }
    posix_spawn_file_actions_t *get() { return &_actions; }

private:
    posix_spawn_file_actions_t _actions;
    bool _ready = false;
};

/// An argument vector as exec wants it, built before any fork.
class ArgumentVector {
public:
    ArgumentVector(const std::string &program, const std::vector<std::string> &arguments) {
        _strings.reserve(arguments.size() + 1);
        _strings.push_back(program);
        _strings.insert(_strings.end(), arguments.begin(), arguments.end());
        _pointers.reserve(_strings.size() + 1);
        for (std::string &text : _strings)
            _pointers.push_back(text.data());
        _pointers.push_back(nullptr);
    }
    char *const *get() { return _pointers.data(); }

private:
    std::vector<std::string> _strings;
    std::vector<char *> _pointers;
};

// The launcher typically blocks its stop signal and SIGCHLD and may ignore others; the child
// must start as a fresh program would, or it could neither be stopped nor reap its own
// children.
bool prepareFreshSignals(SpawnAttributes &attributes, short extraFlags) {
    if (!attributes.ready())
        return false;
    sigset_t none, all;
    sigemptyset(&none);
    sigfillset(&all);
    ::posix_spawnattr_setsigmask(attributes.get(), &none);
    ::posix_spawnattr_setsigdefault(attributes.get(), &all);
    ::posix_spawnattr_setflags(attributes.get(),
                               static_cast<short>(POSIX_SPAWN_SETSIGMASK | POSIX_SPAWN_SETSIGDEF | extraFlags));
    return true;
}

} // namespace

Result<pid_t> spawnChild(const std::string &program, const std::vector<std::string> &arguments) {
    ArgumentVector argv(program, arguments);
    SpawnAttributes attributes;
    if (!prepareFreshSignals(attributes, 0))
        return Status::failure(ENOMEM, "posix_spawnattr_init", program);
    pid_t pid = -1;
    // glibc reports a failed exec as the result of posix_spawn, so a missing program is
    // known here and no child is left to reap.
    int error = ::posix_spawn(&pid, program.c_str(), nullptr, attributes.get(), argv.get(), environ);
    if (error != 0)
        return Status::failure(error, "posix_spawn", program);
    return pid;
}

Result<pid_t> launchDetached(const std::string &program, const std::vector<std::string> &arguments,
                             const std::string &outputPath) {
    // Everything is prepared before the fork: the intermediate child only spawns, reports and
    // exits, which is safe even when the launcher runs other threads.
    ArgumentVector argv(program, arguments);
    SpawnAttributes attributes;
    if (!prepareFreshSignals(attributes, POSIX_SPAWN_SETSID))
        return Status::failure(ENOMEM, "posix_spawnattr_init", program);
    // The output file is opened here, where a failure can still be told, and handed down.
    Fd output;
    if (!outputPath.empty()) {
        auto opened = open(outputPath, O_WRONLY | O_APPEND | O_CREAT | O_NOFOLLOW | O_NOCTTY, 0600);
        if (!opened)
            return opened.status();
        output = std::move(*opened);
    }
    SpawnFileActions actions;
    if (!actions.ready())
        return Status::failure(ENOMEM, "posix_spawn_file_actions_init", program);
    ::posix_spawn_file_actions_addopen(actions.get(), 0, "/dev/null", O_RDONLY, 0);
    if (output.valid()) {
        ::posix_spawn_file_actions_adddup2(actions.get(), output.get(), 1);
        ::posix_spawn_file_actions_adddup2(actions.get(), output.get(), 2);
    }
    int report[2];
    if (::pipe2(report, O_CLOEXEC) != 0)
        return Status::fromErrno("pipe", program);
    Fd reader(report[0]);
    Fd writer(report[1]);
    pid_t intermediate = ::fork();
    if (intermediate < 0)
        return Status::fromErrno("fork", program);
    if (intermediate == 0) {
        pid_t pid = -1;
        int error = ::posix_spawn(&pid, program.c_str(), actions.get(), attributes.get(), argv.get(), environ);
        if (error == 0)
            (void)!::write(writer.get(), &pid, sizeof pid);
        ::_exit(error == 0 ? 0 : (error & 0xff ? error & 0xff : 255));
    }
    writer.reset();
    pid_t launched = -1;
    ssize_t got;
    do {
        got = ::read(reader.get(), &launched, sizeof launched);
    } while (got < 0 && errno == EINTR);
    // The launched program is the intermediate's child and is adopted once it exits: nobody
    // here has to reap it, and it never lingers as a zombie of the launcher.
    auto status = waitChild(intermediate, -1);
    if (!status)
        return status.status();
    int code = status->has_value() && WIFEXITED(**status) ? WEXITSTATUS(**status) : EIO;
    if (code != 0)
        return Status::failure(code, "posix_spawn", program);
    if (got != static_cast<ssize_t>(sizeof launched))
        return Status::failure(EIO, "posix_spawn", program);
    return launched;
}

Result<std::optional<int>> reapChild(pid_t pid) {
    int status = 0;
    pid_t done;
    do {
        done = ::waitpid(pid, &status, WNOHANG);
    } while (done < 0 && errno == EINTR);
    if (done < 0)
        return Status::fromErrno("waitpid", std::to_string(pid));
    if (done == 0)
        return std::optional<int>();
    return std::optional<int>(status);
}

Result<std::optional<int>> waitChild(pid_t pid, int timeoutMillis) {
    const int64_t deadline = monotonicMillis() + timeoutMillis;
    for (;;) {
        auto reaped = reapChild(pid);
        if (!reaped || reaped->has_value())
            return reaped;
        if (timeoutMillis >= 0 && monotonicMillis() >= deadline)
            return reaped;
        // Polling keeps this independent of how the caller handles SIGCHLD.
        struct timespec step = {0, 10 * 1000 * 1000};
        ::nanosleep(&step, nullptr);
    }
}

Status sendSignal(pid_t pid, int sig) {
    if (::kill(pid, sig) != 0)
        return Status::fromErrno("kill", std::to_string(pid));
    return {};
}

Result<Fd> openProcess(pid_t pid) {
#ifdef SYS_pidfd_open
    const long fd = ::syscall(SYS_pidfd_open, pid, 0);
    if (fd < 0)
        return Status::fromErrno("pidfd_open", std::to_string(pid));
    // pidfd_open sets close-on-exec itself.
    return Fd(static_cast<int>(fd), "pidfd " + std::to_string(pid));
#else
    return Status::failure(ENOSYS, "pidfd_open", std::to_string(pid));
#endif
}

Result<std::vector<bool>> processesEnded(const std::vector<int> &processes) {
    std::vector<struct pollfd> polled(processes.size());
    for (size_t i = 0; i < processes.size(); ++i)
        polled[i] = {processes[i], POLLIN, 0};
    int ready;
    do {
        ready = ::poll(polled.data(), polled.size(), 0);
    } while (ready < 0 && errno == EINTR);
    if (ready < 0)
        return Status::fromErrno("poll", "pidfd");
    std::vector<bool> ended(processes.size());
    for (size_t i = 0; i < processes.size(); ++i)
        ended[i] = (polled[i].revents & (POLLIN | POLLERR | POLLHUP | POLLNVAL)) != 0;
    return ended;
}

sigset_t wakeOnChildExit(const sigset_t *waitMask) {
    struct sigaction action {};
    action.sa_handler = interruptSleep;
    sigemptyset(&action.sa_mask);
    // No SA_RESTART: the end of a child must end the sleep. Stopped children are of no
    // interest.
    action.sa_flags = SA_NOCLDSTOP;
    ::sigaction(SIGCHLD, &action, nullptr);
    sigset_t blocked;
    sigemptyset(&blocked);
    sigaddset(&blocked, SIGCHLD);
    ::sigprocmask(SIG_BLOCK, &blocked, nullptr);

    sigset_t mask;
    if (waitMask)
        mask = *waitMask;
    else
        ::sigprocmask(SIG_SETMASK, nullptr, &mask);
    sigdelset(&mask, SIGCHLD);
    return mask;
}

bool exitedCleanly(int waitStatus) { return WIFEXITED(waitStatus) && WEXITSTATUS(waitStatus) == 0; }

std::string describeWaitStatus(int waitStatus) {
    if (WIFEXITED(waitStatus))
        return "exited with " + std::to_string(WEXITSTATUS(waitStatus));
    if (WIFSIGNALED(waitStatus))
        return "killed by signal " + std::to_string(WTERMSIG(waitStatus));
    return "wait status " + std::to_string(waitStatus);
}

} // namespace quillet::sys
