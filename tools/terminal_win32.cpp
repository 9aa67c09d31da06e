// Password echo control on the Windows console, with the echo restored on Ctrl-C, Ctrl-Break
// and console close so an interrupted prompt never leaves the console silent.
#include "terminal.h"

#include <windows.h>

namespace {

HANDLE g_input = INVALID_HANDLE_VALUE;
DWORD g_saved = 0;
volatile LONG g_echoOff = 0;

// Runs on a thread of its own; FALSE passes the event on to the default handler (exit).
BOOL WINAPI RestoreOnControl(DWORD) {
    if (InterlockedExchange(&g_echoOff, 0) != 0) SetConsoleMode(g_input, g_saved);
    return FALSE;
}

}  // namespace

bool StdinIsTerminal() {
    // Only a console has a console mode; a pipe, a file or NUL do not.
    DWORD mode = 0;
    return GetConsoleMode(GetStdHandle(STD_INPUT_HANDLE), &mode) != 0;
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
