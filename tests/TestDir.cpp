#include "TestDir.h"

#include <fcntl.h>
#include <linux/fs.h>
#include <sys/ioctl.h>
#include <sys/mount.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdlib>
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

static void clearFlags(const std::string &path) {
    int fd = ::open(path.c_str(), O_RDONLY | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC);
    if (fd < 0)
        return;
    int flags = 0;
    if (::ioctl(fd, FS_IOC_GETFLAGS, &flags) == 0 && (flags & (FS_IMMUTABLE_FL | FS_APPEND_FL))) {
        flags &= ~(FS_IMMUTABLE_FL | FS_APPEND_FL);
        ::ioctl(fd, FS_IOC_SETFLAGS, &flags);
    }
    ::close(fd);
}

void removeTree(const std::string &path) {
    std::error_code ec;
    if (!fs::exists(fs::symlink_status(path, ec)))
        return;
    if (fs::is_directory(fs::symlink_status(path, ec))) {
        clearFlags(path);
        ::chmod(path.c_str(), 0700);
        for (auto it = fs::directory_iterator(path, ec); !ec && it != fs::directory_iterator(); it.increment(ec))
            removeTree(it->path().string());
    } else if (!fs::is_symlink(fs::symlink_status(path, ec))) {
        clearFlags(path);
    }
    fs::remove(path, ec);
}

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

} // namespace quillet::test
