// RADIUS wire constants: codes, attribute types and size limits.
// Each value cites the RFC section that fixes it.
#pragma once

#include <cstdint>

namespace rad {

constexpr std::uint16_t kHeaderLength = 20;         // RFC 2865 section 3: Code..Authenticator
constexpr std::uint16_t kMaxPacketLength = 4096;    // RFC 2865 section 3: Length 20..4096
constexpr std::uint16_t kAuthenticatorOffset = 4;   // RFC 2865 section 3
constexpr std::uint16_t kAuthenticatorLength = 16;  // RFC 2865 section 3
constexpr std::uint16_t kMaxSecretLength = 256;     // largest secret we digest behind a packet
constexpr std::uint16_t kBufferSize = kMaxPacketLength + kMaxSecretLength;  // 4352
constexpr std::uint16_t kMaxPasswordLength = 128;                           // RFC 2865 section 5.2
constexpr std::uint16_t kPasswordBlock = 16;                                // RFC 2865 section 5.2
constexpr std::uint16_t kMaxTextLength = 253;        // RFC 2865 section 5: Length octet <= 255
constexpr std::uint16_t kAttributeHeaderLength = 2;  // RFC 2865 section 5: Type, Length
constexpr std::uint16_t kMessageAuthenticatorLength = 18;  // RFC 3579 section 3.2
constexpr std::uint16_t kNasIpAddressLength = 6;           // RFC 2865 section 5.4
constexpr std::uint16_t kNasIpv6AddressLength = 18;        // RFC 3162 section 2.1
// The shared secret of RADIUS over TLS (RFC 6614 section 2.3): the connection authenticates.
constexpr char kTlsSecret[] = "radsec";
constexpr std::uint16_t kIntegerAttributeLength = 6;       // RFC 2865 section 5: 4-octet value
constexpr std::uint16_t kVendorHeaderLength = 6;  // RFC 2865 section 5.26: Vendor-Id, type, length
constexpr std::uint16_t kMaxVendorValueLength = 247;  // 255 - 2 - 6 (RFC 2865 section 5.26)

// Codes, RFC 2865 section 4 unless another is named.
constexpr std::uint8_t kAccessRequest = 1;
constexpr std::uint8_t kAccessAccept = 2;
constexpr std::uint8_t kAccessReject = 3;
constexpr std::uint8_t kAccountingRequest = 4;   // RFC 2866 section 4.1
constexpr std::uint8_t kAccountingResponse = 5;  // RFC 2866 section 4.2
constexpr std::uint8_t kAccessChallenge = 11;
constexpr std::uint8_t kStatusServer = 12;  // RFC 5997 section 3

// Attribute types.
constexpr std::uint8_t kUserName = 1;               // RFC 2865 section 5.1
constexpr std::uint8_t kUserPassword = 2;           // RFC 2865 section 5.2
constexpr std::uint8_t kChapPassword = 3;           // RFC 2865 section 5.3
constexpr std::uint8_t kNasIpAddress = 4;           // RFC 2865 section 5.4
constexpr std::uint8_t kReplyMessage = 18;          // RFC 2865 section 5.18
constexpr std::uint8_t kState = 24;                 // RFC 2865 section 5.24
constexpr std::uint8_t kClass = 25;                 // RFC 2865 section 5.25
constexpr std::uint8_t kVendorSpecific = 26;        // RFC 2865 section 5.26
constexpr std::uint8_t kNasIdentifier = 32;         // RFC 2865 section 5.32
constexpr std::uint8_t kProxyState = 33;            // RFC 2865 section 5.33
constexpr std::uint8_t kAcctStatusType = 40;        // RFC 2866 section 5.1
constexpr std::uint8_t kAcctDelayTime = 41;         // RFC 2866 section 5.2
constexpr std::uint8_t kAcctSessionId = 44;         // RFC 2866 section 5.5
constexpr std::uint8_t kEventTimestamp = 55;        // RFC 2869 section 5.3
constexpr std::uint8_t kPrompt = 76;                // RFC 2869 section 5.10
constexpr std::uint8_t kEapMessage = 79;            // RFC 2869 section 5.13, RFC 3579 3.1
constexpr std::uint8_t kMessageAuthenticator = 80;  // RFC 2869 section 5.14, RFC 3579 3.2
constexpr std::uint8_t kNasIpv6Address = 95;        // RFC 3162 section 2.1

// Acct-Status-Type values, RFC 2866 section 5.1.
constexpr std::uint32_t kAcctStart = 1;
constexpr std::uint32_t kAcctStop = 2;
constexpr std::uint32_t kAcctInterimUpdate = 3;
constexpr std::uint32_t kAcctOn = 7;
constexpr std::uint32_t kAcctOff = 8;

constexpr std::uint16_t kDefaultAccountingPort = 1813;  // RFC 2866 section 3 (IANA)

}  // namespace rad
