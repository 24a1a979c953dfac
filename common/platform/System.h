#pragma once
// Thin wrappers over the Linux system calls this project uses. Every call is made here once;
// each returns a result that carries the errno and the name of the call, so callers can report
// "call(path): reason" without touching errno themselves.

#include <signal.h>
#include <sys/stat.h>
#include <sys/types.h>

#include <cstdint>
#include <ctime>
#include <functional>
#include <optional>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

namespace quillet::sys {

/// Outcome of a system call: success, or the errno with the call and path that failed.
class [[nodiscard]] Status {
public:
    Status() = default;
    static Status fromErrno(const char *call, std::string_view path = {});
    static Status failure(int code, const char *call, std::string_view path = {});
    /// A refusal of this system's own rather than a failed call: "path: reason".
    static Status refusal(int code, std::string_view path, std::string reason);

    bool ok() const { return _code == 0; }
    explicit operator bool() const { return ok(); }
    int code() const { return _code; }
    /// "call(path): reason", or "ok".
    std::string message() const;
    /// The reason alone: a refusal's own words, else the system's text for the errno.
    std::string reason() const;
    const std::string &path() const { return _path; }

private:
    int _code = 0;
    const char *_call = "";
    std::string _path;
    std::string _reason;
};

/// A value or the Status that explains why there is none.
template <typename T>
class [[nodiscard]] Result {
public:
    Result(T value) : _value(std::move(value)) {}
    Result(Status status) : _status(std::move(status)) {}

    bool ok() const { return _value.has_value(); }
    explicit operator bool() const { return ok(); }
    T &value() { return *_value; }
    const T &value() const { return *_value; }
    T *operator->() { return &*_value; }
    const T *operator->() const { return &*_value; }
    T &operator*() { return *_value; }
    /// The value, or fallback when there is none.
    T valueOr(T fallback) && { return _value ? std::move(*_value) : std::move(fallback); }
    const Status &status() const { return _status; }
    int code() const { return _status.code(); }

private:
    std::optional<T> _value;
    Status _status;
};

/// Move-only owner of a file descriptor, with the path it was opened by so that failures of
/// calls on it can name it.
class Fd {
public:
    Fd() = default;
    explicit Fd(int fd, std::string path = {}) : _fd(fd), _path(std::move(path)) {}
    Fd(Fd &&other) noexcept : _fd(std::exchange(other._fd, -1)), _path(std::move(other._path)) {}
    Fd &operator=(Fd &&other) noexcept;
    Fd(const Fd &) = delete;
    Fd &operator=(const Fd &) = delete;
    ~Fd() { reset(); }

    int get() const { return _fd; }
    bool valid() const { return _fd >= 0; }
    /// The path the descriptor was opened by: a full path where the folder it was opened in was
    /// known by one, else the name given to the open ("" for a descriptor taken over).
    const std::string &path() const { return _path; }
    /// Closes the descriptor held, if any, and takes fd over (its path unknown).
    void reset(int fd = -1);
    int release();

private:
    int _fd = -1;
    std::string _path;
};

/// An open descriptor as the calls below take it: an Fd, whose path then names what failed, or
/// a bare descriptor (AT_FDCWD among them), where a failure names what it always has: the
/// entry's name, or the descriptor's number. Only for passing to a call: it refers to the Fd's
/// path and must not outlive it.
struct FdRef {
    FdRef(int descriptor) : fd(descriptor) {}
    FdRef(const Fd &owner) : fd(owner.get()), path(owner.path()) {}

    /// The path of the entry name of this folder, as far as it is known: the name alone when
    /// the folder's path is not (or the name is absolute), the folder's own for "" and ".".
    std::string pathOf(std::string_view name) const;
    /// What a failure of a call on the descriptor itself names: its path, else its number.
    std::string shown() const;

