// How every Access-Request names its NAS (RFC 2865 section 4.1: a NAS-IP-Address or a
// NAS-Identifier, or both): QVRAD_NAS_IDENTIFIER and QVRAD_NAS_IP_ADDRESS, settled once at load.
#pragma once

#include <cstddef>
#include <cstdint>

#include "platform/platform.h"
#include "radius/constants.h"

// Which NAS-IP-Address (RFC 2865 section 5.4) or NAS-IPv6-Address (RFC 3162 section 2.1) a
// request carries: none, one fixed address, or the local address toward each server in turn.
enum class NasAddressMode : std::uint8_t { kNone = 0, kFixed = 1, kAuto = 2 };

struct NasAddressSetting {
    NasAddressMode mode = NasAddressMode::kNone;
    platform::IpAddress fixed;  // kFixed: IPv4 sends type 4, IPv6 type 95
};

// A plain record: what the load-time read (or qvrad-auth's options) decided.
struct NasIdentity {
    char identifier[rad::kMaxTextLength + 1] = {};  // NAS-Identifier's bytes, NUL-terminated
    std::uint16_t identifierLength = 0;             // 0: no NAS-Identifier
    NasAddressSetting address;
};

// QVRAD_NAS_IDENTIFIER: null (unset) takes hostName (none when that is null or empty); an empty
// value sends none, which restores the request as it was before NAS identification, byte for
// byte; any other value its bytes as given, cut to the first 253 (RFC 2865 section 5: the Length
// octet).
void ParseNasIdentifier(const char* value, const char* hostName, NasIdentity* into);
// QVRAD_NAS_IP_ADDRESS: null (unset) sends none; "auto" (ASCII case ignored) the local address
// toward each server; an IPv4 address in four decimal parts NAS-IP-Address; an IPv6 literal
// without zone or brackets NAS-IPv6-Address. Any other text sends none and returns -1 (the
// library prints nothing; qvrad-auth names it); 0 otherwise.
int ParseNasIpAddress(const char* value, NasIdentity* into);

// The process's record: set by the module's load (and qvrad-auth's options) before any call,
// read by each call. Tests set it between calls through the same setter.
const NasIdentity& ProcessNasIdentity();
void SetProcessNasIdentity(const NasIdentity& identity);
