// The system-specific side of qvrad-auth: a password or answer typed without echo, command-line and
// environment text as UTF-8, and the secret's file and variable kept from other eyes. One
// implementation per system: terminal_posix.cpp, terminal_win32.cpp.
#pragma once

#include <cstddef>
#include <cstdio>

enum class LineRead { kOk, kEnd, kNul, kTooLong, kError };

// Reads one line from an unbuffered stream byte by byte, dropping "\n" or "\r\n"; a last line
// without a line ending counts. A line of more than limit bytes (its ending not counted) ends
// the reading at once with kTooLong, after at most limit + 2 bytes were read, so that endless
// input (/dev/zero) ends too; text needs limit + 2. kEnd: end of input before any byte; kNul:
// the line holds a NUL byte, which would silently end a C string. Portable; in qvrad-auth.cpp.
LineRead ReadLine(std::FILE* in, char* text, std::size_t limit, std::size_t* length);

// Whether standard input is an interactive terminal, where a password can be typed.
bool StdinIsTerminal();

// Writes prompt to standard error, then reads one line typed at the terminal on standard
// input, as UTF-8, in the form ReadLine gives. Without echo the echo is turned off first and the
// prompt comes only then (as getpass does), so that nothing typed after it is echoed or
// discarded by the switch; the echo comes back afterwards, and also if the program is
// interrupted (Ctrl-C) meanwhile. kError when the echo cannot be turned off (then nothing was
// shown or read). limit and text as for ReadLine; what was typed past the limit is discarded,
// not left for the shell to read.
LineRead ReadTerminalLine(const char* prompt, bool echo, char* text, std::size_t limit,
                          std::size_t* length);

// The command-line arguments as UTF-8: argv itself on POSIX; on Windows, where main gets them
// in the ANSI code page, converted from the UTF-16 command line (argc stays the same).
char** Utf8Arguments(int argc, char** argv);

// An environment variable as UTF-8, at most keep bytes stored (text needs keep + 1), then
// removed from the process's environment (on Linux its bytes are also wiped where
// /proc/PID/environ shows them). false when it is not set.
bool TakeEnvironment(const char* name, char* text, std::size_t keep, std::size_t* length);

enum class SecretFileState { kOk, kCannotOpen, kNotRegular, kOthersHaveAccess, kOtherOwner };

// What OpenSecretFile found on a file it refused, for the message that says so.
struct SecretFileFacts {
    unsigned mode = 0;           // POSIX: the permission bits
    unsigned long owner = 0;     // POSIX: the owner's user ID
    const char* reader = "";     // Windows: the group its DACL lets read it
    const char* readerSid = "";  // and that group's SID, for icacls
    // kCannotOpen: why, in the system's words ("No such file or directory"); a fixed text.
    const char* cannotOpen = "";
};

// Opens a secret file (the shared secret's, or the challenge answers', a UTF-8 path) for reading,
// unbuffered, without blocking (a FIFO or a device must not hold the open). The opened file itself
// is checked, so the file checked is the file read: it must be a regular file; on POSIX (fstat on
// its descriptor) it is refused when group or others have any permission on it or another user owns
// it; on Windows when its DACL lets Everyone, Users, Authenticated Users or Guests read it. null
// unless kOk.
std::FILE* OpenSecretFile(const char* path, SecretFileState* state, SecretFileFacts* facts);

// Writes why the file was refused (a state other than kOk and kCannotOpen), and the command that
// mends it, to standard error; what names it ("secret file", "answer file").
void ExplainSecretFile(const char* what, const char* path, SecretFileState state,
                       const SecretFileFacts& facts);
