#include "platform/System.h"

#include <dirent.h>
#include <fcntl.h>
#include <malloc.h>
#include <linux/fs.h>
#include <pthread.h>
#include <signal.h>
#include <sys/file.h>
#include <sys/ioctl.h>
#include <sys/statvfs.h>
#include <sys/syscall.h>
#include <sys/utsname.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <random>

namespace quillet::sys {

namespace {

/// The whole of the open file, refusing (EFBIG) one larger than maxBytes and anything that is
/// not a regular file (EINVAL).
Result<std::string> readOpenFile(int fd, const std::string &path, size_t maxBytes) {
    auto st = fstat(fd);
    if (!st)
        return Status::failure(st.code(), "fstat", path);
    if (!S_ISREG(st->st_mode))
        return Status::failure(EINVAL, "read", path);
    if (static_cast<uint64_t>(st->st_size) > maxBytes)
        return Status::failure(EFBIG, "read", path);
    std::string data;
    data.resize(static_cast<size_t>(st->st_size));
    size_t done = 0;
    for (;;) {
        if (done == data.size()) {
            // The file may have grown since fstat: read on until end of file or the cap.
            if (data.size() >= maxBytes + 1)
                break;
            data.resize(std::min(maxBytes + 1, data.size() + 4096));
        }
        ssize_t n = ::read(fd, data.data() + done, data.size() - done);
        if (n < 0) {
            if (errno == EINTR)
                continue;
            return Status::fromErrno("read", path);
        }
        if (n == 0)
            break;
        done += static_cast<size_t>(n);
    }
    if (done > maxBytes)
        return Status::failure(EFBIG, "read", path);
    data.resize(done);
    return data;
}

} // namespace

Status Status::fromErrno(const char *call, std::string_view path) {
    return failure(errno ? errno : EIO, call, path);
}

Status Status::failure(int code, const char *call, std::string_view path) {
    Status status;
    status._code = code;
    status._call = call;
    status._path = std::string(path);
    return status;
}

Status Status::refusal(int code, std::string_view path, std::string reason) {
    Status status = failure(code, "", path);
    status._reason = std::move(reason);
    return status;
}

std::string Status::reason() const { return _reason.empty() ? errorText(_code) : _reason; }

std::string Status::message() const {
    if (ok())
        return "ok";
    if (!_reason.empty())
        return _path + ": " + _reason;
    return std::string(_call) + "(" + _path + "): " + errorText(_code);
}

std::string errorText(int code) { return std::strerror(code); }

void releaseFreeMemory() { ::malloc_trim(0); }

Fd &Fd::operator=(Fd &&other) noexcept {
    if (this != &other) {
        std::string path = std::move(other._path);
        reset(other.release());
        _path = std::move(path);
    }
    return *this;
}

void Fd::reset(int fd) {
    if (_fd >= 0) {
        // Linux releases the descriptor even when close() reports EINTR; retrying could close
        // a descriptor another thread has just been given.
        ::close(_fd);
    }
    _fd = fd;
    _path.clear();
}

int Fd::release() {
    _path.clear();
    return std::exchange(_fd, -1);
}

std::string FdRef::pathOf(std::string_view name) const {
    if (path.empty() || name.starts_with('/'))
        return std::string(name);
    if (name.empty() || name == ".")
        return std::string(path);
    return joinPath(path, name);
}

std::string FdRef::shown() const { return path.empty() ? std::to_string(fd) : std::string(path); }

Result<Fd> open(const std::string &path, int flags, mode_t mode) {
    return openAt(AT_FDCWD, path, flags, mode);
}

Result<Fd> openAt(FdRef dir, const std::string &name, int flags, mode_t mode) {
    int fd;
    do {
        fd = ::openat(dir.fd, name.c_str(), flags | O_CLOEXEC, mode);
    } while (fd < 0 && errno == EINTR);
    if (fd < 0)
        return Status::fromErrno("open", dir.pathOf(name));
    return Fd(fd, dir.pathOf(name));
}

Result<Fd> openDirectory(const std::string &path, FollowLinks follow) {
    return openDirectoryAt(AT_FDCWD, path, follow);
}

Result<Fd> openDirectoryAt(FdRef dir, const std::string &name, FollowLinks follow) {
    int flags = O_RDONLY | O_DIRECTORY | (follow == FollowLinks::No ? O_NOFOLLOW : 0);
    return openAt(dir, name, flags);
}

Result<struct stat> stat(const std::string &path, FollowLinks follow) {
    return statAt(AT_FDCWD, path, follow);
}

Result<struct stat> statAt(FdRef dir, const std::string &name, FollowLinks follow) {
    struct stat st {};
    int flags = follow == FollowLinks::No ? AT_SYMLINK_NOFOLLOW : 0;
    if (name.empty())
        flags |= AT_EMPTY_PATH;
    if (::fstatat(dir.fd, name.c_str(), &st, flags) != 0)
        return Status::fromErrno("stat", dir.pathOf(name));
    return st;
}

Result<struct stat> fstat(FdRef fd) {
    struct stat st {};
    if (::fstat(fd.fd, &st) != 0)
        return Status::fromErrno("fstat", fd.shown());
    return st;
}

bool exists(const std::string &path) {
    struct stat st {};
    return ::fstatat(AT_FDCWD, path.c_str(), &st, AT_SYMLINK_NOFOLLOW) == 0;
}

namespace {

/// Calls visit with each entry of the open folder except "." and "..", in directory order,
/// until it answers false; the descriptor's read position is rewound first.
Status walkEntries(FdRef folder, const std::function<bool(const struct dirent &)> &visit) {
    const std::string_view shown = folder.path.empty() ? std::string_view("folder") : folder.path;
    // A private descriptor for the stream: fdopendir takes ownership of what it is given.
    int dupFd = ::fcntl(folder.fd, F_DUPFD_CLOEXEC, 0);
    if (dupFd < 0)
        return Status::fromErrno("dup", shown);
    DIR *dir = ::fdopendir(dupFd);
    if (!dir) {
        Status status = Status::fromErrno("fdopendir", shown);
        ::close(dupFd);
        return status;
    }
    ::rewinddir(dir);
    Status status;
    for (;;) {
        errno = 0;
        struct dirent *entry = ::readdir(dir);
        if (!entry) {
            if (errno != 0)
                status = Status::fromErrno("readdir", shown);
            break;
        }
        const char *name = entry->d_name;
        if (name[0] == '.' && (name[1] == 0 || (name[1] == '.' && name[2] == 0)))
            continue;
        if (!visit(*entry))
            break;
    }
    ::closedir(dir);
    return status;
}

} // namespace

Status forEachEntry(FdRef folder, const std::function<bool(std::string_view, unsigned char)> &visit) {
    return walkEntries(folder, [&visit](const struct dirent &entry) { return visit(entry.d_name, entry.d_type); });
}

Result<std::vector<std::string>> entryNames(FdRef dir, EntryOrder order) {
    std::vector<std::string> names;
    Status listed = forEachEntry(dir, [&names](std::string_view name, unsigned char) {
        names.emplace_back(name);
        return true;
    });
    if (!listed)
        return listed;
    if (order == EntryOrder::Sorted)
        std::sort(names.begin(), names.end());
    return names;
}

Result<std::vector<DirEntry>> listDirectory(FdRef dir) {
    std::vector<DirEntry> entries;
    Status listed = walkEntries(dir, [&entries](const struct dirent &entry) {
        entries.push_back({entry.d_name, entry.d_type, entry.d_ino});
        return true;
    });
    if (!listed)
        return listed;
    return entries;
}

Result<std::vector<DirEntry>> listDirectory(const std::string &path) {
    auto dir = openDirectory(path);
    if (!dir)
        return dir.status();
    auto entries = listDirectory(*dir);
    if (!entries)
        return Status::failure(entries.code(), "readdir", path);
    return entries;
}

Status mkdirAt(FdRef dir, const std::string &name, mode_t mode) {
    if (::mkdirat(dir.fd, name.c_str(), mode) != 0)
        return Status::fromErrno("mkdir", dir.pathOf(name));
    return {};
}

Status mkdir(const std::string &path, mode_t mode) { return mkdirAt(AT_FDCWD, path, mode); }

Result<std::string> makeTemporaryFolder(const std::string &pathTemplate) {
    std::string path = pathTemplate;
    if (::mkdtemp(path.data()) == nullptr)
        return Status::fromErrno("mkdtemp", pathTemplate);
    return path;
}

Result<bool> tryLockExclusive(FdRef fd) {
    for (;;) {
        if (::flock(fd.fd, LOCK_EX | LOCK_NB) == 0)
            return true;
        if (errno == EWOULDBLOCK)
            return false;
        if (errno != EINTR)
            return Status::fromErrno("flock", fd.shown());
    }
}

Status makeDirectories(const std::string &path, mode_t mode) {
    if (path.empty() || path == "/" || path == "." || exists(path))
        return {};
    if (Status parent = makeDirectories(parentPath(path), mode); !parent)
        return parent;
    Status made = mkdir(path, mode);
    if (!made && made.code() != EEXIST) // made meanwhile by someone else: there, as wanted
        return made;
    return {};
}

Status unlinkAt(FdRef dir, const std::string &name, bool isDirectory) {
    if (::unlinkat(dir.fd, name.c_str(), isDirectory ? AT_REMOVEDIR : 0) != 0)
        return Status::fromErrno(isDirectory ? "rmdir" : "unlink", dir.pathOf(name));
    return {};
}

Status unlink(const std::string &path) { return unlinkAt(AT_FDCWD, path); }

Status renameNoReplace(FdRef fromDir, const std::string &from, FdRef toDir, const std::string &to) {
    if (::renameat2(fromDir.fd, from.c_str(), toDir.fd, to.c_str(), RENAME_NOREPLACE) != 0)
        return Status::fromErrno("rename", fromDir.pathOf(from) + " -> " + toDir.pathOf(to));
    return {};
}

Status renameNoReplace(const std::string &from, const std::string &to) {
    return renameNoReplace(AT_FDCWD, from, AT_FDCWD, to);
}

Status rename(const std::string &from, const std::string &to) {
    if (::rename(from.c_str(), to.c_str()) != 0)
        return Status::fromErrno("rename", from + " -> " + to);
    return {};
}

Status linkAt(FdRef fromDir, const std::string &from, FdRef toDir, const std::string &to, int flags) {
    if (::linkat(fromDir.fd, from.c_str(), toDir.fd, to.c_str(), flags) != 0)
        return Status::fromErrno("link", toDir.pathOf(to));
    return {};
}

Status symlinkAt(const std::string &target, FdRef dir, const std::string &name) {
    if (::symlinkat(target.c_str(), dir.fd, name.c_str()) != 0)
        return Status::fromErrno("symlink", dir.pathOf(name));
    return {};
}

Result<std::string> readlinkAt(FdRef dir, const std::string &name) {
    std::string buffer(256, '\0');
    for (;;) {
        ssize_t n = ::readlinkat(dir.fd, name.c_str(), buffer.data(), buffer.size());
        if (n < 0)
            return Status::fromErrno("readlink", dir.pathOf(name));
        if (static_cast<size_t>(n) < buffer.size()) {
            buffer.resize(static_cast<size_t>(n));
            return buffer;
        }
        buffer.resize(buffer.size() * 2);
    }
}

Status fchmod(FdRef fd, mode_t mode) {
    if (::fchmod(fd.fd, mode) != 0)
        return Status::fromErrno("fchmod", fd.shown());
    return {};
}

Status fchmodAt(FdRef dir, const std::string &name, mode_t mode) {
    if (::fchmodat(dir.fd, name.c_str(), mode, 0) != 0)
        return Status::fromErrno("chmod", dir.pathOf(name));
    return {};
}

Status futimens(FdRef fd, const struct timespec times[2]) {
    if (::futimens(fd.fd, times) != 0)
        return Status::fromErrno("futimens", fd.shown());
    return {};
}

Status utimensAt(FdRef dir, const std::string &name, const struct timespec times[2], FollowLinks follow) {
    if (::utimensat(dir.fd, name.c_str(), times, follow == FollowLinks::No ? AT_SYMLINK_NOFOLLOW : 0) != 0)
        return Status::fromErrno("utimensat", dir.pathOf(name));
    return {};
}

Status fsync(FdRef fd) {
    if (::fsync(fd.fd) != 0)
        return Status::fromErrno("fsync", fd.shown());
    return {};
}

Status syncfs(FdRef fd) {
    if (::syncfs(fd.fd) != 0)
        return Status::fromErrno("syncfs", fd.shown());
    return {};
}

Status syncfsPath(const std::string &path) {
    auto fd = open(path, O_RDONLY | O_NONBLOCK);
    if (!fd)
        return fd.status();
    return syncfs(*fd);
}

Result<std::string> readFile(const std::string &path, size_t maxBytes) {
    auto fd = open(path, O_RDONLY | O_NOCTTY | O_NONBLOCK);
    if (!fd)
        return fd.status();
    return readOpenFile(fd->get(), path, maxBytes);
}

Result<std::string> readFileAt(FdRef dir, const std::string &name, size_t maxBytes) {
    auto fd = openAt(dir, name, O_RDONLY | O_NOCTTY | O_NONBLOCK | O_NOFOLLOW);
    if (!fd)
        return fd.status();
    return readOpenFile(fd->get(), fd->path(), maxBytes);
}

Result<std::string> readFileFrom(const std::string &path, uint64_t offset, size_t maxBytes) {
    auto fd = open(path, O_RDONLY | O_NOCTTY | O_NONBLOCK | O_NOFOLLOW);
    if (!fd)
        return fd.status();
    std::string data(maxBytes, '\0');
    size_t done = 0;
    while (done < maxBytes) {
        ssize_t n = ::pread(fd->get(), data.data() + done, maxBytes - done, static_cast<off_t>(offset + done));
        if (n < 0) {
            if (errno == EINTR)
                continue;
            return Status::fromErrno("read", path);
        }
        if (n == 0)
            break;
        done += static_cast<size_t>(n);
    }
    data.resize(done);
    return data;
}

Result<std::string> readFromStart(FdRef fd, size_t maxBytes) {
    // One byte more than allowed tells a file that is too long from one that just fits.
    std::string data(maxBytes + 1, '\0');
    ssize_t n;
    do {
        n = ::pread(fd.fd, data.data(), data.size(), 0);
    } while (n < 0 && errno == EINTR);
    if (n < 0)
        return Status::fromErrno("read", fd.shown());
    if (static_cast<size_t>(n) > maxBytes)
        return Status::failure(EFBIG, "read", fd.shown());
    data.resize(static_cast<size_t>(n));
    return data;
}

Status writeAll(FdRef fd, std::string_view data) {
    while (!data.empty()) {
        ssize_t n = ::write(fd.fd, data.data(), data.size());
        if (n < 0) {
            if (errno == EINTR)
                continue;
            return Status::fromErrno("write", fd.shown());
        }
        data.remove_prefix(static_cast<size_t>(n));
    }
    return {};
}

Status writeFileAtomically(const std::string &path, std::string_view data, mode_t mode) {
    auto folder = openDirectory(parentPath(path));
    if (!folder)
        return folder.status();
    return writeFileAtomicallyAt(*folder, lastPathComponent(path), data, mode, path);
}

std::string temporaryNameOf(const std::string &name) { return "." + name + ".tmp"; }

Status writeFileAtomicallyAt(FdRef dir, const std::string &name, std::string_view data, mode_t mode,
                             const std::string &shownPath) {
    const int dirFd = dir.fd;
    thread_local std::minstd_rand random(static_cast<unsigned>(::getpid()) ^ static_cast<unsigned>(::time(nullptr)));
    // Written unnamed where the file system allows it, so that a crash while writing leaves
    // nothing; the temporary name exists only for the moment between the link and the rename.
    auto unnamed = openAt(dirFd, ".", O_TMPFILE | O_WRONLY, mode);
    if (unnamed) {
        Status status = writeAll(unnamed->get(), data);
        if (status)
            status = fchmod(unnamed->get(), mode);
        if (status)
            status = fsync(unnamed->get());
        if (!status)
            return Status::failure(status.code(), "write", shownPath);
        const std::string self = "/proc/self/fd/" + std::to_string(unnamed->get());
        for (int attempt = 0; attempt < 100; ++attempt) {
            std::string temporary = temporaryNameOf(name) + std::to_string(random());
            if (::linkat(AT_FDCWD, self.c_str(), dirFd, temporary.c_str(), AT_SYMLINK_FOLLOW) != 0) {
                if (errno == EEXIST)
                    continue;
                break; // no link through /proc here: write under a name as below
            }
            if (::renameat(dirFd, temporary.c_str(), dirFd, name.c_str()) != 0) {
                Status failed = Status::fromErrno("rename", shownPath);
                ::unlinkat(dirFd, temporary.c_str(), 0);
                return failed;
            }
            return {};
        }
    }
    // O_EXCL with a fresh name per try: a stale temporary file left by a crash, or one being
    // written by another process at the same moment, is never reused or truncated, and a link
    // planted under the name is never followed.
    for (int attempt = 0; attempt < 100; ++attempt) {
        std::string temporary = temporaryNameOf(name) + std::to_string(random());
        auto fd = openAt(dirFd, temporary, O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW, mode);
        if (!fd) {
            if (fd.code() == EEXIST)
                continue;
            return Status::failure(fd.code(), "open", shownPath);
        }
        Status status = writeAll(fd->get(), data);
        if (status)
            status = fsync(fd->get());
        fd->reset();
        if (status && ::renameat(dirFd, temporary.c_str(), dirFd, name.c_str()) != 0)
            status = Status::fromErrno("rename", shownPath);
        if (!status)
            ::unlinkat(dirFd, temporary.c_str(), 0);
        return status;
    }
    return Status::failure(EEXIST, "open", shownPath);
}

Status touchLocked(const std::string &path, mode_t mode) { return touchLockedAt(AT_FDCWD, path, mode); }

Status touchLockedAt(FdRef dir, const std::string &name, mode_t mode) {
    auto fd = openAt(dir, name, O_WRONLY | O_CREAT | O_NONBLOCK | O_NOFOLLOW | O_NOCTTY, mode);
    if (!fd)
        return fd.status();
    if (::flock(fd->get(), LOCK_EX) != 0)
        return Status::fromErrno("flock", fd->path());
    return {};
}

Result<int> getInodeFlags(FdRef fd) {
    int flags = 0;
    if (::ioctl(fd.fd, FS_IOC_GETFLAGS, &flags) != 0)
        return Status::fromErrno("ioctl(FS_IOC_GETFLAGS)", fd.shown());
    return flags;
}

Status setInodeFlags(FdRef fd, int flags) {
    if (::ioctl(fd.fd, FS_IOC_SETFLAGS, &flags) != 0)
        return Status::fromErrno("ioctl(FS_IOC_SETFLAGS)", fd.shown());
    return {};
}

Result<VolumeFigures> volumeFigures(const std::string &path) {
    struct statvfs figures {};
    if (::statvfs(path.c_str(), &figures) != 0)
        return Status::fromErrno("statvfs", path);
    return VolumeFigures{static_cast<uint64_t>(figures.f_bavail) * figures.f_frsize,
                         static_cast<uint64_t>(figures.f_blocks) * figures.f_frsize};
}

Result<VolumeFigures> volumeFiguresOf(FdRef fd) {
    struct statvfs figures {};
    if (::fstatvfs(fd.fd, &figures) != 0)
        return Status::fromErrno("fstatvfs", fd.shown());
    return VolumeFigures{static_cast<uint64_t>(figures.f_bavail) * figures.f_frsize,
                         static_cast<uint64_t>(figures.f_blocks) * figures.f_frsize};
}

time_t now() { return ::time(nullptr); }

struct timespec realtimeNow() {
    struct timespec ts {};
    ::clock_gettime(CLOCK_REALTIME, &ts);
    return ts;
}

int64_t monotonicMillis() {
    struct timespec ts {};
    ::clock_gettime(CLOCK_MONOTONIC, &ts);
    return static_cast<int64_t>(ts.tv_sec) * 1000 + ts.tv_nsec / 1000000;
}

std::string lastPathComponent(std::string_view path) {
    while (path.size() > 1 && path.back() == '/')
        path.remove_suffix(1);
    size_t slash = path.rfind('/');
    if (slash == std::string_view::npos || path.size() == 1)
        return std::string(path);
    return std::string(path.substr(slash + 1));
}

std::string parentPath(std::string_view path) {
    while (path.size() > 1 && path.back() == '/')
        path.remove_suffix(1);
    size_t slash = path.rfind('/');
    if (slash == std::string_view::npos)
        return ".";
    if (slash == 0)
        return "/";
    return std::string(path.substr(0, slash));
}

std::string withoutTrailingSlashes(std::string path) {
    while (path.size() > 1 && path.back() == '/')
        path.pop_back();
    return path;
}

std::string withTrailingSlash(std::string path) {
    if (path.empty() || path.back() != '/')
        path += '/';
    return path;
}

std::string joinPath(std::string_view folder, std::string_view name) {
    std::string result(folder);
    if (!result.empty() && result.back() != '/')
        result += '/';
    result += name;
    return result;
}

} // namespace quillet::sys

