#pragma once
// A temporary folder tree for one test, removed with everything in it when the test ends.

#include <sys/types.h>

#include <string>
#include <string_view>

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

/// Removes a tree without following links; clears immutable flags and adds owner write
/// bits where needed.
void removeTree(const std::string &path);
/// Contents of a file, or "" when it cannot be read.
std::string readFileText(const std::string &path);
/// Runs a shell command and returns its exit status.
int runShell(const std::string &command);

} // namespace quillet::test
