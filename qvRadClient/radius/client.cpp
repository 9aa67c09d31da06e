// The client stack: socket set-up, server entries, and the exchange that sends a prepared
// request and waits until a fixed deadline for a reply that verifies (RFC 2865 section 2.5).
#include "radius/client.h"

#include <cstring>
#include <new>

namespace {

// Four decimal parts of one to three digits, no leading zero, each at most 255, and nothing
// after: the form every inet_addr (glibc's, Winsock's) reads the same way. Parsed here because
// glibc's inet_addr spends four strtoul calls on it; any other text (octal, hex, fewer parts,
// trailing space) still goes to inet_addr. Reads at most 16 characters, stopping at the NUL.
bool ParseDottedDecimal(const char* text, std::uint32_t* networkOrder) {
    std::uint8_t bytes[4];
    const unsigned char* p = reinterpret_cast<const unsigned char*>(text);
    for (int part = 0; part < 4; ++part) {
        if (part != 0 && *p++ != '.') return false;
        // Unsigned: a character below '0' wraps to a large value, so one test rejects both ends.
        unsigned value = *p++ - 48u;
        if (value > 9) return false;
        unsigned digit = *p - 48u;
        if (digit <= 9) {
            if (value == 0) return false;  // a leading zero: octal to inet_addr
            value = value * 10 + digit;
            digit = *++p - 48u;
            if (digit <= 9) {
                value = value * 10 + digit;
                if (value > 255 || *++p - 48u <= 9) return false;
            }
        }
        bytes[part] = static_cast<std::uint8_t>(value);
    }
    if (*p != '\0') return false;
    std::memcpy(networkOrder, bytes, sizeof bytes);  // bytes in wire order are network order
    return true;
}

// The text between brackets, "[...]" with nothing after: copied into inner. false otherwise.
bool Unbracket(const char* host, char* inner, std::size_t size) {
    if (host[0] != '[') return false;
    std::size_t n = 0;
    for (const char* p = host + 1; *p != ']'; ++p) {
        if (*p == '\0' || n + 1 >= size) return false;
        inner[n++] = *p;
    }
    inner[n] = '\0';
    return host[n + 2] == '\0';
}

// A character no host name has (RFC 1123 section 2.1, RFC 952): the text is an address or
// nothing, and is never handed to the name service, which might wait on a DNS server for it.
bool HasAddressPunctuation(const char* host) {
    for (const char* p = host; *p != '\0'; ++p)
        if (*p == ':' || *p == '[' || *p == ']') return true;
    return false;
}

// The characters of an IPv6 literal (RFC 4291 section 2.2: hex digits, ':' and a dotted IPv4
// tail), then optionally '%' and a zone without brackets. Checked before the system's parser,
// which is not equally strict everywhere (Wine's takes "[::1]x").
bool LooksLikeIPv6(const char* text) {
    const char* p = text;
    for (; *p != '\0' && *p != '%'; ++p) {
        const char c = *p;
        if (!((c >= '0' && c <= '9') || (c >= 'a' && c <= 'f') || (c >= 'A' && c <= 'F') ||
              c == ':' || c == '.'))
            return false;
    }
    if (*p == '\0') return true;
    if (p[1] == '\0') return false;  // '%' with no zone
    for (++p; *p != '\0'; ++p)
        if (*p == '%' || *p == '[' || *p == ']') return false;
    return true;
}

int ParseIPv6Literal(const char* text, platform::IpAddress* ip) {
    if (!LooksLikeIPv6(text) || platform::ParseIPv6(text, ip) != 0) {
        *ip = platform::IpAddress();
        return -1;
    }
    return 0;
}

}  // namespace

