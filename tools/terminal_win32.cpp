// qvrad-auth on Windows: the password and answer prompts read from the console as UTF-16, the
// password's with the echo off (restored on Ctrl-C, Ctrl-Break, close), and arguments and
// environment taken as UTF-16, all handed on as UTF-8, since main's argv and the console's bytes
// are in a legacy code page; the secret file opened by its UTF-16 name and refused when its DACL
// lets broad groups read it.
#include "terminal.h"

#include <cstdint>
#include <cstdlib>
#include <cstring>

#include <windows.h>

#include <aclapi.h>
#include <fcntl.h>
#include <io.h>
#include <shellapi.h>

namespace {

HANDLE g_input = INVALID_HANDLE_VALUE;
DWORD g_saved = 0;
volatile LONG g_modeChanged = 0;

// Runs on a thread of its own; FALSE passes the event on to the default handler (exit).
BOOL WINAPI RestoreOnControl(DWORD) {
    if (InterlockedExchange(&g_modeChanged, 0) != 0) SetConsoleMode(g_input, g_saved);
    return FALSE;
}

// Line input on, and the echo as asked: off for a password, on for an answer the Prompt
// attribute lets show.
int EchoSet(bool echo) {
    g_input = GetStdHandle(STD_INPUT_HANDLE);
    if (GetConsoleMode(g_input, &g_saved) == 0) return -1;
    SetConsoleCtrlHandler(RestoreOnControl, TRUE);
    InterlockedExchange(&g_modeChanged, 1);
    // Line input stays on, so the typed line is edited and ended with Enter as usual.
    const DWORD mode = echo
                           ? g_saved | ENABLE_ECHO_INPUT | ENABLE_LINE_INPUT
                           : (g_saved & ~static_cast<DWORD>(ENABLE_ECHO_INPUT)) | ENABLE_LINE_INPUT;
    if (SetConsoleMode(g_input, mode) == 0) {
        InterlockedExchange(&g_modeChanged, 0);
        SetConsoleCtrlHandler(RestoreOnControl, FALSE);
        return -1;
    }
    return 0;
}

void EchoRestore() {
    if (InterlockedExchange(&g_modeChanged, 0) != 0) SetConsoleMode(g_input, g_saved);
    SetConsoleCtrlHandler(RestoreOnControl, FALSE);
}

void Wipe(void* memory, std::size_t size) {
    SecureZeroMemory(memory, size);
}

// UTF-16 to UTF-8 with at most keep bytes kept, like ReadLine: a longer value stays too long
// for auth instead of being cut to one it might take. Every unit is at least one UTF-8 byte.
bool ToUtf8(const wchar_t* wide, int units, char* text, std::size_t keep, std::size_t* length) {
    *length = 0;
    text[0] = '\0';
    if (units == 0) return true;
    const int need = WideCharToMultiByte(CP_UTF8, 0, wide, units, nullptr, 0, nullptr, nullptr);
    if (need <= 0) return false;
    char* full = static_cast<char*>(std::calloc(static_cast<std::size_t>(need), 1));
    if (full == nullptr) return false;
    WideCharToMultiByte(CP_UTF8, 0, wide, units, full, need, nullptr, nullptr);
    const std::size_t n =
        static_cast<std::size_t>(need) < keep ? static_cast<std::size_t>(need) : keep;
    std::memcpy(text, full, n);
    text[n] = '\0';
    *length = n;
    Wipe(full, static_cast<std::size_t>(need));
    std::free(full);
    return true;
}

constexpr DWORD kChunkUnits = 256;
constexpr int kMaxReads = 1024;          // bounds the draining of an absurdly long typed line
constexpr std::size_t kWideKeep = 2048;  // units kept: at least as many bytes as ReadLine keeps

}  // namespace

bool StdinIsTerminal() {
    // Only a console has a console mode; a pipe, a file or NUL do not.
    DWORD mode = 0;
    return GetConsoleMode(GetStdHandle(STD_INPUT_HANDLE), &mode) != 0;
}

