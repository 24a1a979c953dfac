#include "platform/FileLock.h"

#include <sys/file.h>

#include <cerrno>
#include <fcntl.h>

namespace quillet::sys {

Result<FileLock> FileLock::acquire(const std::string &path, Mode mode, mode_t createMode) {
    auto fd = open(path, O_RDWR | O_CREAT | O_CLOEXEC, createMode);
    if (!fd)
        return fd.status();
    const int operation = mode == Mode::Exclusive ? LOCK_EX : LOCK_SH;
    while (::flock(fd->get(), operation) != 0) {
        if (errno != EINTR)
            return Status::fromErrno("flock", path);
    }
    return FileLock(std::move(*fd));
}

} // namespace quillet::sys
