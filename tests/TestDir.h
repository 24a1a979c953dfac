#pragma once
// A temporary folder tree for one test, removed with everything in it when the test ends.

#include <gtest/gtest.h>

#include <sys/stat.h>
#include <sys/types.h>

#include <cstddef>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

namespace quillet::test {

class TestDir {
public:
    TestDir();
    ~TestDir();
    TestDir(const TestDir &) = delete;
    TestDir &operator=(const TestDir &) = delete;

    /// The folder, without a trailing "/".
    const std::string &path() const { return _path; }
    /// path() + "/" + relative.
    std::string operator/(std::string_view relative) const;
    /// Creates a file (and its parent folders) holding content; returns its path.
    std::string writeFile(std::string_view relative, std::string_view content = {});
    /// Creates a file of size bytes (sparse); returns its path.
    std::string writeSizedFile(std::string_view relative, off_t size);
    /// Creates a folder and its parents; returns its path.
    std::string makeDir(std::string_view relative, mode_t mode = 0755);

private:
    std::string _path;
};

/// A tmpfs mounted for one test and unmounted after it. Tests skip when mounted() is false:
/// mounting needs root, which not every machine gives.
class TmpfsMount {
public:
    /// Creates the folder where when missing and mounts a tmpfs of the given size ("4m").
    TmpfsMount(const std::string &where, const std::string &size);
    ~TmpfsMount();
    TmpfsMount(const TmpfsMount &) = delete;
    TmpfsMount &operator=(const TmpfsMount &) = delete;
    bool mounted() const { return _mounted; }
    const std::string &path() const { return _path; }

private:
    std::string _path;
    bool _mounted = false;
};

/// The tmpfs volumes a test mounts, each unmounted by clear() or at the latest when the object
/// goes.
class TmpfsMounts {
public:
    /// Mounts a tmpfs of the given size ("4m") at where, creating the folder when missing;
    /// answers its path, or nothing when this machine does not let the test mount.
    std::optional<std::string> mount(const std::string &where, const std::string &size);
    /// Unmounts every volume mounted so far.
    void clear() { _mounts.clear(); }

private:
    std::vector<std::unique_ptr<TmpfsMount>> _mounts;
};

/// Sets an environment variable for the lifetime of the object, then puts back the value it had
/// before, or unsets it when it had none.
class ScopedEnv {
public:
    ScopedEnv(const char *name, const std::string &value);
    ~ScopedEnv();
    ScopedEnv(const ScopedEnv &) = delete;
    ScopedEnv &operator=(const ScopedEnv &) = delete;

private:
    const char *_name;
    std::optional<std::string> _old;
};

/// The lstat of path (links not followed), or nothing when there is no such entry.
std::optional<struct stat> lstatOf(const std::string &path);
/// True when there is an entry at path, a dangling link included.
bool exists(const std::string &path);
/// True when path is a folder itself, not a link to one.
bool isFolder(const std::string &path);
/// True when this process may run the file at path.
bool isExecutable(const std::string &path);
/// The folder part of path: "." when it has no "/", "/" for an entry of the root.
std::string parentOf(const std::string &path);
/// Names in a folder, raw bytes, without "." and "..", sorted; empty when it cannot be read.
std::vector<std::string> listNames(const std::string &folder);
/// Creates a folder and its missing parents, then sets the folder's mode (the umask does not
/// apply). False when either fails.
[[nodiscard]] bool makeFolder(const std::string &path, mode_t mode = 0755);
/// Writes a file of size bytes of real data (a sparse file would take no room on a tmpfs),
/// creating its parent folders; a failed write fails the test.
void writeData(const std::string &path, size_t size);
/// An empty file, as writeData(path, 0).
void touch(const std::string &path);
/// The name quilletd gives the date folder of a minute when its TZ is UTC
/// ("2009-03-14 12_00 +0000").
std::string dateName(int year, int month, int day, int hour = 12, int minute = 0);

/// Sets (add) and clears (remove) inode attributes such as FS_IMMUTABLE_FL, never following a
/// link; false where the file system or the process's privileges do not allow it.
bool setInodeAttributes(const std::string &path, int add, int remove = 0);

/// Removes a tree without following links; clears immutable flags and adds owner write
/// bits where needed.
void removeTree(const std::string &path);
/// Contents of a file, or "" when it cannot be read.
std::string readFileText(const std::string &path);
/// Runs a shell command and returns its exit status.
int runShell(const std::string &command);

/// A folder nested deeper than any path may name: kDeepLevels folders named kDeepLevelName
/// inside each other (6 KB of path).
constexpr int kDeepLevels = 200;
inline const std::string kDeepLevelName = "level-of-a-folder-nested-deep";
/// Makes parent/name holding kDeepLevels folders named levelName inside each other, with the
/// file fileName holding bottom in the deepest; a failure fails the test.
void makeDeepFolder(const std::string &parent, const std::string &name, std::string_view bottom = "deep",
                    const std::string &levelName = kDeepLevelName, const std::string &fileName = "bottom.txt");
/// How many levels named levelName lie inside each other below folder, and the text of the
/// file fileName in the deepest.
std::pair<int, std::string> deepFolderContent(const std::string &folder, const std::string &levelName,
                                              const std::string &fileName);
/// Whether folder holds what makeDeepFolder made (levels named levelName, bottom in the file
/// fileName), byte for byte; says what it found otherwise.
::testing::AssertionResult holdsDeepFolder(const std::string &folder, const std::string &levelName,
                                           const std::string &fileName, const std::string &bottom);

} // namespace quillet::test
