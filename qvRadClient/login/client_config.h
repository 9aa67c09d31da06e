// The structured interface's client: its servers, each with its own port, secret and signing
// rule, and the settings of its logins. Set up by one thread, frozen by the first login.
#pragma once

#include <atomic>
#include <cstdint>

#include "radius/client.h"
#include "radius/nas_identity.h"
#include "radius/packet.h"
#include "tls/tls_settings.h"

constexpr std::size_t kHostLimit = 255;  // a DNS name's 253 octets, or any address literal
constexpr std::size_t kSpoolPathLimit = 1023;  // the spool folder's path, in octets

// One server as added: resolved at each login, as auth resolves its argument at each call.
struct ServerSpec {
    char host[kHostLimit + 1];
    std::uint16_t port;
    CRadSecret secret;
    std::int8_t signing;  // a QVRAD_REQUIRE_* value; QVRAD_REQUIRE_DEFAULT: the process's
    bool overTls;         // host is "tls://...": RADIUS over TLS with tls
    std::uint16_t acctPort;  // accounting's port; 0: 1813 over UDP, port over TLS (RFC 6614)
    TlsSettings tls;      // the client's TLS settings when the server was added
};

struct qvrad_client {
    ServerSpec servers[CRadClient::kMaxServers];
    std::int32_t serverCount = 0;
    std::int32_t timeoutMillis = 5000;
    std::int32_t maxTransmissions = CRadSchedule::kMaxTransmissions;
    std::int32_t maxChallenges = 10;
    std::int8_t signing = -1;  // for the servers added next
    NasIdentity nas;           // the process's settings until an option changes them
    TlsSettings tls;           // for tls:// servers added next: the process's until changed
    // Accounting records are kept here until acknowledged when not empty (QVRAD_OPT_SPOOL_DIR).
    char spoolDir[kSpoolPathLimit + 1] = {};
    // Set by the first login: from then on the client is only read, by any number of threads.
    std::atomic<bool> frozen{false};
    // Told what each login's exchange sends and receives: qvrad-auth --verbose, which links the
    // library's objects; not reachable through the exported interface.
    const ExchangeObserver* observer = nullptr;
    // The name service and sockets of its logins: the platform's, or the tests' stand-ins (as
    // observer, not reachable through the exported interface).
    const ClientNetwork* network = &kPlatformNetwork;
    // The kept connections of its tls:// servers, shared by its logins (made with the client,
    // closed with close_notify when it is freed).
    TlsPool* tlsPool = nullptr;

    qvrad_client() = default;
    ~qvrad_client() { delete tlsPool; }
    qvrad_client(const qvrad_client&) = delete;
    qvrad_client& operator=(const qvrad_client&) = delete;
};

// The reply-signing rule a server of this client is held to at a login.
ReplySigning SigningOf(const ServerSpec& server);
// The port accounting goes to on a server (RFC 2866 section 3; RFC 6614 section 2.1: one TLS
// port for both).
inline std::uint16_t AccountingPort(const ServerSpec& server) {
    if (server.acctPort != 0) return server.acctPort;
    return server.overTls ? server.port : rad::kDefaultAccountingPort;
}
