// The UDP transport of the RADIUS client: up to ten servers tried in turn within one deadline,
// each for its share, with retransmissions of the same bytes on a schedule (RFC 2865 section 2.5).
#pragma once

#include <cstdint>

#include "platform/platform.h"
#include "radius/nas_identity.h"
#include "radius/packet.h"
#include "radius/reply_signing.h"
#include "radius/retransmit.h"

class CRadClient;

struct CRadAddress {
    platform::IpAddress ip;     // family kFamilyNone: no address known
    std::uint16_t udpPort = 0;  // host order

    // IPv4 text exactly as inet_addr reads it never reaches the name service (except
    // 255.255.255.255); nor does an IPv6 literal, bare or in brackets, with an optional zone.
    // Other text containing ':', '[' or ']' is no host name and stays unresolved. Names go to
    // the name service with a numeric service: the first IPv4 address, else the first IPv6 one
    // (radclient's order, so a name with an A record means what it always meant).
    void Resolve(const char* host, std::uint16_t port,
                 int (*resolve)(const char*, const char*, platform::IpAddress*,
                                platform::IpAddress*) = platform::ResolveHost);
    bool Sendable() const { return platform::IsSendable(ip); }
};

// Where an exchange is, for its observer.
struct ExchangeMoment {
    const CRadAddress* server;   // the entry in turn
    std::int32_t serverIndex;    // its place in the client's list, from 0
    std::int32_t transmission;   // transmissions to it so far, this one included (0: none yet)
    std::int64_t elapsedMillis;  // since the call's first transmission
};

// What an exchange reports as it goes, for a tool that shows it (qvrad-auth --verbose): plain
// callbacks on the calling thread. auth passes none, and then nothing is reported.
struct ExchangeObserver {
    void* context;
    // The request as it went to the entry in turn; sent is false when it could not go (no
    // address known, no socket of the address's family, or the send failed).
    void (*requestSent)(void* context, const CRadPacket& request, const ExchangeMoment& moment,
                        bool sent);
    // A datagram received while waiting: its first octets in reply (received of them, at most
    // 4096; kOversized when it was longer) and the check that discarded it, or kVerified for the
    // reply the exchange returns.
    void (*datagramReceived)(void* context, const CRadPacket& request, const CRadPacket& reply,
                             int received, ReplyCheck verdict, const ExchangeMoment& moment);
};

// The platform calls a client makes that tests replace: the name service, and opening a bound,
// non-blocking UDP socket of a family (a host without IPv6 refuses that family).
struct ClientNetwork {
    int (*resolve)(const char* host, const char* numericService, platform::IpAddress* first4,
                   platform::IpAddress* first6);
    platform::SocketHandle (*openSocket)(std::uint8_t family);
};
extern const ClientNetwork kPlatformNetwork;

class CRadServer {
  public:
    CRadServer(CRadClient* owner, const char* host, std::uint16_t port, const CRadSecret& secret,
               std::int32_t timeoutSeconds);
    CRadServer(const CRadServer&) = delete;
    CRadServer& operator=(const CRadServer&) = delete;

    // This entry's share of the call, until shareEnd (monotonic ms): the request prepared for
    // this server once, sent on the schedule, and the first reply that verifies, or null.
    CRadPacket* Exchange(CRadPacket& request, std::int64_t shareEnd);

    CRadClient* owner;
    CRadSecret sharedSecret;
    CRadPacket reply;
    CRadAddress address;
    std::int32_t timeoutSeconds;
    std::int32_t attempts = CRadSchedule::kMaxTransmissions;  // transmissions at most per share
};

class CRadClient {
  public:
    static constexpr int kMaxServers = 10;

    CRadClient();
    ~CRadClient();  // closes the sockets, wipes and frees every entry
    CRadClient(const CRadClient&) = delete;
    CRadClient& operator=(const CRadClient&) = delete;

    std::uint8_t NextIdentifier();
    int AddServer(const char* host, std::uint16_t port, const CRadSecret& secret,
                  std::int32_t timeoutSeconds);
    // Tries the entries in turn from currentServer within one deadline: timeoutSeconds of the
    // first entry, from the first transmission. Each entry with an address gets a share of what
    // is left (divided by the entries with an address still to come, at least 1 s); one without
    // is skipped at once. The first reply that verifies, or null.
    CRadPacket* SendRequest(CRadPacket& request);
    // The call's socket for a family: the IPv4 one made at construction, the IPv6 one made at
    // its first use. kInvalidSocket when it cannot be had.
    platform::SocketHandle SocketFor(std::uint8_t family);
    // The key under which a verified reply is judged for signing: the entry whose address and
    // port sent it, or else the entry in turn.
    std::uint64_t ServerKeyOfReply(const CRadServer& inTurn, const platform::IpAddress& from,
                                   std::uint16_t fromPort) const;
    // The NAS address a request to server carries under nasAddress, written to *scratch when
    // it is found for that server (kAuto); null for none (also when auto finds no route).
    const platform::IpAddress* NasAddressToward(const CRadAddress& server,
                                                platform::IpAddress* scratch) const;

    CRadServer* servers[kMaxServers] = {};
    std::int32_t serverCount = 0;
    std::int32_t currentServer = 0;
    std::int32_t identifierCounter = 0;
    platform::SocketHandle udpSocket = platform::kInvalidSocket;
    platform::SocketHandle udpSocket6 = platform::kInvalidSocket;
    bool ready = false;
    bool triedSocket6 = false;
    std::int64_t firstTransmission = 0;  // monotonic ms, set by SendRequest
    // Which replies need a Message-Authenticator: the process's setting and learned servers.
    ReplySigning replySigning = ProcessReplySigning();
    SignedServerTable* signedServers = &g_signedServers;
    const ExchangeObserver* observer = nullptr;
    const ClientNetwork* network = &kPlatformNetwork;
    // For a request with a NAS address slot: which address goes there, per server.
    NasAddressSetting nasAddress;
};
