#pragma once
// The current user's trash folders and cache folders on the mounted local volumes, in the
// volumes' order (the home volume first). Only folders this user may trust are listed: a cache
// or trash folder that is a symbolic link, or belongs to another account, is left out, so that
// nothing that walks the lists (housekeeping, the browser, emptying, statistics) ever enters it.

#include "platform/MountTable.h"
#include "platform/System.h"

#include <optional>
#include <string>
#include <vector>

namespace quillet {

/// The cache folder of the home volume (in the home folder) or of the volume mounted at
/// mountPoint (at its root), with a trailing "/".
std::string homeCacheFolder();
std::string volumeCacheFolder(const std::string &mountPoint);

/// Empties list and fills it with the cache folders: the home cache folder (whether it exists
/// or not, unless it is refused), then the ".TrashCacheFolder/" of every other volume where it
/// exists and is a real folder of this user.
void getCachesPaths(const std::vector<sys::LocalVolume> &volumes, std::vector<std::string> &list);
/// Empties list and fills it with the trash folders: the home trash folder (whether it exists
/// or not, unless it is refused), then this user's trash folder of every other volume where it
/// exists and may be trusted (sys::openTrashFolder).
void getTrashedPaths(const std::vector<sys::LocalVolume> &volumes, std::vector<std::string> &list);
/// getCachesPaths over the local volumes mounted now.
std::vector<std::string> mountedCachesPaths();

/// Why protection of the volume cannot work for this user, or ok: its cache folder, where it
/// exists, must be a real folder of this user, and so must its trash folder and the folders
/// leading to it on another volume (a missing trash folder is fine: it appears with the first
/// item trashed there). Nothing is created.
sys::Status volumeProtectionProblem(const sys::LocalVolume &volume);

/// Opens the folder at path, which is one of the cache folders or lies inside one, so that it may
/// be trusted: the cache folder and every folder from it down to path must be real folders of
/// this user (never a link, never another account's). Paths are compared as written, without
/// resolving links. A path in no cache folder is refused with EXDEV; other refusals name the
/// folder and the reason.
sys::Result<sys::Fd> openFolderInCache(const std::vector<std::string> &caches, const std::string &path);

/// The entry at path, strictly inside a cache folder: the folder holding it, opened as
/// openFolderInCache does, and its name. Whatever the entry itself is (a link included) is
/// left to the caller, who works relative to the folder.
struct EntryInCache {
    sys::Fd folder;
    std::string name;
};
sys::Result<EntryInCache> openEntryInCache(const std::vector<std::string> &caches, const std::string &path);

/// A cache folder holding a path: as listed, and resolved (links and "." / ".." resolved).
struct HoldingCacheFolder {
    std::string listed;
    std::string resolved;
};
/// The cache folder of caches that holds resolvedPath, a path with links and "." / ".." resolved,
/// or is it: each cache folder is resolved too before they are compared. Nothing when none does.
std::optional<HoldingCacheFolder> cacheFolderHolding(const std::string &resolvedPath,
                                                     const std::vector<std::string> &caches);

/// A volume start-up left unprotected, and why.
struct UnprotectedVolume {
    std::string mountPoint;
    sys::Status why;
};

} // namespace quillet
