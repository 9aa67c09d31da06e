// The Accounting-Request (RFC 2866 section 4.1): its attributes in a fixed order and its Request
// Authenticator, an MD5 over the packet and the secret rather than random octets (section 3).
#pragma once

#include <cstdint>

#include "radius/nas_identity.h"
#include "radius/packet.h"

struct RequestAttributes;

// What goes into an Accounting-Request's attribute area.
struct AccountingFields {
    std::uint32_t statusType;        // Acct-Status-Type (RFC 2866 section 5.1)
    const char* sessionId;           // Acct-Session-Id (section 5.5); null for none
    const char* user;                // User-Name; null for none
    const NasIdentity* nas;          // NAS-Identifier, and whether a NAS address slot follows
    const RequestAttributes* extra;  // the caller's own; null for none
    std::uint32_t eventTimestamp;    // Event-Timestamp (RFC 2869 section 5.3) unless extra has one
};

// Lays out the attribute area, to a request that holds only its header: Acct-Status-Type,
// Acct-Session-Id, User-Name, NAS-Identifier (the ones given), Event-Timestamp and
// Acct-Delay-Time 0 (RFC 2866 section 5.2) unless the caller's attributes carry them, then the
// caller's in their order; the NAS address slot, filled per server by the exchange, stays
// last. 0, or -1 when the packet would pass 4096 octets.
int BuildAccountingAttributes(CRadPacket& request, const AccountingFields& fields);

// The attribute area of an Accounting-Request as it is kept (spooled): everything after the
// header and before the NAS address slot.
inline std::uint16_t AccountingAreaLength(const CRadPacket& request) {
    const std::uint16_t end =
        request.nasAddressOffset != 0 ? request.nasAddressOffset : request.Length();
    return static_cast<std::uint16_t>(end - rad::kHeaderLength);
}

// Lays a kept attribute area into a request of Code 4 (header, area, NAS address slot when nas
// asks for one), with the first Acct-Delay-Time's value grown by waited seconds (saturating at
// 2^32 - 1). 0, or -1 when the area is longer than a packet or its attributes do not parse to
// its end (RFC 2865 section 5).
int LoadAccountingArea(CRadPacket& request, const std::uint8_t* area, std::uint16_t length,
                       const NasIdentity& nas, std::uint32_t waited);

// RFC 2866 section 3: Request Authenticator = MD5(Code + Identifier + Length + 16 zero octets +
// request attributes + shared secret), written into the request. Its NAS address and
// Identifier must be in place: every change of either makes a new one.
void SignAccountingRequest(CRadPacket& request, const CRadSecret& secret);
