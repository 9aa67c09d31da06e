// The UDP transport of the RADIUS client: up to ten servers tried in turn within one deadline,
// each for its share, with retransmissions of the same bytes on a schedule (RFC 2865 section 2.5).
#pragma once

#include <climits>
#include <cstdint>
#include <optional>

#include "platform/platform.h"
#include "radius/nas_identity.h"
#include "radius/packet.h"
#include "radius/purpose.h"
#include "radius/reply_signing.h"
#include "radius/retransmit.h"
#include "radius/tls_pool.h"
#include "tls/tls_session.h"
#include "tls/tls_settings.h"

class CRadClient;

struct CRadAddress {
    platform::IpAddress ip;     // family kFamilyNone: no address known
    std::uint16_t udpPort = 0;  // host order

    // IPv4 text exactly as inet_addr reads it never reaches the name service (except
    // 255.255.255.255); nor does an IPv6 literal, bare or in brackets, with an optional zone.
    // Other text containing ':', '[' or ']' is no host name and stays unresolved. Names go to
    // the name service with a numeric service: the first IPv4 address, else the first IPv6 one
    // (radclient's order, so a name with an A record means what it always meant). 0, or why no
    // address was found: the name service's code (platform::ResolverWords), or
    // kResolveMalformed for text that is neither an address nor a host name.
    int Resolve(const char* host, std::uint16_t port,
                int (*resolve)(const char*, const char*, platform::IpAddress*,
                               platform::IpAddress*) = platform::ResolveHost);
    bool Sendable() const { return platform::IsSendable(ip); }
};

// CRadAddress::Resolve's answer for text with ':', '[' or ']' that is no IPv6 literal: it never
// reaches the name service (whose codes are small numbers of either sign).
constexpr int kResolveMalformed = INT32_MIN;

// What one entry came to in a call, for the words of a call that failed (qvrad_error_detail):
// filled by either transport with a store or two where something happens (a name that did not
// resolve, a transmission, a reply discarded, a TLS failure), and put in words only when a
// structured call failed (radius/outcome_words.h).
struct ServerOutcome {
    std::int32_t resolveError = 0;    // CRadAddress::Resolve's answer for this entry's host
    std::uint16_t transmissions = 0;  // requests that went out to it (over TLS: 1 at most)
    std::uint16_t discarded = 0;      // replies from it that failed a check and were dropped
    ReplyCheck firstDiscarded = ReplyCheck::kVerified;  // the check the first of them failed
    bool tlsFailed = false;  // its TLS connection failed or broke; tlsReason says why
    // NUL-terminated once tlsFailed is set, and read only then: not cleared for every entry.
    char tlsReason[kTlsReasonSize];
};

// Where an exchange is, for its observer.
struct ExchangeMoment {
    const CRadAddress* server;   // the entry in turn
    std::int32_t serverIndex;    // its place in the client's list, from 0
    std::int32_t transmission;   // transmissions to it so far, this one included (0: none yet)
    std::int64_t elapsedMillis;  // since the call's first transmission
    // For a tls:// entry's connection: a new one, one resumed from a ticket, or a kept one.
    TlsUse tlsUse = TlsUse::kNone;
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
    // A tls:// entry's connection was made (connected: its version, suite and certificate in
    // session) or not (its failure and reason in session). May be null.
    void (*tlsConnection)(void* context, const CRadTlsSession& session, bool connected,
                          const ExchangeMoment& moment);
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
    // The secret is copied from secretLength bytes (1 to 256).
    CRadServer(CRadClient* owner, const char* host, std::uint16_t port, const void* secret,
               std::size_t secretLength, std::int32_t timeoutSeconds);
    ~CRadServer();
    CRadServer(const CRadServer&) = delete;
    CRadServer& operator=(const CRadServer&) = delete;

