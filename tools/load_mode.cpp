// The load mode's run: worker threads take login numbers from one counter until N are taken or
// an interrupt comes, each timing its logins; the main thread shows progress and, once every
// worker has ended, the counts by outcome, the rate and the latency percentiles.
#include "load_mode.h"

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstring>
#include <new>
#include <system_error>
#include <thread>
#include <vector>

#include "api/result.h"
#include "interrupt.h"
#include "login/error_detail.h"
#include "text_escape.h"

namespace {

using Clock = std::chrono::steady_clock;

// Where a login's outcome is counted: the Code of its verified reply (Accept, Reject,
// Challenge), or its failure status, QVRAD_E_ARGUMENT (-1) to QVRAD_E_TLS (-9).
constexpr int kCodeRows = 3;
constexpr int kStatusRows = 9;
constexpr int kRows = kCodeRows + kStatusRows;

int RowOf(int status, int code) {
    if (status == QVRAD_OK)
        return code == QVRAD_CODE_ACCEPT ? 0 : code == QVRAD_CODE_REJECT ? 1 : 2;
    const int row = status <= -1 && status >= -kStatusRows ? -status - 1 : -QVRAD_E_INTERNAL - 1;
    return kCodeRows + row;
}

int StatusOfRow(int row) {
    return -(row - kCodeRows) - 1;
}

// The first detail of a kind of failure, kept by the thread that met it first.
struct FirstDetail {
    std::atomic<bool> taken{false};
    char text[kErrorDetailSize];
};

struct Run {
    qvrad_client* client = nullptr;
    const char* user = nullptr;
    const char* password = nullptr;
    std::uint32_t repeat = 0;
    std::uint32_t* micros = nullptr;     // each login's latency, by its number
    std::atomic<std::uint32_t> next{0};  // the next login number to take
    std::atomic<std::uint32_t> done{0};
    std::atomic<std::uint32_t> counts[kRows] = {};
    std::atomic<std::uint32_t> running{0};  // workers not ended yet
    std::atomic<bool> stop{false};
    FirstDetail first[kStatusRows];
};

// One worker: a login per number taken, until the numbers run out, an interrupt comes or the
// library refuses the arguments (every login would be refused alike). Each number below repeat
// that is taken is run to its end, so the numbers done are 0 to done - 1.
void Work(Run* run) {
    for (;;) {
        if (run->stop.load() || Interrupted()) break;
        const std::uint32_t number = run->next.fetch_add(1);
        if (number >= run->repeat) break;
        qvrad_login* login = nullptr;
        const Clock::time_point start = Clock::now();
        const int status = qvrad_login_pap(run->client, run->user, run->password, &login);
        const std::int64_t took =
            std::chrono::duration_cast<std::chrono::microseconds>(Clock::now() - start).count();
        const int code = qvrad_login_code(login);
        qvrad_login_free(login);
        run->micros[number] = static_cast<std::uint32_t>(std::min<std::int64_t>(took, 0xFFFFFFFF));
        const int row = RowOf(status, code);
        run->counts[row].fetch_add(1);
        if (status != QVRAD_OK) {
            FirstDetail& first = run->first[row - kCodeRows];
            if (!first.taken.exchange(true))
                std::memcpy(first.text, qvrad_error_detail(),
                            std::strlen(qvrad_error_detail()) + 1);
            if (status == QVRAD_E_ARGUMENT) run->stop.store(true);
        }
        run->done.fetch_add(1);
    }
    run->running.fetch_sub(1);
}

double Seconds(Clock::duration d) {
    return std::chrono::duration<double>(d).count();
}

std::uint32_t Failed(const Run& run) {
    std::uint32_t failed = 0;
    for (int row = kCodeRows; row < kRows; ++row) failed += run.counts[row].load();
    return failed;
}

// One line that the next overwrites (a carriage return, no cursor commands), padded so that a
// shorter line leaves nothing of a longer one.
void ShowProgress(const Run& run, Clock::duration elapsed) {
    const std::uint32_t done = run.done.load();
    const double seconds = Seconds(elapsed);
    std::fprintf(stderr,
                 "\r%u/%u logins: %u accepted, %u rejected, %u challenged, %u failed, %.0f per "
                 "second    ",
                 done, run.repeat, run.counts[0].load(), run.counts[1].load(), run.counts[2].load(),
                 Failed(run), seconds > 0 ? done / seconds : 0.0);
    std::fflush(stderr);
}

// The latency at percentile p of n sorted values (nearest rank), in milliseconds.
double Percentile(const std::uint32_t* sorted, std::uint32_t n, unsigned p) {
    std::uint64_t rank = (static_cast<std::uint64_t>(n) * p + 99) / 100;  // ceil(n p / 100)
    if (rank == 0) rank = 1;
    return sorted[rank - 1] / 1000.0;
}

void PrintSummary(std::FILE* out, Run& run, std::size_t threads, Clock::duration elapsed) {
    const std::uint32_t done = run.done.load();
    const double seconds = Seconds(elapsed);
    std::fprintf(out, "logins: %u of %u in %.3f s by %u threads, %.1f per second\n", done,
                 run.repeat, seconds, static_cast<unsigned>(threads),
                 seconds > 0 ? done / seconds : 0.0);
    std::fprintf(out, "accepted: %u\nrejected: %u\nchallenged: %u (not answered)\n",
                 run.counts[0].load(), run.counts[1].load(), run.counts[2].load());
    for (int row = kCodeRows; row < kRows; ++row)
        if (run.counts[row].load() != 0)
            std::fprintf(out, "failed: %u: %s\n", run.counts[row].load(),
                         qvrad_strerror(StatusOfRow(row)));
    if (done == 0) return;
    std::sort(run.micros, run.micros + done);
    std::fprintf(out, "latency ms: p50 %.3f, p90 %.3f, p99 %.3f, max %.3f\n",
                 Percentile(run.micros, done, 50), Percentile(run.micros, done, 90),
                 Percentile(run.micros, done, 99), run.micros[done - 1] / 1000.0);
}

// The first detail of each kind of failure, so that the summary's counts say what to fix.
void PrintFirstDetails(const Run& run) {
    for (int row = kCodeRows; row < kRows; ++row) {
        if (run.counts[row].load() == 0 || run.first[row - kCodeRows].text[0] == '\0') continue;
        const char* text = run.first[row - kCodeRows].text;
        std::fputs("qvrad-auth: the first of these: ", stderr);
        WriteEscaped(stderr, reinterpret_cast<const unsigned char*>(text), std::strlen(text));
        std::fputc('\n', stderr);
    }
}

}  // namespace

