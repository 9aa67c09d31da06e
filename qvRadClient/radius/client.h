// The UDP transport of the RADIUS client: one socket, up to ten servers tried in turn,
// each attempt waiting until a deadline for a reply that verifies (RFC 2865 section 2.5).
#pragma once

#include <cstdint>

#include "platform/platform.h"
#include "radius/packet.h"
#include "radius/reply_signing.h"

class CRadClient;

struct CRadAddress {
    std::uint32_t ipAddress = 0;  // network order; 0 = no address known
    std::uint16_t udpPort = 0;    // host order

    // Dotted IPv4 text never reaches the name service (except 255.255.255.255); names go to
    // getaddrinfo with a numeric service. A failure leaves ipAddress 0.
    void Resolve(const char* host, std::uint16_t port);
};

// What an exchange reports as it goes, for a tool that shows it (qvrad-auth --verbose): plain
// callbacks on the calling thread. auth passes none, and then nothing is reported.
struct ExchangeObserver {
    void* context;
    // The request as it went to ip (network order) and port; sent is false when it could not go
    // (no address known, or the send failed).
    void (*requestSent)(void* context, const CRadPacket& request, std::uint32_t ip,
                        std::uint16_t port, bool sent);
    // A datagram received while waiting: its first octets in reply (received of them, at most
    // 4096; kOversized when it was longer) and the check that discarded it, or kVerified for the
    // reply the exchange returns.
    void (*datagramReceived)(void* context, const CRadPacket& request, const CRadPacket& reply,
                             int received, ReplyCheck verdict);
};

class CRadServer {
  public:
    CRadServer(CRadClient* owner, const char* host, std::uint16_t port, const CRadSecret& secret,
               std::int32_t timeoutSeconds);
    CRadServer(const CRadServer&) = delete;
    CRadServer& operator=(const CRadServer&) = delete;

    CRadPacket* Exchange(CRadPacket& request);

    CRadClient* owner;
    CRadSecret sharedSecret;
    CRadPacket reply;
    CRadAddress address;
    std::int32_t timeoutSeconds;
    std::int32_t attempts = 1;
};

class CRadClient {
  public:
    static constexpr int kMaxServers = 10;

    CRadClient();
    ~CRadClient();  // closes the socket, wipes and frees every entry
    CRadClient(const CRadClient&) = delete;
    CRadClient& operator=(const CRadClient&) = delete;

    std::uint8_t NextIdentifier();
    int AddServer(const char* host, std::uint16_t port, const CRadSecret& secret,
                  std::int32_t timeoutSeconds);
    CRadPacket* SendRequest(CRadPacket& request);

    CRadServer* servers[kMaxServers] = {};
    std::int32_t serverCount = 0;
    std::int32_t currentServer = 0;
    std::int32_t identifierCounter = 0;
    platform::SocketHandle udpSocket = platform::kInvalidSocket;
    bool ready = false;
    // Which replies need a Message-Authenticator: the process's setting and learned servers.
    ReplySigning replySigning = ProcessReplySigning();
    SignedServerTable* signedServers = &g_signedServers;
    const ExchangeObserver* observer = nullptr;
};
