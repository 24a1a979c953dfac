#include "TestDir.h"

#include <gtest/gtest.h>

#include <dirent.h>
#include <fcntl.h>
#include <linux/fs.h>
#include <sys/ioctl.h>
#include <sys/mount.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <stdexcept>

namespace fs = std::filesystem;

namespace quillet::test {

TestDir::TestDir() {
    std::string pattern = (fs::temp_directory_path() / "quillet-test-XXXXXX").string();
    if (!::mkdtemp(pattern.data()))
        throw std::runtime_error("mkdtemp failed");
    _path = pattern;
}

TestDir::~TestDir() { removeTree(_path); }

std::string TestDir::operator/(std::string_view relative) const {
    return _path + "/" + std::string(relative);
}

std::string TestDir::writeFile(std::string_view relative, std::string_view content) {
    std::string path = *this / relative;
    fs::create_directories(fs::path(path).parent_path());
    std::ofstream out(path, std::ios::binary | std::ios::trunc);
    out.write(content.data(), static_cast<std::streamsize>(content.size()));
    return path;
}

std::string TestDir::writeSizedFile(std::string_view relative, off_t size) {
    std::string path = writeFile(relative);
    if (::truncate(path.c_str(), size) != 0)
        throw std::runtime_error("truncate failed: " + path);
    return path;
}

std::string TestDir::makeDir(std::string_view relative, mode_t mode) {
    std::string path = *this / relative;
    fs::create_directories(path);
    ::chmod(path.c_str(), mode);
    return path;
}

TmpfsMount::TmpfsMount(const std::string &where, const std::string &size) : _path(where) {
    std::error_code ec;
    fs::create_directories(_path, ec);
    std::string options = "size=" + size;
    _mounted = ::mount("tmpfs", _path.c_str(), "tmpfs", 0, options.c_str()) == 0;
}

TmpfsMount::~TmpfsMount() {
    if (_mounted)
        ::umount2(_path.c_str(), MNT_DETACH);
}

std::optional<std::string> TmpfsMounts::mount(const std::string &where, const std::string &size) {
    auto mount = std::make_unique<TmpfsMount>(where, size);
    if (!mount->mounted())
        return std::nullopt;
    std::string path = mount->path();
    _mounts.push_back(std::move(mount));
    return path;
}

ScopedEnv::ScopedEnv(const char *name, const std::string &value) : _name(name) {
    if (const char *old = std::getenv(name))
        _old = old;
    ::setenv(name, value.c_str(), 1);
}

ScopedEnv::~ScopedEnv() {
    if (_old)
        ::setenv(_name, _old->c_str(), 1);
    else
        ::unsetenv(_name);
}

std::optional<struct stat> lstatOf(const std::string &path) {
    struct stat st {};
    if (::lstat(path.c_str(), &st) != 0)
        return std::nullopt;
    return st;
}

bool exists(const std::string &path) { return lstatOf(path).has_value(); }

bool isFolder(const std::string &path) {
    auto st = lstatOf(path);
    return st && S_ISDIR(st->st_mode);
}

bool isExecutable(const std::string &path) { return ::access(path.c_str(), X_OK) == 0; }

std::string parentOf(const std::string &path) {
    size_t slash = path.find_last_of('/');
    if (slash == std::string::npos)
        return ".";
    return slash == 0 ? "/" : path.substr(0, slash);
}

std::vector<std::string> listNames(const std::string &folder) {
    std::vector<std::string> names;
    DIR *dir = ::opendir(folder.c_str());
    if (!dir)
        return names;
    while (dirent *entry = ::readdir(dir)) {
        std::string name = entry->d_name;
        if (name != "." && name != "..")
            names.push_back(std::move(name));
    }
    ::closedir(dir);
    std::sort(names.begin(), names.end());
    return names;
}

bool makeFolder(const std::string &path, mode_t mode) {
    std::error_code ec;
    fs::create_directories(path, ec);
    return !ec && ::chmod(path.c_str(), mode) == 0;
}

void writeData(const std::string &path, size_t size) {
    fs::create_directories(fs::path(path).parent_path());
    std::ofstream out(path, std::ios::binary | std::ios::trunc);
    std::string block(64 * 1024, 'q');
    for (size_t left = size; left > 0;) {
        size_t n = std::min(left, block.size());
        out.write(block.data(), static_cast<std::streamsize>(n));
        left -= n;
    }
    ASSERT_TRUE(out.good()) << "cannot write " << path;
}

void touch(const std::string &path) { writeData(path, 0); }

std::string dateName(int year, int month, int day, int hour, int minute) {
    char buffer[32];
    std::snprintf(buffer, sizeof buffer, "%04d-%02d-%02d %02d_%02d +0000", year, month, day, hour, minute);
    return buffer;
}

bool setInodeAttributes(const std::string &path, int add, int remove) {
    int fd = ::open(path.c_str(), O_RDONLY | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC);
    if (fd < 0)
        return false;
    int flags = 0;
    bool ok = ::ioctl(fd, FS_IOC_GETFLAGS, &flags) == 0;
    if (ok && ((flags | add) & ~remove) != flags) {
        flags = (flags | add) & ~remove;
        ok = ::ioctl(fd, FS_IOC_SETFLAGS, &flags) == 0;
    }
    ::close(fd);
    return ok;
}

namespace {

/// Clears the immutable and append-only flags of name in the open folder dirFd.
void clearFlagsAt(int dirFd, const std::string &name) {
    const int fd = ::openat(dirFd, name.c_str(), O_RDONLY | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC);
    if (fd < 0)
        return;
    int flags = 0;
    if (::ioctl(fd, FS_IOC_GETFLAGS, &flags) == 0 && (flags & (FS_IMMUTABLE_FL | FS_APPEND_FL)) != 0) {
        flags &= ~(FS_IMMUTABLE_FL | FS_APPEND_FL);
        (void)::ioctl(fd, FS_IOC_SETFLAGS, &flags);
    }
    ::close(fd);
}

/// Removes name in the open folder dirFd with everything in it, relative to each folder in turn,
/// so that a tree deeper than a path can name goes too.
void removeTreeAt(int dirFd, const std::string &name) {
    struct stat st {};
    if (::fstatat(dirFd, name.c_str(), &st, AT_SYMLINK_NOFOLLOW) != 0)
        return;
    if (!S_ISLNK(st.st_mode))
        clearFlagsAt(dirFd, name);
    if (S_ISDIR(st.st_mode)) {
        ::fchmodat(dirFd, name.c_str(), 0700, 0);
        const int fd = ::openat(dirFd, name.c_str(), O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC);
        if (fd >= 0) {
            std::vector<std::string> names;
            if (DIR *dir = ::fdopendir(::dup(fd))) {
                while (const struct dirent *entry = ::readdir(dir))
                    if (std::strcmp(entry->d_name, ".") != 0 && std::strcmp(entry->d_name, "..") != 0)
                        names.emplace_back(entry->d_name);
                ::closedir(dir);
            }
            for (const std::string &child : names)
                removeTreeAt(fd, child);
            ::close(fd);
        }
    }
    ::unlinkat(dirFd, name.c_str(), S_ISDIR(st.st_mode) ? AT_REMOVEDIR : 0);
}

} // namespace

void removeTree(const std::string &path) { removeTreeAt(AT_FDCWD, path); }

std::string readFileText(const std::string &path) {
    std::ifstream in(path, std::ios::binary);
    std::ostringstream out;
    out << in.rdbuf();
    return out.str();
}

int runShell(const std::string &command) {
    int status = std::system(command.c_str());
    return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
}

// Deeper than any path may name: built relative to each folder in turn.
void makeDeepFolder(const std::string &parent, const std::string &name, std::string_view bottom,
                    const std::string &levelName, const std::string &fileName) {
    ASSERT_EQ(::mkdir((parent + "/" + name).c_str(), 0755), 0);
    int fd = ::open((parent + "/" + name).c_str(), O_RDONLY | O_DIRECTORY);
    ASSERT_GE(fd, 0);
    for (int level = 0; level < kDeepLevels; ++level) {
        ASSERT_EQ(::mkdirat(fd, levelName.c_str(), 0755), 0);
        int next = ::openat(fd, levelName.c_str(), O_RDONLY | O_DIRECTORY);
        ::close(fd);
        ASSERT_GE(next, 0);
        fd = next;
    }
    int file = ::openat(fd, fileName.c_str(), O_WRONLY | O_CREAT | O_EXCL, 0644);
    ASSERT_GE(file, 0);
    ASSERT_EQ(::write(file, bottom.data(), bottom.size()), static_cast<ssize_t>(bottom.size()));
    ::close(file);
    ::close(fd);
}

std::pair<int, std::string> deepFolderContent(const std::string &folder, const std::string &levelName,
                                              const std::string &fileName) {
    int fd = ::open(folder.c_str(), O_RDONLY | O_DIRECTORY);
    int levels = 0;
    while (fd >= 0) {
        int next = ::openat(fd, levelName.c_str(), O_RDONLY | O_DIRECTORY | O_NOFOLLOW);
        if (next < 0)
            break;
        ::close(fd);
        fd = next;
        ++levels;
    }
    std::string text;
    int file = fd >= 0 ? ::openat(fd, fileName.c_str(), O_RDONLY) : -1;
    if (file >= 0) {
        char buffer[65536];
        ssize_t got;
        while ((got = ::read(file, buffer, sizeof buffer)) > 0)
            text.append(buffer, static_cast<size_t>(got));
        ::close(file);
    }
    if (fd >= 0)
        ::close(fd);
    return {levels, text};
}

::testing::AssertionResult holdsDeepFolder(const std::string &folder, const std::string &levelName,
                                           const std::string &fileName, const std::string &bottom) {
    const auto [levels, text] = deepFolderContent(folder, levelName, fileName);
    if (levels == kDeepLevels && text == bottom)
        return ::testing::AssertionSuccess();
    return ::testing::AssertionFailure() << folder << " holds " << levels << " levels and a bottom file of "
                                         << text.size() << " bytes" << (text.size() == bottom.size() ? " that differ" : "")
                                         << " (expected " << kDeepLevels << " levels, " << bottom.size() << " bytes)";
}

} // namespace quillet::test
