// Hand-built RADIUS wire images for the tests (RFC 2865 sections 3, 5 and 5.2; RFC 3579 3.2).
#include "support/radius_wire.h"

Bytes EncodeAttributes(const std::vector<Attribute>& attributes) {
    Bytes out;
    for (const Attribute& a : attributes) {
        out.push_back(a.first);
        out.push_back(static_cast<std::uint8_t>(a.second.size() + 2));
        out.insert(out.end(), a.second.begin(), a.second.end());
    }
    return out;
}

std::vector<Attribute> ParseAttributes(const Bytes& packet) {
    std::vector<Attribute> out;
    if (packet.size() < 20) return out;
    std::size_t length = (static_cast<std::size_t>(packet[2]) << 8) | packet[3];
    if (length > packet.size()) length = packet.size();
    std::size_t at = 20;
    while (at + 2 <= length) {
        const std::size_t n = packet[at + 1];
        if (n < 2 || at + n > length) break;
        out.emplace_back(packet[at], Bytes(packet.begin() + at + 2, packet.begin() + at + n));
        at += n;
    }
    return out;
}

const Bytes* FindFirst(const std::vector<Attribute>& attributes, std::uint8_t type) {
    for (const Attribute& a : attributes)
        if (a.first == type) return &a.second;
    return nullptr;
}

Bytes RequestAuthenticatorOf(const Bytes& request) {
    return Bytes(request.begin() + 4, request.begin() + 20);
}

void Resign(Bytes& reply, const Bytes& request, const Bytes& secret) {
    std::size_t length = (static_cast<std::size_t>(reply[2]) << 8) | reply[3];
    if (length < 20) length = 20;  // a hostile Length below the header still signs a header
    if (length > reply.size()) length = reply.size();
    if (length < 20) return;
    Bytes covered(reply.begin(), reply.begin() + static_cast<long>(length));
    for (int i = 0; i < 16; ++i) covered[4 + i] = request[4 + i];
    const Bytes digest = RefMd5(Concat({covered, secret}));
    for (int i = 0; i < 16; ++i) reply[4 + i] = digest[i];
}

static Bytes Header(const Bytes& request, std::uint8_t code, std::size_t length) {
    Bytes h = {code, request[1], static_cast<std::uint8_t>(length >> 8),
               static_cast<std::uint8_t>(length & 0xFF)};
    Bytes auth = RequestAuthenticatorOf(request);
    h.insert(h.end(), auth.begin(), auth.end());
    return h;
}

Bytes SignedReply(const Bytes& request, const Bytes& secret, std::uint8_t code,
                  const Bytes& attributes) {
    Bytes reply = Concat({Header(request, code, 20 + attributes.size()), attributes});
    Resign(reply, request, secret);
    return reply;
}

Bytes SignedReplyWithMessageAuthenticator(const Bytes& request, const Bytes& secret,
                                          std::uint8_t code, const Bytes& attributes) {
    Bytes ma = {80, 18};
    ma.resize(18, 0);
    Bytes reply = Concat({Header(request, code, 20 + 18 + attributes.size()), ma, attributes});
    const Bytes mac = RefHmacMd5(secret, reply);  // Authenticator field = Request Authenticator
    for (int i = 0; i < 16; ++i) reply[22 + i] = mac[i];
    Resign(reply, request, secret);
    return reply;
}

Bytes RevealPassword(const Bytes& hidden, const Bytes& secret, const Bytes& requestAuthenticator) {
    Bytes plain;
    Bytes previous = requestAuthenticator;
    for (std::size_t at = 0; at + 16 <= hidden.size(); at += 16) {
        const Bytes pad = RefMd5(Concat({secret, previous}));
        for (int i = 0; i < 16; ++i)
            plain.push_back(static_cast<std::uint8_t>(hidden[at + i] ^ pad[i]));
        previous.assign(hidden.begin() + static_cast<long>(at),
                        hidden.begin() + static_cast<long>(at) + 16);
    }
    return plain;
}

Bytes ExpectedRequestMessageAuthenticator(const Bytes& request, const Bytes& secret,
                                          std::size_t valueOffset) {
    Bytes zeroed = request;
    for (int i = 0; i < 16; ++i) zeroed[valueOffset + i] = 0;
    return RefHmacMd5(secret, zeroed);
}
