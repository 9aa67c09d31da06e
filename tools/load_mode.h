// qvrad-auth's load mode (--repeat N, --parallel P): the same login N times through one client,
// by P threads at once (so that they share what the client keeps), a progress line on a
// terminal, and a summary of the outcomes and the latencies.
#pragma once

#include <cstdint>
#include <cstdio>

#include "qvrad.h"

constexpr std::uint32_t kMaxRepeat = 1000000;
constexpr std::uint32_t kMaxParallel = 256;

struct LoadSettings {
    std::uint32_t repeat = 1;         // logins in all, 1 to kMaxRepeat
    std::uint32_t parallel = 1;       // threads, 1 to kMaxParallel (never more than repeat)
    std::int32_t timeoutSeconds = 5;  // each login's, for the wait after an interrupt
};

// A count option's value: decimal digits alone, low to high. 0, or -1.
int ParseCount(const char* text, std::uint32_t low, std::uint32_t high, std::uint32_t* value);

// Exit statuses of a load run besides the tool's own: interrupted (128 + SIGINT, as a shell
// shows a run ended by Ctrl-C).
constexpr int kExitInterrupted = 130;

// Runs the logins through client, set up and not used yet, with user and password (both the
// caller's, alive until the return). The summary goes to summary, the first detail of each kind
// of failure to standard error, the progress line to standard error only when it is a terminal
// (four updates a second at most). Exit status: 0 when every login got a verified reply (an
// Accept, a Reject or a Challenge, which is not answered), 2 when one did not, 4 when the library
// refused the arguments (then 6007 is printed as for one login), 5 when the run could not be
// set up, kExitInterrupted after an interrupt.
int RunLoad(qvrad_client* client, const char* user, const char* password,
            const LoadSettings& settings, std::FILE* summary);
