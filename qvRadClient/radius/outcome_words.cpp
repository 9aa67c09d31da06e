// The words of a call that failed, made from each entry's ServerOutcome only when a structured
// call asks for them: auth's calls never come here.
#include "radius/outcome_words.h"

#include "platform/platform.h"
#include "radius/detail_text.h"

const char* ReplyCheckWords(ReplyCheck check) {
    switch (check) {
        case ReplyCheck::kTooShort:
            return "shorter than a RADIUS header";
        case ReplyCheck::kBadLength:
            return "its Length does not match the octets received";
        case ReplyCheck::kNoSecret:
            return "no secret to check it with";
        case ReplyCheck::kBadAuthenticator:
            // RFC 2865 section 3: the Response Authenticator hashes the shared secret.
            return "bad Response Authenticator (wrong secret?)";
        case ReplyCheck::kWrongIdentifier:
            return "the Identifier of another request";
        case ReplyCheck::kProxyState:
            return "a Proxy-State, which this client never sends (CVE-2024-3596)";
        case ReplyCheck::kMessageAuthenticatorForm:
            return "a malformed Message-Authenticator (not 18 octets, or two)";
        case ReplyCheck::kBadMessageAuthenticator:
            // RFC 3579 section 3.2: HMAC-MD5 keyed with the shared secret.
            return "bad Message-Authenticator (wrong secret?)";
        case ReplyCheck::kOversized:
            return "larger than 4096 octets";
        case ReplyCheck::kUnsigned:
            return "missing Message-Authenticator, which this server must send";
        case ReplyCheck::kMalformed:
            return "an Access-Challenge with more than one State";
        case ReplyCheck::kVerified:
            break;
    }
    return "verified";
}

namespace {

void Plural(DetailText& text, std::uint32_t count, const char* one, const char* many) {
    text.Number(count).Text(" ").Text(count == 1 ? one : many);
}

void DescribeEntry(const CRadClient& client, const CRadServer& entry, DetailText& text) {
    const ServerOutcome& o = entry.outcome;
    if (o.resolveError != 0) {
        if (o.resolveError == kResolveMalformed)
            text.Text("not an IP address, and no host name (':', '[' or ']')");
        else
            text.Text("the name did not resolve: ").Text(platform::ResolverWords(o.resolveError));
        return;
    }
    if (o.tlsFailed) {
        text.Text(o.tlsReason);
    } else if (o.transmissions == 0) {
        // Usable() settled this before the first send; the sockets are the call's.
        const bool noSocket = !entry.overTls && entry.address.ip.family == platform::kFamilyIPv6 &&
                              client.triedSocket6 && client.udpSocket6 == platform::kInvalidSocket;
        text.Text(noSocket                   ? "no IPv6 socket on this host (IPv6 disabled?)"
                  : entry.address.Sendable() ? "nothing sent: the time was up before its turn"
                                             : "no address to send to");
    } else {
        if (o.discarded == 0) text.Text("silent after ");
        Plural(text, o.transmissions, "transmission", "transmissions");
    }
    if (o.discarded == 0) return;
    text.Text(", ");
    Plural(text, o.discarded, "reply discarded", "replies discarded");
    text.Text(o.discarded == 1 ? ": " : ", the first: ").Text(ReplyCheckWords(o.firstDiscarded));
}

}  // namespace

void DescribeOutcomes(const CRadClient& client, const char* lead, const EntryLabel* labels,
                      char* out, std::size_t size) {
    DetailText text(out, size);
    text.Text(lead);
    for (std::int32_t i = 0; i < client.serverCount && i < CRadClient::kMaxServers; ++i) {
        const CRadServer& entry = *client.servers[i];
        text.Text(i == 0 ? "server " : "; server ")
            .Number(static_cast<std::uint32_t>(labels != nullptr ? labels[i].place : i + 1))
            .Text(" (");
        if (labels != nullptr && labels[i].host != nullptr) {
            text.Text(labels[i].host);
        } else {
            char address[64];
            platform::FormatAddress(entry.address.ip, address, sizeof address);
            text.Text(address);
        }
        text.Text(" port ").Number(entry.address.udpPort).Text("): ");
        DescribeEntry(client, entry, text);
    }
}
