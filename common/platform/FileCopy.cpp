#include "platform/FileCopy.h"

#include <fcntl.h>
#include <linux/fs.h>
#include <sys/ioctl.h>
#include <sys/stat.h>
#include <sys/sysmacros.h>
#include <sys/xattr.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <charconv>
#include <cstring>
#include <random>

namespace quillet::sys {
namespace {

constexpr size_t kCopyChunk = 1 << 20;
/// How many names a copy tries before it gives up: "-1" to "-999" after the name itself.
constexpr unsigned kMaxNames = 1000;
constexpr std::string_view kPartialPrefix = ".quillet-partial-";

/// Copies the bytes [offset, offset + length) of from to the same place in to: in the kernel
/// where it can (kernelCopy is cleared once it cannot), else through a buffer.
Status copyRange(int from, int to, off_t offset, off_t length, bool &kernelCopy, std::string &buffer,
                 const std::string &source, const std::string &destination) {
    off_t in = offset;
    off_t out = offset;
    const off_t end = offset + length;
    while (in < end) {
        const size_t want = static_cast<size_t>(std::min<off_t>(end - in, static_cast<off_t>(kCopyChunk) * 16));
        ssize_t n;
        if (kernelCopy) {
            n = ::copy_file_range(from, &in, to, &out, want, 0);
            if (n < 0 && (errno == EXDEV || errno == EINVAL || errno == ENOSYS || errno == EOPNOTSUPP || errno == EBADF)) {
                kernelCopy = false;
                continue;
            }
            if (n < 0) {
                if (errno == EINTR)
                    continue;
                return Status::fromErrno("copy_file_range", source + " -> " + destination);
            }
        } else {
            if (buffer.empty())
                buffer.resize(kCopyChunk);
            n = ::pread(from, buffer.data(), std::min(want, buffer.size()), in);
            if (n < 0) {
                if (errno == EINTR)
                    continue;
                return Status::fromErrno("read", source);
            }
            for (ssize_t written = 0; written < n;) {
                ssize_t w = ::pwrite(to, buffer.data() + written, static_cast<size_t>(n - written), out);
                if (w < 0) {
                    if (errno == EINTR)
                        continue;
                    return Status::fromErrno("write", destination);
                }
                written += w;
                out += w;
            }
            in += n;
        }
        if (n == 0)
            break; // the file was shortened meanwhile
    }
    return {};
}

// The file system (by device) found unable to clone last: no clone is tried there again.
std::atomic<dev_t> gNoCloneDevice{static_cast<dev_t>(-1)};

Status copyData(int from, int to, const struct stat &st, const std::string &source, const std::string &destination) {
    // A clone shares the blocks on copy-on-write file systems and costs nothing.
    if (gNoCloneDevice.load(std::memory_order_relaxed) != st.st_dev) {
        if (::ioctl(to, FICLONE, from) == 0)
            return {};
        if (errno == EOPNOTSUPP || errno == ENOTTY)
            gNoCloneDevice.store(st.st_dev, std::memory_order_relaxed);
    }
    bool kernelCopy = true;
    std::string buffer;
    const off_t size = st.st_size;
    // A file whose blocks cover its size has no hole: its data goes over in one piece.
    if (static_cast<uint64_t>(st.st_blocks) * 512 >= static_cast<uint64_t>(std::max<off_t>(size, 0)))
        return copyRange(from, to, 0, size, kernelCopy, buffer, source, destination);
    // Only the data goes over; holes stay holes, and the size is set last. A 2 GB sparse disk
    // image that takes 8 KB must not take 2 GB in the cache.
    off_t offset = 0;
    while (offset < size) {
        off_t data = ::lseek(from, offset, SEEK_DATA);
        off_t hole = size;
        if (data < 0) {
            if (errno == ENXIO)
                break; // nothing but a hole up to the end
            data = offset; // no SEEK_DATA here: everything is data
        } else {
            hole = ::lseek(from, data, SEEK_HOLE);
            if (hole < 0 || hole > size)
                hole = size;
        }
        if (data >= size)
            break;
        Status copied = copyRange(from, to, data, hole - data, kernelCopy, buffer, source, destination);
        if (!copied)
            return copied;
        offset = hole;
    }
    if (::ftruncate(to, size) != 0)
        return Status::fromErrno("ftruncate", destination);
    return {};
}

Status finishFile(int fd, const struct stat &st, const std::string &destination) {
    // Extended attributes (the ACLs among them) before the mode: setting an access ACL can
    // change the group bits, and the mode must end as it was.
    Status status = sys::fchmod(fd, st.st_mode & 07777);
    if (!status)
        return Status::failure(status.code(), "fchmod", destination);
    struct timespec times[2] = {st.st_atim, st.st_mtim};
    status = sys::futimens(fd, times);
    if (!status)
        return Status::failure(status.code(), "futimens", destination);
    return {};
}

// Gives an O_TMPFILE file its name. Linking the descriptor itself (AT_EMPTY_PATH) saves the
// walk through /proc, but older kernels allow it only to privileged processes; once refused,
// the /proc path is used from then on.
Status linkUnnamed(int fd, int folderFd, const std::string &name) {
    static std::atomic<bool> emptyPathAllowed{true};
    if (emptyPathAllowed.load(std::memory_order_relaxed)) {
        if (::linkat(fd, "", folderFd, name.c_str(), AT_EMPTY_PATH) == 0)
            return {};
        if (errno != ENOENT && errno != EPERM && errno != EINVAL)
            return Status::fromErrno("link", name);
        emptyPathAllowed.store(false, std::memory_order_relaxed);
    }
    std::string procPath = "/proc/self/fd/" + std::to_string(fd);
    return linkAt(AT_FDCWD, procPath, folderFd, name, AT_SYMLINK_FOLLOW);
}

/// Makes the item appear under the first of names that is free: place(name) creates it and
/// fails with EEXIST when the name is taken. Answers the name taken.
template <typename Place>
Result<std::string> placeUnderFreeName(const NameChoice &names, const std::string &folder, Place place) {
    for (unsigned attempt = 0; attempt < kMaxNames; ++attempt) {
        std::string name = names(attempt);
        if (name.empty())
            break;
        Status placed = place(name);
        if (placed)
            return name;
        if (placed.code() != EEXIST)
            return placed;
        if (attempt + 1 == kMaxNames || names(attempt + 1).empty())
            return placed;
    }
    return Status::failure(EEXIST, "link", folder);
}

Result<std::string> copyRegularFile(int sourceFd, const struct stat &st, const std::string &source, int folderFd,
                                    const std::string &folder, const NameChoice &names) {
    const std::string destination = joinPath(folder, names(0));
    auto unnamed = openAt(folderFd, ".", O_TMPFILE | O_WRONLY, 0600);
    if (unnamed) {
        Status status = copyData(sourceFd, unnamed->get(), st, source, destination);
        if (status) {
            copyExtendedAttributes(sourceFd, unnamed->get());
            status = finishFile(unnamed->get(), st, destination);
        }
        if (!status)
            return status;
        // The unnamed file appears under its name in one step, and linkat never replaces.
        return placeUnderFreeName(names, folder, [&](const std::string &name) {
            Status linked = linkUnnamed(unnamed->get(), folderFd, name);
            return linked ? linked : Status::failure(linked.code(), "link", joinPath(folder, name));
        });
    }
    if (unnamed.code() != EOPNOTSUPP && unnamed.code() != EISDIR && unnamed.code() != EINVAL)
        return Status::failure(unnamed.code(), "open", folder);

    // No unnamed files here: write under a temporary name beside the destination. O_EXCL with
    // a fresh name per try, so a leftover of a crash is never reused.
    thread_local std::minstd_rand random(static_cast<unsigned>(::getpid()));
    for (int attempt = 0; attempt < 100; ++attempt) {
        std::string temporary = partialName(random());
        auto fd = openAt(folderFd, temporary, O_WRONLY | O_CREAT | O_EXCL, 0600);
        if (!fd) {
            if (fd.code() == EEXIST)
                continue;
            return Status::failure(fd.code(), "open", joinPath(folder, temporary));
        }
        Status status = copyData(sourceFd, fd->get(), st, source, destination);
        if (status) {
            copyExtendedAttributes(sourceFd, fd->get());
            status = finishFile(fd->get(), st, destination);
        }
        fd->reset();
        if (!status) {
            ::unlinkat(folderFd, temporary.c_str(), 0);
            return status;
        }
        auto placed = placeUnderFreeName(names, folder, [&](const std::string &name) {
            Status renamed = renameNoReplace(folderFd, temporary, folderFd, name);
            // File systems without RENAME_NOREPLACE: a hard link never replaces either.
            if (!renamed && renamed.code() == EINVAL)
                renamed = linkAt(folderFd, temporary, folderFd, name, 0);
            return renamed ? renamed : Status::failure(renamed.code(), "rename", joinPath(folder, name));
        });
        ::unlinkat(folderFd, temporary.c_str(), 0);
        return placed;
    }
    return Status::failure(EEXIST, "open", destination);
}

/// Opens the regular file sourceName of sourceDir for reading. A file of the user's without
/// its read bit is read as its owner could: the bit is granted for the open and taken back at
/// once, through the file itself, never through a link.
Result<Fd> openSource(int sourceDir, const std::string &sourceName, const std::string &source) {
    auto fd = openAt(sourceDir, sourceName, O_RDONLY | O_NOFOLLOW | O_NONBLOCK | O_NOCTTY);
    if (fd || fd.code() != EACCES)
        return fd ? std::move(fd) : Result<Fd>(Status::failure(fd.code(), "open", source));
    auto handle = openAt(sourceDir, sourceName, O_PATH | O_NOFOLLOW);
    if (!handle)
        return Status::failure(EACCES, "open", source);
    auto st = fstat(*handle);
    if (!st || !S_ISREG(st->st_mode) || st->st_uid != ::geteuid())
        return Status::failure(EACCES, "open", source);
    const std::string self = "/proc/self/fd/" + std::to_string(handle->get());
    if (::chmod(self.c_str(), (st->st_mode & 07777) | S_IRUSR) != 0)
        return Status::failure(EACCES, "open", source);
    auto opened = open(self, O_RDONLY | O_NONBLOCK | O_NOCTTY);
    (void)::chmod(self.c_str(), st->st_mode & 07777);
    if (!opened)
        return Status::failure(opened.code(), "open", source);
    return opened;
}

} // namespace

void copyExtendedAttributes(int from, int to) {
    // The list is read twice at most: once for its size, once for the names.
    ssize_t length = ::flistxattr(from, nullptr, 0);
    if (length <= 0)
        return;
    std::string names(static_cast<size_t>(length), '\0');
    length = ::flistxattr(from, names.data(), names.size());
    if (length <= 0)
        return;
    names.resize(static_cast<size_t>(length));
    std::string value;
    for (size_t at = 0; at < names.size();) {
        const char *name = names.c_str() + at;
        at += std::strlen(name) + 1;
        ssize_t size = ::fgetxattr(from, name, nullptr, 0);
        if (size < 0)
            continue;
        value.resize(static_cast<size_t>(size));
        size = ::fgetxattr(from, name, value.data(), value.size());
        if (size < 0)
            continue;
        // What the destination cannot take (another file system's namespaces, security labels
        // the user may not set) is left as the destination has it.
        (void)::fsetxattr(to, name, value.data(), static_cast<size_t>(size), 0);
    }
}

std::string partialName(unsigned long n) {
    return std::string(kPartialPrefix) + std::to_string(::getpid()) + "-" + std::to_string(n);
}

std::optional<pid_t> partialNameOwner(std::string_view name) {
    if (!name.starts_with(kPartialPrefix))
        return std::nullopt;
    name.remove_prefix(kPartialPrefix.size());
    pid_t pid = 0;
    auto [end, error] = std::from_chars(name.data(), name.data() + name.size(), pid);
    if (error != std::errc() || end == name.data() || pid <= 0 || end == name.data() + name.size() || *end != '-')
        return std::nullopt;
    return pid;
}

Result<std::string> copyItemToFreeNameAt(int sourceDir, const std::string &sourceName, const struct stat *known,
                                         int destinationDir, const NameChoice &names, const std::string &source,
                                         const std::string &destinationFolder) {
    struct stat st {};
    if (known) {
        st = *known;
    } else {
        auto found = statAt(sourceDir, sourceName, FollowLinks::No);
        if (!found)
            return Status::failure(found.code(), "stat", source);
        st = *found;
    }
    const struct timespec times[2] = {st.st_atim, st.st_mtim};

    if (S_ISLNK(st.st_mode)) {
        auto target = readlinkAt(sourceDir, sourceName);
        if (!target)
            return Status::failure(target.code(), "readlink", source);
        auto placed = placeUnderFreeName(names, destinationFolder, [&](const std::string &name) {
            Status made = symlinkAt(*target, destinationDir, name);
            return made ? made : Status::failure(made.code(), "symlink", joinPath(destinationFolder, name));
        });
        if (placed)
            (void)utimensAt(destinationDir, *placed, times, FollowLinks::No);
        return placed;
    }
    if (S_ISFIFO(st.st_mode) || S_ISCHR(st.st_mode) || S_ISBLK(st.st_mode)) {
        auto placed = placeUnderFreeName(names, destinationFolder, [&](const std::string &name) {
            if (::mknodat(destinationDir, name.c_str(), st.st_mode, st.st_rdev) != 0)
                return Status::fromErrno("mknod", joinPath(destinationFolder, name));
            return Status();
        });
        if (placed)
            (void)utimensAt(destinationDir, *placed, times, FollowLinks::No);
        return placed;
    }
    if (S_ISDIR(st.st_mode))
        return Status::failure(EISDIR, "copy", source);
    if (!S_ISREG(st.st_mode))
        return Status::failure(EOPNOTSUPP, "copy", source);

    auto sourceFd = openSource(sourceDir, sourceName, source);
    if (!sourceFd)
        return sourceFd.status();
    auto opened = fstat(*sourceFd);
    if (!opened)
        return Status::failure(opened.code(), "fstat", source);
    if (!S_ISREG(opened->st_mode)) // replaced between the two looks
        return Status::failure(EOPNOTSUPP, "copy", source);
    return copyRegularFile(sourceFd->get(), *opened, source, destinationDir, destinationFolder, names);
}

Status copyItemAt(int sourceDir, const std::string &sourceName, const struct stat *known, int destinationDir,
                  const std::string &destinationName, const std::string &source, const std::string &destination) {
    auto copied = copyItemToFreeNameAt(
        sourceDir, sourceName, known, destinationDir,
        [&destinationName](unsigned attempt) { return attempt == 0 ? destinationName : std::string(); }, source,
        parentPath(destination));
    return copied ? Status() : copied.status();
}

Status copyItem(const std::string &source, const std::string &destination) {
    auto folderFd = openDirectory(parentPath(destination));
    if (!folderFd)
        return folderFd.status();
    return copyItemAt(AT_FDCWD, source, nullptr, folderFd->get(), lastPathComponent(destination), source, destination);
}

} // namespace quillet::sys
