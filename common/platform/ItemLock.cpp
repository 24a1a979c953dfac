#include "platform/ItemLock.h"

#include "platform/System.h"

#include <fcntl.h>
#include <linux/fs.h>
#include <unistd.h>

#include <cstdio>

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

void reportUnlockFailure(int code) { std::fprintf(stderr, "Can't UNlock the file: %d\n", code); }

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

void unlockItemAtPath(const std::string &path) {
    auto st = stat(path, FollowLinks::No);
    if (!st)
        return;
    auto fd = openForFlags(path, *st);
    if (fd) {
        auto flags = getInodeFlags(fd->get());
        if (flags && (*flags & kLockFlags)) {
            Status status = setInodeFlags(fd->get(), *flags & ~kLockFlags);
            if (!status)
                reportUnlockFailure(status.code());
        }
    }
    if (S_ISDIR(st->st_mode) && st->st_uid == ::geteuid() && (st->st_mode & (S_IWUSR | S_IXUSR)) != (S_IWUSR | S_IXUSR)) {
        Status status = fd ? fchmod(fd->get(), (st->st_mode & 07777) | S_IWUSR | S_IXUSR)
                           : fchmodAt(AT_FDCWD, path, (st->st_mode & 07777) | S_IWUSR | S_IXUSR);
        if (!status)
            reportUnlockFailure(status.code());
    }
}

} // namespace quillet::sys
