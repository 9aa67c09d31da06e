// The --verbose view of one exchange, radclient-style: each request sent and each datagram
// received with its verdict, attributes decoded through the library's attribute walker.
#include "exchange_trace.h"
#include "text_escape.h"

#include <cstdio>
#include <cstring>

#include "attribute_names.h"
#include "platform/platform.h"

namespace {

void PrintCode(std::uint8_t code) {
    const char* name = CodeName(code);
    if (name != nullptr)
        std::fputs(name, stderr);
    else
        std::fprintf(stderr, "Code %u", code);
}

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
        // The password is never shown, the signature only as there (its bytes say nothing).
        if (type == rad::kUserPassword)
            std::fprintf(stderr, "\tUser-Password = <hidden, %u bytes>", length);
        else if (type == rad::kMessageAuthenticator)
            std::fprintf(stderr, "\tMessage-Authenticator = <present, %u bytes>", length);
        else {
            WriteAttributeRows(stderr, "\t", type, value, length);  // as --attributes names it
            continue;
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
    } else if (verdict == ReplyCheck::kMalformed && request.Code() == rad::kAccountingRequest) {
        std::fputs("discarded: not an Accounting-Response (RFC 2866 section 4.2)\n", stderr);
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
        case rad::kAccountingRequest:  // RFC 2866 section 4.1
            return "Accounting-Request";
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

// Writes a server's text (a certificate's names, a reason quoting them) escaped.
void WriteText(const char* text) {
    WriteEscaped(stderr, reinterpret_cast<const unsigned char*>(text), std::strlen(text));
}

// The server's chain as the handshake checked it, its own certificate first, whether or not it
// verified: names, subjectAltName and dates.
void PrintChain(const CRadTlsSession& session) {
    for (int depth = 0; depth < session.PeerChainLength(); ++depth) {
        const PeerCertificate* c = session.PeerChain(depth);
        if (depth == 0)
            std::fputs("\tcertificate subject ", stderr);
        else
            std::fprintf(stderr, "\tchain certificate %d subject ", depth);
        WriteText(c->subject);
        std::fputs("\n\tissued by ", stderr);
        WriteText(c->issuer);
        if (c->altNames[0] != '\0') {
            std::fputs("\n\tsubjectAltName ", stderr);
            WriteText(c->altNames);
        }
        std::fputs("\n\tvalid from ", stderr);
        WriteText(c->validFrom);
        std::fputs(" to ", stderr);
        WriteText(c->validUntil);
        std::fputs(" UTC\n", stderr);
    }
}

// --verbose: what a tls:// entry's handshake settled, or why the connection failed or broke,
// with the server's chain either way.
void OnTlsConnection(void* context, const CRadTlsSession& session, bool connected,
                     const ExchangeMoment& moment) {
    ExchangeTrace* trace = static_cast<ExchangeTrace*>(context);
    if (!connected) {
        const char* reason = session.FailureReason();
        std::size_t n = 0;
        for (; reason[n] != '\0' && n + 1 < sizeof trace->tlsFailure; ++n)
            trace->tlsFailure[n] = reason[n];
        trace->tlsFailure[n] = '\0';
    }
    if (!trace->verbose) return;
    char server[96];
    FormatServer(*moment.server, server, sizeof server);
    if (connected) {
        // Which connection the request takes: one opened for it (a full handshake, or one
        // resumed from a ticket of an earlier connection), or one kept from an earlier login.
        const char* use = moment.tlsUse == TlsUse::kKept      ? "kept"
                          : moment.tlsUse == TlsUse::kResumed ? "resumed"
                                                              : "new";
        std::fprintf(stderr, "Server %d: %s TLS connection to %s: %s, %s\n",
                     moment.serverIndex + 1, use, server, session.Version(),
                     session.CipherSuite());
        if (moment.tlsUse == TlsUse::kNew) PrintChain(session);  // a kept one showed it before
        return;
    }
    // A connection that broke after the request went (a TLS 1.3 server refuses a client's
    // certificate only then) is no request the server took.
    if (moment.transmission > 0)
        std::fprintf(stderr, "Server %d: the TLS connection to %s ended without a reply: ",
                     moment.serverIndex + 1, server);
    else
        std::fprintf(stderr, "Server %d: no TLS connection to %s: ", moment.serverIndex + 1,
                     server);
    WriteText(session.FailureReason());
    std::fputc('\n', stderr);
    if (moment.transmission == 0) PrintChain(session);  // else shown with the connection
}

ExchangeObserver ExchangeTrace::Observer() {
    return ExchangeObserver{this, OnSent, OnReceived, OnTlsConnection};
}
