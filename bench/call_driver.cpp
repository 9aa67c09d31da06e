// Makes N auth calls (or N floor round trips) against the in-process responder and nothing else,
// for bench/callgrind.sh: run with N and 2N calls, the difference is what N calls cost.
//   qvrad_call_driver auth|floor N
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>

#include "floor.h"
#include "qvRadClient.h"
#include "responder.h"

// Out of line and unmangled, so that callgrind can collect exactly inside them
// (--toggle-collect), apart from the responder's thread and the start-up.
extern "C" __attribute__((noinline)) int QvradDriverAuthCalls(const char* port, long calls) {
    int failures = 0;
    for (long i = 0; i < calls; ++i) {
        const char* text = auth(bench::kServer, port, bench::kSecret, bench::kUser,
                                bench::kPassword, bench::kTimeout);
        if (std::strcmp(text, bench::kReplyMessage) != 0) ++failures;
    }
    return failures;
}

extern "C" __attribute__((noinline)) int QvradDriverFloorCalls(std::uint16_t port, long calls) {
    int failures = 0;
    for (long i = 0; i < calls; ++i)
        if (FloorCall(port) <= 0) ++failures;
    return failures;
}

int main(int argc, char** argv) {
    if (argc != 3 || (std::strcmp(argv[1], "auth") != 0 && std::strcmp(argv[1], "floor") != 0)) {
        std::fprintf(stderr, "usage: %s auth|floor CALLS\n", argv[0]);
        return 2;
    }
    const long calls = std::strtol(argv[2], nullptr, 10);
    if (calls < 0 || calls > 1000000) {
        std::fprintf(stderr, "CALLS must be 0..1000000\n");
        return 2;
    }
    BenchResponder responder(bench::kSecret, bench::kReplyMessage);
    if (!responder.Ok()) {
        std::fprintf(stderr, "the loopback responder could not start\n");
        return 1;
    }
    const std::string port = responder.PortText();
    const int failures = std::strcmp(argv[1], "auth") == 0
                             ? QvradDriverAuthCalls(port.c_str(), calls)
                             : QvradDriverFloorCalls(responder.Port(), calls);
    if (failures != 0) {
        std::fprintf(stderr, "%d of %ld calls failed\n", failures, calls);
        return 1;
    }
    return 0;
}
