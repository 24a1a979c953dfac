#pragma once
// The current user's trash folders and cache folders on the mounted local volumes, in the
// volumes' order (the home volume first).

#include "platform/MountTable.h"

#include <string>
#include <vector>

namespace quillet {

/// Empties list and fills it with the cache folders: the home cache folder (whether it exists
/// or not), then the ".TrashCacheFolder/" of every other volume where something exists there.
void getCachesPaths(const std::vector<sys::LocalVolume> &volumes, std::vector<std::string> &list);
/// Empties list and fills it with the trash folders: the home trash folder (whether it exists
/// or not), then this user's trash folder of every other volume where it exists.
void getTrashedPaths(const std::vector<sys::LocalVolume> &volumes, std::vector<std::string> &list);

} // namespace quillet
