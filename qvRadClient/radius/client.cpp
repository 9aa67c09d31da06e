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

}  // namespace

void CRadAddress::Resolve(const char* host, std::uint16_t port) {
    ipAddress = 0;
    udpPort = port;
    if (host == nullptr) return;
    std::uint32_t literal = 0;
    if (!ParseDottedDecimal(host, &literal)) literal = platform::ParseIPv4(host);
    if (literal != 0xFFFFFFFFu) {  // INADDR_NONE: not dotted IPv4 (or 255.255.255.255)
        ipAddress = literal;
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
    std::uint32_t resolved = 0;
    if (platform::ResolveIPv4(host, service, &resolved) == 0) ipAddress = resolved;
}

CRadServer::CRadServer(CRadClient* ownerClient, const char* host, std::uint16_t port,
                       const CRadSecret& secret, std::int32_t timeout)
    : owner(ownerClient), sharedSecret(secret), reply(rad::kAccessAccept), timeoutSeconds(timeout) {
    address.Resolve(host, port);
}

CRadPacket* CRadServer::Exchange(CRadPacket& request) {
    if (owner == nullptr || attempts <= 0) return nullptr;
    const std::uint16_t length = request.Length();
    if (length < rad::kHeaderLength || length > rad::kMaxPacketLength) return nullptr;
    for (std::int32_t attempt = 0; attempt < attempts; ++attempt) {
        request.PrepareForServer(sharedSecret);
        const ExchangeObserver* observer = owner->observer;
        // An unresolved host keeps address 0.0.0.0, which Linux would deliver to the local
        // host: never send there.
        const bool sent = address.ipAddress != 0 &&
                          platform::SocketSendTo(owner->udpSocket, request.octets, length,
                                                 address.ipAddress, address.udpPort) >= 0;
        if (observer != nullptr)
            observer->requestSent(observer->context, request, address.ipAddress, address.udpPort,
                                  sent);
        if (!sent) continue;
        // The deadline is fixed at the send; datagrams that fail the checks are silently
        // discarded (RFC 2865 section 4) and never extend it, and neither do signals: a wait
        // that ends with nothing readable (time-out or interruption) goes round again with
        // what is left, and only the deadline itself ends it. Each round either waits until
        // the deadline or was cut short by an event, so the loop ends.
        const std::int64_t deadline =
            platform::MonotonicMillis() + static_cast<std::int64_t>(timeoutSeconds) * 1000;
        for (;;) {
            const std::int64_t remaining = deadline - platform::MonotonicMillis();
            if (remaining <= 0) break;
            const int ready = platform::SocketWaitReadable(owner->udpSocket,
                                                           static_cast<std::int32_t>(remaining));
            if (ready < 0) break;
            if (ready == 0) continue;
            bool oversized = false;
            const int received = platform::SocketReceive(owner->udpSocket, reply.octets,
                                                         rad::kMaxPacketLength, &oversized);
            if (received < 0) continue;
            bool signedReply = false;
            ReplyCheck verdict = ReplyCheck::kOversized;
            if (!oversized)
                verdict = reply.CheckResponse(request, static_cast<std::uint16_t>(received),
                                              &signedReply);
            // Last, a reply without a Message-Authenticator from a server that must send one
            // (CVE-2024-3596) is discarded like any other that fails; the deadline stands.
            if (verdict == ReplyCheck::kVerified &&
                !AdmitVerifiedReply(owner->replySigning, *owner->signedServers, address.ipAddress,
                                    address.udpPort, signedReply))
                verdict = ReplyCheck::kUnsigned;
            if (observer != nullptr)
                observer->datagramReceived(observer->context, request, reply, received, verdict);
            if (verdict == ReplyCheck::kVerified) return &reply;
        }
    }
    return nullptr;
}

CRadClient::CRadClient() {
    // Non-blocking, so that a datagram poll announced but the stack then dropped (a bad UDP
    // checksum) cannot hold the receive past the deadline.
    udpSocket = platform::UdpSocketOpenNonBlocking();
    if (udpSocket == platform::kInvalidSocket) return;
    // No SO_REUSEADDR: with it, Linux hands the same ephemeral port to concurrent calls (and
    // Windows lets another socket bind over ours), so one call could receive, and discard,
    // the reply meant for another.
    if (platform::SocketBindAnyIPv4(udpSocket) != 0) return;
    ready = true;
}

CRadClient::~CRadClient() {
    if (udpSocket != platform::kInvalidSocket) platform::SocketClose(udpSocket);
    for (std::int32_t i = 0; i < serverCount && i < kMaxServers; ++i) {
        delete servers[i];  // the entry's secret and reply wipe themselves
        servers[i] = nullptr;
    }
    serverCount = 0;
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
    for (std::int32_t tried = 0; tried < serverCount; ++tried) {
        CRadPacket* reply = servers[currentServer]->Exchange(request);
        if (reply != nullptr) return reply;
        if (++currentServer >= serverCount) currentServer = 0;
    }
    return nullptr;
}