// Housekeeping daemon: counting, sleeping, signal disposition, identity.
namespace quillet::sys {

Result<uint64_t> countDirectoryEntries(const std::string &path) {
    auto dir = open(path, O_RDONLY | O_DIRECTORY);
    if (!dir)
        return dir.status();
    auto count = countOpenDirectoryEntries(*dir);
    if (!count)
        return Status::failure(count.code(), "getdents64", path);
    return count;
}

Result<uint64_t> countOpenDirectoryEntries(FdRef folder) {
    // A private descriptor: the caller's read position stays where it was.
    auto dir = openAt(folder, ".", O_RDONLY | O_DIRECTORY);
    if (!dir)
        return dir.status();
    alignas(8) char buffer[16384];
    uint64_t count = 0;
    for (;;) {
        long n = ::syscall(SYS_getdents64, dir->get(), buffer, sizeof buffer);
        if (n < 0) {
            if (errno == EINTR)
                continue;
            return Status::fromErrno("getdents64", folder.shown());
        }
        if (n == 0)
            break;
        // struct linux_dirent64: d_ino (8), d_off (8), d_reclen (2), d_type (1), d_name.
        for (long offset = 0; offset < n;) {
            const char *record = buffer + offset;
            unsigned short length;
            std::memcpy(&length, record + 16, sizeof length);
            const char *name = record + 19;
            if (!(name[0] == '.' && (name[1] == 0 || (name[1] == '.' && name[2] == 0))))
                ++count;
            offset += length;
        }
    }
    return count;
}

void sleepFor(int64_t millis) {
    if (millis <= 0)
        return;
    struct timespec remaining = {static_cast<time_t>(millis / 1000), static_cast<long>(millis % 1000) * 1000000L};
    while (::clock_nanosleep(CLOCK_MONOTONIC, 0, &remaining, &remaining) == EINTR) {
    }
}

Status restoreDefaultSignal(int sig) {
    struct sigaction action {};
    action.sa_handler = SIG_DFL;
    sigemptyset(&action.sa_mask);
    if (::sigaction(sig, &action, nullptr) != 0)
        return Status::fromErrno("sigaction", std::to_string(sig));
    sigset_t set;
    sigemptyset(&set);
    sigaddset(&set, sig);
    if (::sigprocmask(SIG_UNBLOCK, &set, nullptr) != 0)
        return Status::fromErrno("sigprocmask", std::to_string(sig));
    return {};
}

std::string canonicalPath(const std::string &path) {
    char *resolved = ::realpath(path.c_str(), nullptr);
    if (!resolved)
        return path;
    std::string result(resolved);
    std::free(resolved);
    return result;
}

uid_t effectiveUserId() { return ::geteuid(); }

uid_t userId() { return ::getuid(); }

pid_t processId() { return ::getpid(); }

Status raiseSignal(int sig) {
    if (::raise(sig) != 0)
        return Status::fromErrno("raise", std::to_string(sig));
    return {};
}

Result<sigset_t> blockAllSignals() {
    sigset_t all;
    sigset_t previous;
    sigfillset(&all);
    if (int error = ::pthread_sigmask(SIG_BLOCK, &all, &previous); error != 0)
        return Status::failure(error, "pthread_sigmask");
    return previous;
}

Status setSignalMask(const sigset_t &mask) {
    if (int error = ::pthread_sigmask(SIG_SETMASK, &mask, nullptr); error != 0)
        return Status::failure(error, "pthread_sigmask");
    return {};
}

bool isTerminal(int fd) { return ::isatty(fd) == 1; }

std::optional<std::string> environmentValue(const char *name) {
    if (const char *value = std::getenv(name))
        return std::string(value);
    return std::nullopt;
}

Result<std::string> kernelRelease() {
    struct utsname names {};
    if (::uname(&names) != 0)
        return Status::fromErrno("uname");
    return std::string(names.release);
}

std::optional<int64_t> parseBootTime(std::string_view procStat) {
    size_t at = 0;
    while (at < procStat.size()) {
        size_t end = procStat.find('\n', at);
        if (end == std::string_view::npos)
            end = procStat.size();
        std::string_view line = procStat.substr(at, end - at);
        if (line.starts_with("btime ")) {
            std::string_view digits = line.substr(6);
            if (digits.empty() || digits.size() > 18)
                return std::nullopt;
            int64_t value = 0;
            for (char c : digits) {
                if (c < '0' || c > '9')
                    return std::nullopt;
                value = value * 10 + (c - '0');
            }
            return value;
        }
        at = end + 1;
    }
    return std::nullopt;
}

Result<int64_t> bootTime() {
    // /proc/stat grows with the number of processors; 1 MB covers any machine.
    auto text = readFile("/proc/stat", 1024 * 1024);
    if (!text)
        return text.status();
    if (auto value = parseBootTime(*text))
        return *value;
    return Status::refusal(EBADMSG, "/proc/stat", "no btime line");
}

Result<struct tm> localTime(time_t moment) {
    struct tm fields {};
    if (!::localtime_r(&moment, &fields))
        return Status::fromErrno("localtime_r", std::to_string(moment));
    return fields;
}

time_t fromLocalTime(struct tm fields) { return ::mktime(&fields); }

time_t fromUtcTime(struct tm fields) { return ::timegm(&fields); }

} // namespace quillet::sys
