// The terminal control qvrad-auth needs to read a typed password without showing it.
// One implementation per system: terminal_posix.cpp (termios) and terminal_win32.cpp (console).
#pragma once

// Whether standard input is an interactive terminal, where a password can be typed.
bool StdinIsTerminal();

// Stops the terminal on standard input from echoing typed characters until EchoRestore, and
// restores the echo should the program be interrupted (Ctrl-C) meanwhile. 0, or -1 when the
// echo cannot be turned off (then nothing changed).
int EchoOff();
void EchoRestore();
