#pragma once
// Data size of a folder tree.

#include <cstdint>
#include <string>

namespace quillet::sys {

/// Sum of the sizes of every item below folder that is not a folder, at any depth, hidden
/// items included. Symbolic links count as themselves and are never followed; folders count
/// nothing. 0 for a file or a missing path. The walk keeps its own explicit list of folders to
/// visit, so deep trees cost no recursion; a tree with many folders is shared out among a few
/// threads of the walk's own. Calls share no state: they may run in several threads at once.
uint64_t folderTreeDataSize(const std::string &folder);

/// True when path is the root of a mounted volume.
bool isVolumeRoot(const std::string &path);

} // namespace quillet::sys
