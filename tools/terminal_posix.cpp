// Password echo control on POSIX terminals (termios), with the echo restored on SIGINT,
// SIGTERM, SIGHUP and SIGQUIT so an interrupted prompt never leaves the terminal silent.
#include "terminal.h"

#include <csignal>

#include <termios.h>
#include <unistd.h>

namespace {

const int kSignals[] = {SIGINT, SIGTERM, SIGHUP, SIGQUIT};
constexpr int kSignalCount = sizeof kSignals / sizeof kSignals[0];

struct termios g_saved;
struct sigaction g_previous[kSignalCount];
volatile std::sig_atomic_t g_echoOff = 0;

// Async-signal-safe: tcsetattr, sigaction and raise only. The signal then takes its default
// course, so the exit status still tells the caller what happened.
void RestoreAndRaise(int signal) {
    if (g_echoOff) tcsetattr(STDIN_FILENO, TCSAFLUSH, &g_saved);
    g_echoOff = 0;
    struct sigaction fallback = {};
    fallback.sa_handler = SIG_DFL;
    sigemptyset(&fallback.sa_mask);
    sigaction(signal, &fallback, nullptr);
    raise(signal);
}

void RestoreHandlers() {
    for (int i = 0; i < kSignalCount; ++i) sigaction(kSignals[i], &g_previous[i], nullptr);
}

}  // namespace

bool StdinIsTerminal() {
    return isatty(STDIN_FILENO) == 1;
}

int EchoOff() {
    if (tcgetattr(STDIN_FILENO, &g_saved) != 0) return -1;
    struct sigaction handler = {};
    handler.sa_handler = RestoreAndRaise;
    sigemptyset(&handler.sa_mask);
    for (int i = 0; i < kSignalCount; ++i) sigaction(kSignals[i], &handler, &g_previous[i]);
    struct termios quiet = g_saved;
    // Canonical input stays on (the line is edited and ended as usual); ECHONL off too, the
    // newline is printed by the caller.
    quiet.c_lflag &= static_cast<tcflag_t>(~(ECHO | ECHOE | ECHOK | ECHONL));
    g_echoOff = 1;
    // TCSAFLUSH, as getpass does: typeahead made before the prompt is discarded, not taken.
    if (tcsetattr(STDIN_FILENO, TCSAFLUSH, &quiet) != 0) {
        g_echoOff = 0;
        RestoreHandlers();
        return -1;
    }
    return 0;
}

void EchoRestore() {
    if (g_echoOff) tcsetattr(STDIN_FILENO, TCSAFLUSH, &g_saved);
    g_echoOff = 0;
    RestoreHandlers();
}
