#pragma once
// What the reliability tests share: a scratch home holding a freedesktop trash and a cache
// folder, the built daemons run on it as child processes, a walk of what they archived, and a
// comparison of a copy (archived or recovered) with the item it was made from.
//
// The comparison reads every byte of both sides and reports each difference with its kind, so
// that a test asserts exactly the kinds it is about and names the path of every failure.

#include "archive/ArchiveFile.h"
#include "archive/ArchivedItem.h"
#include "archive/CacheLayout.h"
#include "ChildProcess.h"
#include "TestDir.h"
#include "archive/TrashInfo.h"
#include "platform/System.h"

#include <gtest/gtest.h>

#include <fcntl.h>
#include <signal.h>
#include <spawn.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <sys/xattr.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <iostream>
#include <map>
#include <optional>
#include <set>
#include <string>
#include <string_view>
#include <thread>
#include <vector>

namespace quillet::test::reliability {

using namespace std::chrono_literals;

// ---------------------------------------------------------------------------------------------
// Names and bytes

/// A name or path as a failure message can show it: control bytes and bytes beyond ASCII as
/// \xNN, long ones cut.
inline std::string printable(std::string_view name) {
    std::string out;
    for (unsigned char c : name) {
        if (c >= 0x20 && c < 0x7f && c != '\\') {
            out += static_cast<char>(c);
        } else {
            char escaped[8];
            std::snprintf(escaped, sizeof escaped, "\\x%02x", c);
            out += escaped;
        }
    }
    return out.size() > 120 ? out.substr(0, 60) + "…(" + std::to_string(name.size()) + " bytes)" : out;
}

/// The figures a test prints for the record, on one line each.
inline void report(const std::string &line) { std::cout << "[ figures  ] " << line << std::endl; }

/// The last lines of a log, about limit bytes of them.
inline std::string tailOf(const std::string &text, size_t limit = 2000) {
    if (text.size() <= limit)
        return text;
    const size_t start = text.find('\n', text.size() - limit);
    return "…" + text.substr(start == std::string::npos ? text.size() - limit : start);
}

/// A fast, seeded stream of bytes (splitmix64), so that every file of a run has contents of its
/// own and a copy mixed up with another one shows.
class PatternStream {
public:
    explicit PatternStream(uint64_t seed) : _state(seed * 0x9E3779B97F4A7C15ull + 0x632BE59BD9B4E019ull) {}
    void fill(char *data, size_t size) {
        for (size_t i = 0; i < size; i += 8) {
            uint64_t z = (_state += 0x9E3779B97F4A7C15ull);
            z = (z ^ (z >> 30)) * 0xBF58476D1CE4E5B9ull;
            z = (z ^ (z >> 27)) * 0x94D049BB133111EBull;
            z ^= z >> 31;
            std::memcpy(data + i, &z, std::min<size_t>(8, size - i));
        }
    }

private:
    uint64_t _state;
};

/// The bytes of a pattern, for small files.
inline std::string patternBytes(uint64_t seed, size_t size) {
    std::string bytes(size, '\0');
    PatternStream(seed).fill(bytes.data(), size);
    return bytes;
}

/// Writes a file of content (truncating it); a failure names the file and the reason.
inline ::testing::AssertionResult writeBytes(const std::string &path, std::string_view content, mode_t mode = 0644) {
    int fd = ::open(path.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC | O_NOFOLLOW, mode);
    if (fd < 0)
        return ::testing::AssertionFailure() << "cannot create " << printable(path) << ": " << std::strerror(errno);
    size_t done = 0;
    while (done < content.size()) {
        ssize_t n = ::write(fd, content.data() + done, content.size() - done);
        if (n < 0 && errno == EINTR)
            continue;
        if (n <= 0) {
            int error = errno;
            ::close(fd);
            return ::testing::AssertionFailure() << "cannot write " << printable(path) << ": " << std::strerror(error);
        }
        done += static_cast<size_t>(n);
    }
    ::close(fd);
    return ::testing::AssertionSuccess();
}

/// Writes size bytes of the pattern seed into a new file, without holes; errno on failure
/// (ENOSPC when the volume fills), 0 on success. A failed file is removed.
inline int writePatternFile(const std::string &path, uint64_t seed, size_t size) {
    int fd = ::open(path.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC | O_NOFOLLOW, 0644);
    if (fd < 0)
        return errno;
    PatternStream stream(seed);
    std::vector<char> block(1 << 20);
    int error = 0;
    for (size_t left = size; left > 0 && error == 0;) {
        const size_t n = std::min(left, block.size());
        stream.fill(block.data(), n);
        size_t done = 0;
        while (done < n) {
            ssize_t written = ::write(fd, block.data() + done, n - done);
            if (written < 0 && errno == EINTR)
                continue;
            if (written <= 0) {
                error = written < 0 ? errno : EIO;
                break;
            }
            done += static_cast<size_t>(written);
        }
        left -= n;
    }
    if (::close(fd) != 0 && error == 0)
        error = errno;
    if (error != 0)
        ::unlink(path.c_str());
    return error;
}

/// "" when the two regular files hold the same bytes, else what differs.
inline std::string compareFileBytes(const std::string &original, const std::string &copy) {
    int a = ::open(original.c_str(), O_RDONLY | O_CLOEXEC | O_NOFOLLOW);
    int a_error = errno;
    int b = ::open(copy.c_str(), O_RDONLY | O_CLOEXEC | O_NOFOLLOW);
    int b_error = errno;
    if (a < 0 || b < 0) {
        if (a >= 0)
            ::close(a);
        if (b >= 0)
            ::close(b);
        return a < 0 ? "cannot open the original: " + std::string(std::strerror(a_error))
                     : "cannot open the copy: " + std::string(std::strerror(b_error));
    }
    // Kept for the whole run: a walk compares tens of thousands of files.
    static thread_local std::vector<char> left(1 << 20), right(1 << 20);
    std::string verdict;
    uint64_t offset = 0;
    for (;;) {
        ssize_t n = ::read(a, left.data(), left.size());
        ssize_t m = n > 0 ? ::read(b, right.data(), static_cast<size_t>(n)) : ::read(b, right.data(), 1);
        if (n < 0 || m < 0) {
            verdict = "read error at byte " + std::to_string(offset);
            break;
        }
        if (n == 0) {
            if (m != 0)
                verdict = "the copy is longer than the original (" + std::to_string(offset) + " bytes)";
            break;
        }
        if (m < n) {
            // A short read of a regular file means its end.
            verdict = "the copy ends at byte " + std::to_string(offset + static_cast<uint64_t>(m)) +
                      ", the original goes on";
            break;
        }
        if (std::memcmp(left.data(), right.data(), static_cast<size_t>(n)) != 0) {
            size_t at = 0;
            while (left[at] == right[at])
                ++at;
            verdict = "bytes differ from byte " + std::to_string(offset + at);
            break;
        }
        offset += static_cast<uint64_t>(n);
    }
    ::close(a);
    ::close(b);
    return verdict;
}

// ---------------------------------------------------------------------------------------------
// A scratch home: a freedesktop trash and a cache folder, and the daemons on them

struct ScratchHome {
    std::string home;        ///< without a trailing "/"
    std::string trash;       ///< Trash/files, without a trailing "/"
    std::string info;        ///< Trash/info
    std::string cacheFolder; ///< .TrashCacheFolder, without a trailing "/"
    std::string logs;        ///< where the daemons' stderr files go (beside the home)
    std::string noVolumes;   ///< an empty folder given as the only volume root

