// The stream framing of RADIUS over TCP and TLS, as a pure function over the octets received, so
// that the fuzz harness reaches it without a connection.
#include "tls/tls_framing.h"

int RadiusStreamFrame(const std::uint8_t* received, std::size_t count,
                      std::uint16_t* packetLength) {
    *packetLength = 0;
    if (received == nullptr || count < kStreamFrameHeader) return 0;
    // Length: octets 2 and 3, network order (RFC 2865 section 3).
    const std::uint16_t length = static_cast<std::uint16_t>((received[2] << 8) | received[3]);
    if (length < kStreamMinPacket || length > kStreamMaxPacket) return -1;
    *packetLength = length;
    return count >= length ? 1 : 0;
}
