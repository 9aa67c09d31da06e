// auth beside the floor (the bare socket-per-call round trip) against the same in-process
// responder, from 1, 2, 4 and 8 threads; and qvrad_login_pap (one client made once, a login per
// call, each freed) beside auth, from 1 and 8 threads. Each run alternates phases: every thread
// makes `block` calls of one kind, all meet, every thread makes `block` of the other, all meet,
// and so on, the order swapped every round. Both are thus measured over the same seconds of a
// shared machine, and the ratio of one run is not disturbed by what the machine did between runs.
// The heap allocations each kind makes per call are counted on the calling thread.
#include <benchmark/benchmark.h>

#include <chrono>
#include <condition_variable>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <mutex>
#include <new>
#include <string>
#include <vector>

#include "floor.h"
#include "qvRadClient.h"
#include "qvrad.h"
#include "responder.h"

// Every allocation through operator new on this thread, counted (the library allocates only
// through it): the calls' own are the difference across a phase.
namespace {
thread_local std::uint64_t t_allocations = 0;
thread_local std::uint64_t t_allocatedBytes = 0;

void* CountedAllocation(std::size_t size) {
    ++t_allocations;
    t_allocatedBytes += size;
    return std::malloc(size == 0 ? 1 : size);
}
}  // namespace

// The replacements below pair with each other; GCC 12 cannot see that once it inlines them.
#if defined(__GNUC__) && !defined(__clang__)
#pragma GCC diagnostic ignored "-Wmismatched-new-delete"
#endif
void* operator new(std::size_t size) {
    void* p = CountedAllocation(size);
    if (p == nullptr) throw std::bad_alloc();
    return p;
}
void* operator new[](std::size_t size) {
    return operator new(size);
}
void* operator new(std::size_t size, const std::nothrow_t&) noexcept {
    return CountedAllocation(size);
}
void* operator new[](std::size_t size, const std::nothrow_t&) noexcept {
    return CountedAllocation(size);
}
void operator delete(void* p) noexcept {
    std::free(p);
}
void operator delete[](void* p) noexcept {
    std::free(p);
}
void operator delete(void* p, std::size_t) noexcept {
    std::free(p);
}
void operator delete[](void* p, std::size_t) noexcept {
    std::free(p);
}
void operator delete(void* p, const std::nothrow_t&) noexcept {
    std::free(p);
}
void operator delete[](void* p, const std::nothrow_t&) noexcept {
    std::free(p);
}

namespace {

BenchResponder* g_responder = nullptr;
std::string g_port;
qvrad_client* g_loginClient = nullptr;

using Clock = std::chrono::steady_clock;

// Reusable barrier for the threads of one run (C++17 has none).
class Barrier {
  public:
    void Reset(int parties) {
        std::lock_guard<std::mutex> guard(mutex_);
        parties_ = parties;
        waiting_ = 0;
    }
    void Wait() {
        std::unique_lock<std::mutex> lock(mutex_);
        const unsigned long generation = generation_;
        if (++waiting_ == parties_) {
            waiting_ = 0;
            ++generation_;
            changed_.notify_all();
            return;
        }
        changed_.wait(lock, [&] { return generation_ != generation; });
    }

