// A program that only waits, run by cmake/wine-run.sh so a wine prefix keeps one idle process
// (and its wine services) while tests come and go; it exits by itself after a bounded time.
#include <windows.h>

#include <cstdio>
#include <cstdlib>

int main(int argc, char** argv) {
    long seconds = argc > 1 ? std::strtol(argv[1], nullptr, 10) : 300;
    if (seconds < 1) seconds = 1;
    if (seconds > 1800) seconds = 1800;  // never outlive a test run by much
    // The services of the prefix started with this process, before main: say it is ready.
    if (argc > 2) {
        if (std::FILE* ready = std::fopen(argv[2], "w")) std::fclose(ready);
    }
    Sleep(static_cast<DWORD>(seconds) * 1000);
    return 0;
}
