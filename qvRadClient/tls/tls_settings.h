// The TLS settings of a tls:// server (RFC 6614, RFC 9813): file paths and names only, never key
// material; the mode they make (certificates, PSK or incomplete, with the reason in words).
#pragma once

#include <cstddef>
#include <cstdint>

// Longest path kept, in bytes (without the NUL); a longer one is refused, never cut.
constexpr std::size_t kMaxTlsPathLength = 1023;
// A DNS name (RFC 1035 section 2.3.4) or an address literal.
constexpr std::size_t kMaxTlsServerNameLength = 253;
// RFC 4279 section 5.3: PSK identities of up to 128 octets, keys of up to 64.
constexpr std::size_t kMaxPskIdentityLength = 128;
// RFC 9813 asks for a PSK of at least 16 octets (128 bits).
constexpr std::size_t kMinPskLength = 16;
constexpr std::size_t kMaxPskLength = 64;

// The scheme of a RADIUS over TLS server entry (RFC 6614): "tls://host".
constexpr char kTlsScheme[] = "tls://";
// Whether text begins with it, read no further than text's NUL: a few compares, as every call
// asks it of every entry (a library call here cost more than the rest of the check).
inline bool HasTlsScheme(const char* text) {
    for (std::size_t i = 0; i + 1 < sizeof kTlsScheme; ++i)
        if (text[i] != kTlsScheme[i]) return false;
    return true;
}

// Which setting a bit of TlsSettings::tooLong names.
enum TlsSettingBit : std::uint8_t {
    kTlsCaFileBit = 1,
    kTlsCertFileBit = 2,
    kTlsKeyFileBit = 4,
    kTlsPskFileBit = 8,
    kTlsServerNameBit = 16,
    kTlsPskIdentityBit = 32,
};

// The explicit switch that lets a PSK serve TLS 1.2 instead of 1.3 (RFC 9813: one PSK never
// serves both TLS 1.3 and an earlier version): off, on, or a value that is neither.
enum class PskTls12 : std::uint8_t { kOff = 0, kOn = 1, kInvalid = 2 };

// A plain record per server; every text NUL-terminated, empty when unset.
struct TlsSettings {
    char caFile[kMaxTlsPathLength + 1] = {};
    char certFile[kMaxTlsPathLength + 1] = {};
    char keyFile[kMaxTlsPathLength + 1] = {};
    char pskFile[kMaxTlsPathLength + 1] = {};
    // The name the server's certificate must carry; empty: the host as written in the entry.
    char serverName[kMaxTlsServerNameLength + 1] = {};
    std::uint8_t pskIdentity[kMaxPskIdentityLength] = {};
    std::uint8_t pskIdentityLength = 0;
    std::uint8_t tooLong = 0;  // TlsSettingBit: set, but longer than its limit
    PskTls12 pskTls12 = PskTls12::kOff;
};

enum class TlsMode : std::uint8_t { kIncomplete = 0, kCertificate = 1, kPsk = 2 };

// The mode the settings make. kIncomplete comes with a reason naming the setting at fault
// (static text); the others with an empty one.
TlsMode CheckTlsSettings(const TlsSettings& settings, const char** reason);

// Whether no setting at all is given (every path and name empty, no PSK identity, no TLS 1.2
// switch): a tls:// server then has nothing to go on, which is the caller's mistake.
bool TlsSettingsEmpty(const TlsSettings& settings);

// The environment's settings (QVRAD_TLS_CA_FILE, QVRAD_TLS_CERT_FILE, QVRAD_TLS_KEY_FILE,
// QVRAD_TLS_SERVER_NAME, QVRAD_TLS_PSK_IDENTITY, QVRAD_TLS_PSK_FILE, QVRAD_TLS_PSK_TLS12) through
// platform::ReadEnvironment into bounded buffers. Reads no file: safe under the loader lock.
void ReadTlsSettingsFromEnvironment(TlsSettings* into);

// The process's record, as nas_identity.h keeps its own: the module's load-time code calls
// ReadTlsSettingsAtLoad once; each call copies the record into its tls:// entries.
const TlsSettings& ProcessTlsSettings();
void SetProcessTlsSettings(const TlsSettings& settings);
void ReadTlsSettingsAtLoad();
