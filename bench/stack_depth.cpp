// Stack used by one auth call, measured by painting: a thread runs on a stack buffer of our own
// filled with a pattern, makes the call, and the deepest byte no longer holding the pattern
// gives the depth below the thread function's frame. Exits non-zero past the limit.
//   qvrad_stack_depth [limit-bytes]   (default 16384)
#include <pthread.h>

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>

#include "floor.h"
#include "qvRadClient.h"
#include "responder.h"

namespace {

constexpr std::size_t kStackSize = 256 * 1024;
constexpr unsigned char kPaint = 0xA5;
alignas(4096) unsigned char g_stack[kStackSize];

struct Job {
    const char* server;
    const char* port;
    const char* secret;
    const char* expected;
    std::uintptr_t entry = 0;  // an address in the thread function's frame
    bool matched = false;
};

void* RunJob(void* argument) {
    Job* job = static_cast<Job*>(argument);
    volatile unsigned char marker = 0;
    job->entry = reinterpret_cast<std::uintptr_t>(&marker);
    const char* text =
        auth(job->server, job->port, job->secret, bench::kUser, bench::kPassword, bench::kTimeout);
    job->matched = std::strcmp(text, job->expected) == 0;
    return nullptr;
}

// Depth in bytes of the stack one auth call used, or -1 when the thread could not run.
long MeasureOnPaintedStack(Job* job) {
    std::memset(g_stack, kPaint, sizeof g_stack);
    pthread_attr_t attributes;
    if (pthread_attr_init(&attributes) != 0) return -1;
    pthread_t thread;
    const bool started = pthread_attr_setstack(&attributes, g_stack, sizeof g_stack) == 0 &&
                         pthread_create(&thread, &attributes, RunJob, job) == 0;
    pthread_attr_destroy(&attributes);
    if (!started || pthread_join(thread, nullptr) != 0) return -1;
    // The stack grows down from the buffer's end; the first byte from the bottom that lost its
    // paint is the deepest one written.
    std::size_t lowest = 0;
    while (lowest < sizeof g_stack && g_stack[lowest] == kPaint) ++lowest;
    const std::uintptr_t deepest = reinterpret_cast<std::uintptr_t>(g_stack) + lowest;
    if (job->entry < deepest) return -1;
    return static_cast<long>(job->entry - deepest);
}

}  // namespace

int main(int argc, char** argv) {
    const long limit = argc > 1 ? std::strtol(argv[1], nullptr, 10) : 16384;
    BenchResponder plain(bench::kSecret, bench::kReplyMessage);
    BenchResponder signedReply(bench::kSecret, bench::kReplyMessage, true);
    if (!plain.Ok() || !signedReply.Ok()) {
        std::fprintf(stderr, "the loopback responders could not start\n");
        return 1;
    }
    const std::string plainPort = plain.PortText();
    const std::string signedPort = signedReply.PortText();
    struct Case {
        const char* name;
        Job job;
    } cases[] = {
        {"Access-Accept with Reply-Message",
         {bench::kServer, plainPort.c_str(), bench::kSecret, bench::kReplyMessage}},
        {"Access-Accept with Message-Authenticator (HMAC verified)",
         {bench::kServer, signedPort.c_str(), bench::kSecret, bench::kReplyMessage}},
        {"refused argument (empty secret)",
         {bench::kServer, plainPort.c_str(), "", "6007#0#INVALID_INPUT_ERR"}},
    };
    int failed = 0;
    for (Case& c : cases) {
        // A first call on the main thread resolves lazily bound symbols and starts what starts
        // once, so that the measured call is an ordinary one.
        auth(c.job.server, c.job.port, c.job.secret, bench::kUser, bench::kPassword,
             bench::kTimeout);
        const long depth = MeasureOnPaintedStack(&c.job);
        const bool ok = depth >= 0 && c.job.matched && depth < limit;
        std::printf("stack %-58s %6ld bytes  %s\n", c.name, depth,
                    !c.job.matched ? "WRONG RESULT"
                    : ok           ? "ok"
                                   : "OVER LIMIT");
        if (!ok) ++failed;
    }
    std::printf("limit %ld bytes\n", limit);
    return failed == 0 ? 0 : 1;
}