void CRadAddress::Resolve(const char* host, std::uint16_t port,
                          int (*resolve)(const char*, const char*, platform::IpAddress*,
                                         platform::IpAddress*)) {
    ip = platform::IpAddress();
    udpPort = port;
    if (host == nullptr) return;
    std::uint32_t literal = 0;
    if (!ParseDottedDecimal(host, &literal)) literal = platform::ParseIPv4(host);
    if (literal != 0xFFFFFFFFu) {  // INADDR_NONE: not dotted IPv4 (or 255.255.255.255)
        ip = platform::IPv4Address(literal);
        return;
    }
    // IPv6 literals: "::1", "[::1]", "fe80::1%eth0" (RFC 4007 section 11 zones), nothing else.
    char inner[64];
    if (Unbracket(host, inner, sizeof inner)) {
        ParseIPv6Literal(inner, &ip);
        return;
    }
    if (HasAddressPunctuation(host)) {
        ParseIPv6Literal(host, &ip);
        return;
    }
    char service[6];
    std::size_t n = 0;
    char reversed[5];
    std::uint16_t value = port;
    do {
        reversed[n++] = static_cast<char>('0' + value % 10);
        value = static_cast<std::uint16_t>(value / 10);
    } while (value != 0);
    for (std::size_t i = 0; i < n; ++i) service[i] = reversed[n - 1 - i];
    service[n] = '\0';
    platform::IpAddress first4, first6;
    if (resolve(host, service, &first4, &first6) != 0) return;
    ip = first4.family == platform::kFamilyIPv4 ? first4 : first6;
}

namespace {

platform::SocketHandle OpenBoundSocket(std::uint8_t family) {
    // Non-blocking, so that a datagram poll announced but the stack then dropped (a bad UDP
    // checksum) cannot hold the receive past the deadline.
    const platform::SocketHandle s = platform::UdpSocketOpenNonBlocking(family);
    if (s == platform::kInvalidSocket) return s;
    // No SO_REUSEADDR: with it, Linux hands the same ephemeral port to concurrent calls (and
    // Windows lets another socket bind over ours), so one call could receive, and discard,
    // the reply meant for another.
    if (platform::SocketBindAny(s, family) != 0) {
        platform::SocketClose(s);
        return platform::kInvalidSocket;
    }
    return s;
}

}  // namespace

const ClientNetwork kPlatformNetwork = {platform::ResolveHost, OpenBoundSocket};

CRadServer::CRadServer(CRadClient* ownerClient, const char* host, std::uint16_t port,
                       const CRadSecret& secret, std::int32_t timeout)
    : owner(ownerClient), sharedSecret(secret), reply(rad::kAccessAccept), timeoutSeconds(timeout) {
    address.Resolve(host, port, ownerClient->network->resolve);
}

