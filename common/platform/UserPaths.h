#pragma once
// Where the current user's folders are: home, the freedesktop.org trash folders, the
// configuration and state folders. (Where the cache folders lie is the core's: CacheFolders.h.)

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
/// shared trash $topdir/.Trash/<uid>/files where $topdir/.Trash is a real folder with the sticky
/// bit (the freedesktop.org rule, by which trash clients choose it too), else
/// $topdir/.Trash-<uid>/files. Whether the folder exists, or may be trusted, is not checked
/// here: openTrashFolder does that.
std::string volumeTrashFolder(const std::string &mountPoint);
/// True when trashFolder is a trash folder of the volume mounted at topdir:
/// "$topdir/.Trash-<uid>/…" or "$topdir/.Trash/<uid>/…".
bool isVolumeTrashFolder(const std::string &trashFolder, const std::string &topdir);
/// Opens the trash folder trashFolder the way this system may trust it. On another volume (the
/// folder is "$topdir/.Trash-<uid>/files" or "$topdir/.Trash/<uid>/files" of the volume mounted at
/// topdir) every folder below topdir must be a real folder of this user, except "$topdir/.Trash",
/// which must be a real folder with the sticky bit. Elsewhere (the home trash) the trash folder
/// itself must be a real folder of this user. Refusals name the folder and the reason
/// (TrustedFolder.h); a missing folder fails with ENOENT.
Result<Fd> openTrashFolder(const std::string &trashFolder, const std::string &topdir);
/// $XDG_CONFIG_HOME, default ~/.config.
std::string configFolder();

/// $XDG_STATE_HOME (default ~/.local/state) + "/quillet".
std::string stateFolder();
/// The file the daemons write their messages to when they are launched detached:
/// stateFolder() + "/daemons.log".
std::string daemonLogPath();
/// Creates the state folder (mode 0700) when it is missing and keeps the daemons' log bounded:
/// a log larger than maxBytes becomes "daemons.log.old" (replacing the one before) and the
/// daemons launched next start a new one. Answers the log's path.
Result<std::string> prepareDaemonLog(uint64_t maxBytes);

/// Where a program asks the main application to open its settings at its next start:
/// "$XDG_RUNTIME_DIR/quillet/SETTINGS_FLAG", else "~/.cache/quillet/SETTINGS_FLAG" (the
/// installation folder may not be writable).
std::string settingsFlagPath();
/// Creates the empty request file settingsFlagPath names: its folder with mode 0700 when missing,
/// and only when that folder is a real folder of this user (never through a link).
Status leaveSettingsFlag(const std::string &flagPath);
/// Creates the home trash ("files" and "info", mode 0700) when it is missing.
Status ensureHomeTrash();
/// Creates a cache folder with mode 0700 when nothing exists at path, then makes sure it is a
/// real folder of this user: a link or another account's folder is refused with the reason
/// (TrustedFolder.h) and left as it is.
Status ensureCacheFolder(const std::string &path);

} // namespace quillet::sys
