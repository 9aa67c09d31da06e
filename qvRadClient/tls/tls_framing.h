// RADIUS packets on a byte stream (RFC 6613 section 2.1): each packet is delimited by its own
// Length field, and a Length outside 20..4096 ends the connection (RFC 6613 section 2.6.4).
#pragma once

#include <cstddef>
#include <cstdint>

// Octets of a packet's header that carry its Length: Code, Identifier, Length (RFC 2865 section 3).
constexpr std::size_t kStreamFrameHeader = 4;
// The bounds of a packet's Length (RFC 2865 section 3: 20..4096), which RFC 6613 section 2.6.4
// makes the frame's.
constexpr std::uint16_t kStreamMinPacket = 20;
constexpr std::uint16_t kStreamMaxPacket = 4096;

// Looks at the count octets received so far (the start of a packet). 1: a whole packet is there,
// *packetLength octets long (more octets may follow: the next packet); 0: more octets are needed
// (*packetLength is the Length once 4 octets are there, else 0); -1: the Length is below 20 or
// above 4096, and nothing more on this connection can be trusted to start a packet.
int RadiusStreamFrame(const std::uint8_t* received, std::size_t count, std::uint16_t* packetLength);