CRadPacket* CRadServer::Exchange(CRadPacket& request, std::int64_t shareEnd) {
    if (owner == nullptr || attempts <= 0) return nullptr;
    if (request.Length() < rad::kHeaderLength || request.Length() > rad::kMaxPacketLength)
        return nullptr;
    const ExchangeObserver* observer = owner->observer;
    ExchangeMoment moment = {&address, 0, 0, 0};
    for (std::int32_t i = 0; i < owner->serverCount; ++i)
        if (owner->servers[i] == this) moment.serverIndex = i;
    // No address (an unresolved host keeps none, and 0.0.0.0 would reach the local host on
    // Linux), or no socket of its family (a host without IPv6): nothing can go, skip at once.
    const platform::SocketHandle socket =
        address.Sendable() ? owner->SocketFor(address.ip.family) : platform::kInvalidSocket;
    if (socket == platform::kInvalidSocket) {
        if (observer != nullptr) observer->requestSent(observer->context, request, moment, false);
        return nullptr;
    }
    // Prepared once: every transmission to this server carries the same bytes (RFC 2865
    // section 2.5: the same Identifier and Request Authenticator, so the same hidden password,
    // NAS address and Message-Authenticator), and the server's duplicate detection sees one
    // request.
    platform::IpAddress nasScratch;
    request.PrepareForServer(sharedSecret, request.nasAddressOffset != 0
                                               ? owner->NasAddressToward(address, &nasScratch)
                                               : nullptr);
    const std::uint16_t length = request.Length();  // this server's NAS address included
    // The request's random bytes jitter the schedule: no further system call.
    CRadSchedule schedule;
    schedule.Begin(platform::MonotonicMillis(), shareEnd, attempts,
                   request.octets + rad::kAuthenticatorOffset + 12);
    bool anySent = false;
    const platform::SocketHandle waitOn[2] = {owner->udpSocket, owner->udpSocket6};
    const int waitCount = owner->udpSocket6 != platform::kInvalidSocket ? 2 : 1;
    // Each round sends what is due, or waits until the next transmission or the share's end, or
    // takes one datagram. Datagrams that fail the checks are silently discarded (RFC 2865 section
    // 4) and change neither the schedule nor the end (RFC 5080 section 2.2.1: timers are not
    // modified), and neither do signals: a wait that ends with nothing readable goes round again
    // with what is left. So the loop ends by the share's end at the latest.
    // The clock is read once per round, the first round's at Begin.
    for (std::int64_t now = schedule.start;; now = platform::MonotonicMillis()) {
        if (now >= shareEnd) break;
        if (schedule.HasNext() && now >= schedule.next) {
            const bool sent = platform::SocketSendToAddress(socket, request.octets, length,
                                                            address.ip, address.udpPort) >= 0;
            schedule.Advance();
            anySent = anySent || sent;
            if (observer != nullptr) {
                moment.transmission = schedule.sent;
                moment.elapsedMillis = now - owner->firstTransmission;
                observer->requestSent(observer->context, request, moment, sent);
            }
            // Nothing went out and nothing more will: no reply can come.
            if (!anySent && !schedule.HasNext()) return nullptr;
            continue;
        }
        const std::int64_t until = schedule.HasNext() ? schedule.next : shareEnd;
        int which = 0;
        const int ready = platform::SocketsWaitReadable(
            waitOn, waitCount, static_cast<std::int32_t>(until - now), &which);
        if (ready < 0) break;
        if (ready == 0) continue;
        bool oversized = false;
        platform::IpAddress from;
        std::uint16_t fromPort = 0;
        const int received = platform::SocketReceiveFromAddress(
            waitOn[which], reply.octets, rad::kMaxPacketLength, &oversized, &from, &fromPort);
        if (received < 0) continue;
        bool signedReply = false;
        ReplyCheck verdict = ReplyCheck::kOversized;
        if (!oversized)
            verdict =
                reply.CheckResponse(request, static_cast<std::uint16_t>(received), &signedReply);
        // Last, a reply without a Message-Authenticator from a server that must send one
        // (CVE-2024-3596) is discarded like any other that fails; the schedule stands.
        if (verdict == ReplyCheck::kVerified &&
            !AdmitVerifiedReply(owner->replySigning, *owner->signedServers,
                                owner->ServerKeyOfReply(*this, from, fromPort), signedReply))
            verdict = ReplyCheck::kUnsigned;
        if (observer != nullptr) {
            moment.elapsedMillis = platform::MonotonicMillis() - owner->firstTransmission;
            observer->datagramReceived(observer->context, request, reply, received, verdict,
                                       moment);
        }
        if (verdict == ReplyCheck::kVerified) return &reply;
    }
    return nullptr;
}

CRadClient::CRadClient() {
    udpSocket = OpenBoundSocket(platform::kFamilyIPv4);
    ready = udpSocket != platform::kInvalidSocket;
}

CRadClient::~CRadClient() {
    if (udpSocket != platform::kInvalidSocket) platform::SocketClose(udpSocket);
    if (udpSocket6 != platform::kInvalidSocket) platform::SocketClose(udpSocket6);
    for (std::int32_t i = 0; i < serverCount && i < kMaxServers; ++i) {
        delete servers[i];  // the entry's secret and reply wipe themselves
        servers[i] = nullptr;
    }
    serverCount = 0;
}