  private:
    std::mutex mutex_;
    std::condition_variable changed_;
    int parties_ = 1;
    int waiting_ = 0;
    unsigned long generation_ = 0;
};

Barrier g_barrier;

int AuthCalls(long count, bool check) {
    int failures = 0;
    for (long i = 0; i < count; ++i) {
        const char* text = auth(bench::kServer, g_port.c_str(), bench::kSecret, bench::kUser,
                                bench::kPassword, bench::kTimeout);
        // Only a single caller may read the shared result buffer without racing a writer.
        if (check && std::strcmp(text, bench::kReplyMessage) != 0) ++failures;
    }
    return failures;
}

int FloorCalls(long count) {
    int failures = 0;
    for (long i = 0; i < count; ++i)
        if (FloorCall(g_responder->Port()) <= 0) ++failures;
    return failures;
}

// Logins through the one client, each checked (its reply is the login's own) and freed.
int LoginCalls(long count) {
    int failures = 0;
    for (long i = 0; i < count; ++i) {
        qvrad_login* login = nullptr;
        if (qvrad_login_pap(g_loginClient, bench::kUser, bench::kPassword, &login) != QVRAD_OK ||
            qvrad_login_code(login) != QVRAD_CODE_ACCEPT || qvrad_login_message_count(login) != 1 ||
            std::strcmp(qvrad_login_message(login, 0), bench::kReplyMessage) != 0)
            ++failures;
        qvrad_login_free(login);
    }
    return failures;
}

// Accounting records (Interim-Update, one session) through the logins' client, each
// acknowledged.
int AccountingCalls(long count) {
    int failures = 0;
    for (long i = 0; i < count; ++i)
        if (qvrad_acct_send(g_loginClient, QVRAD_ACCT_INTERIM_UPDATE, "bench-session", bench::kUser,
                            nullptr) != QVRAD_OK)
            ++failures;
    return failures;
}

enum class Kind { kAuth, kFloor, kLogin, kAccounting };

int Calls(Kind kind, long count, bool check) {
    switch (kind) {
        case Kind::kAuth:
            return AuthCalls(count, check);
        case Kind::kFloor:
            return FloorCalls(count);
        case Kind::kLogin:
            return LoginCalls(count);
        case Kind::kAccounting:
            return AccountingCalls(count);
    }
    return 0;
}

// What the phases of one run measured: the wall seconds of each kind's phases, and the
// allocations (and their bytes) the lead thread's calls of each kind made.
struct Phases {
    double seconds[2] = {};
    double allocations[2] = {};
    double allocatedBytes[2] = {};
    int failures = 0;
};

// One iteration is one round: a phase of each kind, `block` calls per thread, first swapped
// every round.
Phases Alternate(benchmark::State& state, const Kind kinds[2]) {
    const long block = state.range(0);
    const bool check = state.threads() == 1;
    if (state.thread_index() == 0) g_barrier.Reset(state.threads());
    Phases phases;
    long round = 0;
    for (auto _ : state) {
        const int first = static_cast<int>(round++ & 1);
        for (int phase = 0; phase < 2; ++phase) {
            const int k = phase ^ first;
            g_barrier.Wait();
            const std::uint64_t allocations0 = t_allocations, bytes0 = t_allocatedBytes;
            const Clock::time_point start = Clock::now();
            phases.failures += Calls(kinds[k], block, check);
            const std::uint64_t allocations = t_allocations - allocations0;
            const std::uint64_t bytes = t_allocatedBytes - bytes0;
            g_barrier.Wait();
            phases.seconds[k] += std::chrono::duration<double>(Clock::now() - start).count();
            phases.allocations[k] += static_cast<double>(allocations);
            phases.allocatedBytes[k] += static_cast<double>(bytes);
        }
    }
    return phases;
}

// auth against the floor.
void BM_AuthAndFloor(benchmark::State& state) {
    const long block = state.range(0);
    const bool lead = state.thread_index() == 0;
    const std::int64_t cpu0 = lead ? g_responder->ThreadCpuNanos() : 0;
    const std::uint64_t answered0 = lead ? g_responder->Answered() : 0;
    const Kind kinds[2] = {Kind::kAuth, Kind::kFloor};
    const Phases phases = Alternate(state, kinds);
    if (phases.failures != 0) {
        state.SkipWithError("a call failed");
        return;
    }
    if (!lead) return;
    const double authSeconds = phases.seconds[0], floorSeconds = phases.seconds[1];
    const double calls = static_cast<double>(state.iterations()) * block * state.threads();
    // Per call: wall time of a phase over the calls in it (the latency with one thread).
    state.counters["auth_us"] = authSeconds * 1e6 / calls;
    state.counters["floor_us"] = floorSeconds * 1e6 / calls;
    state.counters["auth_per_s"] = calls / authSeconds;
    state.counters["floor_per_s"] = calls / floorSeconds;
    state.counters["time_ratio"] = authSeconds / floorSeconds;
    state.counters["rate_ratio"] = floorSeconds / authSeconds;
    // The responder's thread: its share of the wall time, and the requests per second it could
    // answer if it had a core to itself (far above the rate reached: it is not the bottleneck).
    const double responderCpu = (g_responder->ThreadCpuNanos() - cpu0) * 1e-9;
    const double answered = static_cast<double>(g_responder->Answered() - answered0);
    state.counters["responder_busy"] = responderCpu / (authSeconds + floorSeconds);
    state.counters["responder_max_per_s"] = responderCpu > 0 ? answered / responderCpu : 0;
}

// qvrad_login_pap against auth: the same exchange behind the structured interface, with a
// client made once.
void BM_LoginAndAuth(benchmark::State& state) {
    const long block = state.range(0);
    const Kind kinds[2] = {Kind::kLogin, Kind::kAuth};
    const Phases phases = Alternate(state, kinds);
    if (phases.failures != 0) {
        state.SkipWithError("a call failed");
        return;
    }
    if (state.thread_index() != 0) return;
    const double loginSeconds = phases.seconds[0], authSeconds = phases.seconds[1];
    const double calls = static_cast<double>(state.iterations()) * block * state.threads();
    const double leadCalls = static_cast<double>(state.iterations()) * block;
    state.counters["login_us"] = loginSeconds * 1e6 / calls;
    state.counters["auth_us"] = authSeconds * 1e6 / calls;
    state.counters["login_per_s"] = calls / loginSeconds;
    state.counters["auth_per_s"] = calls / authSeconds;
    state.counters["time_ratio"] = loginSeconds / authSeconds;
    state.counters["rate_ratio"] = authSeconds / loginSeconds;
    state.counters["login_allocs"] = phases.allocations[0] / leadCalls;
    state.counters["login_alloc_bytes"] = phases.allocatedBytes[0] / leadCalls;
    state.counters["auth_allocs"] = phases.allocations[1] / leadCalls;
    state.counters["auth_alloc_bytes"] = phases.allocatedBytes[1] / leadCalls;
}

// qvrad_acct_send against auth: an accounting record through the same exchange, acknowledged.
void BM_AccountingAndAuth(benchmark::State& state) {
    const long block = state.range(0);
    const Kind kinds[2] = {Kind::kAccounting, Kind::kAuth};
    const Phases phases = Alternate(state, kinds);
    if (phases.failures != 0) {
        state.SkipWithError("a call failed");
        return;
    }
    if (state.thread_index() != 0) return;
    const double acctSeconds = phases.seconds[0], authSeconds = phases.seconds[1];
    const double calls = static_cast<double>(state.iterations()) * block * state.threads();
    state.counters["acct_us"] = acctSeconds * 1e6 / calls;
    state.counters["auth_us"] = authSeconds * 1e6 / calls;
    state.counters["time_ratio"] = acctSeconds / authSeconds;
}

}  // namespace

