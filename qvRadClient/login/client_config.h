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

// One server as added: resolved at each login, as auth resolves its argument at each call.
struct ServerSpec {
    char host[kHostLimit + 1];
    std::uint16_t port;
    CRadSecret secret;
    std::int8_t signing;  // a QVRAD_REQUIRE_* value; QVRAD_REQUIRE_DEFAULT: the process's
    bool overTls;         // host is "tls://...": RADIUS over TLS with tls
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
    // Set by the first login: from then on the client is only read, by any number of threads.
    std::atomic<bool> frozen{false};
    // Told what each login's exchange sends and receives: qvrad-auth --verbose, which links the
    // library's objects; not reachable through the exported interface.
    const ExchangeObserver* observer = nullptr;
    // The name service and sockets of its logins: the platform's, or the tests' stand-ins (as
    // observer, not reachable through the exported interface).
    const ClientNetwork* network = &kPlatformNetwork;
};

// The reply-signing rule a server of this client is held to at a login.
ReplySigning SigningOf(const ServerSpec& server);
