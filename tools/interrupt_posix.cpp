// The interrupt and the terminal on POSIX: SIGINT caught once (SA_RESETHAND puts the default
// back, so a second Ctrl-C ends the process), isatty for standard error.
#include "interrupt.h"

#include <atomic>
#include <csignal>

#include <unistd.h>

namespace {

// Lock-free, so that the handler's store is async-signal-safe and every thread sees it.
std::atomic<bool> g_interrupted{false};
static_assert(std::atomic<bool>::is_always_lock_free, "a signal handler may store it");

void OnInterrupt(int) {
    g_interrupted.store(true);
}

}  // namespace

void CatchInterrupt() {
    struct sigaction handler = {};
    handler.sa_handler = OnInterrupt;
    handler.sa_flags = SA_RESETHAND | SA_RESTART;
    sigemptyset(&handler.sa_mask);
    sigaction(SIGINT, &handler, nullptr);
}

bool Interrupted() {
    return g_interrupted.load();
}

bool StderrIsTerminal() {
    return isatty(STDERR_FILENO) == 1;
}
