#pragma once
// Where the current user's folders are: home, the freedesktop.org trash folders, the cache
// folders, the configuration folder.

#include "platform/System.h"

#include <string>

namespace quillet::sys {

/// $HOME, else the password database entry of the real user id.
std::string homeFolder();
/// $XDG_DATA_HOME (default ~/.local/share) + "/Trash".
std::string homeTrashRoot();
/// The home trash's "files" folder, with a trailing "/".
std::string homeTrashFolder();
/// The user's trash folder on another volume, with a trailing "/": the administrator-made
/// shared trash $topdir/.Trash/<uid>/files where it exists, else $topdir/.Trash-<uid>/files.
std::string volumeTrashFolder(const std::string &mountPoint);
/// The cache folder of the home volume or of another volume, with a trailing "/".
std::string homeCacheFolder();
std::string volumeCacheFolder(const std::string &mountPoint);
/// $XDG_CONFIG_HOME, default ~/.config.
std::string configFolder();

/// Creates the home trash ("files" and "info", mode 0700) when it is missing.
Status ensureHomeTrash();
/// Creates a cache folder with mode 0700 when nothing exists at path.
Status ensureCacheFolder(const std::string &path);

} // namespace quillet::sys
