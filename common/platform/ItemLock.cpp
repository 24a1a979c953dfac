#include "platform/ItemLock.h"

#include "platform/Log.h"

#include <fcntl.h>
#include <linux/fs.h>
#include <unistd.h>

#include <string>

namespace quillet::sys {
namespace {

constexpr int kLockFlags = FS_IMMUTABLE_FL | FS_APPEND_FL;

// Only files and folders carry the attributes; opening anything else (a device, a fifo) could
// have side effects, and links are never followed.
Result<Fd> openForFlags(const std::string &path, const struct stat &st) {
    if (!S_ISREG(st.st_mode) && !S_ISDIR(st.st_mode))
        return Status::failure(ENOTTY, "open", path);
    return open(path, O_RDONLY | O_NOFOLLOW | O_NONBLOCK | O_NOCTTY);
}

void reportUnlockFailure(int code) { logLine("Can't UNlock the file: " + std::to_string(code)); }

} // namespace

bool isLocked(const std::string &path) {
    auto st = stat(path, FollowLinks::No);
    if (!st)
        return false;
    if (S_ISDIR(st->st_mode) && !(st->st_mode & S_IWUSR))
        return true;
    auto fd = openForFlags(path, *st);
    if (!fd)
        return false;
    auto flags = getInodeFlags(fd->get());
    return flags && (*flags & kLockFlags);
}

void unlockOpenItem(FdRef fd, const struct stat &st) {
    auto flags = getInodeFlags(fd);
    if (flags && (*flags & kLockFlags)) {
        Status status = setInodeFlags(fd, *flags & ~kLockFlags);
        if (!status)
            reportUnlockFailure(status.code());
    }
    // Without its owner write and search bits a folder keeps its entries.
    if (S_ISDIR(st.st_mode) && st.st_uid == ::geteuid() && (st.st_mode & (S_IWUSR | S_IXUSR)) != (S_IWUSR | S_IXUSR)) {
        Status status = fchmod(fd, (st.st_mode & 07777) | S_IWUSR | S_IXUSR);
        if (!status)
            reportUnlockFailure(status.code());
    }
}

void unlockItemAt(FdRef dir, const std::string &name) {
    auto st = statAt(dir, name, FollowLinks::No);
    if (!st || (!S_ISREG(st->st_mode) && !S_ISDIR(st->st_mode)))
        return;
    auto fd = openAt(dir, name, O_RDONLY | O_NOFOLLOW | O_NONBLOCK | O_NOCTTY);
    if (fd) {
        unlockOpenItem(*fd, *st);
        return;
    }
    // A folder without its read bit cannot be opened, but its owner may still change its mode.
    if (S_ISDIR(st->st_mode) && st->st_uid == ::geteuid()) {
        Status status = fchmodAt(dir, name, (st->st_mode & 07777) | S_IRUSR | S_IWUSR | S_IXUSR);
        if (!status)
            reportUnlockFailure(status.code());
    }
}

void unlockItemAtPath(const std::string &path) { unlockItemAt(AT_FDCWD, path); }

} // namespace quillet::sys
