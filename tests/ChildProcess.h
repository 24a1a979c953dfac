#pragma once
// Programs a test runs as child processes (the built daemons, tools such as trash-put), polling
// for outcomes, and what /proc tells about processes.

#include <sys/types.h>

#include <chrono>
#include <functional>
#include <optional>
#include <string>
#include <vector>

namespace quillet::test {

/// How long a test waits for an outcome unless it says otherwise: long enough for a loaded
/// machine, reached only when the test fails anyway.
inline constexpr std::chrono::milliseconds kDefaultTimeout = std::chrono::seconds(20);
/// How often waitFor() looks.
inline constexpr std::chrono::milliseconds kPollStep = std::chrono::milliseconds(20);

/// Asks condition every step until it holds or timeout has passed, and once more at the
/// deadline; answers whether it held.
bool waitFor(const std::function<bool()> &condition, std::chrono::milliseconds timeout = kDefaultTimeout,
             std::chrono::milliseconds step = kPollStep);

/// The path of a program the build puts in libexec/quillet ("quilletd"). The build folder is
/// QUILLET_BUILD_DIR as CTest sets it, else the parent of the working folder when the program
/// is there (the tests run from build/tests), else two levels above this test program.
std::string libexecPath(const std::string &name);

/// A wait status in words for failure messages: "exited with 1", "killed by signal 9".
std::string describeStatus(int status);

/// One child process of a test. It gets exactly the environment it is given, stdin and stdout
/// on /dev/null and stderr in a file; it is killed and reaped at the latest when the object
/// goes.
class ChildProcess {
public:
    /// The signal mask the child starts with: nothing blocked, or SIGINT blocked as a careless
    /// launcher may leave it.
    enum class Interrupt { Default, Blocked };

    ChildProcess() = default;
    ChildProcess(const ChildProcess &) = delete;
    ChildProcess &operator=(const ChildProcess &) = delete;
    ~ChildProcess() { stop(); }

    /// Starts program with args (argv[0] is the program path) and exactly env as its
    /// environment; stderr goes to stderrPath (truncated). Every signal starts with its default
    /// action. A child still running from an earlier start is killed first. False when the
    /// program cannot be spawned.
    bool start(const std::string &program, const std::vector<std::string> &args, const std::vector<std::string> &env,
               const std::string &stderrPath, Interrupt interrupt = Interrupt::Default);

    /// The process id while the child runs, -1 once running() has seen it end.
    pid_t pid() const { return _pid; }

    /// Whether the child still runs; once it has ended, reaps it and keeps its wait status.
    bool running();

    /// Sends sig to the child while it runs.
    void signal(int sig);

    /// The wait status once the child has ended, or nothing when it still runs after timeout.
    std::optional<int> waitForExit(std::chrono::milliseconds timeout = kDefaultTimeout);

    /// Kills the child if it still runs and always reaps it.
    void stop();

private:
    pid_t _pid = -1;
    std::optional<int> _status;
};

/// Fields of /proc/<pid>/stat after the command name (state, ppid, …); empty when the process
/// is gone.
std::vector<std::string> statFields(pid_t pid);
/// The state letter of /proc/<pid>/stat ('S', 'Z', …), '\0' when the process is gone.
char processState(pid_t pid);
/// The arguments in /proc/<pid>/cmdline, argv[0] included; empty for a zombie or a process
/// that is gone.
std::vector<std::string> commandLineOf(pid_t pid);
/// Processes whose parent is parent, zombies included.
std::vector<pid_t> childrenOf(pid_t parent);
/// The arguments (program name left out) of every running process whose short name matches
/// program, in process-table order.
std::vector<std::vector<std::string>> argumentsOfProcessesNamed(const std::string &program);
/// Whether sig is set in a mask line ("SigCgt", "SigBlk") of /proc/<pid>/status.
bool statusMaskHas(pid_t pid, const std::string &field, int sig);
/// True when the process has a SIGINT handler installed, so that a SIGINT no longer kills it
/// outright.
bool catchesSigint(pid_t pid);

} // namespace quillet::test
