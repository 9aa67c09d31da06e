// auth beside the floor (the bare socket-per-call round trip) against the same in-process
// responder, from 1, 2, 4 and 8 threads. Each run alternates phases: every thread makes `block`
// auth calls, all meet, every thread makes `block` floor calls, all meet, and so on, the order
// swapped every round. Both are thus measured over the same seconds of a shared machine, and
// the ratio of one run is not disturbed by what the machine did between runs.
#include <benchmark/benchmark.h>

#include <chrono>
#include <condition_variable>
#include <cstdio>
#include <cstring>
#include <mutex>
#include <string>
#include <vector>

#include "floor.h"
#include "qvRadClient.h"
#include "responder.h"

namespace {

BenchResponder* g_responder = nullptr;
std::string g_port;

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

// One iteration is one round: an auth phase and a floor phase of `block` calls per thread.
void BM_AuthAndFloor(benchmark::State& state) {
    const long block = state.range(0);
    const bool lead = state.thread_index() == 0;
    const bool check = state.threads() == 1;
    if (lead) g_barrier.Reset(state.threads());
    double authSeconds = 0, floorSeconds = 0;
    const std::int64_t cpu0 = lead ? g_responder->ThreadCpuNanos() : 0;
    const std::uint64_t answered0 = lead ? g_responder->Answered() : 0;
    int failures = 0;
    long round = 0;
    for (auto _ : state) {
        const bool authFirst = (round++ & 1) == 0;
        for (int phase = 0; phase < 2; ++phase) {
            const bool authPhase = (phase == 0) == authFirst;
            g_barrier.Wait();
            const Clock::time_point start = Clock::now();
            failures += authPhase ? AuthCalls(block, check) : FloorCalls(block);
            g_barrier.Wait();
            const double took = std::chrono::duration<double>(Clock::now() - start).count();
            (authPhase ? authSeconds : floorSeconds) += took;
        }
    }
    if (failures != 0) {
        state.SkipWithError("a call failed");
        return;
    }
    if (!lead) return;
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
    int count = static_cast<int>(args.size());
    benchmark::Initialize(&count, args.data());
    if (benchmark::ReportUnrecognizedArguments(count, args.data())) return 1;
    benchmark::RunSpecifiedBenchmarks();
    benchmark::Shutdown();
    return 0;
}
