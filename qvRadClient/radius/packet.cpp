// Building and reading RADIUS packets in place (RFC 2865 sections 3 and 5). Every offset and
// length is 16-bit; every limit test is formed in int so that it cannot wrap.
#include "radius/packet.h"

#include <cstring>

#include "platform/platform.h"

CRadSecret::CRadSecret(const CRadSecret& other) : length(other.length) {
    std::memcpy(octets, other.octets, length);
}

CRadSecret& CRadSecret::operator=(const CRadSecret& other) {
    if (this != &other) {
        platform::SecureZero(octets, sizeof octets);
        length = other.length;
        std::memcpy(octets, other.octets, length);
    }
    return *this;
}

CRadSecret::~CRadSecret() {
    platform::SecureZero(octets, sizeof octets);
    length = 0;
}

int CRadSecret::Assign(const void* bytes, std::size_t count) {
    platform::SecureZero(octets, sizeof octets);
    length = 0;
    if (count > rad::kMaxSecretLength || (bytes == nullptr && count != 0)) return -1;
    if (count != 0) std::memcpy(octets, bytes, count);
    length = static_cast<std::uint16_t>(count);
    return 0;
}

CRadPacket::CRadPacket(std::uint8_t code) {
    octets[0] = code;
    octets[1] = 0;
    SetLength(rad::kHeaderLength);
}

CRadPacket::~CRadPacket() {
    platform::SecureZero(savedPassword, sizeof savedPassword);
    savedPasswordLength = 0;
}

std::uint16_t CRadPacket::Length() const {
    return ReadBigEndian16(octets + 2);
}

void CRadPacket::SetLength(std::uint16_t length) {
    octets[2] = static_cast<std::uint8_t>(length >> 8);
    octets[3] = static_cast<std::uint8_t>(length & 0xFF);
}

int CRadPacket::BeginAttribute(std::uint8_t type, CRadAttrCursor& cursor) {
    cursor.packet = this;
    std::uint16_t length = Length();
    // The smallest attribute (Type and Length octets) must still end at or below 4096.
    if (length < rad::kHeaderLength ||
        static_cast<int>(length) + rad::kAttributeHeaderLength > rad::kMaxPacketLength) {
        cursor.offset = 0;
        return -1;
    }
    cursor.offset = length;
    octets[length] = type;
    return 0;
}

int CRadPacket::FindAttribute(std::uint8_t type, CRadAttrCursor& cursor) {
    cursor.packet = this;
    cursor.offset = 0;
    const int length = Length();
    // A Length outside 20..4096 (only a received packet can have one) means no attributes.
    if (length <= rad::kHeaderLength || length > rad::kMaxPacketLength) return -1;
    int offset = rad::kHeaderLength;
    while (offset < length) {
        if (octets[offset] == type) {
            cursor.offset = static_cast<std::uint16_t>(offset);
            return 0;
        }
        // The Length octet lies at offset + 1, which must itself be below the packet's Length.
        if (offset + 1 >= length) break;
        const int attributeLength = octets[offset + 1];
        // RFC 2865 section 5: Length counts Type, Length and Value, so it is at least 2; a
        // smaller one gives no way to find the next attribute.
        if (attributeLength < rad::kAttributeHeaderLength) break;
        offset += attributeLength;
    }
    return -1;
}

int CRadPacket::NextAttribute(CRadAttrCursor& cursor) {
    cursor.packet = this;
    const int length = Length();
    int next = rad::kHeaderLength;
    // A Length above 4096 (only a received packet can have one) means no attributes; so does
    // one of 20 or less, which the test against next below catches.
    if (length <= rad::kMaxPacketLength && cursor.offset >= rad::kHeaderLength) {
        // The current attribute's Length octet must itself lie below the packet's Length.
        const int at = cursor.offset;
        const int attributeLength = at + 1 < length ? octets[at + 1] : 0;
        next = attributeLength < rad::kAttributeHeaderLength ? length : at + attributeLength;
    }
    if (length > rad::kMaxPacketLength || next >= length) {
        cursor.offset = 0;
        return -1;
    }
    cursor.offset = static_cast<std::uint16_t>(next);
    return 0;
}

AttributeFault CRadPacket::CheckAttributes(std::uint16_t* at) const {
    if (at != nullptr) *at = 0;
    const int length = Length();
    if (length < rad::kHeaderLength || length > rad::kMaxPacketLength)
        return AttributeFault::kPacketLength;
    for (int offset = rad::kHeaderLength; offset < length;) {
        AttributeFault fault = AttributeFault::kNone;
        // The Length octet lies at offset + 1, which must itself be below the packet's Length.
        const int attributeLength = offset + 1 < length ? octets[offset + 1] : -1;
        if (attributeLength < 0)
            fault = AttributeFault::kNoLengthOctet;
        else if (attributeLength < rad::kAttributeHeaderLength)
            fault = AttributeFault::kLengthBelowTwo;
        else if (offset + attributeLength > length)
            fault = AttributeFault::kPastEnd;
        if (fault != AttributeFault::kNone) {
            if (at != nullptr) *at = static_cast<std::uint16_t>(offset);
            return fault;
        }
        offset += attributeLength;
    }
    return AttributeFault::kNone;
}

