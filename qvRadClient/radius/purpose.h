// What a call's requests are for: logins, or accounting, which keeps its own kept TLS connections
// and, over UDP, goes to each server's accounting port.
#pragma once

#include <cstdint>

// draft-ietf-radext-radiusdtls-bis: accounting SHOULD NOT share a connection with logins.
enum class RadiusPurpose : std::uint8_t { kAuthentication = 0, kAccounting = 1 };