LineRead ReadTerminalLine(const char* prompt, bool echo, char* text, std::size_t limit,
                          std::size_t* length) {
    if (EchoSet(echo) != 0) return LineRead::kError;
    std::fputs(prompt, stderr);
    std::fflush(stderr);
    wchar_t line[kWideKeep];
    wchar_t chunk[kChunkUnits];
    std::size_t used = 0;
    std::size_t units = 0;  // of the whole line, also past what is kept
    bool any = false, ended = false, nul = false, failed = false;
    // In line mode ReadConsoleW returns once Enter is pressed, the line ending in "\r\n"; a
    // line longer than the chunk comes in several reads.
    for (int reads = 0; !ended && reads < kMaxReads; ++reads) {
        DWORD got = 0;
        if (ReadConsoleW(g_input, chunk, kChunkUnits, &got, nullptr) == 0) {
            failed = true;
            break;
        }
        if (got == 0) break;
        any = true;
        for (DWORD i = 0; i < got && !ended; ++i) {
            if (chunk[i] == L'\n') {
                ended = true;
            } else {
                if (chunk[i] == L'\0') nul = true;
                if (used < kWideKeep) line[used++] = chunk[i];
                ++units;
            }
        }
    }
    EchoRestore();
    if (used > 0 && used < kWideKeep && line[used - 1] == L'\r') {
        --used;
        --units;
    }
    // Every unit is at least one UTF-8 byte: more units than the limit are more bytes too. The
    // line was read to its end, so nothing of it is left for the next reader of the console.
    LineRead result = LineRead::kOk;
    if (failed) {
        result = LineRead::kError;
    } else if (!any) {
        result = LineRead::kEnd;
    } else if (units > limit) {
        result = LineRead::kTooLong;
    } else if (nul) {
        result = LineRead::kNul;
    } else if (!ToUtf8(line, static_cast<int>(used), text, limit + 1, length)) {
        result = LineRead::kError;
    } else if (*length > limit) {
        result = LineRead::kTooLong;
    }
    Wipe(line, sizeof line);
    Wipe(chunk, sizeof chunk);
    return result;
}

char** Utf8Arguments(int argc, char** argv) {
    int count = 0;
    wchar_t** wide = CommandLineToArgvW(GetCommandLineW(), &count);
    // Should the two parsers ever disagree on the count, the code-page form is kept whole.
    if (wide == nullptr || count != argc) {
        if (wide != nullptr) LocalFree(wide);
        return argv;
    }
    // Lives until the program exits, as argv does.
    char** utf8 =
        static_cast<char**>(std::calloc(static_cast<std::size_t>(argc) + 1, sizeof(char*)));
    for (int i = 0; utf8 != nullptr && i < argc; ++i) {
        const int need = WideCharToMultiByte(CP_UTF8, 0, wide[i], -1, nullptr, 0, nullptr, nullptr);
        char* arg =
            need > 0 ? static_cast<char*>(std::calloc(static_cast<std::size_t>(need), 1)) : nullptr;
        if (arg != nullptr)
            WideCharToMultiByte(CP_UTF8, 0, wide[i], -1, arg, need, nullptr, nullptr);
        utf8[i] = arg != nullptr ? arg : argv[i];
    }
    LocalFree(wide);
    return utf8 != nullptr ? utf8 : argv;
}

bool TakeEnvironment(const char* name, char* text, std::size_t keep, std::size_t* length) {
    wchar_t wideName[64];
    std::size_t i = 0;
    for (; name[i] != '\0' && i + 1 < sizeof wideName / sizeof wideName[0]; ++i)
        wideName[i] = static_cast<wchar_t>(static_cast<unsigned char>(name[i]));
    wideName[i] = L'\0';
    SetLastError(ERROR_SUCCESS);
    const DWORD need = GetEnvironmentVariableW(wideName, nullptr, 0);
    if (need == 0) {
        if (GetLastError() == ERROR_ENVVAR_NOT_FOUND) return false;
        *length = 0;  // set, but empty
        text[0] = '\0';
        SetEnvironmentVariableW(wideName, nullptr);
        return true;
    }
    wchar_t* value = static_cast<wchar_t*>(std::calloc(need, sizeof(wchar_t)));
    if (value == nullptr) return false;
    const DWORD units = GetEnvironmentVariableW(wideName, value, need);
    const bool ok = units < need && ToUtf8(value, static_cast<int>(units), text, keep, length);
    Wipe(value, need * sizeof(wchar_t));
    std::free(value);
    // Removed from the C runtime's copies and from the process's environment block; the
    // memory either held it in is not wiped.
    wchar_t removal[66];
    std::size_t r = 0;
    for (; wideName[r] != L'\0'; ++r) removal[r] = wideName[r];
    removal[r++] = L'=';
    removal[r] = L'\0';
    _wputenv(removal);
    SetEnvironmentVariableW(wideName, nullptr);
    return ok;
}

