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

// An IPv4-mapped IPv6 address (::ffff:a.b.c.d, RFC 4291 section 2.5.5.2) names an IPv4 host,
// which the IPv6-only socket cannot reach: it becomes that IPv4 address, for the IPv4 socket.
void UnmapIPv4(platform::IpAddress* ip) {
    static const std::uint8_t kMapped[12] = {0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0xFF, 0xFF};
    if (ip->family != platform::kFamilyIPv6 || std::memcmp(ip->bytes, kMapped, 12) != 0) return;
    std::uint32_t v4 = 0;
    std::memcpy(&v4, ip->bytes + 12, 4);
    *ip = platform::IPv4Address(v4);
}

int ParseIPv6Literal(const char* text, platform::IpAddress* ip) {
    if (!LooksLikeIPv6(text) || platform::ParseIPv6(text, ip) != 0) {
        *ip = platform::IpAddress();
        return -1;
    }
    return 0;
}

}  // namespace

int CRadAddress::Resolve(const char* host, std::uint16_t port,
                         int (*resolve)(const char*, const char*, platform::IpAddress*,
                                        platform::IpAddress*)) {
    ip = platform::IpAddress();
    udpPort = port;
    if (host == nullptr) return platform::kResolveNoAddress;
    std::uint32_t literal = 0;
    if (!ParseDottedDecimal(host, &literal)) literal = platform::ParseIPv4(host);
    if (literal != 0xFFFFFFFFu) {  // INADDR_NONE: not dotted IPv4 (or 255.255.255.255)
        ip = platform::IPv4Address(literal);
        return 0;
    }
    // IPv6 literals: "::1", "[::1]", "fe80::1%eth0" (RFC 4007 section 11 zones), nothing else.
    char inner[64];
    const bool bracketed = Unbracket(host, inner, sizeof inner);
    if (bracketed || HasAddressPunctuation(host)) {
        if (ParseIPv6Literal(bracketed ? inner : host, &ip) != 0) return kResolveMalformed;
        UnmapIPv4(&ip);
        return 0;
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
    const int failed = resolve(host, service, &first4, &first6);
    if (failed != 0) return failed;
    ip = first4.family == platform::kFamilyIPv4 ? first4 : first6;
    UnmapIPv4(&ip);
    return 0;
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
                       const void* secret, std::size_t secretLength, std::int32_t timeout)
    : owner(ownerClient),
      sharedSecret(secret, secretLength),
      reply(rad::kAccessAccept),
      timeoutSeconds(timeout),
      replySigning(ownerClient->replySigning) {
    // "tls://host": RADIUS over TLS to host (RFC 6614); any other text is a UDP server as ever.
    if (host != nullptr && HasTlsScheme(host)) {
        host += sizeof kTlsScheme - 1;
        UseTls(host, ownerClient->tlsSettings);
    }
    if (host != nullptr || port != 0)
        outcome.resolveError = address.Resolve(host, port, ownerClient->network->resolve);
}

CRadServer::~CRadServer() = default;

void CRadServer::NoteDiscarded(ReplyCheck check) {
    if (outcome.discarded == 0) outcome.firstDiscarded = check;
    if (outcome.discarded < UINT16_MAX) ++outcome.discarded;
}

void CRadServer::NoteTlsFailure(const char* reason) {
    outcome.tlsFailed = true;
    CopyReason(outcome.tlsReason, sizeof outcome.tlsReason, reason);
}

bool CRadServer::Usable() {
    if (overTls) return UsableOverTls();
    return address.Sendable() && owner->SocketFor(address.ip.family) != platform::kInvalidSocket;
}

namespace {

bool SameAddress(const platform::IpAddress& a, const platform::IpAddress& b) {
    return a.family == b.family && a.scopeId == b.scopeId &&
           std::memcmp(a.bytes, b.bytes, sizeof a.bytes) == 0;
}

bool SameSecret(const CRadSecret& a, const CRadSecret& b) {
    return a.length == b.length && std::memcmp(a.octets, b.octets, a.length) == 0;
}

// PrepareRequestFor's work, inlined into the UDP exchange, which every auth call runs.
inline void PrepareForm(CRadClient& client, CRadServer& entry, CRadPacket& request,
                        const platform::IpAddress* nas) {
    // Whether the request so differs from the form it carries now (another NAS address, another
    // secret, another transport: a request that went over TLS never also goes in the clear, nor
    // the reverse): then it is a new request, with a new Identifier and Request Authenticator
    // (RFC 2865 section 2.5).
    RequestForm& form = client.current;
    const bool same = client.currentValid && form.overTls == entry.overTls &&
                      SameSecret(*form.sent.secret, entry.sharedSecret) &&
                      form.nasPresent == (nas != nullptr) &&
                      (nas == nullptr || SameAddress(form.nas, *nas));
    if (client.currentValid && !same) {
        request.MakeRequestAuthenticator();
        std::uint8_t identifier = client.NextIdentifier();
        if (identifier == request.Identifier()) identifier = client.NextIdentifier();
        request.SetIdentifier(identifier);
    }
    // Prepared once: every transmission to this server carries the same bytes (RFC 2865
    // section 2.5: the same Identifier and Request Authenticator, so the same hidden password,
    // NAS address and Message-Authenticator), and the server's duplicate detection sees one
    // request. A form that did not change is not prepared again: the same secret and NAS
    // address over the same Identifier and Request Authenticator make the same bytes.
    if (!same) {
        request.PrepareForServer(entry.sharedSecret, nas, &entry.hmacKey);
        form.sent.identifier = request.Identifier();
        std::memcpy(form.sent.authenticator, request.octets + rad::kAuthenticatorOffset,
                    rad::kAuthenticatorLength);
        form.sent.secret = &entry.sharedSecret;
        form.sent.hmacKey = &entry.hmacKey;
        form.nasPresent = nas != nullptr;
        form.nas = nas != nullptr ? *nas : platform::IpAddress();
        form.overTls = entry.overTls;
        client.currentValid = true;
        client.currentIndex = -1;  // not sent yet
    }
}

}  // namespace

void CRadClient::PrepareRequestFor(CRadServer& entry, CRadPacket& request,
                                   const platform::IpAddress* nas) {
    PrepareForm(*this, entry, request, nas);
}

CRadPacket* CRadServer::Exchange(CRadPacket& request, std::int64_t shareEnd) {
    if (owner == nullptr || attempts <= 0) return nullptr;
    if (request.Length() < rad::kHeaderLength || request.Length() > rad::kMaxPacketLength)
        return nullptr;
    const ExchangeObserver* observer = owner->observer;
    ExchangeMoment moment = {&address, 0, 0, 0};
    for (std::int32_t i = 0; i < owner->serverCount; ++i)
        if (owner->servers[i] == this) moment.serverIndex = i;
    if (overTls) return ExchangeTls(request, shareEnd, moment);
    // No address (an unresolved host keeps none, and 0.0.0.0 would reach the local host on
    // Linux), or no socket of its family (a host without IPv6): nothing can go, skip at once.
    const platform::SocketHandle socket =
        address.Sendable() ? owner->SocketFor(address.ip.family) : platform::kInvalidSocket;
    if (socket == platform::kInvalidSocket) {
        if (observer != nullptr) observer->requestSent(observer->context, request, moment, false);
        return nullptr;
    }
    platform::IpAddress nasScratch;
    PrepareForm(
        *owner, *this, request,
        request.nasAddressOffset != 0 ? owner->NasAddressToward(address, &nasScratch) : nullptr);
    RequestForm& form = owner->current;
    const std::uint16_t length = request.Length();  // this server's NAS address included
    // The request's random bytes jitter the schedule: no further system call.
    CRadSchedule schedule;
    schedule.Begin(platform::MonotonicMillis(), shareEnd, attempts,
                   request.octets + rad::kAuthenticatorOffset + 12);
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
            const bool sentNow = platform::SocketSendToAddress(socket, request.octets, length,
                                                               address.ip, address.udpPort) >= 0;
            schedule.Advance(now);
            outcome.transmissions = static_cast<std::uint16_t>(outcome.transmissions + sentNow);
            if (sentNow && sentVersion < 0) {
                if (owner->currentIndex < 0) {
                    owner->currentIndex = owner->sentCount;
                    owner->sent[owner->sentCount++] = form.sent;
                }
                sentVersion = static_cast<std::int8_t>(owner->currentIndex);
                owner->anySent = true;
            }
            if (observer != nullptr) {
                moment.transmission = schedule.sent;
                moment.elapsedMillis = now - owner->firstTransmission;
                observer->requestSent(observer->context, request, moment, sentNow);
            }
            // Nothing went out: this route refuses, and the time is the next entries'.
            if (sentVersion < 0) return nullptr;
            continue;
        }
        const std::int64_t until = schedule.HasNext() ? schedule.next : shareEnd;
        int which = 0;
        const int ready = platform::SocketsWaitReadable(
            waitOn, waitCount, static_cast<std::int32_t>(until - now), &which);
        if (ready < 0) break;
        if (ready == 0) continue;
        if (owner->TakeDatagram(which, *this, request, moment)) return &reply;
    }
    return nullptr;
}