platform::SocketHandle CRadClient::SocketFor(std::uint8_t family) {
    if (family == platform::kFamilyIPv4) return udpSocket;
    if (family != platform::kFamilyIPv6) return platform::kInvalidSocket;
    if (!triedSocket6) {
        triedSocket6 = true;
        udpSocket6 = network->openSocket(platform::kFamilyIPv6);
    }
    return udpSocket6;
}

std::uint64_t CRadClient::ServerKeyOfReply(const CRadServer& inTurn,
                                           const platform::IpAddress& from,
                                           std::uint16_t fromPort) const {
    // A late reply of an earlier entry (all of a call's entries get the same bytes when they
    // share a secret) is judged as that server's, by its source; any other as the entry's in turn.
    for (std::int32_t i = 0; i < serverCount; ++i) {
        const CRadAddress& a = servers[i]->address;
        if (a.udpPort == fromPort && a.ip.family == from.family && a.ip.scopeId == from.scopeId &&
            std::memcmp(a.ip.bytes, from.bytes, sizeof a.ip.bytes) == 0)
            return ServerKey(a.ip, a.udpPort);
    }
    return ServerKey(inTurn.address.ip, inTurn.address.udpPort);
}

const platform::IpAddress* CRadClient::NasAddressToward(const CRadAddress& server,
                                                        platform::IpAddress* scratch) const {
    switch (nasAddress.mode) {
        case NasAddressMode::kFixed:
            return &nasAddress.fixed;
        case NasAddressMode::kAuto:
            // Asked per server, on a socket of its own: a list may mix families and routes.
            return platform::LocalAddressToward(server.ip, server.udpPort, scratch) == 0 ? scratch
                                                                                         : nullptr;
        case NasAddressMode::kNone:
            break;
    }
    return nullptr;
}

std::uint8_t CRadClient::NextIdentifier() {
    const std::uint8_t identifier = static_cast<std::uint8_t>(identifierCounter & 0xFF);
    ++identifierCounter;
    return identifier;
}

int CRadClient::AddServer(const char* host, std::uint16_t port, const CRadSecret& secret,
                          std::int32_t timeoutSeconds) {
    if (!ready || serverCount >= kMaxServers || serverCount < 0) return -1;
    // No exception may cross the exported boundary: a failed allocation adds nothing.
    CRadServer* entry = new (std::nothrow) CRadServer(this, host, port, secret, timeoutSeconds);
    if (entry == nullptr) return -1;
    servers[serverCount++] = entry;
    return 0;
}

CRadPacket* CRadClient::SendRequest(CRadPacket& request) {
    if (serverCount <= 0) return nullptr;
    if (currentServer < 0 || currentServer >= serverCount) currentServer = 0;
    firstTransmission = platform::MonotonicMillis();
    const std::int64_t deadline =
        firstTransmission +
        static_cast<std::int64_t>(servers[currentServer]->timeoutSeconds) * 1000;
    for (std::int32_t tried = 0; tried < serverCount; ++tried) {
        CRadServer* entry = servers[currentServer];
        // The entries with an address still to come, this one included, share what is left.
        std::int32_t sharing = 0;
        for (std::int32_t k = tried; k < serverCount; ++k)
            if (servers[(currentServer + k - tried) % serverCount]->address.Sendable()) ++sharing;
        const std::int64_t now = tried == 0 ? firstTransmission : platform::MonotonicMillis();
        const std::int64_t left = deadline - now;
        // One without an address (or a family this host lacks) returns at once, and leaves
        // its share to the others.
        if (!entry->address.Sendable() || left > 0) {
            CRadPacket* reply = entry->Exchange(request, now + ShareOfDeadline(left, sharing));
            if (reply != nullptr) return reply;
        }
        if (++currentServer >= serverCount) currentServer = 0;
    }
    return nullptr;
}