    // This entry's share of the call, until shareEnd (monotonic ms): the request prepared for
    // this server once, sent on the schedule, and the first reply that verifies, or null. An
    // entry whose first transmission fails ends at once and leaves its time to the others.
    CRadPacket* Exchange(CRadPacket& request, std::int64_t shareEnd);
    // Whether a request can go to this entry: an address, and a socket of its family (asked
    // for, before the call's first send, by the owner's SendRequest); over TLS, settings that
    // make a mode, in a build with TLS.
    bool Usable();
    bool UsableOverTls() const;  // Usable's answer for a tls:// entry (kept out of UDP's path)
    // Makes this entry a RADIUS over TLS one (RFC 6614): hostAsWritten (after "tls://") names
    // the certificate's server unless the settings do; the packets are signed with "radsec",
    // and the secret given is kept only so that a PSK equal to it can be refused (RFC 9813).
    void UseTls(const char* hostAsWritten, const TlsSettings* settings);
    // The share of a TLS entry: a kept connection to its server (or a new one) from the call's
    // pool, one transmission, and the reply to it once it verifies, until shareEnd; once more on
    // a fresh connection when the first broke before its reply.
    CRadPacket* ExchangeTls(CRadPacket& request, std::int64_t shareEnd, ExchangeMoment& moment);
    // Where this entry's requests go over TLS: its pool's key.
    TlsServerKey TlsKey() const;

    CRadClient* owner;
    CRadSecret sharedSecret;
    CRadHmacKey hmacKey;  // sharedSecret's HMAC-MD5 key, made ready at its first use
    CRadPacket reply;
    CRadAddress address;
    std::int32_t timeoutSeconds;
    std::int32_t attempts = CRadSchedule::kMaxTransmissions;  // transmissions at most per share
    // Which replies of this server must carry a Message-Authenticator: the owner's replySigning
    // when the entry was added.
    ReplySigning replySigning;
    // The request version (an index into the owner's sent) this call sent here; -1: none yet.
    // Over UDP only: no datagram is ever checked against a request that went over TLS.
    std::int8_t sentVersion = -1;

    // RADIUS over TLS: the settings (the caller's, alive for the call), the host as written,
    // and the caller's secret (for the PSK check alone). The secret is
    // held by a TLS entry only (and wipes itself when it goes): a UDP entry, every auth call's,
    // does not pay for a second secret's wipe.
    bool overTls = false;
    const TlsSettings* tlsSettings = nullptr;
    const char* tlsHost = nullptr;
    std::optional<CRadSecret> udpSecret;

    // What this entry came to in the call, for the words of a failed one.
    ServerOutcome outcome;
    // Counts a reply from this entry that failed a check (off the path of a verified reply).
    void NoteDiscarded(ReplyCheck check);
    // Keeps why this entry's TLS connection failed or broke (reason: the session's words).
    void NoteTlsFailure(const char* reason);
};

// One form of the request as it went out in a call: a reply is verified against the Identifier
// and Request Authenticator it carried and the secret it was prepared with. Entries that share
// a secret and a NAS address share one (the same bytes, prepared once); an entry that needs
// other attributes gets a new Identifier and Request Authenticator (RFC 2865 section 2.5), and a
// late reply to an earlier entry still verifies against that entry's form. Plain fields without
// initialisers: a call fills one before it reads it.
struct SentRequest {
    std::uint8_t identifier;
    std::uint8_t authenticator[rad::kAuthenticatorLength];
    const CRadSecret* secret;
    CRadHmacKey* hmacKey;  // the key of that secret, kept beside it in its entry
};