    int fd;
    std::string_view path;
};

enum class FollowLinks { No, Yes };

Result<Fd> open(const std::string &path, int flags, mode_t mode = 0);
Result<Fd> openAt(FdRef dir, const std::string &name, int flags, mode_t mode = 0);
/// Opens a folder for reading its entries and for *at() calls (O_DIRECTORY|O_CLOEXEC).
Result<Fd> openDirectory(const std::string &path, FollowLinks follow = FollowLinks::Yes);
Result<Fd> openDirectoryAt(FdRef dir, const std::string &name, FollowLinks follow);

Result<struct stat> stat(const std::string &path, FollowLinks follow);
Result<struct stat> statAt(FdRef dir, const std::string &name, FollowLinks follow);
Result<struct stat> fstat(FdRef fd);
/// True when something (even a dangling link) exists at the path.
bool exists(const std::string &path);

/// One directory entry as listed: its name, where the file system tells its type (a DT_*
/// value, DT_UNKNOWN otherwise), and the inode number the listing gives (which may differ from
/// the one stat gives on some file systems: compare it only with another listing's).
struct DirEntry {
    std::string name;
    unsigned char type;
    ino_t inode = 0;
};
/// Calls visit for each entry of the open folder except "." and "..", in directory order.
/// visit returns false to stop early. The descriptor's read position is rewound first.
Status forEachEntry(FdRef dir, const std::function<bool(std::string_view name, unsigned char type)> &visit);
/// All entries of the folder at path except "." and "..", in directory order.
Result<std::vector<DirEntry>> listDirectory(const std::string &path);
/// All entries of the open folder except "." and "..", in directory order, read at once.
Result<std::vector<DirEntry>> listDirectory(FdRef dir);
/// The order entryNames gives: the file system's own, or ascending by bytes (so that a walk goes
/// the same way every time: the oldest date folders first, a removal always alike).
enum class EntryOrder { AsListed, Sorted };
/// The names of the open folder's entries except "." and "..", read all at once (before the
/// caller changes the folder); the failure of the listing, naming the folder.
Result<std::vector<std::string>> entryNames(FdRef dir, EntryOrder order);

Status mkdirAt(FdRef dir, const std::string &name, mode_t mode);
Status mkdir(const std::string &path, mode_t mode);
/// Makes the folder path and whatever parents it lacks, each with mode (less the umask); what
/// exists is left as it is. Fails with the first folder that could not be made.
Status makeDirectories(const std::string &path, mode_t mode);
/// Makes a new folder of mode 0700 named pathTemplate with its last six characters ("XXXXXX")
/// replaced so that the name is new (mkdtemp), and answers its path.
Result<std::string> makeTemporaryFolder(const std::string &pathTemplate);
/// Takes the exclusive advisory lock (flock) of the open file or folder without waiting: true
/// when taken, false when another open description holds it.
Result<bool> tryLockExclusive(FdRef fd);
Status unlinkAt(FdRef dir, const std::string &name, bool isDirectory = false);
Status unlink(const std::string &path);
/// rename(2) that fails with EEXIST instead of replacing an existing destination.
Status renameNoReplace(FdRef fromDir, const std::string &from, FdRef toDir, const std::string &to);
Status renameNoReplace(const std::string &from, const std::string &to);
/// Plain rename(2), replacing the destination.
Status rename(const std::string &from, const std::string &to);
Status linkAt(FdRef fromDir, const std::string &from, FdRef toDir, const std::string &to, int flags);
Status symlinkAt(const std::string &target, FdRef dir, const std::string &name);
Result<std::string> readlinkAt(FdRef dir, const std::string &name);
Status fchmod(FdRef fd, mode_t mode);
Status fchmodAt(FdRef dir, const std::string &name, mode_t mode);
Status futimens(FdRef fd, const struct timespec times[2]);
Status utimensAt(FdRef dir, const std::string &name, const struct timespec times[2], FollowLinks follow);
Status fsync(FdRef fd);
Status syncfs(FdRef fd);
Status syncfsPath(const std::string &path);

/// Reads the whole file, refusing (EFBIG) one larger than maxBytes.
Result<std::string> readFile(const std::string &path, size_t maxBytes);
/// The same for the entry name of the open folder dir, never through a symbolic link (ELOOP)
/// and only when it is a regular file (EINVAL).
Result<std::string> readFileAt(FdRef dir, const std::string &name, size_t maxBytes);
/// Up to maxBytes of the file from offset on (less at its end), never through a final link.
Result<std::string> readFileFrom(const std::string &path, uint64_t offset, size_t maxBytes);
/// The content of the open file fd from its start, in one read at offset 0, refusing (EFBIG) more
/// than maxBytes. Meant for the files of /proc, which are made anew at each read from their start
/// and given whole to a buffer large enough: a descriptor kept open is read again at the cost of
/// one call, without the path walk, open and close of readFile.
Result<std::string> readFromStart(FdRef fd, size_t maxBytes);
/// Writes all of data, retrying short writes and EINTR.
Status writeAll(FdRef fd, std::string_view data);
/// Replaces path with data atomically: a temporary file beside it, fsync, rename.
Status writeFileAtomically(const std::string &path, std::string_view data, mode_t mode = 0644);
/// What the temporary files of writeFileAtomicallyAt for name begin with (digits follow).
std::string temporaryNameOf(const std::string &name);
/// The same for the entry name of the open folder dir; a symbolic link there is replaced,
/// never followed. shownPath names the file in a failure. The file is written unnamed where the
/// file system allows it (O_TMPFILE), so that a crash leaves no temporary file; where it does
/// not, the temporary file is named temporaryNameOf(name) followed by digits.
Status writeFileAtomicallyAt(FdRef dir, const std::string &name, std::string_view data, mode_t mode,
                             const std::string &shownPath);
/// Creates path if missing (never truncating), holding an exclusive lock while it is open.
Status touchLocked(const std::string &path, mode_t mode);
/// The same for the entry name of the open folder dir, never through a symbolic link: a link
/// planted under the name is left alone and nothing is created where it points.
Status touchLockedAt(FdRef dir, const std::string &name, mode_t mode);

/// Inode flags (FS_IOC_GETFLAGS / FS_IOC_SETFLAGS); ENOTTY/EOPNOTSUPP where unsupported.
Result<int> getInodeFlags(FdRef fd);
Status setInodeFlags(FdRef fd, int flags);

/// Volume figures from statvfs: bytes available to the user and total bytes.
struct VolumeFigures {
    uint64_t freeBytes;
    uint64_t totalBytes;
};
Result<VolumeFigures> volumeFigures(const std::string &path);
/// The same for the volume holding the open file or folder fd.
Result<VolumeFigures> volumeFiguresOf(FdRef fd);

/// Seconds since the epoch (CLOCK_REALTIME).
time_t now();
/// CLOCK_REALTIME with nanoseconds, comparable with file times.
struct timespec realtimeNow();
/// Monotonic time in milliseconds.
int64_t monotonicMillis();
std::string errorText(int code);
/// Hands memory that the allocator keeps after a burst of work back to the system, so that a
/// long-running daemon idles small.
void releaseFreeMemory();

/// Number of entries of the folder at path except "." and "..", read straight from getdents64
/// (no per-entry allocation): cheap enough to run every few seconds on a large folder.
Result<uint64_t> countDirectoryEntries(const std::string &path);
/// The same for the open folder dir.
Result<uint64_t> countOpenDirectoryEntries(FdRef dir);
/// Sleeps on the monotonic clock for millis, resuming after signal handlers that return.
void sleepFor(int64_t millis);
/// Puts sig back to its default disposition and unblocks it, whatever the launcher left.
Status restoreDefaultSignal(int sig);
/// The path with links and "." / ".." resolved (realpath), or the path unchanged when it cannot
/// be resolved (it does not exist, or a component cannot be searched).
std::string canonicalPath(const std::string &path);
uid_t effectiveUserId();
/// The account the process runs for (getuid).
uid_t userId();
/// This process's id.
pid_t processId();
/// Sends sig to the calling thread (raise): to the process, for a single-threaded one.
Status raiseSignal(int sig);
/// Blocks every signal in the calling thread, answering the mask it had: a thread started
/// meanwhile inherits the full mask, and so takes no signals.
Result<sigset_t> blockAllSignals();
/// Gives the calling thread the signal mask mask (pthread_sigmask).
Status setSignalMask(const sigset_t &mask);
/// True when fd is open on a terminal.
bool isTerminal(int fd);
/// The value of the environment variable name, or nothing when it is not set.
std::optional<std::string> environmentValue(const char *name);
/// The release of the running kernel ("6.1.0-18-amd64"), from uname.
Result<std::string> kernelRelease();
/// When the system started, in seconds since 1970 (the "btime" line of /proc/stat).
Result<int64_t> bootTime();
/// The "btime" value of the text of /proc/stat; nothing when the line is missing or malformed.
std::optional<int64_t> parseBootTime(std::string_view procStat);

/// The calendar fields of the moment in the current time zone (localtime_r).
Result<struct tm> localTime(time_t moment);
/// The moment that calendar fields of the current time zone stand for (mktime, tm_isdst as
/// given, the fields normalized as mktime does), or -1 when none.
time_t fromLocalTime(struct tm fields);
/// The same for fields in UTC (timegm).
time_t fromUtcTime(struct tm fields);

/// Path helpers on plain strings.
std::string lastPathComponent(std::string_view path);
std::string parentPath(std::string_view path);
std::string joinPath(std::string_view folder, std::string_view name);
/// path without the slashes it ends in; "/" stays "/".
std::string withoutTrailingSlashes(std::string path);
/// path ending in a slash: one is added unless it ends in one already ("" becomes "/").
std::string withTrailingSlash(std::string path);

} // namespace quillet::sys

