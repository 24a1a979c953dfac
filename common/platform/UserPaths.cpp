#include "platform/UserPaths.h"

#include "platform/TrustedFolder.h"

#include <fcntl.h>
#include <pwd.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>

namespace quillet::sys {
namespace {

std::string environmentFolder(const char *name, const std::string &fallback) {
    const char *value = std::getenv(name);
    // The freedesktop.org base directories must be absolute; anything else is ignored.
    if (value && value[0] == '/')
        return value;
    return fallback;
}

/// The administrator-made trash shared by the users of a volume.
const std::string kSharedTrashName = ".Trash";

Status makePrivateFolder(const std::string &path) {
    Status status = mkdir(path, 0700);
    if (!status && status.code() == EEXIST)
        return {};
    return status;
}

} // namespace

std::string homeFolder() {
    if (const char *home = std::getenv("HOME"); home && home[0] == '/')
        return home;
    if (struct passwd *entry = ::getpwuid(::getuid()); entry && entry->pw_dir)
        return entry->pw_dir;
    return "/";
}

std::string homeTrashRoot() { return environmentFolder("XDG_DATA_HOME", joinPath(homeFolder(), ".local/share")) + "/Trash"; }

std::string homeTrashFolder() { return homeTrashRoot() + "/files/"; }

std::string volumeTrashFolder(const std::string &mountPoint) {
    std::string uid = std::to_string(::getuid());
    // Trash clients put the user's items in the shared trash whenever it passes the check,
    // making the user's folder in it on the first occasion: that is then the one to watch, and
    // what is (or will be) in it is checked when it is opened.
    if (auto volume = openDirectory(mountPoint); volume && openStickyFolderAt(*volume, kSharedTrashName))
        return joinPath(mountPoint, kSharedTrashName + "/" + uid + "/files/");
    return joinPath(mountPoint, ".Trash-" + uid + "/files/");
}

bool isVolumeTrashFolder(const std::string &trashFolder, const std::string &topdir) {
    const std::string top = withTrailingSlash(topdir);
    if (topdir.empty() || !trashFolder.starts_with(top))
        return false;
    const std::string_view relative = std::string_view(trashFolder).substr(top.size());
    return relative.starts_with(".Trash-") || relative.starts_with(kSharedTrashName + "/");
}

Result<Fd> openTrashFolder(const std::string &trashFolder, const std::string &topdir) {
    if (!isVolumeTrashFolder(trashFolder, topdir))
        return openOwnedFolder(trashFolder);
    std::string_view relative(trashFolder);
    relative.remove_prefix(withTrailingSlash(topdir).size());
    // The mount point itself is the administrator's; everything below it is checked.
    auto volume = openDirectory(topdir);
    if (!volume)
        return volume;
    std::string shown = topdir;
    while (shown.size() > 1 && shown.back() == '/')
        shown.pop_back();
    if (relative.starts_with(kSharedTrashName + "/")) {
        auto shared = openStickyFolderAt(*volume, kSharedTrashName, joinPath(shown, kSharedTrashName));
        if (!shared)
            return shared;
        relative.remove_prefix(kSharedTrashName.size() + 1);
        return openOwnedPathAt(*shared, relative, joinPath(shown, kSharedTrashName));
    }
    return openOwnedPathAt(*volume, relative, shown);
}

std::string settingsFlagPath() {
    const char *runtime = std::getenv("XDG_RUNTIME_DIR");
    std::string folder = runtime && *runtime == '/' ? std::string(runtime) + "/quillet"
                                                    : joinPath(homeFolder(), ".cache/quillet");
    return folder + "/SETTINGS_FLAG";
}

Status leaveSettingsFlag(const std::string &flagPath) {
    const std::string folder = parentPath(flagPath);
    if (Status made = makeDirectories(folder, 0700); !made && made.code() != EEXIST)
        return made;
    // Another account could have put a link or a folder of its own there ahead of us.
    auto dir = openOwnedFolder(folder);
    if (!dir)
        return dir.status();
    auto file = openAt(*dir, lastPathComponent(flagPath), O_WRONLY | O_CREAT | O_NOFOLLOW | O_CLOEXEC, 0600);
    if (!file)
        return file.status();
    return {};
}

std::string configFolder() { return environmentFolder("XDG_CONFIG_HOME", joinPath(homeFolder(), ".config")); }

Status ensureHomeTrash() {
    std::string root = homeTrashRoot();
    // The data folder itself may be missing on a fresh account.
    if (Status parents = makeDirectories(parentPath(root), 0700); !parents)
        return parents;
    for (const std::string &folder : {root, root + "/files", root + "/info"}) {
        Status status = makePrivateFolder(folder);
        if (!status)
            return status;
    }
    return {};
}

std::string stateFolder() {
    return environmentFolder("XDG_STATE_HOME", joinPath(homeFolder(), ".local/state")) + "/quillet";
}

std::string daemonLogPath() { return stateFolder() + "/daemons.log"; }

Result<std::string> prepareDaemonLog(uint64_t maxBytes) {
    const std::string folder = stateFolder();
    if (Status made = makeDirectories(folder, 0700); !made)
        return made;
    const std::string log = daemonLogPath();
    auto st = stat(log, FollowLinks::No);
    if (st && S_ISREG(st->st_mode) && static_cast<uint64_t>(st->st_size) > maxBytes) {
        // Daemons still writing to the old file go on doing so; the new ones start afresh.
        if (Status moved = rename(log, log + ".old"); !moved)
            return moved;
    }
    return log;
}

Status ensureCacheFolder(const std::string &path) {
    if (!exists(path)) {
        if (Status made = makePrivateFolder(path); !made)
            return made;
    }
    auto folder = openOwnedFolder(path);
    return folder ? Status() : folder.status();
}

} // namespace quillet::sys
