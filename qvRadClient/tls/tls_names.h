// The server's identity as RFC 9525 checks it: the reference name against the certificate's
// subjectAltName entries alone (DNS-ID or IP-ID), never the subject's Common Name.
#pragma once

#include <cstddef>
#include <cstdint>

// Whether a dNSName entry's octets (presented, length) match the reference DNS name, RFC 9525
// section 6.3: ASCII letters compared without case; "*" as the whole leftmost label matches
// exactly one label of the reference, and nowhere else is a wildcard. A trailing dot on the
// reference is ignored.
bool DnsIdMatches(const char* reference, const std::uint8_t* presented, std::size_t length);

// Whether an iPAddress entry's octets (4 or 16, RFC 5280 section 4.2.1.6) are the reference
// address, given as its literal text (RFC 9525 section 6.4). False for text that is no literal.
bool IpIdMatches(const char* reference, const std::uint8_t* presented, std::size_t length);

// Whether the reference is an IPv4 or IPv6 literal: such a server is named by an IP-ID and is
// sent no SNI (RFC 6066 section 3: "Literal IPv4 and IPv6 addresses are not permitted").
bool IsAddressLiteral(const char* reference);
