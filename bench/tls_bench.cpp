// RADIUS over TLS beside UDP against one private FreeRADIUS (bench/tls.sh starts it): logins over
// a kept connection at 1 and 8 threads, full and resumed handshakes, each as wall and client CPU.
//   qvrad_bench_tls PORTS_ENV [--smoke]   (prints "tls NAME ..." lines for bench/tls.sh's table;
//   --smoke: a token count of each, to show they work, as the CI's bench stage runs it)
#include <sys/resource.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <map>
#include <string>
#include <thread>
#include <vector>

#include "login/client_config.h"
#include "qvrad.h"
#include "radius/client.h"
#include "support/radius_wire.h"
#include "support/tls_peer.h"
#include "support/tls_server.h"

namespace {

std::map<std::string, std::string> g_env;

std::string Env(const std::string& name) {
    const auto it = g_env.find(name);
    return it == g_env.end() ? std::string() : it->second;
}

bool ReadEnv(const char* path) {
    std::ifstream in(path);
    std::string line;
    while (std::getline(in, line)) {
        const std::size_t eq = line.find('=');
        if (eq == std::string::npos) continue;
        std::string value = line.substr(eq + 1);
        if (value.size() >= 2 && value.front() == '\'' && value.back() == '\'')
            value = value.substr(1, value.size() - 2);
        g_env[line.substr(0, eq)] = value;
    }
    return !g_env.empty();
}

// CPU time (user and system) in seconds: the process's (the client's own work, FreeRADIUS being
// another process), or this thread's alone (beside the in-process OpenSSL server).
double CpuSeconds(int who = RUSAGE_SELF) {
    rusage usage{};
    getrusage(who, &usage);
    return static_cast<double>(usage.ru_utime.tv_sec + usage.ru_stime.tv_sec) +
           static_cast<double>(usage.ru_utime.tv_usec + usage.ru_stime.tv_usec) / 1e6;
}

enum class Kind { kUdp, kCertificate, kPsk };

// How each login's TLS connection was had, counted from the exchange's observer (called on the
// logging-in thread; the handshake series run on one).
struct UseCounts {
    int uses[4] = {};
};

void OnSent(void*, const CRadPacket&, const ExchangeMoment&, bool) {}
void OnReceived(void*, const CRadPacket&, const CRadPacket&, int, ReplyCheck,
                const ExchangeMoment&) {}
void OnTls(void* context, const CRadTlsSession&, bool connected, const ExchangeMoment& moment) {
    if (connected) ++static_cast<UseCounts*>(context)->uses[static_cast<int>(moment.tlsUse)];
}

qvrad_client* MakeClient(Kind kind, std::int64_t idleMillis, const ExchangeObserver* observer) {
    qvrad_client* c = nullptr;
    if (qvrad_client_new(&c) != QVRAD_OK) return nullptr;
    qvrad_client_set_int(c, QVRAD_OPT_TIMEOUT_MS, 5000);
    qvrad_client_set_int(c, QVRAD_OPT_TLS_IDLE_MS, idleMillis);
    int added = QVRAD_E_ARGUMENT;
    const std::string host = Env("QVRAD_FR_HOST");
    if (kind == Kind::kUdp) {
        added =
            qvrad_client_add_server(c, host.c_str(), std::atoi(Env("QVRAD_FR_PORT_MAIN").c_str()),
                                    Env("QVRAD_FR_SECRET_MAIN").c_str());
    } else {
        if (kind == Kind::kCertificate) {
            qvrad_client_set_text(c, QVRAD_OPT_TLS_CA_FILE, Env("QVRAD_FR_TLS_CA").c_str());
            qvrad_client_set_text(c, QVRAD_OPT_TLS_CERT_FILE,
                                  Env("QVRAD_FR_TLS_CLIENT_CERT").c_str());
            qvrad_client_set_text(c, QVRAD_OPT_TLS_KEY_FILE,
                                  Env("QVRAD_FR_TLS_CLIENT_KEY").c_str());
        } else {
            qvrad_client_set_text(c, QVRAD_OPT_TLS_PSK_IDENTITY,
                                  Env("QVRAD_FR_TLS_PSK_IDENTITY").c_str());
            qvrad_client_set_text(c, QVRAD_OPT_TLS_PSK_FILE,
                                  Env("QVRAD_FR_TLS_PSK_KEY_FILE").c_str());
            qvrad_client_set_int(c, QVRAD_OPT_TLS_PSK_TLS12,
                                 Env("QVRAD_FR_TLS_PSK_VERSION") == "1.2" ? 1 : 0);
        }
        const std::string port =
            Env(kind == Kind::kCertificate ? "QVRAD_FR_TLS_PORT_CERT" : "QVRAD_FR_TLS_PORT_PSK");
        added = qvrad_client_add_server(c, ("tls://" + host).c_str(), std::atoi(port.c_str()),
                                        "bench-unused-secret");
    }
    if (added != QVRAD_OK) {
        qvrad_client_free(c);
        return nullptr;
    }
    c->observer = observer;  // not reachable through qvrad.h: the tool's and this bench's
    return c;
}

bool LoginOnce(qvrad_client* c) {
    qvrad_login* l = nullptr;
    const int status = qvrad_login_pap(c, "alice", "alice-pass", &l);
    const bool ok = status == QVRAD_OK && qvrad_login_code(l) == QVRAD_CODE_ACCEPT;
    static thread_local int shown = 0;
    if (c == nullptr) {
        shown = 0;
        return false;
    }
    if (!ok && shown++ < 3)
        std::fprintf(stderr, "login failed: status %d, %s\n", status, qvrad_error_detail());
    qvrad_login_free(l);
    return ok;
}

struct Series {
    double medianMs = 0;
    double cpuMsPerLogin = 0;
    double perSecond = 0;
    int failed = 0;
};

// `threads` threads, `each` logins apiece through one client (warmed by one login first).
Series Run(qvrad_client* c, int threads, int each) {
    Series s;
    if (c == nullptr || !LoginOnce(c)) {
        s.failed = -1;
        return s;
    }
    std::vector<std::vector<double>> times(static_cast<std::size_t>(threads));
    std::atomic<int> failed{0};
    const double cpu0 = CpuSeconds();
    const auto start = std::chrono::steady_clock::now();
    std::vector<std::thread> pool;
    for (int t = 0; t < threads; ++t) {
        pool.emplace_back([&, t] {
            for (int i = 0; i < each; ++i) {
                const auto a = std::chrono::steady_clock::now();
                if (!LoginOnce(c)) ++failed;
                times[static_cast<std::size_t>(t)].push_back(
                    std::chrono::duration<double, std::milli>(std::chrono::steady_clock::now() - a)
                        .count());
            }
        });
    }
    for (std::thread& t : pool) t.join();
    const double wall =
        std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
    const double cpu = CpuSeconds() - cpu0;
    std::vector<double> all;
    for (const auto& v : times) all.insert(all.end(), v.begin(), v.end());
    std::sort(all.begin(), all.end());
    s.medianMs = all[all.size() / 2];
    s.cpuMsPerLogin = cpu * 1000 / static_cast<double>(all.size());
    s.perSecond = static_cast<double>(all.size()) / wall;
    s.failed = failed;
    return s;
}

// Handshakes: `count` logins each on a new connection: a new client each time (no ticket: a full
// handshake), or one client that keeps no connection (each login resumes from the last one's
// ticket where the server gives one). Wall and client CPU per login, and how they were had.
Series Handshakes(Kind kind, bool resume, int count, UseCounts* uses) {
    Series s;
    ExchangeObserver observer = {uses, OnSent, OnReceived, OnTls};
    qvrad_client* kept = resume ? MakeClient(kind, 0, &observer) : nullptr;
    if (resume && (kept == nullptr || !LoginOnce(kept))) {
        s.failed = -1;
        return s;
    }
    *uses = UseCounts();
    std::vector<double> times;
    double cpu = 0;
    for (int i = 0; i < count; ++i) {
        qvrad_client* c = resume ? kept : MakeClient(kind, 0, &observer);
        const double cpu0 = CpuSeconds();
        const auto a = std::chrono::steady_clock::now();
        if (c == nullptr || !LoginOnce(c)) ++s.failed;
        times.push_back(
            std::chrono::duration<double, std::milli>(std::chrono::steady_clock::now() - a)
                .count());
        cpu += CpuSeconds() - cpu0;
        if (!resume) qvrad_client_free(c);
    }
    if (kept != nullptr) qvrad_client_free(kept);
    std::sort(times.begin(), times.end());
    s.medianMs = times[times.size() / 2];
    s.cpuMsPerLogin = cpu * 1000 / count;
    return s;
}

// Handshakes against OpenSSL (the tests' RADIUS over TLS server, in this process, ECDSA P-256
// certificates, TLS 1.3), which resumes sessions from tickets where FreeRADIUS 3.2's listeners do
// not: `count` logins each on a new connection, new clients (full) or one client (resumed). This
// thread's CPU per login.
Series HandshakesAgainstOpenSsl(bool resume, int count, UseCounts* uses) {
    Series s;
    const TestPki pki = MakeTestPki();
    if (!pki.ok) {
        s.failed = -1;
        return s;
    }
    const TempFile ca(pki.caPem), cert(pki.clientCertPem), key(pki.clientKeyPem);
    const auto answer = [](const Bytes& request) {
        return SignedReply(request, ToBytes("radsec"), 2, {});
    };
    TlsRadiusServer server(pki, TlsServerMode::kCertificate, Bytes(), "", answer, count + 1);
    if (!server.Failure().empty()) std::fprintf(stderr, "server: %s\n", server.Failure().c_str());
    ExchangeObserver observer = {uses, OnSent, OnReceived, OnTls};
    const auto client = [&]() -> qvrad_client* {
        qvrad_client* c = nullptr;
        if (qvrad_client_new(&c) != QVRAD_OK) return nullptr;
        qvrad_client_set_int(c, QVRAD_OPT_TLS_IDLE_MS, 0);
        qvrad_client_set_text(c, QVRAD_OPT_TLS_CA_FILE, ca.path.c_str());
        qvrad_client_set_text(c, QVRAD_OPT_TLS_CERT_FILE, cert.path.c_str());
        qvrad_client_set_text(c, QVRAD_OPT_TLS_KEY_FILE, key.path.c_str());
        if (qvrad_client_add_server(c, "tls://127.0.0.1", server.Port(), "bench-unused") !=
            QVRAD_OK) {
            qvrad_client_free(c);
            return nullptr;
        }
        c->observer = &observer;
        return c;
    };
    LoginOnce(nullptr);
    qvrad_client* kept = resume ? client() : nullptr;
    if (resume && (kept == nullptr || !LoginOnce(kept))) s.failed = -1;
    *uses = UseCounts();
    std::vector<double> times;
    double cpu = 0;
    for (int i = 0; i < count && s.failed >= 0; ++i) {
        qvrad_client* c = resume ? kept : client();
        const double cpu0 = CpuSeconds(RUSAGE_THREAD);
        const auto a = std::chrono::steady_clock::now();
        if (c == nullptr || !LoginOnce(c)) ++s.failed;
        times.push_back(
            std::chrono::duration<double, std::milli>(std::chrono::steady_clock::now() - a)
                .count());
        cpu += CpuSeconds(RUSAGE_THREAD) - cpu0;
        if (!resume) qvrad_client_free(c);
    }
    if (kept != nullptr) qvrad_client_free(kept);
    server.Stop();
    server.Join();
    if (!server.Failure().empty()) std::fprintf(stderr, "server: %s\n", server.Failure().c_str());
    if (times.empty()) return s;
    std::sort(times.begin(), times.end());
    s.medianMs = times[times.size() / 2];
    s.cpuMsPerLogin = cpu * 1000 / count;
    return s;
}

void Print(const char* name, const Series& s) {
    std::printf("tls %s median_ms %.3f cpu_ms %.3f per_second %.0f failed %d\n", name, s.medianMs,
                s.cpuMsPerLogin, s.perSecond, s.failed);
}

}  // namespace

