// Encoding and checking spooled records: nothing is trusted that the checksum and the attribute
// walk have not both passed, since any process that can write the folder could have made it.
#include "spool/spool_format.h"

#include <cstring>

namespace {

const std::uint8_t kMagic[8] = {'Q', 'V', 'R', 'A', 'D', 'A', 'C', 'C'};

void Put32(std::uint8_t* at, std::uint32_t value) {
    at[0] = static_cast<std::uint8_t>(value >> 24);
    at[1] = static_cast<std::uint8_t>(value >> 16);
    at[2] = static_cast<std::uint8_t>(value >> 8);
    at[3] = static_cast<std::uint8_t>(value);
}

std::uint32_t Get32(const std::uint8_t* at) {
    return (static_cast<std::uint32_t>(at[0]) << 24) | (static_cast<std::uint32_t>(at[1]) << 16) |
           (static_cast<std::uint32_t>(at[2]) << 8) | at[3];
}

// Whether the area is a walk of whole attributes to its end, Acct-Status-Type first.
SpoolFault CheckArea(const std::uint8_t* area, std::size_t length) {
    std::size_t at = 0;
    // Each step moves at least 2 octets: at most length / 2 rounds.
    while (at < length) {
        if (at + 1 >= length || area[at + 1] < rad::kAttributeHeaderLength ||
            at + area[at + 1] > length)
            return SpoolFault::kAttributes;
        at += area[at + 1];
    }
    if (length < rad::kIntegerAttributeLength || area[0] != rad::kAcctStatusType ||
        area[1] != rad::kIntegerAttributeLength)
        return SpoolFault::kNoStatusType;
    return SpoolFault::kNone;
}

}  // namespace

std::uint32_t SpoolCrc32(const std::uint8_t* bytes, std::size_t length) {
    std::uint32_t crc = 0xFFFFFFFFu;
    for (std::size_t i = 0; i < length; ++i) {
        crc ^= bytes[i];
        for (int bit = 0; bit < 8; ++bit) crc = (crc >> 1) ^ (0xEDB88320u & (0u - (crc & 1u)));
    }
    return crc ^ 0xFFFFFFFFu;
}

std::size_t EncodeSpoolRecord(std::uint8_t* out, std::size_t capacity, std::int64_t spooledAt,
                              const std::uint8_t* area, std::size_t areaLength) {
    if (area == nullptr || areaLength == 0 || areaLength > kSpoolMaxArea) return 0;
    const std::size_t total = kSpoolHeaderLength + areaLength + kSpoolChecksumLength;
    if (out == nullptr || capacity < total) return 0;
    std::memcpy(out, kMagic, sizeof kMagic);
    out[8] = kSpoolVersion;
    out[9] = 0;
    out[10] = static_cast<std::uint8_t>(areaLength >> 8);
    out[11] = static_cast<std::uint8_t>(areaLength);
    const std::uint64_t when = static_cast<std::uint64_t>(spooledAt);
    Put32(out + 12, static_cast<std::uint32_t>(when >> 32));
    Put32(out + 16, static_cast<std::uint32_t>(when));
    std::memcpy(out + kSpoolHeaderLength, area, areaLength);
    Put32(out + kSpoolHeaderLength + areaLength, SpoolCrc32(out, kSpoolHeaderLength + areaLength));
    return total;
}

SpoolFault DecodeSpoolRecord(const std::uint8_t* bytes, std::size_t length, SpoolRecord* record) {
    if (bytes == nullptr || length < kSpoolHeaderLength + kSpoolChecksumLength)
        return SpoolFault::kTooShort;
    if (std::memcmp(bytes, kMagic, sizeof kMagic) != 0) return SpoolFault::kMagic;
    if (bytes[8] != kSpoolVersion || bytes[9] != 0) return SpoolFault::kVersion;
    const std::size_t areaLength = (static_cast<std::size_t>(bytes[10]) << 8) | bytes[11];
    // Compared as a subtraction from what is known to be there: nothing can wrap.
    if (areaLength == 0 || areaLength > kSpoolMaxArea ||
        areaLength != length - kSpoolHeaderLength - kSpoolChecksumLength)
        return SpoolFault::kLength;
    const std::size_t covered = kSpoolHeaderLength + areaLength;
    if (SpoolCrc32(bytes, covered) != Get32(bytes + covered)) return SpoolFault::kChecksum;
    const SpoolFault area = CheckArea(bytes + kSpoolHeaderLength, areaLength);
    if (area != SpoolFault::kNone) return area;
    if (record != nullptr) {
        const std::uint64_t when =
            (static_cast<std::uint64_t>(Get32(bytes + 12)) << 32) | Get32(bytes + 16);
        record->spooledAt = static_cast<std::int64_t>(when);
        record->area = bytes + kSpoolHeaderLength;
        record->areaLength = static_cast<std::uint16_t>(areaLength);
    }
    return SpoolFault::kNone;
}

const char* SpoolFaultText(SpoolFault fault) {
    switch (fault) {
        case SpoolFault::kNone:
            return "a well-formed record";
        case SpoolFault::kTooShort:
            return "shorter than a record's header and checksum";
        case SpoolFault::kMagic:
            return "not a record of ours (no QVRADACC magic)";
        case SpoolFault::kVersion:
            return "a record of another version";
        case SpoolFault::kLength:
            return "its length field does not match its size";
        case SpoolFault::kChecksum:
            return "its CRC-32 does not match (damaged or changed)";
        case SpoolFault::kAttributes:
            return "its attributes do not parse";
        case SpoolFault::kNoStatusType:
            return "it does not begin with an Acct-Status-Type";
    }
    return "unknown fault";
}
