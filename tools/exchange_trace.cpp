// The --verbose view of one exchange, radclient-style: each request sent and each datagram
// received with its verdict, attributes decoded through the library's attribute walker.
#include "exchange_trace.h"

#include <cstdio>
#include <cstring>

#include "platform/platform.h"
#include "text_escape.h"

namespace {

void PrintCode(std::uint8_t code) {
    const char* name = CodeName(code);
    if (name != nullptr)
        std::fputs(name, stderr);
    else
        std::fprintf(stderr, "Code %u", code);
}

enum class Shown { kText, kHex, kHidden, kPresent, kAddress };

struct AttributeName {
    std::uint8_t type;
    const char* name;
    Shown shown;
};

const AttributeName kNames[] = {
    {rad::kUserName, "User-Name", Shown::kText},            // RFC 2865 section 5.1
    {rad::kUserPassword, "User-Password", Shown::kHidden},  // RFC 2865 section 5.2
    {rad::kReplyMessage, "Reply-Message", Shown::kText},    // RFC 2865 section 5.18
    {24, "State", Shown::kHex},                             // RFC 2865 section 5.24
    {25, "Class", Shown::kHex},                             // RFC 2865 section 5.25
    {rad::kProxyState, "Proxy-State", Shown::kHex},         // RFC 2865 section 5.33
    {rad::kMessageAuthenticator, "Message-Authenticator", Shown::kPresent},  // RFC 3579 3.2

    // What names the NAS in a request (RFC 2865 section 4.1).
    {rad::kNasIdentifier, "NAS-Identifier", Shown::kText},        // RFC 2865 section 5.32
    {rad::kNasIpAddress, "NAS-IP-Address", Shown::kAddress},      // RFC 2865 section 5.4
    {rad::kNasIpv6Address, "NAS-IPv6-Address", Shown::kAddress},  // RFC 3162 section 2.1
};

// Each attribute below the packet's Length on its own line; the walk stops at a malformed one.
// The cursor holds a mutable packet pointer, but nothing here writes through it.
void PrintAttributes(const CRadPacket& shown) {
    CRadPacket& packet = const_cast<CRadPacket&>(shown);
    CRadAttrCursor cursor;
    // At most one attribute per two octets of a 4096-octet packet: the walk is bounded anyway.
    for (int count = 0; count < rad::kMaxPacketLength / 2 && packet.NextAttribute(cursor) == 0;
         ++count) {
        const std::uint8_t type = cursor.Type();
        const std::uint8_t* value = nullptr;
        std::uint16_t length = 0;
        if (cursor.GetValue(&value, &length) != 0) {
            // The library's own check names the fault; it stops where this walk stopped.
            std::fprintf(stderr,
                         "\tmalformed attribute (type %u) at byte %u: %s; the rest is not read\n",
                         type, cursor.offset, AttributeFaultText(packet.CheckAttributes()));
            return;
        }
        const AttributeName* known = nullptr;
        for (const AttributeName& n : kNames)
            if (n.type == type) known = &n;
        if (known != nullptr)
            std::fprintf(stderr, "\t%s = ", known->name);
        else
            std::fprintf(stderr, "\tAttr-%u = ", type);
        Shown how = known != nullptr ? known->shown : Shown::kHex;
        platform::IpAddress ip;
        if (how == Shown::kAddress) {
            // Of the family its length says; any other length is shown as bytes.
            ip.family = length == 4 ? platform::kFamilyIPv4 : platform::kFamilyIPv6;
            if (length == 4 || length == 16)
                std::memcpy(ip.bytes, value, length);
            else
                how = Shown::kHex;
        }
        if (how == Shown::kAddress) {
            char text[64];
            platform::FormatAddress(ip, text, sizeof text);
            std::fputs(text, stderr);
        } else if (how == Shown::kText) {
            std::fputc('"', stderr);
            WriteEscaped(stderr, value, length);
            std::fputc('"', stderr);
        } else if (how == Shown::kHidden) {
            std::fprintf(stderr, "<hidden, %u bytes>", length);
        } else if (how == Shown::kPresent) {
            std::fprintf(stderr, "<present, %u bytes>", length);
        } else {
            std::fputs("0x", stderr);
            for (std::uint16_t i = 0; i < length; ++i) std::fprintf(stderr, "%02x", value[i]);
        }
        std::fputc('\n', stderr);
    }
}

// The entry's address and port, an IPv6 address in brackets (RFC 3986 section 3.2.2).
void FormatServer(const CRadAddress& server, char* text, std::size_t size) {
    char address[64];
    platform::FormatAddress(server.ip, address, sizeof address);
    if (server.ip.family == platform::kFamilyIPv6)
        std::snprintf(text, size, "[%s]:%u", address, server.udpPort);
    else
        std::snprintf(text, size, "%s:%u", address, server.udpPort);
}

void OnSent(void* context, const CRadPacket& request, const ExchangeMoment& moment, bool sent) {
    ExchangeTrace* trace = static_cast<ExchangeTrace*>(context);
    if (sent) {
        ++trace->sent;
        trace->sentAt = platform::MonotonicMillis();
    }
    if (!trace->verbose) return;
    const int previous = trace->lastServer;
    const bool switched = previous >= 0 && previous != moment.serverIndex;
    trace->lastServer = moment.serverIndex;
    if (moment.transmission == 0) {
        std::fprintf(stderr, "Server %d: nothing sent: %s\n", moment.serverIndex + 1,
                     moment.server->ip.family == platform::kFamilyNone
                         ? "its name or address did not resolve"
                         : "no socket of its address family (IPv6 disabled?)");
        return;
    }
    char server[96];
    FormatServer(*moment.server, server, sizeof server);
    if (switched)
        std::fprintf(stderr, "Server %d stayed silent for its share: trying server %d\n",
                     previous + 1, moment.serverIndex + 1);
    std::fputs(sent ? "Sent " : "Could not send ", stderr);
    PrintCode(request.Code());
    std::fprintf(stderr, " Id %u to %s, %u bytes, transmission %d at +%lld.%03lld s\n",
                 request.Identifier(), server, request.Length(), moment.transmission,
                 static_cast<long long>(moment.elapsedMillis / 1000),
                 static_cast<long long>(moment.elapsedMillis % 1000));
    // Every transmission carries the same bytes: the attributes are shown once per server.
    if (moment.transmission == 1) PrintAttributes(request);
}

const char* Reason(ReplyCheck verdict) {
    switch (verdict) {
        case ReplyCheck::kBadLength:
            return "its Length field is below 20, above 4096 or past the bytes received";
        case ReplyCheck::kNoSecret:
            return "no secret to check it with";
        case ReplyCheck::kBadAuthenticator:
            return "Response Authenticator does not verify (another secret, or not a reply to "
                   "this request)";
        case ReplyCheck::kProxyState:
            return "it carries a Proxy-State, which this client never sends (CVE-2024-3596)";
        case ReplyCheck::kMessageAuthenticatorForm:
            return "Message-Authenticator not of length 18, or more than one";
        case ReplyCheck::kBadMessageAuthenticator:
            return "Message-Authenticator does not verify";
        case ReplyCheck::kUnsigned:
            return "no Message-Authenticator, which this server must send "
                   "(QVRAD_REQUIRE_MESSAGE_AUTHENTICATOR, --require-message-authenticator, or a "
                   "reply to Status-Server)";
        case ReplyCheck::kMalformed:
            return "an Access-Challenge with more than one State (RFC 2865 section 5.44)";
        default:
            return "";
    }
}

void OnReceived(void* context, const CRadPacket& request, const CRadPacket& reply, int received,
                ReplyCheck verdict, const ExchangeMoment& moment) {
    ExchangeTrace* trace = static_cast<ExchangeTrace*>(context);
    if (verdict == ReplyCheck::kVerified) {
        trace->replied = true;
        trace->replyCode = reply.Code();
        trace->replyFault = reply.CheckAttributes();
        trace->roundTrip = platform::MonotonicMillis() - trace->sentAt;
    }
    if (verdict == ReplyCheck::kUnsigned) trace->unsignedDropped = true;
    if (!trace->verbose) return;
    if (verdict == ReplyCheck::kOversized) {
        std::fputs("Received more than 4096 bytes, discarded: larger than any RADIUS packet\n",
                   stderr);
        return;
    }
    if (verdict == ReplyCheck::kTooShort) {
        std::fprintf(stderr, "Received %d bytes, discarded: shorter than a RADIUS header\n",
                     received);
        return;
    }
    // From here on at least the 20 octets of a header were received.
    std::fputs("Received ", stderr);
    PrintCode(reply.Code());
    std::fprintf(stderr, " Id %u, %d bytes, ", reply.Identifier(), received);
    if (verdict == ReplyCheck::kVerified) {
        std::fprintf(stderr, "verified, at +%lld.%03lld s, after transmission %d to server %d\n",
                     static_cast<long long>(moment.elapsedMillis / 1000),
                     static_cast<long long>(moment.elapsedMillis % 1000), moment.transmission,
                     moment.serverIndex + 1);
        PrintAttributes(reply);  // its Length was checked against the bytes received
        if (reply.Code() == rad::kAccessAccept && trace->replyFault != AttributeFault::kNone)
            std::fputs(
                "An Access-Accept whose attributes do not parse is treated as an "
                "Access-Reject (RFC 2865 section 5)\n",
                stderr);
    } else if (verdict == ReplyCheck::kWrongIdentifier) {
        std::fprintf(stderr, "discarded: Identifier %u, expected %u\n", reply.Identifier(),
                     request.Identifier());
    } else {
        std::fprintf(stderr, "discarded: %s\n", Reason(verdict));
    }
}

}  // namespace

const char* CodeName(std::uint8_t code) {
    switch (code) {  // RFC 2865 section 4
        case rad::kAccessRequest:
            return "Access-Request";
        case rad::kAccessAccept:
            return "Access-Accept";
        case rad::kAccessReject:
            return "Access-Reject";
        case rad::kAccountingResponse:  // RFC 2866 section 4.2
            return "Accounting-Response";
        case rad::kAccessChallenge:
            return "Access-Challenge";
        case rad::kStatusServer:  // RFC 5997 section 3
            return "Status-Server";
        default:
            return nullptr;
    }
}

const char* AttributeFaultText(AttributeFault fault) {
    switch (fault) {
        case AttributeFault::kPacketLength:
            return "the packet's Length is outside 20..4096";
        case AttributeFault::kNoLengthOctet:
            return "no room for its Length octet before the packet's Length";
        case AttributeFault::kLengthBelowTwo:
            return "its Length octet is below 2, so no next attribute can be found";
        case AttributeFault::kPastEnd:
            return "it runs past the packet's Length";
        default:
            return "well formed";
    }
}

ExchangeObserver ExchangeTrace::Observer() {
    return ExchangeObserver{this, OnSent, OnReceived};
}