int main(int argc, char** argv) {
    const bool smoke = argc == 3 && std::string(argv[2]) == "--smoke";
    if ((argc != 2 && !smoke) || !ReadEnv(argv[1])) {
        std::fprintf(stderr, "usage: %s PORTS_ENV [--smoke] (of a server started with --tls)\n",
                     argv[0]);
        return 2;
    }
    // Logins per series and handshakes per row: enough for a median, or a token few.
    const int logins = smoke ? 20 : 2000;
    const int handshakes = smoke ? 3 : 40;
    int failures = 0;
    const auto series = [&](const char* name, Kind kind, int threads, int each) {
        qvrad_client* c = MakeClient(kind, 25000, nullptr);
        const Series s = Run(c, threads, each);
        qvrad_client_free(c);
        Print(name, s);
        failures += s.failed != 0;
    };
    series("udp_1", Kind::kUdp, 1, logins);
    series("kept_certificate_1", Kind::kCertificate, 1, logins);
    series("kept_psk_1", Kind::kPsk, 1, logins);
    series("udp_8", Kind::kUdp, 8, logins / 4);
    series("kept_certificate_8", Kind::kCertificate, 8, logins / 4);
    UseCounts uses;
    const Series full = Handshakes(Kind::kCertificate, false, handshakes, &uses);
    Print("full_certificate", full);
    std::printf("tls full_certificate_uses new %d resumed %d\n", uses.uses[1], uses.uses[2]);
    // FreeRADIUS 3.2's TLS listeners send tickets but never resume from them: shown here.
    const Series resumed = Handshakes(Kind::kCertificate, true, handshakes / 4 + 1, &uses);
    std::printf("tls freeradius_reconnect_uses new %d resumed %d\n", uses.uses[1], uses.uses[2]);
    const Series psk = Handshakes(Kind::kPsk, false, handshakes, &uses);
    Print("full_psk", psk);
    const Series fullOssl = HandshakesAgainstOpenSsl(false, handshakes, &uses);
    Print("openssl_full_certificate", fullOssl);
    std::printf("tls openssl_full_uses new %d resumed %d\n", uses.uses[1], uses.uses[2]);
    const Series resumedOssl = HandshakesAgainstOpenSsl(true, handshakes, &uses);
    Print("openssl_resumed_certificate", resumedOssl);
    std::printf("tls openssl_resumed_uses new %d resumed %d\n", uses.uses[1], uses.uses[2]);
    failures += resumed.failed != 0;
    failures +=
        full.failed != 0 || psk.failed != 0 || fullOssl.failed != 0 || resumedOssl.failed != 0;
    return failures == 0 ? 0 : 1;
}
