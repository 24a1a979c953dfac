#pragma once
// The kernel's process table, read from /proc: the processes of the user running this program,
// with their short command names. This system finds its daemons by name there, never by
// handles kept at launch. Other accounts' processes are never listed: they are neither counted
// nor signalled, so another user's protection can never stand for this user's.

#include "platform/System.h"

#include <sys/types.h>

#include <cstdint>
#include <functional>
#include <optional>
#include <unordered_map>

#include <string>
#include <string_view>
#include <vector>

namespace quillet::sys {

struct ProcessEntry {
    pid_t pid = 0;
    std::string command; ///< the kernel's short name (comm): at most 15 bytes
    char state = '?';    ///< R, S, D, Z, …
    uid_t uid = 0;       ///< real user id
};

/// Every process of this program's real user visible in /proc except zombies, which are not
/// running. A process that ends while the table is read is simply left out; an unreadable
/// /proc gives an empty table.
std::vector<ProcessEntry> readProcessTable();
/// The entries of readProcessTable() whose short name passes wanted, at a fraction of its cost,
/// for loops that look for a few programs every second: a process is skipped when its /proc
/// folder belongs to another account, then only its name (/proc/<pid>/comm) is read, and the
/// status file (owner, state) only of the processes whose name passes.
std::vector<ProcessEntry> readProcessTable(const std::function<bool(std::string_view command)> &wanted);
/// readProcessTable(wanted) for a loop that reads the table every second: a process's name is
/// read when the process is first seen and once more at the next read (a program launched by
/// fork and exec shows the launcher's name at first), then taken as known. Every fullReadEvery
/// reads /proc is listed and all names are read again, so a process that runs another program
/// long after its start is seen then at the latest; the name files of up to 256 processes are
/// kept open for that, so that reading one again costs a single call.
///
/// Between full reads /proc is not listed: the processes created since the last read are those
/// whose numbers lie between the last process id of /proc/loadavg then and now, and only those
/// numbers are looked at (threads among them are left out). When that span is long, or the
/// numbers wrapped, or this /proc is not of this process's pid namespace, /proc is listed.
///
/// The owner and state of the processes whose name passes are read when they are found and at
/// every listing; between listings one poll of descriptors bound to them (pidfds) tells which
/// still run, so an owner or name one of them takes later (a setuid, an exec) is seen at the
/// next full read. Without pidfds (Linux before 5.3) their status is read at every read.
/// Not thread-safe.
class ProcessWatch {
public:
    explicit ProcessWatch(std::function<bool(std::string_view command)> wanted, unsigned fullReadEvery = 10);
    std::vector<ProcessEntry> read();
    /// Whether the last read listed /proc (rather than looking at the new numbers only).
    bool listedLastTime() const { return _listedLastTime; }
    /// Descriptors that become readable when a process the last read found ends (pidfds), for
    /// a poll that waits for that; nothing when one of those processes has none (Linux before
    /// 5.3), since then an end would go unseen.
    std::optional<std::vector<int>> endDescriptors() const;

private:
    struct Known {
        std::string command; ///< empty: another account's, or unreadable
        bool confirmed = false;
        uint64_t seenAt = 0;
        Fd name; ///< its /proc/<pid>/comm, kept open to read it again at one call's cost
    };
    /// A process that passed at the last read, its status file and a descriptor of the process.
    struct Found {
        ProcessEntry entry;
        Fd status;
        Fd process;
    };
    enum class Sieve { None, Owner };
    /// Reads the name of a process into entry (with Sieve::Owner only of this user's, by the
    /// owner of its folder); false when there is no such process.
    bool readName(pid_t pid, Known &entry, Sieve sieve);
    /// Closes the name file entry keeps open.
    void forget(Known &entry);
    std::optional<Found> confirm(pid_t pid, std::vector<Found> &previous, bool fromListing);

    std::function<bool(std::string_view)> _wanted;
    unsigned _fullReadEvery;
    uint64_t _reads = 0;
    std::unordered_map<pid_t, Known> _known;
    /// Those of _known whose name is to be read once more at the next read.
    std::vector<pid_t> _unconfirmed;
    size_t _keptNames = 0;
    std::optional<Fd> _proc;
    std::optional<Fd> _loadavg;
    /// /proc shows the processes by the numbers /proc/loadavg counts in.
    bool _ownNamespace = false;
    bool _listedOnce = false;
    bool _listedLastTime = false;
    std::optional<long> _lastPid;
    std::vector<Found> _found;
};

/// The last field of the text of /proc/loadavg: the most recently created process id.
std::string_view lastCreatedPid(std::string_view loadavg);

/// Parses the text of /proc/<pid>/status (its Name, State and Uid lines; the pid is not in it);
/// false when a line is missing or malformed. The name is unescaped as the kernel escapes it
/// there ("\n" and "\\").
bool parseProcessStatus(std::string_view text, ProcessEntry &entry);
/// Parses the text of /proc/<pid>/stat ("pid (comm) S …"); false when it is not such text.
/// It carries no user id.
bool parseProcessStat(std::string_view text, ProcessEntry &entry);

/// When the process pid started, in clock ticks since the system started (field 22 of
/// /proc/<pid>/stat): of two processes, the one with the smaller value started first.
Result<uint64_t> processStartTicks(pid_t pid);
/// That field of the text of /proc/<pid>/stat; nothing when it is not such text.
std::optional<uint64_t> parseStartTicks(std::string_view procPidStat);

/// True when the process pid is a running process (not a zombie) of this user whose short name
/// matches program.
bool isRunning(pid_t pid, std::string_view program);

/// True when a process whose short name is command runs program: the kernel keeps the first
/// 15 bytes of an executable's name, so command must equal program cut to that length. No
/// shorter leading part of the name matches.
bool matchesProgram(std::string_view command, std::string_view program);

} // namespace quillet::sys