namespace {

// The groups whose read access makes a secret file readable by other people of the machine.
struct BroadGroup {
    WELL_KNOWN_SID_TYPE type;
    const char* name;
    const char* sid;
};
const BroadGroup kBroadGroups[] = {
    {WinWorldSid, "Everyone", "S-1-1-0"},
    {WinAuthenticatedUserSid, "Authenticated Users", "S-1-5-11"},
    {WinBuiltinUsersSid, "Users", "S-1-5-32-545"},
    {WinBuiltinGuestsSid, "Guests", "S-1-5-32-546"},
};
constexpr ACCESS_MASK kReadRights = FILE_READ_DATA | GENERIC_READ | GENERIC_ALL;

// The broad group the file's DACL lets read it, or null. Conservative: an allowing entry counts
// even where a denying one might take it back, and a DACL that cannot be read, or none at all
// (which grants everyone everything), counts as Everyone's.
const BroadGroup* BroadReader(HANDLE file) {
    PACL dacl = nullptr;
    PSECURITY_DESCRIPTOR descriptor = nullptr;
    if (GetSecurityInfo(file, SE_FILE_OBJECT, DACL_SECURITY_INFORMATION, nullptr, nullptr, &dacl,
                        nullptr, &descriptor) != ERROR_SUCCESS)
        return &kBroadGroups[0];
    const BroadGroup* found = dacl == nullptr ? &kBroadGroups[0] : nullptr;
    for (DWORD i = 0; found == nullptr && i < dacl->AceCount; ++i) {
        void* entry = nullptr;
        if (GetAce(dacl, i, &entry) == 0) continue;
        const ACE_HEADER* header = static_cast<const ACE_HEADER*>(entry);
        // An inherit-only entry applies to children, and a file has none.
        if (header->AceType != ACCESS_ALLOWED_ACE_TYPE || (header->AceFlags & INHERIT_ONLY_ACE))
            continue;
        ACCESS_ALLOWED_ACE* allowed = static_cast<ACCESS_ALLOWED_ACE*>(entry);
        if ((allowed->Mask & kReadRights) == 0) continue;
        for (const BroadGroup& group : kBroadGroups)
            if (IsWellKnownSid(&allowed->SidStart, group.type)) found = &group;
    }
    LocalFree(descriptor);
    return found;
}

}  // namespace

std::FILE* OpenSecretFile(const char* path, SecretFileState* state, SecretFileFacts* facts) {
    *state = SecretFileState::kCannotOpen;
    // The UTF-8 name from Utf8Arguments back in UTF-16, so that any name opens, not only those
    // of the ANSI code page.
    const int units = MultiByteToWideChar(CP_UTF8, MB_ERR_INVALID_CHARS, path, -1, nullptr, 0);
    wchar_t* wide =
        units > 0
            ? static_cast<wchar_t*>(std::calloc(static_cast<std::size_t>(units), sizeof(wchar_t)))
            : nullptr;
    if (wide == nullptr) return nullptr;
    MultiByteToWideChar(CP_UTF8, MB_ERR_INVALID_CHARS, path, -1, wide, units);
    const HANDLE handle = CreateFileW(wide, GENERIC_READ | READ_CONTROL, FILE_SHARE_READ, nullptr,
                                      OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr);
    std::free(wide);
    if (handle == INVALID_HANDLE_VALUE) {
        switch (GetLastError()) {
            case ERROR_FILE_NOT_FOUND:
                facts->cannotOpen = "no such file";
                break;
            case ERROR_PATH_NOT_FOUND:
                facts->cannotOpen = "no such folder";
                break;
            case ERROR_ACCESS_DENIED:
                facts->cannotOpen = "access denied";
                break;
            case ERROR_SHARING_VIOLATION:
                facts->cannotOpen = "another program holds it open";
                break;
            default:
                facts->cannotOpen = "Windows refused to open it";
                break;
        }
        return nullptr;
    }
    // The opened file itself: a disk file (not a pipe or a device such as CON), and its DACL.
    const BroadGroup* reader = nullptr;
    if (GetFileType(handle) != FILE_TYPE_DISK) {
        *state = SecretFileState::kNotRegular;
    } else if ((reader = BroadReader(handle)) != nullptr) {
        *state = SecretFileState::kOthersHaveAccess;
        facts->reader = reader->name;
        facts->readerSid = reader->sid;
    } else {
        // Binary, as fopen's "rb" was: text mode would end the secret at a byte 0x1A.
        const int fd =
            _open_osfhandle(reinterpret_cast<std::intptr_t>(handle), _O_RDONLY | _O_BINARY);
        if (fd < 0) {
            CloseHandle(handle);
            return nullptr;
        }
        std::FILE* file = _fdopen(fd, "rb");  // owns the descriptor, and the handle, from here
        if (file == nullptr) {
            _close(fd);
            return nullptr;
        }
        std::setvbuf(file, nullptr, _IONBF, 0);
        *state = SecretFileState::kOk;
        return file;
    }
    CloseHandle(handle);
    return nullptr;
}

void ExplainSecretFile(const char* what, const char* path, SecretFileState state,
                       const SecretFileFacts& facts) {
    if (state == SecretFileState::kNotRegular) {
        std::fprintf(stderr, "qvrad-auth: the %s %s is not a regular file\n", what, path);
        return;
    }
    std::fprintf(stderr, "qvrad-auth: the %s %s can be read by %s (%s), says its DACL\n", what,
                 path, facts.reader, facts.readerSid);
    // Inherited entries gone, the broad groups' removed, read for the user alone.
    std::fprintf(stderr,
                 "qvrad-auth: mend it with: icacls \"%s\" /inheritance:r /remove:g *S-1-1-0 "
                 "*S-1-5-11 *S-1-5-32-545 *S-1-5-32-546 /grant:r \"%%USERNAME%%:R\"\n",
                 path);
}
