// Small helpers for tests that call auth: copy the result at once, time a call, and, where the
// platform shows them, count this process's open descriptors and heap in use, read CPU flags and
// wait for a forked child.
#pragma once

#include <chrono>
#include <cstddef>
#include <string>

std::string CallAuth(const char* server, const char* port, const char* secret, const char* user,
                     const char* password, const char* timeout);

struct TimedResult {
    std::string text;
    double seconds;
};
TimedResult TimedAuth(const std::string& port, const char* secret, const char* user,
                      const char* password, const char* timeout, const char* server = "127.0.0.1");

// Open descriptors of this process, or -1 where the platform has no meaningful count of them.
int OpenDescriptorCount();

// Whether HeapInUse counts this process's heap: glibc 2.33 or later (mallinfo2) with its own
// allocator, not a sanitizer's, which glibc's counters do not see.
bool HeapIsCounted();
// Bytes in use in the C library's heap, summed over its arenas; 0 where HeapIsCounted is false.
std::size_t HeapInUse();

// Whether the kernel lists this flag ("avx", "avx512f") for the first CPU in /proc/cpuinfo: the
// features the CPU has and the kernel has enabled. false where there is no such file.
bool CpuHasFlag(const char* flag);

#if !defined(_WIN32)
// The exit status of a forked child that exits by itself, waited for at most 60 s (then it is
// killed: -1; -1 also when it ended by a signal). Only waitpid and nanosleep, so a child of a
// multi-threaded process may use it for a child of its own.
int ChildExitStatus(int pid);
#endif