std::uint8_t CRadAttrCursor::Type() const {
    if (packet == nullptr || offset < rad::kHeaderLength) return 0;
    return packet->octets[offset];
}

int CRadAttrCursor::GetValue(const std::uint8_t** value, std::uint16_t* valueLength) const {
    if (packet == nullptr || offset < rad::kHeaderLength) return -1;
    const int packetLength = packet->Length();
    if (packetLength > rad::kMaxPacketLength || offset + 1 >= packetLength) return -1;
    const int attributeLength = packet->octets[offset + 1];
    // A malformed attribute is never handed out: its value would lie outside the packet.
    if (attributeLength < rad::kAttributeHeaderLength || offset + attributeLength > packetLength)
        return -1;
    *value = packet->octets + offset + rad::kAttributeHeaderLength;
    *valueLength = static_cast<std::uint16_t>(attributeLength - rad::kAttributeHeaderLength);
    return 0;
}

// Room check shared by the appends: the begun attribute must sit at the packet's end and the
// grown packet must stay within RFC 2865's 4096 bytes.
static bool AttributeFits(const CRadAttrCursor& cursor, int attributeLength) {
    if (cursor.packet == nullptr || cursor.offset < rad::kHeaderLength) return false;
    const int length = cursor.packet->Length();
    return cursor.offset == length && length + attributeLength <= rad::kMaxPacketLength;
}

int CRadAttrCursor::AppendText(const char* text) {
    if (text == nullptr) return -1;
    return AppendOctets(reinterpret_cast<const std::uint8_t*>(text), std::strlen(text));
}

int CRadAttrCursor::AppendOctets(const std::uint8_t* text, std::size_t n) {
    if (text == nullptr || n > rad::kMaxTextLength) return -1;
    const int attributeLength = static_cast<int>(n) + rad::kAttributeHeaderLength;
    if (!AttributeFits(*this, attributeLength)) return -1;
    packet->SetLength(static_cast<std::uint16_t>(packet->Length() + attributeLength));
    packet->octets[offset + 1] = static_cast<std::uint8_t>(attributeLength);
    std::memcpy(packet->octets + offset + rad::kAttributeHeaderLength, text, n);
    return 0;
}

int CRadAttrCursor::AppendPassword(const char* password) {
    if (password == nullptr) return -1;
    const std::size_t n = std::strlen(password);
    if (n > rad::kMaxPasswordLength) return -1;
    // RFC 2865 section 5.2: the value is the plaintext padded to a multiple of 16, at least 16.
    int blocks = static_cast<int>((n + rad::kPasswordBlock - 1) / rad::kPasswordBlock);
    if (blocks == 0) blocks = 1;
    const int attributeLength = blocks * rad::kPasswordBlock + rad::kAttributeHeaderLength;
    if (!AttributeFits(*this, attributeLength)) return -1;
    packet->SetLength(static_cast<std::uint16_t>(packet->Length() + attributeLength));
    packet->octets[offset + 1] = static_cast<std::uint8_t>(attributeLength);
    platform::SecureZero(packet->savedPassword, sizeof packet->savedPassword);
    std::memcpy(packet->savedPassword, password, n);
    packet->savedPasswordLength = static_cast<std::uint16_t>(n);
    packet->savedPasswordOffset = offset;
    // Until the first PrepareForServer hides the plaintext, the value holds zeros, never stale
    // bytes: an unprepared request carries nothing undefined.
    std::memset(packet->octets + offset + rad::kAttributeHeaderLength, 0,
                static_cast<std::size_t>(blocks) * rad::kPasswordBlock);
    return 0;
}

int CRadAttrCursor::AppendMessageAuthenticator() {
    const int attributeLength = rad::kMessageAuthenticatorLength;
    if (!AttributeFits(*this, attributeLength)) return -1;
    packet->SetLength(static_cast<std::uint16_t>(packet->Length() + attributeLength));
    packet->octets[offset + 1] = static_cast<std::uint8_t>(attributeLength);
    // RFC 3579 section 3.2: the value is computed over the packet with these 16 octets zero.
    std::memset(packet->octets + offset + rad::kAttributeHeaderLength, 0,
                rad::kAuthenticatorLength);
    packet->messageAuthenticatorOffset = offset;
    return 0;
}

int CRadAttrCursor::AppendAddress(const platform::IpAddress& address) {
    const int attributeLength = address.family == platform::kFamilyIPv4 ? rad::kNasIpAddressLength
                                : address.family == platform::kFamilyIPv6
                                    ? rad::kNasIpv6AddressLength
                                    : 0;
    if (attributeLength == 0 || !AttributeFits(*this, attributeLength)) return -1;
    packet->SetLength(static_cast<std::uint16_t>(packet->Length() + attributeLength));
    packet->octets[offset + 1] = static_cast<std::uint8_t>(attributeLength);
    std::memcpy(packet->octets + offset + rad::kAttributeHeaderLength, address.bytes,
                static_cast<std::size_t>(attributeLength - rad::kAttributeHeaderLength));
    return 0;
}
