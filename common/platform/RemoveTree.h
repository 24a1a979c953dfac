#pragma once
// Removing an item with everything in it, never following a symbolic link.

#include "platform/System.h"

#include <cstdint>
#include <string>

namespace quillet::sys {

/// Removes the entry name of dir (a folder must be empty). A locked item refuses with EPERM
/// (or EACCES for a folder without its write bit): it is unlocked and removed once more. An
/// entry that is already gone counts as removed.
Status removeEntry(FdRef dir, const std::string &name, bool isDirectory);

/// Removes the entry name of dir with everything in it, unlocking what refuses. A link is
/// removed as a link; folders are opened with O_NOFOLLOW, so a folder swapped for a link
/// during the walk is never entered. The result is that of removing name itself. When
/// bytesRemoved is given, the sizes of the items other than folders that were removed are
/// added to it.
Status removeTree(FdRef dir, const std::string &name, uint64_t *bytesRemoved = nullptr);

/// removeTree for the item at path.
Status removeTreeAtPath(const std::string &path, uint64_t *bytesRemoved = nullptr);

} // namespace quillet::sys