    /// Creates the folders of a home at path, and beside it, in aside (by default the home's
    /// parent), the folders for the logs and the empty volume root.
    static ScratchHome at(const std::string &path, const std::string &aside = {}) {
        ScratchHome h;
        h.home = path;
        h.trash = path + "/.local/share/Trash/files";
        h.info = path + "/.local/share/Trash/info";
        h.cacheFolder = path + "/.TrashCacheFolder";
        h.logs = (aside.empty() ? parentOf(path) : aside) + "/logs";
        h.noVolumes = (aside.empty() ? parentOf(path) : aside) + "/no-volumes";
        EXPECT_TRUE(makeFolder(path, 0755) && makeFolder(path + "/.local/share", 0755) &&
                    makeFolder(path + "/.local/share/Trash", 0700) && makeFolder(h.trash, 0700) &&
                    makeFolder(h.info, 0700) && makeFolder(h.cacheFolder, 0700) && makeFolder(h.logs, 0755) &&
                    makeFolder(h.noVolumes, 0755))
            << "cannot create the scratch home at " << path;
        return h;
    }

    /// The environment of every program a test runs on the home: only this home's cache counts
    /// (no volume root holds anything), local times are UTC.
    std::vector<std::string> environment() const {
        return {"HOME=" + home,
                "XDG_DATA_HOME=" + home + "/.local/share",
                "XDG_CONFIG_HOME=" + home + "/.config",
                "XDG_STATE_HOME=" + home + "/.local/state",
                "XDG_RUNTIME_DIR=" + home + "/.run",
                "QUILLET_VOLUME_ROOTS=" + noVolumes,
                "TZ=UTC",
                "LC_ALL=C",
                "PATH=/usr/local/bin:/usr/bin:/bin"};
    }

