#pragma once
// An advisory whole-file lock (flock) held for the lifetime of the object.
//
// The lock is taken on a file that is never replaced: a lock on a file that writers swap by
// rename would sit on an inode that the next writer no longer opens. Callers that replace a file
// atomically therefore lock a companion file beside it (see PreferencesDomain).

#include "platform/System.h"

#include <string>

namespace quillet::sys {

class FileLock {
public:
    enum class Mode { Shared, Exclusive };

    FileLock() = default;
    FileLock(FileLock &&) noexcept = default;
    FileLock &operator=(FileLock &&) noexcept = default;
    FileLock(const FileLock &) = delete;
    FileLock &operator=(const FileLock &) = delete;
    /// Closing the descriptor releases the lock.
    ~FileLock() = default;

    /// Opens (creating with mode when missing, never truncating) the file at path and waits
    /// until the lock is granted. Waiting is retried when a signal handler interrupts it.
    static Result<FileLock> acquire(const std::string &path, Mode mode, mode_t createMode = 0600);

    bool held() const { return _fd.valid(); }
    /// Releases the lock now instead of at destruction.
    void release() { _fd.reset(); }

private:
    explicit FileLock(Fd fd) : _fd(std::move(fd)) {}
    Fd _fd;
};

} // namespace quillet::sys
