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
};
