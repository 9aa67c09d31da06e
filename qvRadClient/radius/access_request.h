// The Access-Request every login sends (RFC 2865 section 4.1), built in one place for auth and
// for the structured interface: the same attributes in the same order, so the same bytes.
#pragma once

#include <cstdint>

#include "radius/nas_identity.h"
#include "radius/packet.h"

struct RequestAttributes;

// What goes into the request beside its header.
struct AccessRequestFields {
    const char* user;                     // User-Name, sent as given
    const char* password;                 // hidden as User-Password at each server's preparation
    const NasIdentity* nas;               // NAS-Identifier and whether a NAS address slot follows
    const std::uint8_t* state = nullptr;  // a challenge's State, copied as received
    std::uint16_t stateLength = 0;
};

// Appends, to a request that holds only its header: Message-Authenticator first (RFC 3579
// section 3.2, CVE-2024-3596), User-Name, User-Password, the NAS-Identifier when there is one,
// the State when there is one (RFC 2865 section 5.24), and marks the NAS address slot last when
// the setting asks for an address (the exchange fills it per server). 0, or -1 when an
// attribute does not fit (the caller checked the lengths).
int BuildAccessRequest(CRadPacket& request, const AccessRequestFields& fields);
// Appends the caller's attributes, in their order, to a request BuildAccessRequest made: after
// the library's own and before the NAS address slot, which stays last (room for an IPv6 one is
// kept). 0, or -1 (nothing appended) when the packet would pass 4096 octets. Apart from
// BuildAccessRequest, so that auth, which has none, does not pay for the test.
int AppendCallerAttributes(CRadPacket& request, const RequestAttributes& extra);
