#pragma once
// Folders this system writes into, archives from or deletes in must be the user's own. Other
// accounts share the machine and its volumes: a folder found there may be a symbolic link to
// somewhere else, or belong to someone else. Such a folder is never entered, written or deleted
// through. The checks open the folder first and then look at what was opened, so that a folder
// swapped for a link between the look and the use is never followed; callers then work relative
// to the descriptor.

#include "platform/System.h"

#include <sys/stat.h>

#include <string>
#include <string_view>

namespace quillet::sys {

/// Whether st, the status of an entry read without following links, is a folder of this
/// process's real user: ok, or a refusal naming shownPath with ELOOP "a symbolic link, not a
/// folder", ENOTDIR "not a folder" or EPERM "belongs to another account (uid N)".
Status checkOwnedFolder(const struct stat &st, std::string_view shownPath);

/// Opens the entry name of the open folder dir (AT_FDCWD: name is a path, whose earlier
/// components are followed as usual) as a folder of this user: never through a symbolic link,
/// and only when checkOwnedFolder accepts it. A missing entry fails with ENOENT. shownPath names
/// the folder in the refusal and is the path of the Fd answered (when empty: its path in dir as
/// far as dir's path is known, else name itself).
Result<Fd> openOwnedFolderAt(FdRef dir, const std::string &name, std::string_view shownPath = {});
Result<Fd> openOwnedFolder(const std::string &path);
/// openOwnedFolderAt for every component of relative in turn, from dir: each folder on the
/// way must be the user's own. shownBase (dir's path when empty) + "/" + the components so far
/// name a refusal and the folder answered. An empty relative opens dir itself again.
Result<Fd> openOwnedPathAt(FdRef dir, std::string_view relative, std::string_view shownBase);

/// Opens every component of relative in turn from dir as a folder, never through a symbolic
/// link, whoever owns it: the folders inside a folder already found to be the user's. An empty
/// relative opens dir itself again. shownBase names a refusal as for openOwnedPathAt.
Result<Fd> openPathWithoutLinksAt(FdRef dir, std::string_view relative, std::string_view shownBase);

/// Opens the entry name of dir as a folder with the sticky bit that is not a symbolic link,
/// whoever owns it: an administrator's shared folder in which every user keeps a folder of
/// their own ("$topdir/.Trash"). Refusals as for openOwnedFolderAt, and EPERM "not sticky".
Result<Fd> openStickyFolderAt(FdRef dir, const std::string &name, std::string_view shownPath = {});

} // namespace quillet::sys
