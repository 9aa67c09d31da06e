// qvrad-auth on POSIX: the password and answer prompts' echo control (termios), restored on SIGINT,
// SIGTERM, SIGHUP and SIGQUIT; the secret and answer files' type, owner and mode; arguments and
// environment are already bytes as typed.
#include "terminal.h"

#include <cerrno>
#include <csignal>
#include <cstdlib>
#include <cstring>

#include <fcntl.h>
#include <sys/stat.h>
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

}  // namespace

bool StdinIsTerminal() {
    return isatty(STDIN_FILENO) == 1;
}

LineRead ReadTerminalLine(const char* prompt, bool echo, char* text, std::size_t limit,
                          std::size_t* length) {
    if (echo) {
        std::fputs(prompt, stderr);
        std::fflush(stderr);
        const LineRead got = ReadLine(stdin, text, limit, length);
        // The rest of an over-long line goes too, not to the shell once this program ends.
        if (got == LineRead::kTooLong) tcflush(STDIN_FILENO, TCIFLUSH);
        return got;
    }
    if (EchoOff() != 0) return LineRead::kError;
    std::fputs(prompt, stderr);
    std::fflush(stderr);
    const LineRead got = ReadLine(stdin, text, limit, length);
    EchoRestore();  // TCSAFLUSH: the rest of an over-long line is discarded with it
    return got;
}

char** Utf8Arguments(int, char** argv) {
    return argv;
}

bool TakeEnvironment(const char* name, char* text, std::size_t keep, std::size_t* length) {
    char* value = std::getenv(name);
    if (value == nullptr) return false;
    std::size_t n = 0;
    for (; n < keep && value[n] != '\0'; ++n) text[n] = value[n];
    text[n] = '\0';
    *length = n;
    // /proc/PID/environ shows the block the process started with, which unsetenv leaves as it
    // is: the value is wiped there first, through a volatile pointer the compiler keeps.
    for (volatile char* p = value; *p != '\0';) *p++ = '\0';
    unsetenv(name);
    return true;
}

std::FILE* OpenSecretFile(const char* path, SecretFileState* state, SecretFileFacts* facts) {
    *state = SecretFileState::kCannotOpen;
    // O_NONBLOCK: opening a FIFO for reading would otherwise wait for a writer.
    const int fd = open(path, O_RDONLY | O_CLOEXEC | O_NOCTTY | O_NONBLOCK);
    if (fd < 0) {
        facts->cannotOpen = std::strerror(errno);  // one thread reads the files, before any other
        return nullptr;
    }
    struct stat st;
    if (fstat(fd, &st) != 0) {
        facts->cannotOpen = std::strerror(errno);
        close(fd);
        return nullptr;
    }
    facts->mode = static_cast<unsigned>(st.st_mode & 07777);
    facts->owner = static_cast<unsigned long>(st.st_uid);
    if (!S_ISREG(st.st_mode)) {
        *state = SecretFileState::kNotRegular;
    } else if ((st.st_mode & 077) != 0) {
        // As OpenSSH treats a private key: any permission for group or others is too much.
        *state = SecretFileState::kOthersHaveAccess;
    } else if (st.st_uid != geteuid()) {
        *state = SecretFileState::kOtherOwner;
    } else {
        // A regular file never blocks; the flag goes anyway, so reads behave as usual.
        const int flags = fcntl(fd, F_GETFL);
        std::FILE* file =
            flags >= 0 && fcntl(fd, F_SETFL, flags & ~O_NONBLOCK) == 0 ? fdopen(fd, "rb") : nullptr;
        if (file != nullptr) {
            std::setvbuf(file, nullptr, _IONBF, 0);
            *state = SecretFileState::kOk;
            return file;
        }
    }
    close(fd);
    return nullptr;
}

void ExplainSecretFile(const char* what, const char* path, SecretFileState state,
                       const SecretFileFacts& facts) {
    if (state == SecretFileState::kNotRegular) {
        std::fprintf(stderr,
                     "qvrad-auth: the %s %s is not a regular file (a FIFO, a device or a folder)\n",
                     what, path);
        return;
    }
    std::fprintf(stderr, "qvrad-auth: the %s %s %s (mode %04o, owner %lu)\n", what, path,
                 state == SecretFileState::kOtherOwner ? "belongs to another user"
                                                       : "is open to group or others",
                 facts.mode, facts.owner);
    if (state == SecretFileState::kOthersHaveAccess)
        std::fprintf(stderr, "qvrad-auth: mend it with: chmod 600 '%s'\n", path);
    else
        std::fputs("qvrad-auth: give a file of your own, or take it over with chown\n", stderr);
}
