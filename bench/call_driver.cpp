// Makes N auth calls, N logins (or N floor round trips) against the in-process responder and
// nothing else, for bench/callgrind.sh and bench/syscalls.sh: run with N and 2N calls, the
// difference is what N cost; and for bench/paired.sh, which pairs auth's processes with the
// floor's: --times prints the call loop's wall time and the calling thread's CPU time.
//   qvrad_call_driver auth|auth-signed|login|acct|floor N [--times]
// auth-signed: the responder signs its replies with a Message-Authenticator, which auth checks.
// login: qvrad_login_pap through one client made before the calls, each login freed after it.
// acct: qvrad_acct_send (an Interim-Update) through such a client.
#include <time.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>

#include "floor.h"
#include "qvRadClient.h"
#include "qvrad.h"
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

extern "C" __attribute__((noinline)) int QvradDriverLoginCalls(qvrad_client* client, long calls) {
    int failures = 0;
    for (long i = 0; i < calls; ++i) {
        qvrad_login* login = nullptr;
        if (qvrad_login_pap(client, bench::kUser, bench::kPassword, &login) != QVRAD_OK ||
            qvrad_login_code(login) != QVRAD_CODE_ACCEPT || qvrad_login_message_count(login) != 1 ||
            std::strcmp(qvrad_login_message(login, 0), bench::kReplyMessage) != 0)
            ++failures;
        qvrad_login_free(login);
    }
    return failures;
}

extern "C" __attribute__((noinline)) int QvradDriverFloorCalls(std::uint16_t port, long calls) {
    int failures = 0;
    for (long i = 0; i < calls; ++i)
        if (FloorCall(port) <= 0) ++failures;
    return failures;
}

extern "C" __attribute__((noinline)) int QvradDriverAccountingCalls(qvrad_client* client,
                                                                    long calls) {
    int failures = 0;
    for (long i = 0; i < calls; ++i)
        if (qvrad_acct_send(client, QVRAD_ACCT_INTERIM_UPDATE, "bench-session", bench::kUser,
                            nullptr) != QVRAD_OK)
            ++failures;
    return failures;
}

namespace {

// The client every login goes through: the responder's address, port and secret, the defaults
// otherwise (a 5 s timeout, as auth's "5"). Null when it could not be set up.
qvrad_client* LoginClient(std::uint16_t port) {
    qvrad_client* client = nullptr;
    if (qvrad_client_new(&client) != QVRAD_OK) return nullptr;
    if (qvrad_client_add_server(client, bench::kServer, port, bench::kSecret) != QVRAD_OK ||
        qvrad_client_set_acct_port(client, 0, port) != QVRAD_OK) {
        qvrad_client_free(client);
        return nullptr;
    }
    return client;
}

}  // namespace

int main(int argc, char** argv) {
    const char* const modes[] = {"auth", "auth-signed", "login", "acct", "floor"};
    const bool times = argc == 4 && std::strcmp(argv[3], "--times") == 0;
    const char* mode = argc == 3 || times ? argv[1] : "";
    bool known = false;
    for (const char* m : modes) known = known || std::strcmp(mode, m) == 0;
    if (!known) {
        std::fprintf(stderr, "usage: %s auth|auth-signed|login|acct|floor CALLS [--times]\n",
                     argv[0]);
        return 2;
    }
    const long calls = std::strtol(argv[2], nullptr, 10);
    if (calls < 0 || calls > 1000000) {
        std::fprintf(stderr, "CALLS must be 0..1000000\n");
        return 2;
    }
    BenchResponder responder(bench::kSecret, bench::kReplyMessage,
                             std::strcmp(mode, "auth-signed") == 0);
    if (!responder.Ok()) {
        std::fprintf(stderr, "the loopback responder could not start\n");
        return 1;
    }
    const std::string port = responder.PortText();
    int failures = 0;
    // The calling thread's CPU time counts its system calls too (the kernel's share of a call),
    // not the responder's thread.
    timespec wallStart, cpuStart, wallEnd, cpuEnd;
    clock_gettime(CLOCK_MONOTONIC, &wallStart);
    clock_gettime(CLOCK_THREAD_CPUTIME_ID, &cpuStart);
    if (std::strcmp(mode, "floor") == 0) {
        failures = QvradDriverFloorCalls(responder.Port(), calls);
    } else if (std::strcmp(mode, "login") == 0 || std::strcmp(mode, "acct") == 0) {
        qvrad_client* client = LoginClient(responder.Port());
        if (client == nullptr) {
            std::fprintf(stderr, "the login client could not be set up\n");
            return 1;
        }
        failures = std::strcmp(mode, "acct") == 0 ? QvradDriverAccountingCalls(client, calls)
                                                   : QvradDriverLoginCalls(client, calls);
        qvrad_client_free(client);
    } else {
        failures = QvradDriverAuthCalls(port.c_str(), calls);
    }
    clock_gettime(CLOCK_MONOTONIC, &wallEnd);
    clock_gettime(CLOCK_THREAD_CPUTIME_ID, &cpuEnd);
    const auto nanos = [](const timespec& from, const timespec& to) {
        return (to.tv_sec - from.tv_sec) * 1000000000LL + (to.tv_nsec - from.tv_nsec);
    };
    if (times)
        std::printf("%s %ld calls: wall_ns %lld cpu_ns %lld\n", mode, calls,
                    nanos(wallStart, wallEnd), nanos(cpuStart, cpuEnd));
    if (failures != 0) {
        std::fprintf(stderr, "%d of %ld calls failed\n", failures, calls);
        return 1;
    }
    return 0;
}