bool CRadClient::MalformedChallenge(const CRadPacket& reply) const {
    if (!strictChallenges) return false;
    if (purpose == RadiusPurpose::kAccounting) return reply.Code() != rad::kAccountingResponse;
    if (reply.Code() != rad::kAccessChallenge) return false;
    CRadAttrCursor cursor;
    int states = 0;
    CRadPacket& walked = const_cast<CRadPacket&>(reply);  // the cursor only reads
    for (int more = walked.NextAttribute(cursor); more == 0; more = walked.NextAttribute(cursor)) {
        if (cursor.Type() != rad::kState) continue;
        // RFC 2865 section 5.24: a State's Length is at least 3. An empty one would be echoed
        // as a 2-octet attribute no server issued.
        const std::uint8_t* value = nullptr;
        std::uint16_t valueLength = 0;
        if (++states > 1 || (cursor.GetValue(&value, &valueLength) == 0 && valueLength == 0))
            return true;
    }
    return false;
}

bool CRadClient::TakeDatagram(int which, CRadServer& inTurn, const CRadPacket& request,
                              ExchangeMoment& moment) {
    const platform::SocketHandle waitOn[2] = {udpSocket, udpSocket6};
    CRadPacket& reply = inTurn.reply;
    bool oversized = false;
    platform::IpAddress from;
    std::uint16_t fromPort = 0;
    const int received = platform::SocketReceiveFromAddress(
        waitOn[which], reply.octets, rad::kMaxPacketLength, &oversized, &from, &fromPort);
    if (received < 0) return false;
    bool signedReply = false;
    ReplyCheck verdict = ReplyCheck::kOversized;
    std::int32_t form = -1;
    // Checked against the latest form first (every entry of a list shares it, as a rule), then
    // against the earlier ones, for a late reply to an entry before. The verdict shown for a
    // datagram that verifies against none is the latest form's.
    for (std::int32_t v = sentCount - 1; v >= 0 && !oversized; --v) {
        const ReplyCheck check = reply.CheckResponseTo(
            sent[v].identifier, sent[v].authenticator, sent[v].secret,
            static_cast<std::uint16_t>(received), &signedReply, sent[v].hmacKey);
        if (v == sentCount - 1) verdict = check;
        if (check == ReplyCheck::kVerified) {
            verdict = check;
            form = v;
            break;
        }
    }
    // RFC 2865 section 5.44: an Access-Challenge carries at most one State.
    if (verdict == ReplyCheck::kVerified && MalformedChallenge(reply))
        verdict = ReplyCheck::kMalformed;
    std::int32_t judgedAs = -1;
    if (verdict == ReplyCheck::kVerified) {
        // A reply from an entry this call sent to is judged as that server's, signed or not. Any
        // other source is what an attacker on the path picks: it is held to the strictest rule
        // of the entries sent to, and teaches the table nothing.
        for (std::int32_t i = 0; i < serverCount && judgedAs < 0; ++i) {
            const CRadAddress& a = servers[i]->address;
            if (servers[i]->sentVersion >= 0 && a.udpPort == fromPort && SameAddress(a.ip, from))
                judgedAs = i;
        }
        bool admitted = true;
        if (judgedAs >= 0) {
            const CRadServer& s = *servers[judgedAs];
            admitted = AdmitVerifiedReply(s.replySigning, *signedServers,
                                          ServerKey(s.address.ip, s.address.udpPort), signedReply);
        } else {
            for (std::int32_t i = 0; i < serverCount && admitted && !signedReply; ++i) {
                const CRadServer& s = *servers[i];
                if (s.sentVersion < 0) continue;
                admitted = s.replySigning == ReplySigning::kNever ||
                           (s.replySigning == ReplySigning::kLearn &&
                            !signedServers->Knows(ServerKey(s.address.ip, s.address.udpPort)));
            }
            // The reply is then taken as the entry in turn's when it answers that entry's form,
            // else as the first entry's that was sent it.
            for (std::int32_t i = 0; i < serverCount; ++i)
                if (servers[i]->sentVersion == form && (judgedAs < 0 || servers[i] == &inTurn))
                    judgedAs = i;
        }
        // Last, a reply without a Message-Authenticator from a server that must send one
        // (CVE-2024-3596) is discarded like any other that fails; the schedule stands.
        if (!admitted) verdict = ReplyCheck::kUnsigned;
    }
    if (observer != nullptr) {
        moment.elapsedMillis = platform::MonotonicMillis() - firstTransmission;
        observer->datagramReceived(observer->context, request, reply, received, verdict, moment);
    }
    if (verdict != ReplyCheck::kVerified) {
        // Counted for the words of a call that fails: against the entry it came from, else the
        // one in turn (a datagram from elsewhere is what a wrong address or port looks like).
        CRadServer* source = &inTurn;
        for (std::int32_t i = 0; i < serverCount; ++i)
            if (servers[i]->address.udpPort == fromPort &&
                SameAddress(servers[i]->address.ip, from))
                source = servers[i];
        source->NoteDiscarded(verdict);
        return false;
    }
    replyServer = judgedAs;
    replySigned = signedReply;
    return true;
}