int main(int argc, char** argv) {
    // --smoke: a token count of calls, to show that every benchmark runs; no timing.
    bool smoke = false;
    std::vector<char*> args;
    for (int i = 0; i < argc; ++i) {
        if (std::strcmp(argv[i], "--smoke") == 0)
            smoke = true;
        else
            args.push_back(argv[i]);
    }
    BenchResponder responder(bench::kSecret, bench::kReplyMessage);
    if (!responder.Ok()) {
        std::fprintf(stderr, "the loopback responder could not start\n");
        return 1;
    }
    g_responder = &responder;
    g_port = responder.PortText();
    if (AuthCalls(1, true) != 0) {
        std::fprintf(stderr, "auth against the responder did not return its Reply-Message\n");
        return 1;
    }
    // The logins' client: the responder's address, port and secret, the defaults otherwise (a
    // 5 s timeout, as auth's "5").
    if (qvrad_client_new(&g_loginClient) != QVRAD_OK ||
        qvrad_client_add_server(g_loginClient, bench::kServer, responder.Port(), bench::kSecret) !=
            QVRAD_OK ||
        qvrad_client_set_acct_port(g_loginClient, 0, responder.Port()) != QVRAD_OK ||
        LoginCalls(1) != 0) {
        std::fprintf(stderr, "qvrad_login_pap against the responder was not accepted\n");
        qvrad_client_free(g_loginClient);
        return 1;
    }

    // 80 rounds of 25 calls per thread and phase: with one thread a run is 2,000 auth calls
    // and 2,000 floor calls; the median over 15 repetitions is the figure.
    const int rounds = smoke ? 1 : 80;
    const int block = smoke ? 4 : 25;
    for (int threads : {1, 2, 4, 8}) {
        benchmark::RegisterBenchmark("auth_vs_floor", BM_AuthAndFloor)
            ->Arg(block)
            ->ArgName("block")
            ->Threads(threads)
            ->Iterations(rounds)
            ->Repetitions(smoke ? 1 : 15)
            ->DisplayAggregatesOnly(!smoke)
            ->UseRealTime()
            ->Unit(benchmark::kMillisecond);
    }
    if (AccountingCalls(1) != 0) {
        std::fprintf(stderr, "qvrad_acct_send against the responder was not acknowledged\n");
        qvrad_client_free(g_loginClient);
        return 1;
    }
    // The accounting port is the responder's too.
    for (int threads : {1}) {
        benchmark::RegisterBenchmark("acct_vs_auth", BM_AccountingAndAuth)
            ->Arg(block)
            ->ArgName("block")
            ->Threads(threads)
            ->Iterations(rounds)
            ->Repetitions(smoke ? 1 : 15)
            ->DisplayAggregatesOnly(!smoke)
            ->UseRealTime()
            ->Unit(benchmark::kMillisecond);
    }
    for (int threads : {1, 8}) {
        benchmark::RegisterBenchmark("login_vs_auth", BM_LoginAndAuth)
            ->Arg(block)
            ->ArgName("block")
            ->Threads(threads)
            ->Iterations(rounds)
            ->Repetitions(smoke ? 1 : 15)
            ->DisplayAggregatesOnly(!smoke)
            ->UseRealTime()
            ->Unit(benchmark::kMillisecond);
    }
    int count = static_cast<int>(args.size());
    benchmark::Initialize(&count, args.data());
    int status = 0;
    if (benchmark::ReportUnrecognizedArguments(count, args.data())) {
        status = 1;
    } else {
        benchmark::RunSpecifiedBenchmarks();
        benchmark::Shutdown();
    }
    qvrad_client_free(g_loginClient);
    return status;
}
