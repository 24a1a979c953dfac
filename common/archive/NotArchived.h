#pragma once
// Entries of a trash that quilletd did not archive, and why. quilletd writes one line per
// entry to its log (the daemons' log when launched detached), once for as long as the entry
// stays as it is in the trash:
//
//   2026-12-08T09:30:12 quilletd: not archived (larger than the size limit): /home/ann/.local/share/Trash/files/disk.iso
//
// The time is local; the reason is one of the few texts below; the path is escaped as
// quilletctl prints paths (escapedText), so that every entry takes one line.
// quilletctl status counts these lines to say what was left out lately.

#include <cstddef>
#include <ctime>
#include <map>
#include <string>
#include <string_view>

namespace quillet {

inline constexpr std::string_view kNotArchivedSizeLimit = "larger than the size limit";
inline constexpr std::string_view kNotArchivedFreeSpace = "the volume would go below the free-space minimum";
inline constexpr std::string_view kNotArchivedVolumeFull = "its volume is full";
inline constexpr std::string_view kNotArchivedOwnProgram = "one of the protection's own programs";
inline constexpr std::string_view kNotArchivedNameTooLong = "the name is too long to be stored";
inline constexpr std::string_view kNotArchivedCopyFailed = "it could not be copied";
inline constexpr std::string_view kNotArchivedNoVolumeFigures = "the free space of its volume cannot be read";

/// The log line, newline included, for an entry at path not archived at when for reason.
std::string notArchivedLine(time_t when, std::string_view reason, std::string_view path);

struct NotArchivedSummary {
    size_t count = 0;
    /// Entries by reason.
    std::map<std::string, size_t> byReason;
};

/// The entries of logText's not-archived lines written at since or later; other lines, and
/// lines whose time cannot be read, count for nothing.
NotArchivedSummary summarizeNotArchived(std::string_view logText, time_t since);

/// The same for the daemons' log (the end of the current one and of the one before), as far
/// as it can be read.
NotArchivedSummary notArchivedSince(time_t since);

} // namespace quillet
