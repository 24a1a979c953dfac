#include "platform/Terminal.h"

#include <signal.h>
#include <string.h>
#include <termios.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <memory>

namespace quillet::sys {

Result<SecretText> readSecretLine(int fd, size_t maxBytes) {
    // One buffer, wiped before it goes: growing a string would leave copies of the password
    // behind in the memory it gave up.
    auto buffer = std::make_unique<char[]>(maxBytes + 1);
    size_t length = 0;
    Status problem;
    for (;;) {
        char byte = 0;
        const ssize_t got = ::read(fd, &byte, 1);
        if (got < 0 && errno == EINTR)
            continue;
        if (got < 0) {
            problem = Status::fromErrno("read", "standard input");
            break;
        }
        if (got == 0 || byte == '\n')
            break;
        if (length == maxBytes) {
            problem = Status::refusal(EFBIG, "password", "longer than " + std::to_string(maxBytes) + " bytes");
            break;
        }
        buffer[length++] = byte;
    }
    Result<SecretText> result = problem.ok() ? Result<SecretText>(SecretText(std::string_view(buffer.get(), length)))
                                             : Result<SecretText>(problem);
    ::explicit_bzero(buffer.get(), maxBytes + 1);
    return result;
}

namespace {

constexpr int kEndingSignals[] = {SIGINT, SIGTERM, SIGQUIT, SIGHUP};

// What a signal handler needs to put the terminal back: plain data set before the handlers
// are installed, read only by them.
struct termios savedSettings;
volatile sig_atomic_t echoOffFd = -1;
struct sigaction previousActions[sizeof kEndingSignals / sizeof kEndingSignals[0]];
std::atomic<bool> echoIsOff{false};

void restoreTerminalAndResignal(int sig) {
    // Only async-signal-safe calls: tcsetattr, sigaction, raise.
    if (echoOffFd >= 0)
        ::tcsetattr(echoOffFd, TCSAFLUSH, &savedSettings);
    for (size_t i = 0; i < sizeof kEndingSignals / sizeof kEndingSignals[0]; ++i)
        if (kEndingSignals[i] == sig)
            ::sigaction(sig, &previousActions[i], nullptr);
    // Delivered once this handler returns, with the course the program had given it.
    ::raise(sig);
}

} // namespace

TerminalEchoOff::TerminalEchoOff(int fd) {
    if (echoIsOff.exchange(true)) {
        _status = Status::refusal(EBUSY, "terminal", "echo is already off for another password");
        return;
    }
    struct termios settings {};
    if (::tcgetattr(fd, &settings) != 0) {
        _status = Status::fromErrno("tcgetattr", "terminal");
        echoIsOff = false;
        return;
    }
    savedSettings = settings;
    echoOffFd = fd;
    struct sigaction action {};
    action.sa_handler = restoreTerminalAndResignal;
    sigemptyset(&action.sa_mask);
    for (size_t i = 0; i < sizeof kEndingSignals / sizeof kEndingSignals[0]; ++i)
        ::sigaction(kEndingSignals[i], &action, &previousActions[i]);
    settings.c_lflag &= ~static_cast<tcflag_t>(ECHO | ECHOE | ECHOK);
    if (::tcsetattr(fd, TCSAFLUSH, &settings) != 0) {
        _status = Status::fromErrno("tcsetattr", "terminal");
        for (size_t i = 0; i < sizeof kEndingSignals / sizeof kEndingSignals[0]; ++i)
            ::sigaction(kEndingSignals[i], &previousActions[i], nullptr);
        echoOffFd = -1;
        echoIsOff = false;
        return;
    }
    _active = true;
}

TerminalEchoOff::~TerminalEchoOff() {
    if (!_active)
        return;
    // The settings first, then the handlers: a signal in between still finds them to restore.
    // Nothing typed after the line is thrown away: it belongs to the next question.
    while (::tcsetattr(echoOffFd, TCSANOW, &savedSettings) != 0 && errno == EINTR) {
    }
    for (size_t i = 0; i < sizeof kEndingSignals / sizeof kEndingSignals[0]; ++i)
        ::sigaction(kEndingSignals[i], &previousActions[i], nullptr);
    echoOffFd = -1;
    echoIsOff = false;
}

} // namespace quillet::sys
