#pragma once
// Starting other programs of this system and looking after them: where a sibling program
// lies, launching a child, reaping it, signalling it.

#include "platform/System.h"

#include <signal.h>
#include <sys/types.h>

#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace quillet::sys {

/// The program called name in the folder of the running executable (/proc/self/exe): the
/// installed programs and the build tree both keep the daemons side by side. Whether it
/// exists is not checked.
Result<std::string> siblingExecutable(std::string_view name);

/// Starts program as a direct child of this process with argv = program, arguments…, this
/// process's environment and its descriptors except those marked close-on-exec. The child
/// starts with no signal blocked and every signal at its default action, whatever this process
/// blocks or ignores. Fails with the errno of the exec when the program cannot be run
/// (missing, not executable). The caller must reap the child (reapChild, waitChild).
Result<pid_t> spawnChild(const std::string &program, const std::vector<std::string> &arguments);

/// Starts program detached: in a session of its own, adopted by the system at once (a double
/// fork), so the launcher keeps no handle, never reaps it and never leaves a zombie. The child
/// starts as spawnChild's does, with standard input on /dev/null; its standard output and error
/// are appended to the file outputPath (created with mode 0600, never through a link) when one
/// is given, else they stay the launcher's. Answers the program's process id, which is only
/// good for looking at it shortly after. Fails with the errno of the exec when the program
/// cannot be run, or of the open when outputPath cannot be.
Result<pid_t> launchDetached(const std::string &program, const std::vector<std::string> &arguments,
                             const std::string &outputPath = {});

/// Reaps the child pid if it has ended, without waiting: its wait status, or nothing while it
/// still runs. ECHILD when pid is not an unreaped child of this process.
Result<std::optional<int>> reapChild(pid_t pid);
/// Waits up to timeoutMillis (-1: no limit) for the child pid to end and reaps it: its wait
/// status, or nothing when it still runs after the time-out. ECHILD as for reapChild.
Result<std::optional<int>> waitChild(pid_t pid, int timeoutMillis);

/// kill(2).
Status sendSignal(pid_t pid, int sig);

/// A descriptor bound to the process pid itself (pidfd_open(2), Linux 5.3 and later), whoever
/// gets its number once it has ended. ENOSYS on older kernels.
Result<Fd> openProcess(pid_t pid);
/// For each descriptor of openProcess, whether its process has ended (a zombie has), found by
/// one poll(2) that does not wait. A descriptor the kernel refuses to poll counts as ended.
Result<std::vector<bool>> processesEnded(const std::vector<int> &processes);

/// Lets a single-threaded loop sleep until a child ends: SIGCHLD gets a handler that only
/// interrupts the sleep, and is blocked outside it. Returns the mask to sleep with: waitMask
/// without SIGCHLD. The loop reaps its children when it wakes.
sigset_t wakeOnChildExit(const sigset_t *waitMask);

/// True when the child ended by exiting with status 0.
bool exitedCleanly(int waitStatus);
/// "exited with 0", "killed by signal 9"… for diagnostics.
std::string describeWaitStatus(int waitStatus);

} // namespace quillet::sys
