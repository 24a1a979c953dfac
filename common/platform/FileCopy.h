#pragma once
// The whole-item copy every program uses to put a file into the cache or take it out again.

#include "platform/System.h"

#include <sys/types.h>

#include <functional>
#include <optional>
#include <string>
#include <string_view>

namespace quillet::sys {

/// Copies the item at source (anything but a folder) to destination, which must not exist.
///
/// - never overwrites: fails with EEXIST when destination exists, even when it appears while
///   the copy runs;
/// - a regular file is written unnamed (O_TMPFILE) or under a temporary name that names the
///   writing process (partialName) and only then given its name, so a failed or interrupted
///   copy leaves nothing in view;
/// - data is shared where the file system allows it (FICLONE, then copy_file_range); holes of a
///   sparse file stay holes (SEEK_DATA/SEEK_HOLE);
/// - permission bits, modification time and extended attributes (ACLs too) are kept; a file
///   of the user's that the user may not read (mode 000) is read as its owner could, by
///   granting the read bit for the moment of the open, and keeps its mode on both sides;
/// - a symbolic link is copied as a link, never its target; fifos and device nodes are
///   recreated; sockets cannot be copied (EOPNOTSUPP).
Status copyItem(const std::string &source, const std::string &destination);

/// The same, relative to open folders, for walks that copy many items: sourceName in
/// sourceDir to destinationName in destinationDir. known, when given, is the source's status
/// (not following links) as the caller already read it; the two paths serve the messages.
Status copyItemAt(int sourceDir, const std::string &sourceName, const struct stat *known, int destinationDir,
                  const std::string &destinationName, const std::string &source, const std::string &destination);

/// The names a copy may take, in order of preference: the first for attempt 0, the next ones
/// for later attempts; an empty name ends the list.
using NameChoice = std::function<std::string(unsigned attempt)>;
/// As copyItemAt, giving the copy the first free name of names in destinationDir (never
/// replacing anything, however the names are taken meanwhile); the data is copied once. Answers
/// the name taken. destinationFolder names the folder in messages.
Result<std::string> copyItemToFreeNameAt(int sourceDir, const std::string &sourceName, const struct stat *known,
                                         int destinationDir, const NameChoice &names, const std::string &source,
                                         const std::string &destinationFolder);

/// Copies the extended attributes of the open file or folder from to to (the POSIX ACLs among
/// them), leaving out what the destination refuses.
void copyExtendedAttributes(int from, int to);

/// Temporary names of work in progress in the cache: ".quillet-partial-<pid>-<n>". The pid says
/// which process writes it, so that what a crash left behind can be told from work going on.
std::string partialName(unsigned long n);
/// The pid in a partialName, or nothing for any other name.
std::optional<pid_t> partialNameOwner(std::string_view name);

} // namespace quillet::sys
