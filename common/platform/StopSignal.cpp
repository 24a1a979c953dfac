#include "platform/StopSignal.h"

#include <csignal>

namespace quillet::sys {
namespace {

volatile sig_atomic_t gStopRequested = 0;
int gStopSignal = SIGINT;
sigset_t gWaitMask;

void recordStop(int) { gStopRequested = 1; }

} // namespace

void StopSignal::install(int sig) {
    gStopSignal = sig;
    struct sigaction action {};
    action.sa_handler = recordStop;
    sigemptyset(&action.sa_mask);
    action.sa_flags = 0; // no SA_RESTART: the sleep must end when the signal comes
    ::sigaction(sig, &action, nullptr);
    sigset_t blocked;
    sigemptyset(&blocked);
    sigaddset(&blocked, sig);
    ::sigprocmask(SIG_BLOCK, &blocked, &gWaitMask);
    sigdelset(&gWaitMask, sig);
}

bool StopSignal::requested() {
    if (gStopRequested)
        return true;
    sigset_t pending;
    sigemptyset(&pending);
    return ::sigpending(&pending) == 0 && sigismember(&pending, gStopSignal);
}

const sigset_t *StopSignal::waitMask() { return &gWaitMask; }

void StopSignal::ignore() { ::signal(gStopSignal, SIG_IGN); }

} // namespace quillet::sys
