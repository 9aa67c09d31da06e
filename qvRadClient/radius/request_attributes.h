// The caller's own attributes for a request (RFC 2865 section 5): kept in their wire form in the
// order added, checked as they are added, and appended after the library's own attributes.
#pragma once

#include <cstddef>
#include <cstdint>

#include "radius/constants.h"
#include "radius/packet.h"

// The attributes as they go on the wire, one after the other: never more than a packet's
// attribute area can hold.
struct RequestAttributes {
    std::uint8_t bytes[rad::kMaxPacketLength - rad::kHeaderLength];
    std::uint16_t length = 0;
    std::uint16_t count = 0;
};

// Each adder returns null when the attribute was added, else the reason it was refused (a fixed
// English text naming the attribute or the limit); a refused one adds nothing.
// A standard attribute: type 1 to 255 but Vendor-Specific (26) and the library's own, value 1 to
// 253 octets.
const char* AddRequestAttribute(RequestAttributes& list, std::uint32_t type,
                                const std::uint8_t* value, std::size_t length);
// A Vendor-Specific attribute of RFC 2865 section 5.26's usual layout, one sub-attribute: vendor
// 1 to 2^24 - 1 (the high octet of the Vendor-Id is 0), vendor type 1 to 255, value 1 to 247.
const char* AddVendorAttribute(RequestAttributes& list, std::uint32_t vendor,
                               std::uint32_t vendorType, const std::uint8_t* value,
                               std::size_t length);
// Why a standard attribute of that type is the library's own (User-Name, User-Password,
// CHAP-Password, NAS-IP-Address, State, NAS-Identifier, Proxy-State, EAP-Message,
// Message-Authenticator, NAS-IPv6-Address), or null.
const char* OwnedAttributeReason(std::uint32_t type);
// Whether the list holds a standard attribute of that type.
bool HasRequestAttribute(const RequestAttributes& list, std::uint8_t type);
// Appends the list to a request: 0, or -1 (nothing appended) when the packet would pass 4096
// octets (RFC 2865 section 3) with room kept for what follows (reserve octets: the NAS address
// the exchange adds per server).
int AppendRequestAttributes(CRadPacket& request, const RequestAttributes& list,
                            std::uint16_t reserve);