    /// quilletd's arguments for this home: period 1, no size limit.
    std::vector<std::string> quilletdArguments(int minFreePercent = 0, int mode = 0) const {
        return {"1", trash + "/", home + "/", "0", std::to_string(minFreePercent), std::to_string(mode)};
    }
};

/// A fresh ext4 file system in a sparse image file, loop-mounted for one test where root may
/// mount one, unmounted when the object goes. A fresh one keeps the figures apart from the
/// state of the machine's own volumes: where many files were just deleted, ext4 takes far
/// longer to find room for new ones.
class Ext4Volume {
public:
    /// Mounts an image of size ("3G") at where (created when missing); extra goes to mkfs.ext4.
    Ext4Volume(const std::string &image, const std::string &where, const std::string &size, const std::string &extra = {})
        : _where(where) {
        _mounted = makeFolder(where) &&
                   runShell("truncate -s " + size + " '" + image + "' && mkfs.ext4 -q -F " + extra + " '" + image +
                            "' >/dev/null 2>&1 && mount -o loop '" + image + "' '" + where + "' 2>/dev/null") == 0;
    }
    ~Ext4Volume() {
        if (_mounted && runShell("umount '" + _where + "' 2>/dev/null") != 0)
            (void)runShell("umount -l '" + _where + "'");
    }
    Ext4Volume(const Ext4Volume &) = delete;
    Ext4Volume &operator=(const Ext4Volume &) = delete;
    bool mounted() const { return _mounted; }
    /// How the figures' volume is named in a report.
    std::string described() const {
        return _mounted ? "a fresh ext4 volume" : "the test folder's own volume (no ext4 image could be mounted here)";
    }

private:
    std::string _where;
    bool _mounted = false;
};

/// Trashes the item at path under name as a freedesktop client does: it moves into files/ and
/// its info/<name>.trashinfo says where it came from. A name too long to leave room for
/// ".trashinfo" gets no information file (no client can write one).
inline ::testing::AssertionResult trashByRename(const ScratchHome &h, const std::string &path, const std::string &name) {
    if (name.size() + std::strlen(".trashinfo") <= kMaxNameBytes) {
        const std::string text = "[Trash Info]\nPath=" + percentEncode(path, "%") +
                                 "\nDeletionDate=2026-12-08T10:00:00\n";
        if (auto written = writeBytes(h.info + "/" + name + ".trashinfo", text); !written)
            return written;
    }
    if (::rename(path.c_str(), (h.trash + "/" + name).c_str()) != 0)
        return ::testing::AssertionFailure() << "cannot move " << printable(path) << " into the trash: "
                                             << std::strerror(errno);
    return ::testing::AssertionSuccess();
}

/// The path of a program of the build's bin folder ("quilletctl").
inline std::string binPath(const std::string &name) {
    return parentOf(parentOf(parentOf(libexecPath("quilletd")))) + "/bin/" + name;
}

/// Starts a daemon of the build (its stderr in logs/<label>.stderr) in the home's environment,
/// or in env when one is given.
inline ::testing::AssertionResult startDaemon(ChildProcess &child, const ScratchHome &h, const std::string &program,
                                              const std::vector<std::string> &args, const std::string &label,
                                              const std::vector<std::string> &env = {}) {
    if (!isExecutable(libexecPath(program)))
        return ::testing::AssertionFailure() << program << " is not built at " << libexecPath(program);
    if (!child.start(libexecPath(program), args, env.empty() ? h.environment() : env, h.logs + "/" + label + ".stderr"))
        return ::testing::AssertionFailure() << "cannot start " << program;
    return ::testing::AssertionSuccess();
}

/// Stops quilletd as its launchers do (SIGINT, once its handler is in place) and expects exit
/// status 0: the index is then saved.
inline ::testing::AssertionResult interruptDaemon(ChildProcess &child, const std::string &name) {
    if (!waitFor([&] { return catchesSigint(child.pid()) || !child.running(); }))
        return ::testing::AssertionFailure() << name << " never installed its SIGINT handler";
    if (!child.running())
        return ::testing::AssertionFailure() << name << " had ended before it was interrupted";
    child.signal(SIGINT);
    std::optional<int> status = child.waitForExit(60s);
    if (!status)
        return ::testing::AssertionFailure() << name << " did not stop within 60 s of SIGINT";
    if (!WIFEXITED(*status) || WEXITSTATUS(*status) != 0)
        return ::testing::AssertionFailure() << name << " " << describeStatus(*status) << " on SIGINT";
    return ::testing::AssertionSuccess();
}

/// What a program printed and how it ended.
struct ProgramRun {
    int status = -1; ///< the wait status; -1 when it could not be run or did not end in time
    std::string out;
    std::string err;
    bool succeeded() const { return status != -1 && WIFEXITED(status) && WEXITSTATUS(status) == 0; }
};

/// Runs program with args and exactly env, its output kept in files of folder; it is killed
/// when it runs longer than timeout.
inline ProgramRun runProgram(const std::string &program, const std::vector<std::string> &args,
                             const std::vector<std::string> &env, const std::string &folder,
                             std::chrono::seconds timeout = 120s) {
    static int runs = 0;
    const std::string base = folder + "/run-" + std::to_string(::getpid()) + "-" + std::to_string(++runs);
    std::vector<std::string> argvStrings = {program};
    argvStrings.insert(argvStrings.end(), args.begin(), args.end());
    std::vector<char *> argv;
    for (std::string &arg : argvStrings)
        argv.push_back(arg.data());
    argv.push_back(nullptr);
    std::vector<std::string> envStrings = env;
    std::vector<char *> envp;
    for (std::string &variable : envStrings)
        envp.push_back(variable.data());
    envp.push_back(nullptr);
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_addopen(&actions, 0, "/dev/null", O_RDONLY, 0);
    posix_spawn_file_actions_addopen(&actions, 1, (base + ".out").c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
    posix_spawn_file_actions_addopen(&actions, 2, (base + ".err").c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
    ProgramRun run;
    pid_t pid = -1;
    const int error = ::posix_spawn(&pid, program.c_str(), &actions, nullptr, argv.data(), envp.data());
    posix_spawn_file_actions_destroy(&actions);
    if (error != 0) {
        run.err = "cannot run " + program + ": " + std::strerror(error);
        return run;
    }
    const auto deadline = std::chrono::steady_clock::now() + timeout;
    int status = 0;
    for (;;) {
        pid_t done = ::waitpid(pid, &status, WNOHANG);
        if (done == pid) {
            run.status = status;
            break;
        }
        if (done < 0 && errno != EINTR)
            break;
        if (std::chrono::steady_clock::now() > deadline) {
            ::kill(pid, SIGKILL);
            ::waitpid(pid, &status, 0);
            run.err = program + " did not end within " + std::to_string(timeout.count()) + " s\n";
            break;
        }
        std::this_thread::sleep_for(5ms);
    }
    run.out = readFileText(base + ".out");
    run.err += readFileText(base + ".err");
    ::unlink((base + ".out").c_str());
    ::unlink((base + ".err").c_str());
    return run;
}

// ---------------------------------------------------------------------------------------------
// What the cache holds

/// True for a name of the form "2026-12-08 10_15 +0000".
inline bool looksLikeDateFolderName(std::string_view name) {
    static constexpr std::string_view shape = "dddd-dd-dd dd_dd sdddd";
    if (name.size() != shape.size())
        return false;
    for (size_t i = 0; i < shape.size(); ++i) {
        const char c = name[i];
        const bool fits = shape[i] == 'd'   ? (c >= '0' && c <= '9')
                          : shape[i] == 's' ? (c == '+' || c == '-')
                                            : c == shape[i];
        if (!fits)
            return false;
    }
    return true;
}

/// The date folders of a cache folder, sorted.
inline std::vector<std::string> dateFoldersOf(const std::string &cacheFolder) {
    std::vector<std::string> folders;
    for (const std::string &name : listNames(cacheFolder))
        if (looksLikeDateFolderName(name) && isFolder(cacheFolder + "/" + name))
            folders.push_back(name);
    return folders;
}

/// One entry of a date folder.
struct ArchivedEntry {
    std::string dateFolder;
    std::string storedName;
    std::string path;
};

/// Every archived item of the cache (entries of date folders whose names are not the system's
/// own ".quillet-" work).
inline std::vector<ArchivedEntry> archivedEntriesOf(const std::string &cacheFolder) {
    std::vector<ArchivedEntry> entries;
    for (const std::string &folder : dateFoldersOf(cacheFolder))
        for (const std::string &name : listNames(cacheFolder + "/" + folder))
            if (name.rfind(".quillet-", 0) != 0)
                entries.push_back({folder, name, cacheFolder + "/" + folder + "/" + name});
    return entries;
}

/// Folders being assembled (".quillet-partial-…") in the date folders, as paths.
inline std::vector<std::string> partialWorkOf(const std::string &cacheFolder) {
    std::vector<std::string> partial;
    for (const std::string &folder : dateFoldersOf(cacheFolder))
        for (const std::string &name : listNames(cacheFolder + "/" + folder))
            if (name.rfind(".quillet-partial-", 0) == 0)
                partial.push_back(cacheFolder + "/" + folder + "/" + name);
    return partial;
}

/// Date folders that hold nothing at all.
inline std::vector<std::string> emptyDateFoldersOf(const std::string &cacheFolder) {
    std::vector<std::string> empty;
    for (const std::string &folder : dateFoldersOf(cacheFolder))
        if (listNames(cacheFolder + "/" + folder).empty())
            empty.push_back(folder);
    return empty;
}

/// Entries of the cache folder left by an index write that did not finish.
inline std::vector<std::string> indexTemporariesOf(const std::string &cacheFolder) {
    const std::string prefix = sys::temporaryNameOf(std::string(kIndexFileName));
    std::vector<std::string> names;
    for (const std::string &name : listNames(cacheFolder))
        if (name.rfind(prefix, 0) == 0 && name != kIndexFileName)
            names.push_back(name);
    return names;
}

/// The index file decoded; nothing when it is missing or not a well-formed index.
inline std::optional<ArchiveStruct> readIndexOf(const std::string &cacheFolder) {
    const std::string path = cacheFolder + "/" + std::string(kIndexFileName);
    if (!exists(path))
        return std::nullopt;
    return decodeArchive(readFileText(path));
}

/// The trashed name an archived entry stands for, and the number its name took when the name
/// was taken already in its date folder ("Report-1.pdf": 1; the first copy: 0).
struct Origin {
    std::string name;
    unsigned number = 0;
};

/// The origin of a stored name among the trashed names: its visible form (without ".x_"), or
/// that form without a "-N" before its extension or at its end.
inline std::optional<Origin> originOf(const std::string &storedName, const std::set<std::string> &trashedNames) {
    const std::string visible = storedName.rfind(".x_", 0) == 0 ? storedName.substr(3) : storedName;
    if (trashedNames.contains(visible))
        return Origin{visible, 0};
    for (size_t dash = visible.find('-'); dash != std::string::npos; dash = visible.find('-', dash + 1)) {
        size_t end = dash + 1;
        while (end < visible.size() && visible[end] >= '0' && visible[end] <= '9')
            ++end;
        if (end == dash + 1 || (end < visible.size() && visible[end] != '.'))
            continue;
        std::string unnumbered = visible.substr(0, dash) + visible.substr(end);
        if (trashedNames.contains(unnumbered))
            return Origin{unnumbered, static_cast<unsigned>(std::strtoul(visible.c_str() + dash + 1, nullptr, 10))};
    }
    return std::nullopt;
}

// ---------------------------------------------------------------------------------------------
// Comparing a copy with its original

enum class Aspect {
    Presence,           ///< an entry missing from the copy, or one the original does not have
    Type,               ///< file, folder, link: not the same kind
    Content,            ///< a file's bytes
    Mode,               ///< permission bits
    FileTime,           ///< a file's modification time
    FolderTime,         ///< a folder's modification time
    ExtendedAttributes, ///< names and values
    LinkTarget,         ///< what a symbolic link says
    HardLinks,          ///< which files of the item share one inode
    Sparseness,         ///< a sparse file takes much more room as a copy
};

inline const char *aspectName(Aspect aspect) {
    switch (aspect) {
    case Aspect::Presence: return "presence";
    case Aspect::Type: return "type";
    case Aspect::Content: return "content";
    case Aspect::Mode: return "mode";
    case Aspect::FileTime: return "file time";
    case Aspect::FolderTime: return "folder time";
    case Aspect::ExtendedAttributes: return "extended attributes";
    case Aspect::LinkTarget: return "link target";
    case Aspect::HardLinks: return "hard links";
    case Aspect::Sparseness: return "sparseness";
    }
    return "?";
}

struct Difference {
    Aspect aspect;
    std::string path; ///< of the original
    std::string detail;
};

/// How the names of the copy relate to the original's: the cache gives every name below an
/// archived folder its hidden form; recovery gives the names back.
enum class CopyNames { Hidden, Same };

struct TreeComparison {
    std::vector<Difference> differences;
    uint64_t entries = 0; ///< of the original, compared
    uint64_t files = 0;
    uint64_t bytes = 0;

    size_t count(Aspect aspect) const {
        return static_cast<size_t>(std::count_if(differences.begin(), differences.end(),
                                                 [aspect](const Difference &d) { return d.aspect == aspect; }));
    }
    /// The differences of the aspects, one a line ("" when none).
    std::string describe(std::initializer_list<Aspect> aspects, size_t limit = 40) const {
        std::string text;
        size_t shown = 0, total = 0;
        for (const Difference &d : differences) {
            if (std::find(aspects.begin(), aspects.end(), d.aspect) == aspects.end())
                continue;
            if (++total <= limit) {
                text += std::string("  ") + aspectName(d.aspect) + ": " + printable(d.path) + ": " + d.detail + "\n";
                ++shown;
            }
        }
        if (total > shown)
            text += "  … and " + std::to_string(total - shown) + " more\n";
        return text;
    }
};

namespace detail {

inline std::map<std::string, std::string> extendedAttributesOf(const std::string &path) {
    std::map<std::string, std::string> attributes;
    ssize_t size = ::llistxattr(path.c_str(), nullptr, 0);
    if (size <= 0)
        return attributes;
    std::string names(static_cast<size_t>(size), '\0');
    size = ::llistxattr(path.c_str(), names.data(), names.size());
    if (size <= 0)
        return attributes;
    names.resize(static_cast<size_t>(size));
    for (size_t start = 0; start < names.size();) {
        const std::string name = names.c_str() + start;
        start += name.size() + 1;
        ssize_t length = ::lgetxattr(path.c_str(), name.c_str(), nullptr, 0);
        std::string value(length > 0 ? static_cast<size_t>(length) : 0, '\0');
        if (length > 0)
            length = ::lgetxattr(path.c_str(), name.c_str(), value.data(), value.size());
        value.resize(length > 0 ? static_cast<size_t>(length) : 0);
        attributes[name] = value;
    }
    return attributes;
}

inline std::string linkTargetOf(const std::string &path) {
    std::string target(4096, '\0');
    ssize_t length = ::readlink(path.c_str(), target.data(), target.size());
    target.resize(length > 0 ? static_cast<size_t>(length) : 0);
    return target;
}

inline std::string octal(mode_t mode) {
    char text[16];
    std::snprintf(text, sizeof text, "%04o", static_cast<unsigned>(mode & 07777));
    return text;
}

inline std::string timeText(const struct timespec &t) {
    return std::to_string(t.tv_sec) + "." + std::to_string(t.tv_nsec);
}

inline const char *kindOf(mode_t mode) {
    return S_ISREG(mode) ? "a file" : S_ISDIR(mode) ? "a folder" : S_ISLNK(mode) ? "a link" : "a special file";
}

struct Walk {
    CopyNames names;
    TreeComparison &out;
    /// The copy inode of each original inode with more than one name, and the other way round.
    std::map<ino_t, std::set<ino_t>> copiesOfOriginal;
    std::map<ino_t, std::set<ino_t>> originalsOfCopy;
    std::map<ino_t, std::string> pathOfOriginal;

    std::string copyName(const std::string &name) const { return names == CopyNames::Hidden ? ".x_" + name : name; }
    void add(Aspect aspect, const std::string &path, std::string detail) {
        out.differences.push_back({aspect, path, std::move(detail)});
    }

    void compare(const std::string &original, const std::string &copy) {
        auto a = lstatOf(original);
        auto b = lstatOf(copy);
        ++out.entries;
        if (!a) {
            add(Aspect::Presence, original, "the original cannot be read");
            return;
        }
        if (!b) {
            add(Aspect::Presence, original, "missing from the copy");
            return;
        }
        if ((a->st_mode & S_IFMT) != (b->st_mode & S_IFMT)) {
            add(Aspect::Type, original, std::string("the copy is ") + kindOf(b->st_mode) + ", the original " + kindOf(a->st_mode));
            return;
        }
        if (!S_ISLNK(a->st_mode) && (a->st_mode & 07777) != (b->st_mode & 07777))
            add(Aspect::Mode, original, "mode " + octal(b->st_mode) + ", the original " + octal(a->st_mode));
        if (!S_ISLNK(a->st_mode) && extendedAttributesOf(original) != extendedAttributesOf(copy))
            add(Aspect::ExtendedAttributes, original,
                std::to_string(extendedAttributesOf(copy).size()) + " attributes or values differ from the original's " +
                    std::to_string(extendedAttributesOf(original).size()));
        if (S_ISREG(a->st_mode)) {
            ++out.files;
            out.bytes += static_cast<uint64_t>(a->st_size);
            if (std::string verdict = compareFileBytes(original, copy); !verdict.empty())
                add(Aspect::Content, original, verdict);
            if (a->st_mtim.tv_sec != b->st_mtim.tv_sec || a->st_mtim.tv_nsec != b->st_mtim.tv_nsec)
                add(Aspect::FileTime, original, "modified " + timeText(b->st_mtim) + ", the original " + timeText(a->st_mtim));
            const uint64_t allocatedA = static_cast<uint64_t>(a->st_blocks) * 512;
            const uint64_t allocatedB = static_cast<uint64_t>(b->st_blocks) * 512;
            if (allocatedA * 2 < static_cast<uint64_t>(a->st_size) && allocatedB > allocatedA + (1u << 20))
                add(Aspect::Sparseness, original,
                    "the copy takes " + std::to_string(allocatedB) + " bytes, the original " + std::to_string(allocatedA));
            if (a->st_nlink > 1) {
                copiesOfOriginal[a->st_ino].insert(b->st_ino);
                originalsOfCopy[b->st_ino].insert(a->st_ino);
                pathOfOriginal.emplace(a->st_ino, original);
            }
        } else if (S_ISLNK(a->st_mode)) {
            if (linkTargetOf(original) != linkTargetOf(copy))
                add(Aspect::LinkTarget, original,
                    "the copy points to \"" + printable(linkTargetOf(copy)) + "\", the original to \"" +
                        printable(linkTargetOf(original)) + "\"");
        } else if (S_ISDIR(a->st_mode)) {
            const std::vector<std::string> inOriginal = listNames(original);
            std::set<std::string> expected;
            for (const std::string &name : inOriginal) {
                expected.insert(copyName(name));
                compare(original + "/" + name, copy + "/" + copyName(name));
            }
            for (const std::string &name : listNames(copy))
                if (!expected.contains(name))
                    add(Aspect::Presence, original, "the copy holds \"" + printable(name) + "\", which the original does not");
            if (a->st_mtim.tv_sec != b->st_mtim.tv_sec || a->st_mtim.tv_nsec != b->st_mtim.tv_nsec)
                add(Aspect::FolderTime, original, "modified " + timeText(b->st_mtim) + ", the original " + timeText(a->st_mtim));
        }
    }

    void finish() {
        for (const auto &[ino, copies] : copiesOfOriginal)
            if (copies.size() > 1)
                add(Aspect::HardLinks, pathOfOriginal[ino],
                    "its names in the original share one file; in the copy they are " + std::to_string(copies.size()) +
                        " files");
        for (const auto &[ino, originals] : originalsOfCopy)
            if (originals.size() > 1)
                add(Aspect::HardLinks, pathOfOriginal[*originals.begin()],
                    "one file of the copy stands for " + std::to_string(originals.size()) + " different files");
    }
};

} // namespace detail

/// Compares the item copy with original, every entry at every depth, links never followed;
/// differences are added to out.
inline void compareTrees(const std::string &original, const std::string &copy, CopyNames names, TreeComparison &out) {
    detail::Walk walk{names, out, {}, {}, {}};
    walk.compare(original, copy);
    walk.finish();
}

} // namespace quillet::test::reliability