CRadClient::CRadClient() {
    tlsReason[0] = '\0';
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
    return AddServer(host, port, secret.octets, secret.length, timeoutSeconds);
}

int CRadClient::AddServer(const char* host, std::uint16_t port, const void* secret,
                          std::size_t secretLength, std::int32_t timeoutSeconds) {
    if (!ready || serverCount >= kMaxServers || serverCount < 0) return -1;
    // No exception may cross the exported boundary: a failed allocation adds nothing.
    CRadServer* entry =
        new (std::nothrow) CRadServer(this, host, port, secret, secretLength, timeoutSeconds);
    if (entry == nullptr) return -1;
    servers[serverCount++] = entry;
    return 0;
}

int CRadClient::AddResolvedServer(const CRadAddress& address, const CRadSecret& secret,
                                  std::int32_t timeoutSeconds) {
    if (AddServer(nullptr, 0, secret, timeoutSeconds) != 0) return -1;
    servers[serverCount - 1]->address = address;
    return 0;
}

CRadPacket* CRadClient::SendRequest(CRadPacket& request) {
    sentCount = 0;
    currentValid = false;
    currentIndex = -1;
    replyServer = -1;
    replySigned = false;
    replyOverTls = false;
    anySent = false;
    tlsFailed = false;
    tlsReason[0] = '\0';
    if (serverCount <= 0) return nullptr;
    if (currentServer < 0 || currentServer >= serverCount) currentServer = 0;
    // Which entries can be sent to, settled before the first send: only they share the time.
    bool usable[kMaxServers];
    for (std::int32_t i = 0; i < serverCount; ++i) {
        usable[i] = servers[i]->Usable();
        servers[i]->sentVersion = -1;
    }
    firstTransmission = platform::MonotonicMillis();
    const std::int64_t deadline =
        firstTransmission +
        (timeoutMillis > 0
             ? timeoutMillis
             : static_cast<std::int64_t>(servers[currentServer]->timeoutSeconds) * 1000);
    CRadServer* last = servers[currentServer];
    for (std::int32_t tried = 0; tried < serverCount; ++tried) {
        CRadServer* entry = servers[currentServer];
        // The usable entries still to come, this one included, share what is left.
        std::int32_t sharing = 0;
        for (std::int32_t k = tried; k < serverCount; ++k)
            if (usable[(currentServer + k - tried) % serverCount]) ++sharing;
        const std::int64_t now = tried == 0 ? firstTransmission : platform::MonotonicMillis();
        const std::int64_t left = deadline - now;
        // One that cannot be sent to returns at once (the observer hears of it) and leaves
        // its share to the others.
        if (!usable[currentServer] || left > 0) {
            CRadPacket* reply = entry->Exchange(request, now + ShareOfDeadline(left, sharing));
            if (reply != nullptr) return reply;
            if (usable[currentServer]) last = entry;
        }
        if (++currentServer >= serverCount) currentServer = 0;
    }
    // Every share has ended. A request went out: a reply to it may still come, from any entry
    // sent to, until the deadline; the call never fails before it then.
    if (!anySent) return nullptr;
    ExchangeMoment moment = {&last->address, 0, 0, 0};
    for (std::int32_t i = 0; i < serverCount; ++i)
        if (servers[i] == last) moment.serverIndex = i;
    const platform::SocketHandle waitOn[2] = {udpSocket, udpSocket6};
    const int waitCount = udpSocket6 != platform::kInvalidSocket ? 2 : 1;
    for (std::int64_t now = platform::MonotonicMillis(); now < deadline;
         now = platform::MonotonicMillis()) {
        int which = 0;
        const int readable = platform::SocketsWaitReadable(
            waitOn, waitCount, static_cast<std::int32_t>(deadline - now), &which);
        if (readable < 0) break;
        if (readable > 0 && TakeDatagram(which, *last, request, moment)) return &last->reply;
    }
    return nullptr;
}
