#include "platform/FileCopy.h"

#include <fcntl.h>
#include <linux/fs.h>
#include <sys/ioctl.h>
#include <sys/stat.h>
#include <sys/sysmacros.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <random>

namespace quillet::sys {
namespace {

constexpr size_t kCopyChunk = 1 << 20;

Status copyData(int from, int to, const std::string &source, const std::string &destination) {
    // A clone shares the blocks on copy-on-write file systems and costs nothing.
    if (::ioctl(to, FICLONE, from) == 0)
        return {};
    off_t done = 0;
    bool kernelCopy = true;
    std::string buffer;
    for (;;) {
        ssize_t n;
        if (kernelCopy) {
            n = ::copy_file_range(from, nullptr, to, nullptr, kCopyChunk * 16, 0);
            if (n < 0 && (errno == EXDEV || errno == EINVAL || errno == ENOSYS || errno == EOPNOTSUPP ||
                          errno == EBADF) && done == 0) {
                kernelCopy = false;
                continue;
            }
        } else {
            if (buffer.empty())
                buffer.resize(kCopyChunk);
            n = ::read(from, buffer.data(), buffer.size());
            if (n > 0) {
                Status written = writeAll(to, std::string_view(buffer.data(), static_cast<size_t>(n)));
                if (!written)
                    return Status::failure(written.code(), "write", destination);
            }
        }
        if (n < 0) {
            if (errno == EINTR)
                continue;
            if (kernelCopy)
                return Status::fromErrno("copy_file_range", source + " -> " + destination);
            return Status::fromErrno("read", source);
        }
        if (n == 0)
            break;
        done += n;
    }
    return {};
}

Status finishFile(int fd, const struct stat &st, const std::string &destination) {
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

Status copyRegularFile(int sourceFd, const struct stat &st, const std::string &source, int folderFd,
                       const std::string &folder, const std::string &name, const std::string &destination) {
    auto unnamed = openAt(folderFd, ".", O_TMPFILE | O_WRONLY, 0600);
    if (unnamed) {
        Status status = copyData(sourceFd, unnamed->get(), source, destination);
        if (status)
            status = finishFile(unnamed->get(), st, destination);
        if (!status)
            return status;
        // The unnamed file appears under its name in one step, and linkat never replaces.
        Status linked = linkUnnamed(unnamed->get(), folderFd, name);
        if (!linked)
            return Status::failure(linked.code(), "link", destination);
        return {};
    }
    if (unnamed.code() != EOPNOTSUPP && unnamed.code() != EISDIR && unnamed.code() != EINVAL)
        return Status::failure(unnamed.code(), "open", folder);

    // No unnamed files here: write under a temporary name beside the destination. O_EXCL with
    // a fresh name per try, so a leftover of a crash is never reused.
    thread_local std::minstd_rand random(static_cast<unsigned>(::getpid()));
    for (int attempt = 0; attempt < 100; ++attempt) {
        std::string temporary = ".quillet-partial-" + std::to_string(random());
        auto fd = openAt(folderFd, temporary, O_WRONLY | O_CREAT | O_EXCL, 0600);
        if (!fd) {
            if (fd.code() == EEXIST)
                continue;
            return Status::failure(fd.code(), "open", joinPath(folder, temporary));
        }
        Status status = copyData(sourceFd, fd->get(), source, destination);
        if (status)
            status = finishFile(fd->get(), st, destination);
        fd->reset();
        if (status) {
            status = renameNoReplace(folderFd, temporary, folderFd, name);
            if (!status && status.code() == EINVAL) {
                // File systems without RENAME_NOREPLACE: a hard link never replaces either.
                status = linkAt(folderFd, temporary, folderFd, name, 0);
            }
            if (!status)
                status = Status::failure(status.code(), "rename", destination);
        }
        ::unlinkat(folderFd, temporary.c_str(), 0);
        return status;
    }
    return Status::failure(EEXIST, "open", destination);
}

} // namespace

Status copyItemAt(int sourceDir, const std::string &sourceName, const struct stat *known, int destinationDir,
                  const std::string &destinationName, const std::string &source, const std::string &destination) {
    struct stat st {};
    if (known) {
        st = *known;
    } else {
        auto found = statAt(sourceDir, sourceName, FollowLinks::No);
        if (!found)
            return Status::failure(found.code(), "stat", source);
        st = *found;
    }

    if (S_ISLNK(st.st_mode)) {
        auto target = readlinkAt(sourceDir, sourceName);
        if (!target)
            return Status::failure(target.code(), "readlink", source);
        Status status = symlinkAt(*target, destinationDir, destinationName);
        if (!status)
            return Status::failure(status.code(), "symlink", destination);
        struct timespec times[2] = {st.st_atim, st.st_mtim};
        (void)utimensAt(destinationDir, destinationName, times, FollowLinks::No);
        return {};
    }
    if (S_ISFIFO(st.st_mode) || S_ISCHR(st.st_mode) || S_ISBLK(st.st_mode)) {
        if (::mknodat(destinationDir, destinationName.c_str(), st.st_mode, st.st_rdev) != 0)
            return Status::fromErrno("mknod", destination);
        struct timespec times[2] = {st.st_atim, st.st_mtim};
        (void)utimensAt(destinationDir, destinationName, times, FollowLinks::No);
        return {};
    }
    if (S_ISDIR(st.st_mode))
        return Status::failure(EISDIR, "copy", source);
    if (!S_ISREG(st.st_mode))
        return Status::failure(EOPNOTSUPP, "copy", source);

    auto sourceFd = openAt(sourceDir, sourceName, O_RDONLY | O_NOFOLLOW | O_NONBLOCK | O_NOCTTY);
    if (!sourceFd)
        return Status::failure(sourceFd.code(), "open", source);
    auto opened = fstat(sourceFd->get());
    if (!opened)
        return Status::failure(opened.code(), "fstat", source);
    if (!S_ISREG(opened->st_mode)) // replaced between the two looks
        return Status::failure(EOPNOTSUPP, "copy", source);
    return copyRegularFile(sourceFd->get(), *opened, source, destinationDir, parentPath(destination), destinationName,
                           destination);
}

Status copyItem(const std::string &source, const std::string &destination) {
    auto folderFd = openDirectory(parentPath(destination));
    if (!folderFd)
        return folderFd.status();
    return copyItemAt(AT_FDCWD, source, nullptr, folderFd->get(), lastPathComponent(destination), source, destination);
}

} // namespace quillet::sys
