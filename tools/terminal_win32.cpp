// qvrad-auth on Windows: the password prompt read from the console as UTF-16 with the echo off
// (restored on Ctrl-C, Ctrl-Break, close), and arguments and environment taken as UTF-16, all
// handed on as UTF-8, since main's argv and the console's bytes are in a legacy code page.
#include "terminal.h"

#include <cstdlib>
#include <cstring>

#include <windows.h>

#include <shellapi.h>

namespace {

HANDLE g_input = INVALID_HANDLE_VALUE;
DWORD g_saved = 0;
volatile LONG g_echoOff = 0;

// Runs on a thread of its own; FALSE passes the event on to the default handler (exit).
BOOL WINAPI RestoreOnControl(DWORD) {
    if (InterlockedExchange(&g_echoOff, 0) != 0) SetConsoleMode(g_input, g_saved);
    return FALSE;
}

int EchoOff() {
    g_input = GetStdHandle(STD_INPUT_HANDLE);
    if (GetConsoleMode(g_input, &g_saved) == 0) return -1;
    SetConsoleCtrlHandler(RestoreOnControl, TRUE);
    InterlockedExchange(&g_echoOff, 1);
    // Line input stays on, so the typed line is edited and ended with Enter as usual.
    if (SetConsoleMode(
            g_input, (g_saved & ~static_cast<DWORD>(ENABLE_ECHO_INPUT)) | ENABLE_LINE_INPUT) == 0) {
        InterlockedExchange(&g_echoOff, 0);
        SetConsoleCtrlHandler(RestoreOnControl, FALSE);
        return -1;
    }
    return 0;
}

void EchoRestore() {
    if (InterlockedExchange(&g_echoOff, 0) != 0) SetConsoleMode(g_input, g_saved);
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

LineRead ReadHiddenLine(const char* prompt, char* text, std::size_t keep, std::size_t* length) {
    if (EchoOff() != 0) return LineRead::kError;
    std::fputs(prompt, stderr);
    std::fflush(stderr);
    wchar_t line[kWideKeep];
    wchar_t chunk[kChunkUnits];
    std::size_t used = 0;
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
            }
        }
    }
    EchoRestore();
    if (used > 0 && used < kWideKeep && line[used - 1] == L'\r') --used;
    LineRead result = LineRead::kOk;
    if (failed) {
        result = LineRead::kError;
    } else if (!any) {
        result = LineRead::kEnd;
    } else if (nul) {
        result = LineRead::kNul;
    } else if (!ToUtf8(line, static_cast<int>(used), text, keep, length)) {
        result = LineRead::kError;
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

std::FILE* OpenSecretFile(const char* path, SecretFileState* state, unsigned*, unsigned long*) {
    // No owner or mode check: Windows files carry access control lists instead.
    std::FILE* file = std::fopen(path, "rb");
    *state = file != nullptr ? SecretFileState::kOk : SecretFileState::kCannotOpen;
    if (file != nullptr) std::setvbuf(file, nullptr, _IONBF, 0);
    return file;
}
