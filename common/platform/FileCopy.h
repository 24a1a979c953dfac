#pragma once
// The whole-item copy every program uses to put a file into the cache or take it out again.

#include "platform/System.h"

#include <string>

namespace quillet::sys {

/// Copies the item at source (anything but a folder) to destination, which must not exist.
///
/// - never overwrites: fails with EEXIST when destination exists, even when it appears while
///   the copy runs;
/// - a regular file is written unnamed (O_TMPFILE) or under a temporary name and only then
///   given its name, so a failed or interrupted copy leaves nothing behind;
/// - data is shared where the file system allows it (FICLONE, then copy_file_range);
/// - permission bits and modification time are kept;
/// - a symbolic link is copied as a link, never its target; fifos and device nodes are
///   recreated; sockets cannot be copied (EOPNOTSUPP).
Status copyItem(const std::string &source, const std::string &destination);

/// The same, relative to open folders, for walks that copy many items: sourceName in
/// sourceDir to destinationName in destinationDir. known, when given, is the source's status
/// (not following links) as the caller already read it; the two paths serve the messages.
Status copyItemAt(int sourceDir, const std::string &sourceName, const struct stat *known, int destinationDir,
                  const std::string &destinationName, const std::string &source, const std::string &destination);

} // namespace quillet::sys
