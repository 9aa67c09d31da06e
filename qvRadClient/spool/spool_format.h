// The encoding of one spooled accounting record: a fixed header with its length, the request's
// attribute area, and a CRC-32 over both. Pure functions on bytes (fuzzed like tls_framing).
#pragma once

#include <cstddef>
#include <cstdint>

#include "radius/constants.h"

// Layout, every number big-endian:
//   0  8  magic "QVRADACC"
//   8  1  version (1)
//   9  1  0
//  10  2  attribute area length N (3..4076)
//  12  8  when the record was spooled: seconds since 1970-01-01 UTC (signed)
//  20  N  the Accounting-Request's attributes, NAS address excluded (the exchange adds it)
//  20+N 4 CRC-32 (ISO-HDLC, as zlib's crc32) of octets 0 .. 20+N-1
constexpr std::size_t kSpoolHeaderLength = 20;
constexpr std::size_t kSpoolChecksumLength = 4;
constexpr std::size_t kSpoolMaxArea = rad::kMaxPacketLength - rad::kHeaderLength;
constexpr std::size_t kSpoolMaxRecord = kSpoolHeaderLength + kSpoolMaxArea + kSpoolChecksumLength;
constexpr std::uint8_t kSpoolVersion = 1;

// Why bytes are not a record of ours, first fault first.
enum class SpoolFault : std::uint8_t {
    kNone = 0,
    kTooShort,      // fewer octets than a header and a checksum
    kMagic,         // not our magic
    kVersion,       // another version, or the reserved octet not 0
    kLength,        // the area's length does not match the octets there
    kChecksum,      // the CRC-32 does not match
    kAttributes,    // the area does not parse as RADIUS attributes to its end (RFC 2865 5)
    kNoStatusType,  // no Acct-Status-Type of 4 octets first (RFC 2866 section 5.1)
};

struct SpoolRecord {
    std::int64_t spooledAt;    // seconds since 1970 UTC
    const std::uint8_t* area;  // inside the bytes decoded
    std::uint16_t areaLength;
};

// The CRC-32 of ISO-HDLC (reflected polynomial 0xEDB88320, initial and final XOR all ones).
std::uint32_t SpoolCrc32(const std::uint8_t* bytes, std::size_t length);
// Writes the record into out (capacity octets): its length, or 0 when the area is empty, too
// long, or out too small.
std::size_t EncodeSpoolRecord(std::uint8_t* out, std::size_t capacity, std::int64_t spooledAt,
                              const std::uint8_t* area, std::size_t areaLength);
// Checks and splits length octets; record is written only when the result is kNone. Never reads
// past length.
SpoolFault DecodeSpoolRecord(const std::uint8_t* bytes, std::size_t length, SpoolRecord* record);
// A fixed English text for a fault.
const char* SpoolFaultText(SpoolFault fault);
