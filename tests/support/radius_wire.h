// RADIUS wire images for the tests, built by hand from the RFC 2865 layout with the reference
// digests, so the library's packets are checked against an independent computation.
#pragma once

#include <cstdint>
#include <utility>
#include <vector>

#include "support/reference_crypto.h"

using Attribute = std::pair<std::uint8_t, Bytes>;

Bytes EncodeAttributes(const std::vector<Attribute>& attributes);
// Splits the attribute area of a well-formed packet; stops at the first malformed attribute.
std::vector<Attribute> ParseAttributes(const Bytes& packet);
const Bytes* FindFirst(const std::vector<Attribute>& attributes, std::uint8_t type);

// A reply to request signed as RFC 2865 section 3 says: Response Authenticator =
// MD5(Code + Identifier + Length + Request Authenticator + attributes + secret).
Bytes SignedReply(const Bytes& request, const Bytes& secret, std::uint8_t code,
                  const Bytes& attributes);
// The same, with a valid Message-Authenticator (RFC 3579 section 3.2) as first attribute.
Bytes SignedReplyWithMessageAuthenticator(const Bytes& request, const Bytes& secret,
                                          std::uint8_t code, const Bytes& attributes);
// Recomputes the Response Authenticator of an already laid out reply (Length field as given).
void Resign(Bytes& reply, const Bytes& request, const Bytes& secret);

// RFC 2865 section 5.2 in reverse: the padded plaintext of a hidden User-Password.
Bytes RevealPassword(const Bytes& hidden, const Bytes& secret, const Bytes& requestAuthenticator);
Bytes RequestAuthenticatorOf(const Bytes& request);
// RFC 3579 section 3.2 on a request: HMAC-MD5 of the packet with the value zeroed.
Bytes ExpectedRequestMessageAuthenticator(const Bytes& request, const Bytes& secret,
                                          std::size_t valueOffset);
