// The interrupt and the terminal on Windows: the console's Ctrl-C and Ctrl-Break caught once by
// a control handler (which Windows runs on a thread of its own), the next passed on to the
// default handler, which ends the process; a console behind standard error is a terminal.
#include "interrupt.h"

#include <atomic>

#include <windows.h>

namespace {

std::atomic<bool> g_interrupted{false};

BOOL WINAPI OnControl(DWORD event) {
    if (event != CTRL_C_EVENT && event != CTRL_BREAK_EVENT) return FALSE;
    // TRUE: handled, the process goes on to its summary; FALSE the second time: it ends.
    return g_interrupted.exchange(true) ? FALSE : TRUE;
}

}  // namespace

void CatchInterrupt() {
    SetConsoleCtrlHandler(OnControl, TRUE);
}

bool Interrupted() {
    return g_interrupted.load();
}

bool StderrIsTerminal() {
    DWORD mode = 0;
    return GetConsoleMode(GetStdHandle(STD_ERROR_HANDLE), &mode) != 0;
}
