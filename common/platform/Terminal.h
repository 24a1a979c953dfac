#pragma once
// Asking for a password on a terminal, or reading it from a script: a line read without taking
// anything after it, and the terminal's echo switched off meanwhile.

#include "platform/SecretText.h"
#include "platform/System.h"

#include <cstddef>

namespace quillet::sys {

/// The next line of fd: its bytes up to the first "\n" (left out) or the end of input. Read a
/// byte at a time, so that whatever follows the line stays for the next reader. A line longer
/// than maxBytes is refused (EFBIG); a read that fails gives its errno.
Result<SecretText> readSecretLine(int fd, size_t maxBytes);

/// Switches the echo of the terminal fd off while it lives, then puts the terminal's settings
/// back; also when SIGINT, SIGTERM, SIGQUIT or SIGHUP end the program meanwhile (their handlers
/// put the settings back and give the signal its earlier course). One at a time per process.
class TerminalEchoOff {
public:
    explicit TerminalEchoOff(int fd);
    ~TerminalEchoOff();
    TerminalEchoOff(const TerminalEchoOff &) = delete;
    TerminalEchoOff &operator=(const TerminalEchoOff &) = delete;

    /// Ok when echo is off; else why not (fd is no terminal: ENOTTY).
    const Status &status() const { return _status; }

private:
    Status _status;
    bool _active = false;
};

} // namespace quillet::sys
