// Checking and encoding the caller's request attributes: one place for the layout of a standard
// attribute and of a Vendor-Specific one, and for the list of attributes the library owns.
#include "radius/request_attributes.h"

#include <cstring>

namespace {

struct Owned {
    std::uint8_t type;
    const char* reason;
};

// The attributes a request gets from the library alone: from its arguments, from the client's
// options, or from the exchange (RFC 3579 section 3.2, RFC 2865 section 5.33).
const Owned kOwned[] = {
    {rad::kUserName, "User-Name (1) is the library's own: it comes from the user argument"},
    {rad::kUserPassword,
     "User-Password (2) is the library's own: it comes from the password argument"},
    {rad::kChapPassword, "CHAP-Password (3) is the library's own: PAP logins only"},
    {rad::kNasIpAddress,
     "NAS-IP-Address (4) is the library's own: set QVRAD_OPT_NAS_IP_ADDRESS instead"},
    {rad::kState, "State (24) is the library's own: it echoes a challenge's"},
    {rad::kNasIdentifier,
     "NAS-Identifier (32) is the library's own: set QVRAD_OPT_NAS_IDENTIFIER instead"},
    {rad::kProxyState, "Proxy-State (33) is the library's own: only proxies add it"},
    {rad::kEapMessage, "EAP-Message (79) is the library's own: EAP is not offered"},
    {rad::kMessageAuthenticator,
     "Message-Authenticator (80) is the library's own: it signs every Access-Request"},
    {rad::kNasIpv6Address,
     "NAS-IPv6-Address (95) is the library's own: set QVRAD_OPT_NAS_IP_ADDRESS instead"},
};

constexpr std::size_t kCapacity = sizeof(RequestAttributes::bytes);

const char* Room(const RequestAttributes& list, std::size_t attributeLength) {
    if (list.length + attributeLength > kCapacity)
        return "the attributes would make the packet longer than 4096 octets";
    return nullptr;
}

}  // namespace

const char* OwnedAttributeReason(std::uint32_t type) {
    for (const Owned& owned : kOwned)
        if (owned.type == type) return owned.reason;
    return nullptr;
}

const char* AddRequestAttribute(RequestAttributes& list, std::uint32_t type,
                                const std::uint8_t* value, std::size_t length) {
    if (type < 1 || type > 255) return "an attribute type is 1 to 255";
    if (type == rad::kVendorSpecific)
        return "Vendor-Specific (26) is added with its vendor, type and value";
    if (const char* owned = OwnedAttributeReason(type)) return owned;
    // RFC 2865 section 5: the Length octet counts Type and Length, so 253 value octets at most;
    // RFC 8044 section 3.4 and 3.5: no value is empty.
    if (value == nullptr || length == 0) return "an attribute's value is 1 to 253 octets";
    if (length > rad::kMaxTextLength) return "a value over 253 octets";
    const std::size_t total = rad::kAttributeHeaderLength + length;
    if (const char* full = Room(list, total)) return full;
    std::uint8_t* at = list.bytes + list.length;
    at[0] = static_cast<std::uint8_t>(type);
    at[1] = static_cast<std::uint8_t>(total);
    std::memcpy(at + rad::kAttributeHeaderLength, value, length);
    list.length = static_cast<std::uint16_t>(list.length + total);
    ++list.count;
    return nullptr;
}

const char* AddVendorAttribute(RequestAttributes& list, std::uint32_t vendor,
                               std::uint32_t vendorType, const std::uint8_t* value,
                               std::size_t length) {
    // RFC 2865 section 5.26: the Vendor-Id's high-order octet is 0, the low three the SMI
    // Network Management Private Enterprise Code; 0 is reserved.
    if (vendor < 1 || vendor > 0xFFFFFFu) return "a vendor id is 1 to 16777215";
    if (vendorType < 1 || vendorType > 255) return "a vendor type is 1 to 255";
    if (value == nullptr || length == 0) return "a vendor attribute's value is 1 to 247 octets";
    if (length > rad::kMaxVendorValueLength) return "a vendor value over 247 octets";
    const std::size_t total = rad::kAttributeHeaderLength + rad::kVendorHeaderLength + length;
    if (const char* full = Room(list, total)) return full;
    std::uint8_t* at = list.bytes + list.length;
    at[0] = rad::kVendorSpecific;
    at[1] = static_cast<std::uint8_t>(total);
    at[2] = 0;
    at[3] = static_cast<std::uint8_t>(vendor >> 16);
    at[4] = static_cast<std::uint8_t>(vendor >> 8);
    at[5] = static_cast<std::uint8_t>(vendor);
    at[6] = static_cast<std::uint8_t>(vendorType);
    at[7] = static_cast<std::uint8_t>(2 + length);  // vendor type and length octets included
    std::memcpy(at + rad::kAttributeHeaderLength + rad::kVendorHeaderLength, value, length);
    list.length = static_cast<std::uint16_t>(list.length + total);
    ++list.count;
    return nullptr;
}

bool HasRequestAttribute(const RequestAttributes& list, std::uint8_t type) {
    // Every attribute was laid out by the adders: each Length octet is at least 3.
    for (std::uint16_t at = 0; at + 1 < list.length;
         at = static_cast<std::uint16_t>(at + list.bytes[at + 1]))
        if (list.bytes[at] == type) return true;
    return false;
}

int AppendRequestAttributes(CRadPacket& request, const RequestAttributes& list,
                            std::uint16_t reserve) {
    const std::uint32_t length = request.Length();
    if (list.length > kCapacity || length + list.length + reserve > rad::kMaxPacketLength)
        return -1;
    std::memcpy(request.octets + length, list.bytes, list.length);
    request.SetLength(static_cast<std::uint16_t>(length + list.length));
    return 0;
}
