#pragma once
// The "locked" state of an item: its owner cannot delete or rename it. On Linux that is an
// item carrying the immutable or append-only attribute, or a folder without the owner's
// write bit (needed to remove its entries and to move it to another parent).

#include "platform/System.h"

#include <sys/stat.h>

#include <string>

namespace quillet::sys {

bool isLocked(const std::string &path);
/// Clears the immutable and append-only attributes where permitted and, for a folder the user
/// owns, adds the owner write and search bits. A file's own mode is left alone. Failures are
/// logged as "Can't UNlock the file: <errno>" and otherwise ignored. Links are never followed.
void unlockItemAtPath(const std::string &path);
/// The same for the entry name of the open folder dir, never following a link.
void unlockItemAt(FdRef dir, const std::string &name);
/// The same for an item already opened (without following links), st being its status.
void unlockOpenItem(FdRef fd, const struct stat &st);

} // namespace quillet::sys
