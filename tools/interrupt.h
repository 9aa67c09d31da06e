// qvrad-auth's load mode and the system: an interrupt (Ctrl-C: SIGINT, or the console's Ctrl-C
// and Ctrl-Break) asks the run to stop and give its summary, a second one ends it at once; and
// whether standard error is a terminal, where a progress line may overwrite itself. One
// implementation per system: interrupt_posix.cpp, interrupt_win32.cpp.
#pragma once

// From now on the first interrupt only sets Interrupted(); the next one takes its default course
// (the process ends).
void CatchInterrupt();
// Whether an interrupt came since CatchInterrupt; safe from any thread.
bool Interrupted();
bool StderrIsTerminal();