int ParseCount(const char* text, std::uint32_t low, std::uint32_t high, std::uint32_t* value) {
    std::uint64_t parsed = 0;
    std::size_t i = 0;
    for (; text[i] >= '0' && text[i] <= '9'; ++i) {
        parsed = parsed * 10 + static_cast<unsigned>(text[i] - '0');
        if (parsed > high) return -1;  // also ends the loop long before it could wrap
    }
    if (i == 0 || text[i] != '\0' || parsed < low) return -1;
    *value = static_cast<std::uint32_t>(parsed);
    return 0;
}

int RunLoad(qvrad_client* client, const char* user, const char* password,
            const LoadSettings& settings, std::FILE* summary) {
    Run* run = new (std::nothrow) Run;
    std::uint32_t* micros = new (std::nothrow) std::uint32_t[settings.repeat];
    if (run == nullptr || micros == nullptr) {
        delete run;
        delete[] micros;
        std::fputs("qvrad-auth: no memory for the run's latencies\n", stderr);
        return 5;
    }
    run->client = client;
    run->user = user;
    run->password = password;
    run->repeat = settings.repeat;
    run->micros = micros;
    CatchInterrupt();
    const bool progress = StderrIsTerminal();
    std::vector<std::thread> threads;
    const Clock::time_point start = Clock::now();
    try {
        threads.reserve(std::min(settings.parallel, settings.repeat));
        for (std::uint32_t i = 0; i < settings.parallel && i < settings.repeat; ++i) {
            run->running.fetch_add(1);  // before the thread, which counts itself out
            try {
                threads.emplace_back(Work, run);
            } catch (const std::system_error&) {
                run->running.fetch_sub(1);
                break;  // the threads made so far do the work
            }
        }
    } catch (const std::bad_alloc&) {
        // No room for the list of threads: none was started.
    }
    if (threads.empty()) {
        delete[] micros;
        delete run;
        std::fputs("qvrad-auth: no thread could be started for the logins\n", stderr);
        return 5;
    }
    if (threads.size() < std::min(settings.parallel, settings.repeat))
        std::fprintf(stderr, "qvrad-auth: warning: only %u threads could be started\n",
                     static_cast<unsigned>(threads.size()));
    // Until every worker has ended: each ends after its login under way, at the latest a timeout
    // after the numbers ran out or the interrupt came.
    bool toldInterrupt = false;
    Clock::time_point shown = start;
    while (run->running.load() > 0) {
        std::this_thread::sleep_for(std::chrono::milliseconds(50));
        if (Interrupted() && !toldInterrupt) {
            toldInterrupt = true;
            std::fprintf(stderr,
                         "%sqvrad-auth: interrupted: waiting at most %d s for the logins under "
                         "way; interrupt again to end at once\n",
                         progress ? "\n" : "", static_cast<int>(settings.timeoutSeconds));
        }
        const Clock::time_point now = Clock::now();
        // Four updates a second at most, and only where a person watches a terminal.
        if (progress && now - shown >= std::chrono::milliseconds(250)) {
            ShowProgress(*run, now - start);
            shown = now;
        }
    }
    for (std::thread& t : threads) t.join();
    const Clock::duration elapsed = Clock::now() - start;
    if (progress) {
        ShowProgress(*run, elapsed);
        std::fputc('\n', stderr);
    }
    int exitStatus = 0;
    if (run->counts[RowOf(QVRAD_E_ARGUMENT, 0)].load() != 0) {
        // The arguments were refused, as they would be for one login: its detail and text.
        const char* text = run->first[-QVRAD_E_ARGUMENT - 1].text;
        std::fputs("qvrad-auth: ", stderr);
        WriteEscaped(stderr, reinterpret_cast<const unsigned char*>(text), std::strlen(text));
        std::fputc('\n', stderr);
        std::fprintf(summary, "%s\n", kResultInvalidInput);
        exitStatus = 4;
    } else {
        PrintSummary(summary, *run, threads.size(), elapsed);
        PrintFirstDetails(*run);
        if (Interrupted())
            exitStatus = kExitInterrupted;
        else if (Failed(*run) != 0 || run->done.load() != run->repeat)
            exitStatus = 2;
    }
    delete[] micros;
    delete run;
    return exitStatus;
}