// The form the request carries now, and the NAS address that went into it, if any.
struct RequestForm {
    SentRequest sent;
    bool nasPresent;
    platform::IpAddress nas;
    bool overTls;
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
    // The same with the secret's bytes, copied only into the entry.
    int AddServer(const char* host, std::uint16_t port, const void* secret,
                  std::size_t secretLength, std::int32_t timeoutSeconds);
    // An entry for an address already resolved (the server that sent a challenge).
    int AddResolvedServer(const CRadAddress& address, const CRadSecret& secret,
                          std::int32_t timeoutSeconds);
    // Tries the entries in turn from currentServer within one deadline: timeoutMillis, else
    // timeoutSeconds of the first entry, from the first transmission. Which entries can be sent
    // to is settled before the first send (Usable); each of them gets a share of what is left
    // (divided by those still to come, at least 1 s), the others are skipped at once. When the
    // last share ends with a request sent and no reply taken, late replies to any entry sent to
    // are awaited until the deadline. The first reply that verifies and is admitted, or null;
    // replyServer and replySigned then say more about it.
    CRadPacket* SendRequest(CRadPacket& request);
    // The call's socket for a family: the IPv4 one made at construction, the IPv6 one made at
    // its first use. kInvalidSocket when it cannot be had.
    platform::SocketHandle SocketFor(std::uint8_t family);
    // The NAS address a request to server carries under nasAddress, written to *scratch when
    // it is found for that server (kAuto); null for none (also when auto finds no route).
    const platform::IpAddress* NasAddressToward(const CRadAddress& server,
                                                platform::IpAddress* scratch) const;
    // Gives the request the form entry needs (its secret and NAS address): the same bytes as
    // before when they are the same, else a new Identifier and Request Authenticator (RFC 2865
    // section 2.5), prepared for entry's secret.
    void PrepareRequestFor(CRadServer& entry, CRadPacket& request, const platform::IpAddress* nas);
    // Whether a verified reply is an Access-Challenge with more than one State (RFC 2865 section
    // 5.44) or an empty one (section 5.24), which a call with strictChallenges discards; for an
    // accounting call (which sets strictChallenges too), whether it is anything but an
    // Accounting-Response (RFC 2866 section 4.2).
    bool MalformedChallenge(const CRadPacket& reply) const;
    // Receives one datagram from the readable socket waitOn[which] into inTurn's reply, checks
    // it against every request form sent and judges whether it must have been signed; true when
    // it is the reply the call returns.
    bool TakeDatagram(int which, CRadServer& inTurn, const CRadPacket& request,
                      ExchangeMoment& moment);

    CRadServer* servers[kMaxServers] = {};
    std::int32_t serverCount = 0;
    std::int32_t currentServer = 0;
    std::int32_t identifierCounter = 0;
    platform::SocketHandle udpSocket = platform::kInvalidSocket;
    platform::SocketHandle udpSocket6 = platform::kInvalidSocket;
    bool ready = false;
    bool triedSocket6 = false;
    std::int64_t firstTransmission = 0;  // monotonic ms, set by SendRequest
    std::int32_t timeoutMillis = 0;      // the call's deadline when not 0
    // Which replies need a Message-Authenticator: the setting entries take when they are added
    // (the process's by default), and the servers learned to sign.
    ReplySigning replySigning = ProcessReplySigning();
    SignedServerTable* signedServers = &g_signedServers;
    const ExchangeObserver* observer = nullptr;
    const ClientNetwork* network = &kPlatformNetwork;
    // For a request with a NAS address slot: which address goes there, per server.
    NasAddressSetting nasAddress;
    // Access-Challenges with more than one State (RFC 2865 section 5.44: at most one) or an
    // empty one (section 5.24: Length at least 3) are discarded as malformed when set; auth,
    // which never answers a challenge, leaves it clear.
    bool strictChallenges = false;
    RadiusPurpose purpose = RadiusPurpose::kAuthentication;
    // The TLS settings a tls:// entry takes when it is added (the process's by default).
    const TlsSettings* tlsSettings = &ProcessTlsSettings();
    // Where tls:// entries keep their connections: a structured client's pool, or (null) the
    // process's, which auth uses.
    TlsPool* tlsPool = nullptr;

    // The request forms this call sent, in order (one per entry at most), and what it found.
    SentRequest sent[kMaxServers];
    std::int32_t sentCount = 0;
    RequestForm current;             // the form the request carries now
    bool currentValid = false;       // current holds the request's form
    std::int32_t currentIndex = -1;  // its place in sent, -1 until it goes out
    std::int32_t replyServer = -1;   // the entry whose reply was taken (its source, else its form)
    bool replySigned = false;        // that reply carried a verified Message-Authenticator
    bool anySent = false;            // some datagram went out (a request over TLS is not one)
    bool replyOverTls = false;       // the reply came over a TLS connection
    bool usedTls = false;  // a TLS session was opened, used or closed: the deeper end-of-call wipe
    bool tlsFailed = false;  // a tls:// entry failed; tlsReason says why (the last one)
    // NUL-terminated from construction on; not zeroed whole, which every UDP call would pay for.
    char tlsReason[kTlsReasonSize];
};
