#pragma once
// The kernel's process table, read from /proc: every process of every user, with its short
// command name. This system finds its daemons by name there, never by handles kept at launch.

#include <sys/types.h>

#include <string>
#include <string_view>
#include <vector>

namespace quillet::sys {

struct ProcessEntry {
    pid_t pid = 0;
    std::string command; ///< the kernel's short name (comm): at most 15 bytes
    char state = '?';    ///< R, S, D, Z, …
};

/// Every process visible in /proc except zombies, which are not running. A process that ends
/// while the table is read is simply left out; an unreadable /proc gives an empty table.
std::vector<ProcessEntry> readProcessTable();
/// Parses the text of /proc/<pid>/stat ("pid (comm) S …"); false when it is not such text.
bool parseProcessStat(std::string_view text, ProcessEntry &entry);

/// True when a process whose short name is command runs program: the kernel keeps the first
/// 15 bytes of an executable's name, so command must equal program cut to that length. No
/// shorter leading part of the name matches.
bool matchesProgram(std::string_view command, std::string_view program);

} // namespace quillet::sys
